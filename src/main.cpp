// questrand: simulator of a flow-through diffusion instrument.  Reads
// PROB.INP in the working directory; takes no arguments.
#include "control/driver.hpp"

int main() { return questrand::run_program(); }
