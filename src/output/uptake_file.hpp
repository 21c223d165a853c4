// The uptake observables file <stem>.UPT: CSV, one header line of column
// names, then one line per time step (one for a steady solve), each value
// with 9 significant digits (%.9g).
#pragma once

#include <string>

#include "observables/uptake.hpp"

namespace questrand {

inline constexpr const char* kUptakeHeader =
    "time,m_flow,m_memb,m_gel,c_memb_mean,c_gel_mean,flux_memb_gel,c_out,balance,c_memb_mid,c_gel_mid,"
    "c_gel_top";

// Creates (or replaces) the file with its header line; with `continued`, a
// run that goes on from a restart file, appends instead (the header only
// when the file does not exist yet, or when its first line is another
// header, from a version with other columns: readers take the lines after
// the last header).
void start_uptake_file(const std::string& name, bool continued, bool physics = false);

// The header with PHYSICS.INP: the columns above, then m_sink and m_reacted.
inline constexpr const char* kUptakePhysicsColumns = ",m_sink,m_reacted";

// The CSV line of one step, without newline.
std::string uptake_line(const Uptake& up);

}  // namespace questrand
