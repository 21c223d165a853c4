// Everything a run writes besides its restart file, driven by the events of
// the run: the console lines, the listing file (heading, step and iteration
// lines, warnings, field tables), monitor.dat, the concentration files and
// the save files.  The run's numerics write nothing; the driver calls these
// around them.
//
// The listing stays open from start() to close(); monitor.dat and the uptake
// file stay open for their step lines from the first step to run_ended(),
// each line written and flushed at once; other files are opened and closed
// within one call.  A file that cannot be created
// or written throws io::FileError naming it.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/iteration.hpp"
#include "core/state.hpp"
#include "io/text_file.hpp"
#include "observables/uptake.hpp"
#include "setup/run_files.hpp"

namespace questrand {

class RunOutput {
 public:
  explicit RunOutput(std::FILE* console = stdout) : console_(console) {}
  ~RunOutput();
  RunOutput(const RunOutput&) = delete;
  RunOutput& operator=(const RunOutput&) = delete;

  // The restart file asked for does not exist: the console line
  // " UNABLE TO READ RESTART FILE <name>" and a warning on standard error.
  void restart_missing(const State& s);

  // The warning line of restart_missing (without its line end).
  static std::string restart_missing_warning(const State& s);

  // Start of the run: console banner; the listing file (created, named by the
  // run name) with its heading; for a transient run with time <= dt the
  // header line of monitor.dat; the uptake file <stem>.UPT, created with its
  // header, or appended when the run continues from a restart file it read
  // (`continued`); the field tables of the starting fields.
  void start(const State& s, bool continued = false);

  // A time step begins: two empty lines and " IT=  n   TIME= t" on the
  // listing and the console.
  void step_started(const State& s);

  // Outer iterations begin: the iteration header of the listing.
  void iterations_started(const State& s);

  // An outer iteration ended: its listing line and console block; the
  // divergence lines or the convergence warning (on standard error also a
  // line naming the step and the iteration limit); every prt_iter iterations
  // the field tables (and a new header when the iterations go on).
  void iteration_ended(const State& s, const IterationOutcome& outcome);

  // A time step ended: the monitor line, the step's concentration files, the
  // uptake line, the field tables at the step interval (unless just
  // written), and, when standard error is a terminal, the progress line.
  void step_ended(const State& s);

  // The run ended: the step lines' files closed (checked) and the end-of-run
  // profile files.
  void run_ended(const State& s);

  // The save files of the final fields.
  void save_files(const State& s);

  // Notes a file the run wrote outside this object (the restart file).
  void wrote(const std::string& name);

  // The end-of-run summary on standard error: steps and outer iterations,
  // steps that ended with the convergence warning (and the first), the final
  // time and uptake, the wall time and the files written.
  void summary(const State& s);

  // Flushes and closes the listing; false when that fails.
  bool close();

  const RunFiles& files() const { return files_; }

  // What the run has done so far, for its record (output/run_record.hpp):
  // whether start() has begun writing, the steps ended (their numbers and
  // outer iterations, sub-steps included), the steps that ended at the
  // iteration limit (a step counts once; a steady solve is step 0), every
  // file written (step files included, in order) and the wall time.
  bool started() const { return !files_.listing.empty(); }
  const std::vector<int>& step_numbers() const { return step_numbers_; }
  const std::vector<int>& step_iterations() const { return step_iterations_; }
  const std::vector<int>& warned_steps() const { return warned_step_list_; }
  const std::vector<std::string>& written_with_step_files() const { return written_all_; }
  long long outer_iterations() const { return iterations_; }
  double wall_seconds() const;

 private:
  void to_listing(const std::string& text);
  void to_console(const std::string& text);
  void print_tables(const State& s);

  void progress(const State& s);

  std::FILE* console_;
  std::FILE* listing_ = nullptr;
  RunFiles files_;
  std::optional<io::LineAppender> monitor_, uptake_;  // the step lines' files, from start()
  bool progress_line_ = false;  // a transient run with standard error a terminal
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  bool progress_shown_ = false;
  int steps_ = 0;
  long long iterations_ = 0;
  int warned_steps_ = 0;
  int last_warned_step_ = -1;  // the step last counted as warned
  int first_warned_step_ = 0;
  int first_step_ = -1;
  int step_files_ = 0;
  Uptake last_uptake_;
  std::vector<std::string> written_;
  std::vector<std::string> written_all_;
  std::vector<int> step_numbers_;
  std::vector<int> step_iterations_;
  std::vector<int> warned_step_list_;
};

// The line that reports a diverged run (with its leading blank), as the
// console and the listing show it.
std::string divergence_message(const State& s, const IterationOutcome& outcome);

}  // namespace questrand
