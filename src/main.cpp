// questrand: simulator of a flow-through diffusion instrument.  Reads
// PROB.INP in the working directory; see control/command_line.hpp for the
// options.
#include "control/command_line.hpp"

int main(int argc, char** argv) { return questrand::program_main(argc, argv); }
