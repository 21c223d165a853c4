// The text save files of the final fields.
#pragma once

#include <string>
#include <vector>

#include "core/state.hpp"
#include "setup/run_files.hpp"

namespace questrand {

// The save files chosen by save_vel, save_prs, save_tmp and save_con, in that
// order (<stem>.VEL, .PRS, .TMP, .CON): one free-format line per interior
// node (J outer, I inner) with x, y and the node values (u and v
// interpolated from their faces).  Returns the names written.
std::vector<std::string> write_save_files(const State& s, const RunFiles& files);

}  // namespace questrand
