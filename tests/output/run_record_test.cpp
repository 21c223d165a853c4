// The run record and the problem description: what a run says it wrote is
// what is on disk, and what the description predicts is what a run writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

// Standard output of `questrand --describe` in `dir`.
std::string describe(const fs::path& dir) {
  const std::string out = (dir / "describe.json").string();
  const std::string command = "cd '" + dir.string() + "' && '" QUESTRAND_EXE "' --describe > '" + out + "' 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  const std::string text = qtest::read_file(out);
  fs::remove(out);
  return text;
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace

// A transient run that writes step files, save files and its restart file,
// every step ending at maxit: the record lists exactly the files the
// directory gained, each with its size on disk, the steps that ended at
// maxit and the status; the description, made before the run, names every
// one of those files.
TEST(RunRecord, NamesEveryFileWrittenAndTheDescriptionPredictsThem) {
  qtest::ScratchDir dir("qt-record");
  qtest::ProblemText p;
  p.nsteps = 4;
  p.prt_step = 3;
  p.maxit = 1;
  p.convtol = 1.0e-12f;
  p.restart_out = true;
  p.runname = "REC.OUT";
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  const std::string description = describe(dir.path());
  ASSERT_EQ(qtest::run_program(dir.path()), 0);

  const std::string record = qtest::read_file(dir.path() / "REC.record.json");
  EXPECT_TRUE(has(record, "\"status\": \"completed\""));
  EXPECT_TRUE(has(record, "\"exit_status\": 0"));
  EXPECT_TRUE(has(record, "\"maxit_steps\": [1, 2, 3, 4]"));
  EXPECT_TRUE(has(record, "\"step_iterations\": [1, 1, 1, 1]"));
  EXPECT_TRUE(has(record, "\"problem\": {\"chlength\": 0.02, "));
  EXPECT_TRUE(has(description, "\"record\": \"REC.record.json\""));
  const std::set<std::string> not_written{"PROB.INP", "console.txt", "stderr.txt", "REC.record.json"};
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (not_written.count(name)) continue;
    ++files;
    EXPECT_TRUE(has(record, "{\"name\": \"" + name + "\", \"bytes\": " + std::to_string(fs::file_size(e.path())) + "}"))
        << name << " is not in the record with its size";
    const std::string stem = name.substr(0, name.find('.'));
    EXPECT_TRUE(has(description, "\"" + name + "\"") || has(description, "\"stem\": \"" + stem + "\""))
        << name << " is not in the description";
  }
  EXPECT_EQ(files, 13);  // listing, monitor, uptake, restart, the c save and 2 profiles, 2 sets of step files
  EXPECT_TRUE(has(description, "\"step_files\": [{\"step\": 1, \"stem\": \"T00001\"}, {\"step\": 3, \"stem\": \"T00003\"}]"));
}

// A refused input writes no record; a record that cannot be written fails
// the run (status 1, one line naming it) and leaves no partial file.
TEST(RunRecord, RefusedInputWritesNoneAndAnUnwritableRecordFailsTheRun) {
  qtest::ScratchDir dir("qt-record");
  qtest::ProblemText p;
  p.runname = "REC.OUT";
  p.ni = 2;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  EXPECT_EQ(qtest::run_program(dir.path()), 2);
  EXPECT_FALSE(fs::exists(dir.path() / "REC.record.json"));

  p.ni = 22;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  fs::create_directory(dir.path() / "REC.record.json");
  EXPECT_EQ(qtest::run_program(dir.path()), 1);
  const std::string err = qtest::read_file(dir.path() / "stderr.txt");
  EXPECT_TRUE(has(err, "REC.record.json: cannot write")) << err;
  EXPECT_FALSE(fs::exists(dir.path() / "REC.record.json.part"));
}
