// The instrument's own output: the console banner, the listing heading, the
// probe history "monitor.dat" and the concentration field and profile files.
//
// Probes: column ni/2 and the rows jflow1, jflow2/2, jflow2 (channel start,
// middle, end), jmemb1, jflow2 + (jmemb2 - jflow2 + 1)/2, jmemb2 (membrane),
// jgel1, jmemb2 + (jgel2 - jmemb2 + 1)/2, jgel2 (gel), integer divisions.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "core/state.hpp"
#include "setup/run_files.hpp"

namespace questrand {

// The rows of the nine probes, in monitor-file order.
std::array<int, 9> probe_rows(const Cprob& pb);

// Console banner: five lines and one blank line.
void write_banner(std::FILE* console);

// Listing heading: program name, version, two empty lines, half-gap and
// channel length; under the second-order scheme a line naming it; with
// PHYSICS.INP the values it gives (physics_values), one a line, the first
// labelled "PHYSICS (PHYSICS.INP)".
std::vector<std::string> listing_heading(const State& s);

// The header line of monitor.dat, appended.
void append_monitor_header();

// Time and the nine probe concentrations: the line of monitor.dat, and the
// line appended to it.
std::string monitor_line(const State& s);
void append_monitor_line(const State& s);

// At step 1 and every prt_step-th step, when save_con: the step's field and
// profile files <step stem>.CON, .CPR and .VPR.  True when they were written.
bool write_step_files(const State& s);

// When save_con: the end-of-run profiles <stem>.CPR and <stem>.VPR.  Returns
// the names written.
std::vector<std::string> write_end_profiles(const State& s, const RunFiles& files);

// Field file: x(I), y(J), c(I,J) for J = 2..jlast, I = 2..ilast.
void write_field_file(const State& s, const std::string& name);
// Profiles along x: heading "X" and C(Y=..) per interior row, then per
// interior column x(I), c(I,2..jlast).
void write_profiles_x(const State& s, const std::string& name);
// Profiles along y: heading "Y" and C(X=..) per interior column, then per
// interior row y(J), c(2..ilast,J).
void write_profiles_y(const State& s, const std::string& name);

}  // namespace questrand
