// Reading the problem input "PROB.INP".
#pragma once

#include <string>
#include <vector>

#include "core/state.hpp"

namespace questrand {

inline constexpr const char* kProblemFile = "PROB.INP";

// Reads the problem description from the text `content` (the bytes of the
// file `file_name`) into the state, sets the solver settings the file does
// not carry, builds the node coordinates of the three layers and forms the
// restart names.  Every value is checked as soon as it is read; a bad value
// throws io::InputError naming the file, the line, the quantity and what is
// allowed.  Returns the reader's warnings (values left over on a value line,
// see io::ListReader::warnings), one complete line each.
std::vector<std::string> read_problem(State& s, const std::string& file_name, const std::string& content);

// Opens "PROB.INP" in the working directory and reads it (read_problem).
// A missing or unreadable file throws io::InputError.  Warnings go to
// standard error.
void input(State& s);

}  // namespace questrand
