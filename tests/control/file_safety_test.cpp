// What the program does to the user's files when something outside the solver
// goes wrong: a file-size limit, a stale temporary restart file left by a
// killed run, step numbers beyond five digits, and value lines written with
// decimal commas.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "setup/input.hpp"
#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

qtest::ProblemText small_run() {
  qtest::ProblemText p;
  p.nsteps = 2;
  p.dt = 0.5f;
  p.prt_step = 1;
  p.runname = "SAFE.OUT";
  return p;
}

void put_u32(std::string& bytes, std::size_t offset, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) bytes.at(offset + static_cast<std::size_t>(k)) = static_cast<char>((v >> (8 * k)) & 0xFF);
}

}  // namespace

// Under a file-size limit the write fails with EFBIG: the run stops with the
// usual one-line message and status 1 instead of dying of SIGXFSZ.
TEST(FileSafety, FileSizeLimitGivesTheWriteErrorNotASignal) {
  qtest::ScratchDir dir;
  qtest::write_file(dir.path() / "PROB.INP", small_run().text());
  const std::string cmd = "cd '" + dir.path().string() + "' && ulimit -f 4 && '" + std::string(QUESTRAND_EXE) +
                          "' > /dev/null 2> stderr.txt";
  const int rc = std::system(("bash -c \"" + cmd + "\"").c_str());
  ASSERT_TRUE(WIFEXITED(rc)) << "killed by signal " << (WIFSIGNALED(rc) ? WTERMSIG(rc) : 0);
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  const auto err = qtest::lines_of(qtest::read_file(dir.path() / "stderr.txt"));
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(": cannot write: File too large"), std::string::npos) << err[0];
}

// A restart write goes to one fixed temporary name: a stale temporary file
// left by a killed run is replaced and removed by the next write, and the
// restart file appears complete.
TEST(FileSafety, StaleTemporaryRestartFileIsReplaced) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = small_run();
  p.restart_out = true;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  qtest::write_file(dir.path() / "SAFE.sav.part", std::string(1 << 20, 'x'));
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  EXPECT_FALSE(fs::exists(dir.path() / "SAFE.sav.part"));
  EXPECT_EQ(fs::file_size(dir.path() / "SAFE.sav"), 24u + 9u * (8u + 4u * 22u * 24u));
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
}

// The listing may not take the temporary name of the restart write.
TEST(FileSafety, RunNameEqualToTheTemporaryRestartNameIsRefused) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = small_run();
  p.runname = "SAFE.sav.par";  // 12 characters: restart SAFE.sav, temporary SAFE.sav.part
  p.restart_out = true;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  EXPECT_EQ(qtest::run_program(dir.path()), 0);  // a different name: accepted
  qtest::ScratchDir dir2;
  p.runname = "SAV.sav.part";
  qtest::write_file(dir2.path() / "PROB.INP", p.text());
  EXPECT_EQ(qtest::run_program(dir2.path()), 2);
  EXPECT_NE(qtest::read_file(dir2.path() / "stderr.txt").find("the temporary file of the restart write"),
            std::string::npos);
}

// Steps beyond 99999 write wider stamps: the concentration files of steps
// 99999, 100000 and 100001 are three sets of files, none overwritten.
TEST(FileSafety, StepStampsBeyondFiveDigitsStayDistinct) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = small_run();
  p.nsteps = 1;
  p.restart_out = true;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  // The restart file of step 1, renumbered as step 99998.
  std::string bytes = qtest::read_file(dir.path() / "SAFE.sav");
  put_u32(bytes, 12, 99998);
  qtest::write_file(dir.path() / "SAFE.sav", bytes);
  p.nsteps = 3;
  p.restart_in = true;
  p.restart_out = false;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0) << qtest::read_file(dir.path() / "stderr.txt");
  for (const char* stem : {"T99999", "T100000", "T100001"})
    for (const char* ext : {".CON", ".CPR", ".VPR"}) EXPECT_TRUE(fs::exists(dir.path() / (std::string(stem) + ext))) << stem << ext;
  EXPECT_FALSE(fs::exists(dir.path() / "T*****.CON"));
  EXPECT_NE(qtest::read_file(dir.path() / "T100000.CON"), qtest::read_file(dir.path() / "T100001.CON"));
}

// A value line written with decimal commas reads as other values (the comma
// separates values): the reader says so on standard error, once per line.
TEST(FileSafety, DecimalCommasAreReported) {
  qtest::ProblemText p = small_run();
  std::string text = p.text();
  auto replace_line = [&text](const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  const std::string diffusivities = qtest::lines_of(text)[20];  // line 21
  replace_line(diffusivities, "1,0E-9  5,0E-10  8,0E-10");
  auto s = std::make_unique<questrand::State>();
  const auto warnings = questrand::read_problem(*s, "PROB.INP", text);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "PROB.INP: line 21: values after the third ignored: \"0E-10 8,0E-10\" (a decimal comma?)");
  EXPECT_EQ(s->cprob.diff_flow, 1.0f);

  // The whole program: the run goes on, the warning is its first stderr line.
  qtest::ScratchDir dir;
  qtest::write_file(dir.path() / "PROB.INP", text);
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  const auto err = qtest::lines_of(qtest::read_file(dir.path() / "stderr.txt"));
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err[0], warnings[0]);
}

TEST(FileSafety, WordsAfterTheValuesStaySilent) {
  qtest::ProblemText p = small_run();
  std::string text = p.text();
  const std::string diffusivities = qtest::lines_of(text)[20];
  text.replace(text.find(diffusivities), diffusivities.size(), diffusivities + "   m2/s, 20 C");
  auto s = std::make_unique<questrand::State>();
  EXPECT_TRUE(questrand::read_problem(*s, "PROB.INP", text).empty());
  // A single value followed by a number: "values after the first".
  const std::string velocity = qtest::lines_of(text)[7];
  text.replace(text.find(velocity), velocity.size(), "0,005");
  auto t = std::make_unique<questrand::State>();
  const auto warnings = questrand::read_problem(*t, "PROB.INP", text);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "PROB.INP: line 8: values after the first ignored: \"005\" (a decimal comma?)");
}

// No warning for the shipped examples and the reference runs.
TEST(FileSafety, NoWarningsOnShippedInputs) {
  std::vector<fs::path> inputs;
  for (const auto& e : fs::recursive_directory_iterator(qtest::data_dir() / "cases"))
    if (e.path().filename() == "PROB.INP") inputs.push_back(e.path());
  for (const auto& e : fs::recursive_directory_iterator(fs::path(QUESTRAND_SOURCE_DIR) / "examples"))
    if (e.path().filename() == "PROB.INP") inputs.push_back(e.path());
  ASSERT_GE(inputs.size(), 9u);
  for (const fs::path& in : inputs) {
    auto s = std::make_unique<questrand::State>();
    const auto warnings = questrand::read_problem(*s, "PROB.INP", qtest::read_file(in));
    EXPECT_TRUE(warnings.empty()) << in << ": " << (warnings.empty() ? "" : warnings[0]);
  }
}
