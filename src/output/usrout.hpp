// The instrument's own output: banner, listing heading, the probe history
// "monitor.dat" and the concentration field and profile files.
#pragma once

#include <string>

#include "control/state.hpp"

namespace questrand {

inline constexpr const char* kMonitorFile = "monitor.dat";

// mode 1: console banner, open the listing file (named by the run name) and
//         write its heading; for a transient run with time <= dt, append the
//         header line of monitor.dat.
// mode 2: nothing.
// mode 3: append time and the nine probe concentrations to monitor.dat; at
//         step 1 and every prt_step-th step, when save_con, write
//         Tnnnnn.CON, Tnnnnn.CPR and Tnnnnn.VPR (wider from step 100000).
// mode 4: when save_con, the end-of-run profiles <stem>.CPR and <stem>.VPR.
void usrout(State& s, int mode);

// The 9-character step name: "T", the step in five digits, ".", blanks;
// from step 100000 on, "T", all the step's digits and "." (T100000.).
std::string step_name(int istep);

// Field file: x(I), y(J), c(I,J) for J = 2..jlast, I = 2..ilast.
void write_field_file(const State& s, const std::string& name);
// Profiles along x: heading "X" and C(Y=..) per interior row, then per
// interior column x(I), c(I,2..jlast).
void write_profiles_x(const State& s, const std::string& name);
// Profiles along y: heading "Y" and C(X=..) per interior column, then per
// interior row y(J), c(2..ilast,J).
void write_profiles_y(const State& s, const std::string& name);

}  // namespace questrand
