// Runs in memory against the program: the uptake observables of each step of
// run_in_memory, printed as the uptake file prints them (%.9g), equal line
// for line to the uptake file the program (a real process) writes for the
// same problem: the fit example, with PHYSICS.INP, under the second-order
// scheme, and from a steady flow handed over as u, v, p against the program
// reading a time-zero restart file of that flow.  The five runs in memory go
// on at once, one per thread, so a work array shared between runs shows as a
// difference.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "control/memory_run.hpp"
#include "output/uptake_file.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using questrand::FlowFields;
using questrand::MemoryProblem;
using questrand::MemoryRun;
using questrand::Scheme;

namespace {

std::string fit_problem() { return qtest::read_file(fs::path(QUESTRAND_SOURCE_DIR) / "examples/fit/PROB.INP"); }

// `text` with the value line after the line that starts with `label` replaced.
std::string with_value(const std::string& text, const std::string& label, const std::string& value) {
  const std::size_t at = text.find("\n" + label);
  EXPECT_NE(at, std::string::npos) << label;
  const std::size_t line = text.find('\n', at + 1) + 1;
  const std::size_t end = text.find('\n', line);
  return text.substr(0, line) + value + text.substr(end);
}

constexpr const char* kPhysics =
    "# a gel that takes up twice the liquid's concentration and binds some of it\n"
    "partition_gel = 2.0\n"
    "rate_gel = 2.0e-3\n";

// Runs the program in `dir` with `scheme`; its exit status.
int run_process(const fs::path& dir, Scheme scheme) {
  const std::string option = scheme == Scheme::second_order ? " --scheme second-order" : "";
  const std::string cmd = "cd '" + dir.string() + "' && '" + std::string(QUESTRAND_EXE) + "'" + option +
                          " > console.txt 2> stderr.txt < /dev/null";
  const int rc = std::system(cmd.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The data lines of the uptake file FIT.UPT in `dir` (after its header, which
// must be `header`).
std::vector<std::string> uptake_file_lines(const fs::path& dir, const std::string& header) {
  std::vector<std::string> lines = qtest::lines_of(qtest::read_file(dir / "FIT.UPT"));
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return lines;
  EXPECT_EQ(lines.front(), header);
  lines.erase(lines.begin());
  return lines;
}

// The restart file's records, parsed from its framing: a 4-byte length, the
// data, the length again.
std::vector<std::string> restart_records(const std::string& bytes) {
  std::vector<std::string> records;
  std::size_t pos = 0;
  while (pos + 4 <= bytes.size()) {
    std::uint32_t len = 0;
    std::memcpy(&len, bytes.data() + pos, 4);
    records.push_back(bytes.substr(pos + 4, len));
    pos += 8 + len;
  }
  return records;
}

std::vector<float> floats_of(const std::string& record) {
  std::vector<float> v(record.size() / 4);
  std::memcpy(v.data(), record.data(), v.size() * 4);
  return v;
}

struct Case {
  std::string name;
  MemoryProblem problem;
  fs::path process_dir;  // where the program ran on it
};

TEST(MemoryRun, UptakeEqualsTheProgramsUptakeFileLineForLine) {
  qtest::ScratchDir scratch("memrun");
  const std::string fit = fit_problem();

  // The flow to hand over: u, v, p after three coupled steps of the fit
  // problem (any flow of the grid serves), from the program's restart file.
  const fs::path flow_dir = scratch.path() / "flow";
  fs::create_directories(flow_dir);
  qtest::write_file(flow_dir / "PROB.INP",
                    with_value(with_value(fit, "number of the last time step", "3"),
                               "write the restart file FIT.sav", "T"));
  ASSERT_EQ(run_process(flow_dir, Scheme::standard), 0);
  const std::vector<std::string> flow_records = restart_records(qtest::read_file(flow_dir / "FIT.sav"));
  ASSERT_EQ(flow_records.size(), 10u);
  const std::vector<float> u = floats_of(flow_records[1]), v = floats_of(flow_records[2]),
                           p = floats_of(flow_records[3]);
  const FlowFields flow{32, 54, u.data(), v.data(), p.data()};  // 32 columns, 40 + 4 + 8 rows + 2
  ASSERT_EQ(u.size(), 32u * 54u);

  // The program's time-zero restart file of that flow: its other six fields
  // as the program starts the run, from a run that solves nothing (one step
  // of it leaves them as they start), with the header of step 0 at time 0.
  const fs::path start_dir = scratch.path() / "start";
  fs::create_directories(start_dir);
  std::string still = with_value(fit, "number of the last time step", "1");
  still = with_value(still, "solve the flow: u, v and pressure", "F");
  still = with_value(still, "solve the concentration", "F");
  qtest::write_file(start_dir / "PROB.INP", with_value(still, "write the restart file FIT.sav", "T"));
  ASSERT_EQ(run_process(start_dir, Scheme::standard), 0);
  std::vector<std::string> records = restart_records(qtest::read_file(start_dir / "FIT.sav"));
  ASSERT_EQ(records.size(), 10u);
  const std::int32_t zero = 0;
  const float time_zero = 0.0f;
  std::memcpy(records[0].data() + 8, &zero, 4);
  std::memcpy(records[0].data() + 12, &time_zero, 4);
  for (int k = 1; k <= 3; ++k) records[k] = flow_records[k];
  std::string restart;
  for (const std::string& r : records) {
    const std::uint32_t len = static_cast<std::uint32_t>(r.size());
    restart.append(reinterpret_cast<const char*>(&len), 4).append(r).append(reinterpret_cast<const char*>(&len), 4);
  }

  // The runs of a fit's model: the flow not solved, kept as it starts (the
  // starting profile) or as handed over (the program: read from the restart
  // file).
  const std::string model = with_value(fit, "solve the flow: u, v and pressure", "F");
  std::vector<Case> cases = {
      {"fit example", {model, false, "", Scheme::standard, nullptr}, {}},
      {"from a flow handed over", {model, false, "", Scheme::standard, &flow}, {}},
      {"with PHYSICS.INP", {model, true, kPhysics, Scheme::standard, &flow}, {}},
      {"second-order scheme", {model, false, "", Scheme::second_order, &flow}, {}},
      {"with PHYSICS.INP, second-order scheme", {model, true, kPhysics, Scheme::second_order, nullptr}, {}},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    Case& c = cases[k];
    c.process_dir = scratch.path() / ("case" + std::to_string(k));
    fs::create_directories(c.process_dir);
    if (c.problem.flow != nullptr) {
      qtest::write_file(c.process_dir / "PROB.INP", with_value(model, "read the restart file FIT.sav", "T"));
      qtest::write_file(c.process_dir / "FIT.sav", restart);
    } else {
      qtest::write_file(c.process_dir / "PROB.INP", model);
    }
    if (c.problem.has_physics) qtest::write_file(c.process_dir / "PHYSICS.INP", c.problem.physics_text);
    ASSERT_EQ(run_process(c.process_dir, c.problem.scheme), 0) << c.name;
  }

  // All five in memory at once.
  std::vector<MemoryRun> runs(cases.size());
  {
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < cases.size(); ++k)
      threads.emplace_back([&runs, &cases, k] { runs[k] = questrand::run_in_memory(cases[k].problem); });
    for (std::thread& t : threads) t.join();
  }

  for (std::size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(cases[k].name);
    const MemoryRun& run = runs[k];
    ASSERT_EQ(run.status, 0) << run.error;
    EXPECT_EQ(run.physics, cases[k].problem.has_physics);
    const std::string header = std::string(questrand::kUptakeHeader) +
                               (run.physics ? questrand::kUptakePhysicsColumns : "");
    const std::vector<std::string> file = uptake_file_lines(cases[k].process_dir, header);
    ASSERT_EQ(run.steps.size(), 60u);
    ASSERT_EQ(file.size(), run.steps.size());
    for (std::size_t n = 0; n < file.size(); ++n)
      ASSERT_EQ(questrand::uptake_line(run.steps[n]), file[n]) << "step " << n + 1;
    EXPECT_EQ(run.step_numbers.front(), 1);
    EXPECT_EQ(run.step_numbers.back(), 60);
    EXPECT_TRUE(run.limit_steps.empty());
  }
  // The cases differ from one another: each is its own run.
  for (std::size_t k = 1; k < cases.size(); ++k)
    EXPECT_NE(questrand::uptake_line(runs[k - 1].steps.back()), questrand::uptake_line(runs[k].steps.back())) << k;
}

// What the program refuses, a run in memory refuses with the program's line;
// a flow of another grid, or together with a restart file, is refused too.
TEST(MemoryRun, BadInputIsStatusTwoWithTheErrorLine) {
  const std::string fit = fit_problem();
  const MemoryRun bad = questrand::run_in_memory({with_value(fit, "number of grid columns", "1"), false, "",
                                                  Scheme::standard, nullptr});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.error.find("PROB.INP: line"), std::string::npos) << bad.error;
  EXPECT_TRUE(bad.steps.empty());

  const MemoryRun bad_physics = questrand::run_in_memory({fit, true, "partition_gel = -1\n", Scheme::standard, nullptr});
  EXPECT_EQ(bad_physics.status, 2);
  EXPECT_EQ(bad_physics.error.rfind("PHYSICS.INP: line 1: partition_gel", 0), 0u) << bad_physics.error;

  const std::vector<float> zeros(30 * 54, 0.0f);
  const FlowFields narrow{30, 54, zeros.data(), zeros.data(), zeros.data()};
  const MemoryRun wrong_grid = questrand::run_in_memory({fit, false, "", Scheme::standard, &narrow});
  EXPECT_EQ(wrong_grid.status, 2);
  EXPECT_NE(wrong_grid.error.find("a 30 by 54 grid, but PROB.INP gives a 32 by 54 grid"), std::string::npos)
      << wrong_grid.error;

  std::vector<float> nan_p(32 * 54, 0.0f);
  nan_p[5] = std::numeric_limits<float>::quiet_NaN();
  const FlowFields with_nan{32, 54, nan_p.data(), nan_p.data(), nan_p.data()};
  const MemoryRun not_finite = questrand::run_in_memory({fit, false, "", Scheme::standard, &with_nan});
  EXPECT_EQ(not_finite.status, 2);
  EXPECT_NE(not_finite.error.find("field u: the value at node (6,1) is not a finite number"), std::string::npos)
      << not_finite.error;
}

}  // namespace
