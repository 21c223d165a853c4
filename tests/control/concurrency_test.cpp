// One run per directory: a second run started in a directory where a run is
// under way refuses with one line and status 2 and touches nothing; the run
// under way ends with the same files as a run alone; the lock goes with the
// run, also when the run is killed.  Real processes of the program.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "setup/run_files.hpp"
#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using questrand::kRunLockFile;

namespace {

// Some hundred time steps: a run that lasts long enough to be met by another.
qtest::ProblemText long_run() {
  qtest::ProblemText p;
  p.nsteps = 1500;
  p.dt = 0.5f;
  p.prt_step = 100000;
  p.runname = "LOCK.OUT";
  return p;
}

// Starts the program in `dir` (output to files there); returns its process id.
pid_t start_program(const fs::path& dir, const std::string& tag) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    const std::string out = "stdout." + tag, err = "stderr." + tag;
    if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(127);
    ::execl(QUESTRAND_EXE, QUESTRAND_EXE, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void wait_for_file(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(fs::exists(path)) << path;
}

// The files a run alone leaves, to compare with.
const fs::path& solo_run() {
  static qtest::ScratchDir dir("solo");
  static bool made = false;
  if (!made) {
    qtest::write_file(dir.path() / "PROB.INP", long_run().text());
    EXPECT_EQ(qtest::run_program(dir.path()), 0);
    made = true;
  }
  return dir.path();
}

// The files of the run in `dir` equal those of the run alone (monitor.dat
// only when no earlier run appended to it).
void expect_whole_run(const fs::path& dir, bool with_monitor = true) {
  for (const char* name : {"LOCK.OUT", "LOCK.UPT", "LOCK.CON", "monitor.dat"}) {
    if (!with_monitor && std::string(name) == "monitor.dat") continue;
    EXPECT_TRUE(qtest::read_file(dir / name) == qtest::read_file(solo_run() / name)) << dir / name;
  }
  EXPECT_FALSE(fs::exists(dir / kRunLockFile));
}

}  // namespace

TEST(OneRunPerDirectory, SecondRunRefusesAndTheFirstEndsWhole) {
  qtest::ScratchDir dir;
  qtest::write_file(dir.path() / "PROB.INP", long_run().text());
  static_assert(std::char_traits<char>::length(kRunLockFile) > 12, "no run name can name the lock file");
  const pid_t first = start_program(dir.path(), "first");
  wait_for_file(dir.path() / "LOCK.OUT");
  const pid_t second = start_program(dir.path(), "second");
  EXPECT_EQ(wait_status(second), 2);
  EXPECT_EQ(wait_status(first), 0);
  const auto err = qtest::lines_of(qtest::read_file(dir.path() / "stderr.second"));
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0], "questrand: .questrand.lock: another run of questrand (process " + std::to_string(first) +
                        ") is running in this directory; wait for it to end or run in another directory");
  EXPECT_EQ(qtest::read_file(dir.path() / "stdout.second"), "");
  expect_whole_run(dir.path());
}

TEST(OneRunPerDirectory, RunsStartedTogetherLeaveOneWholeRun) {
  for (int round = 0; round < 3; ++round) {
    qtest::ScratchDir dir;
    qtest::write_file(dir.path() / "PROB.INP", long_run().text());
    const pid_t a = start_program(dir.path(), "a");
    const pid_t b = start_program(dir.path(), "b");
    const int sa = wait_status(a), sb = wait_status(b);
    EXPECT_EQ(std::min(sa, sb), 0) << "round " << round;
    EXPECT_EQ(std::max(sa, sb), 2) << "round " << round;
    expect_whole_run(dir.path());
  }
}

TEST(OneRunPerDirectory, KilledRunLeavesNoLock) {
  qtest::ScratchDir dir;
  qtest::write_file(dir.path() / "PROB.INP", long_run().text());
  const pid_t first = start_program(dir.path(), "first");
  wait_for_file(dir.path() / "LOCK.OUT");
  ::kill(first, SIGKILL);
  EXPECT_EQ(wait_status(first), 128 + SIGKILL);
  EXPECT_TRUE(fs::exists(dir.path() / kRunLockFile));  // left behind, but no longer locked
  EXPECT_EQ(qtest::run_program(dir.path()), 0);
  expect_whole_run(dir.path(), false);  // monitor.dat continues the killed run's lines
}
