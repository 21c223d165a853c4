#include "control/driver.hpp"

#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "control/restart.hpp"
#include "control/run.hpp"
#include "control/run_lock.hpp"
#include "control/time_loop.hpp"
#include "io/list_reader.hpp"
#include "io/text_file.hpp"
#include "output/run_record.hpp"
#include "physics/physics.hpp"
#include "setup/input.hpp"
#include "setup/run_files.hpp"

namespace questrand {

void contro(State& s, RunOutput& out) {
  const RestartRead restart = start_run(s);
  if (restart == RestartRead::Missing) out.restart_missing(s);
  out.start(s, restart == RestartRead::Read);
  time_loop(s, out);

  out.run_ended(s);
  if (s.cio.restart_out) {
    write_restart(s);
    out.wrote(run_files(s.cio).restart_out);
  }
  out.save_files(s);
}

namespace {

// The solver state, made once on the heap; null (after one line on standard
// error) when there is not enough memory.
std::unique_ptr<State> new_state() {
  try {
    return std::make_unique<State>();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "questrand: not enough memory for the solver state\n");
    return nullptr;
  }
}

}  // namespace

int run_program(const RunOptions& options, const std::vector<std::string>& arguments) {
  // A file-size limit (ulimit -f) makes a write fail with EFBIG, reported
  // like any failed write, instead of killing the program silently.
  std::signal(SIGXFSZ, SIG_IGN);
  // One run per directory: two runs there would write the same files at once.
  // Where no lock file can be made, the run's own output fails as before.
  const RunLock lock = RunLock::acquire();
  if (lock.state() == RunLock::State::Busy) {
    const std::string holder = lock.holder() > 0 ? " (process " + std::to_string(lock.holder()) + ")" : "";
    std::fprintf(stderr,
                 "questrand: %s: another run of questrand%s is running in this directory; wait for it to end "
                 "or run in another directory\n",
                 kRunLockFile, holder.c_str());
    return 2;
  }
  std::unique_ptr<State> state = new_state();
  if (!state) return 1;
  State& s = *state;
  s.cscheme.scheme = options.scheme;
  s.cscheme.start_dt = options.start_dt;
  RunOutput out(stdout);
  int status = 0;
  std::string problem;  // the values as read, for the run record
  std::string reason;   // the error line of a run that failed
  try {
    input(s);
    set_start_factor(s);
    problem = problem_json(s);
    contro(s, out);
    out.summary(s);
  } catch (const io::InputError& e) {
    reason = e.what();
    status = 2;
  } catch (const Diverged& e) {
    reason = std::string("questrand: ") + e.what();
    status = 3;
  } catch (const io::FileError& e) {
    reason = e.what();
    status = 1;
  }
  if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
  if (!out.close() && status == 0) {
    reason = out.files().listing + ": cannot write the listing file";
    std::fprintf(stderr, "%s\n", reason.c_str());
    status = 1;
  }
  // A run that began writing its files records how it ended; one whose
  // input was refused has written nothing and writes no record.
  if (out.started() && status != 2) {
    try {
      write_run_record(s, out, problem, arguments, {status, reason});
    } catch (const io::FileError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      if (status == 0) status = 1;
    }
  }
  return status;
}

int check_program() {
  std::unique_ptr<State> state = new_state();
  if (!state) return 1;
  State& s = *state;
  try {
    input(s);
    // The rest of the start of a run writes nothing; with a restart file it
    // reads and checks it against this problem.
    if (s.cio.restart_in && start_run(s) == RestartRead::Missing)
      std::fprintf(stderr, "%s\n", RunOutput::restart_missing_warning(s).c_str());
  } catch (const io::InputError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}

}  // namespace questrand
