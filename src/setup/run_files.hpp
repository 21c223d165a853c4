// The names of every file a run reads or writes, derived from the run name
// and the restart names in one place.
//
//   listing        the run name without trailing blanks (EXAMPLE.OUT)
//   stem           the run name up to its first point; the first 8 characters
//                  when there is none (or it lies in column 1 or beyond 9),
//                  blanks kept (RUN1 gives "RUN1    ")
//   save(ext)      stem + ext: .VEL .PRS .TMP .CON, and the end-of-run
//                  profiles .CPR .VPR
//   uptake         the stem without trailing blanks + ".UPT"
//   restart_in/out the restart names without trailing blanks (EXAMPLE.sav)
//   restart_temp   restart_out + ".part": the one temporary file of a restart
//                  write, replaced by the next write
//   step_stem(n)   "T" and the step number in five digits (T00001); from step
//                  100000 on, all its digits (T100000)
#pragma once

#include <string>
#include <string_view>

#include "core/state.hpp"

namespace questrand {

inline constexpr const char* kMonitorFile = "monitor.dat";
// The lock a run holds on its working directory (control/run_lock.hpp).  Its
// name is longer than 12 bytes and has no extension of the run's files, so no
// run name or file named from one can equal it.
inline constexpr const char* kRunLockFile = ".questrand.lock";

// True when `name` matches the run-name rule (python/questrand/run_name_rule.txt,
// shared with the Python toolkit): printable UTF-8 characters, none cut in
// two, no '/', not "." or "..".  Applied to the listing name and to the stem.
bool run_name_allowed(std::string_view name);

struct RunFiles {
  std::string listing;
  std::string stem;
  std::string restart_in;
  std::string restart_out;
  std::string restart_temp;

  std::string save(std::string_view ext) const { return stem + std::string(ext); }
  std::string uptake() const;
  static std::string step_stem(int istep);
};

RunFiles run_files(const Cio& io);

// The 9-character step name: "T", the step in five digits, ".", blanks;
// from step 100000 on, "T", all the step's digits and "." (T100000.).
std::string step_name(int istep);

}  // namespace questrand
