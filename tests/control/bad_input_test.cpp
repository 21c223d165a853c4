// Bad and hostile input: malformed problem inputs, damaged restart files and a
// run that diverges.  Every refused input must end the run with a failure
// status, exactly one line on standard error naming the file (and the line or
// record), and no file of the working directory created or changed; and
// questrand --check must end the same way (same status, same line) without
// running.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Problem inputs built by editing the lines of a valid one.

// The valid base input: a transient concentration-only run on a 22 by 24 grid
// with the run name CONC.OUT (listing CONC.OUT, restart file CONC.sav).
std::vector<std::string> base_lines() {
  const std::string text = qtest::read_file(qtest::data_dir() / "cases" / "transient_conc_only" / "PROB.INP");
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class Input {
 public:
  Input() : lines_(base_lines()) {}
  // Replaces line n (1-based).
  Input& set(int n, const std::string& text) {
    lines_.at(static_cast<std::size_t>(n - 1)) = text;
    return *this;
  }
  // Removes line n.
  Input& erase(int n) {
    lines_.erase(lines_.begin() + (n - 1));
    return *this;
  }
  // Keeps the first n lines.
  Input& keep(int n) {
    lines_.resize(static_cast<std::size_t>(n));
    return *this;
  }
  // The lines joined by LF, each ending with one.
  std::string text() const {
    std::string out;
    for (const std::string& l : lines_) out += l + "\n";
    return out;
  }
  // The first n lines, then `tail` with no line end after it.
  std::string cut(int n, const std::string& tail) const {
    std::string out;
    for (int k = 0; k < n; ++k) out += lines_[static_cast<std::size_t>(k)] + "\n";
    return out + tail;
  }

 private:
  std::vector<std::string> lines_;
};

// ---------------------------------------------------------------------------
// Directory snapshots: every entry with its kind and bytes.

using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& dir) {
  Snapshot snap;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path rel = fs::relative(it->path(), dir);
    const fs::file_status st = it->symlink_status();
    if (fs::is_symlink(st)) {
      snap[rel.string()] = "symlink -> " + fs::read_symlink(it->path()).string();
      it.disable_recursion_pending();
    } else if (fs::is_directory(st)) {
      snap[rel.string()] = "directory";
    } else if (fs::is_regular_file(st)) {
      snap[rel.string()] = "file: " + qtest::read_file(it->path());
    } else {
      snap[rel.string()] = "special file";
    }
  }
  return snap;
}

// Names the entries that differ between two snapshots.
std::string differences(const Snapshot& before, const Snapshot& after) {
  std::string out;
  for (const auto& [name, content] : before) {
    const auto it = after.find(name);
    if (it == after.end())
      out += "  removed: " + name + "\n";
    else if (it->second != content)
      out += "  changed: " + name + "\n";
  }
  for (const auto& [name, content] : after)
    if (before.find(name) == before.end()) out += "  created: " + name + "\n";
  return out;
}

// The names in a directory (for a directory holding an unreadable file).
Snapshot snapshot_names(const fs::path& dir) {
  Snapshot snap;
  for (const auto& e : fs::directory_iterator(dir)) snap[e.path().filename().string()] = "entry";
  return snap;
}

// ---------------------------------------------------------------------------
// Running the program with its output kept outside the working directory, so
// that the directory listing after the run is exactly the program's doing.

struct Outcome {
  int status = -1;
  std::string out;  // standard output (the console)
  std::string err;  // standard error
};

Outcome run_in(const fs::path& dir) {
  qtest::ScratchDir streams("qt-bad-streams");
  Outcome o;
  o.status = qtest::run_program(dir, (streams.path() / "console.txt").string(), (streams.path() / "stderr.txt").string());
  o.out = qtest::read_file(streams.path() / "console.txt");
  o.err = qtest::read_file(streams.path() / "stderr.txt");
  return o;
}

// As run_in, but the run is stopped after `seconds` (status 124): for inputs
// that could make it wait or read forever.  `options` go on the command line.
Outcome run_bounded(const fs::path& dir, int seconds, const std::string& options = "") {
  qtest::ScratchDir streams("qt-bad-streams");
  const std::string cmd = "cd '" + dir.string() + "' && timeout -k 1 " + std::to_string(seconds) +
                          " '" + std::string(QUESTRAND_EXE) + "' " + options + " > '" + (streams.path() / "console.txt").string() +
                          "' 2> '" + (streams.path() / "stderr.txt").string() + "' < /dev/null";
  const int rc = std::system(cmd.c_str());
  Outcome o;
  if (rc != -1 && WIFEXITED(rc)) o.status = WEXITSTATUS(rc);
  if (rc != -1 && WIFSIGNALED(rc)) o.status = 128 + WTERMSIG(rc);
  o.out = qtest::read_file(streams.path() / "console.txt");
  o.err = qtest::read_file(streams.path() / "stderr.txt");
  return o;
}

// Number of lines of a text (a last line without LF counts).
int count_lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  if (!s.empty() && s.back() != '\n') ++n;
  return n;
}

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n')); }

std::string shortened(const std::string& s) {
  constexpr std::size_t kMax = 300;
  return s.size() <= kMax ? s : s.substr(0, kMax) + "... (" + std::to_string(s.size()) + " bytes)";
}

// Files every refusal test puts in the directory before the run: the listing,
// restart and save names of the base input and a few more.
void place_sentinels(const fs::path& dir) {
  qtest::write_file(dir / "monitor.dat", "sentinel monitor file\n");
  qtest::write_file(dir / "CONC.OUT", "sentinel listing\n");
  qtest::write_file(dir / "CONC.sav", std::string("sentinel restart \0\1\2\3", 21));
  qtest::write_file(dir / "CONC.CON", "sentinel concentration save file\n");
  qtest::write_file(dir / "CONC.CPR", "sentinel profile\n");
  qtest::write_file(dir / "T00001.CON", "sentinel step file\n");
  qtest::write_file(dir / "CONC", "sentinel without extension\n");
  qtest::write_file(dir / "ABCDEFGHIJKL", "sentinel twelve-character name\n");
  fs::create_directory(dir / "out");
  qtest::write_file(dir / "out" / "CONC.OUT", "sentinel listing in a subdirectory\n");
}

// What a status other than the refusal's 2 means.
std::string status_meaning(int status) {
  if (status == 0) return "the bad input was accepted and the run went ahead";
  if (status == 124) return "the run did not end within the test's time limit";
  if (status > 128) return "the run was killed by signal " + std::to_string(status - 128);
  return "";
}

// The common checks of a refused run.
void expect_refused(const Outcome& o, const std::string& prefix, const Snapshot& before, const Snapshot& after) {
  EXPECT_EQ(o.status, 2) << status_meaning(o.status) << "; stderr: " << shortened(o.err);
  EXPECT_EQ(count_lines(o.err), 1) << "standard error should hold exactly one line, it holds:\n" << shortened(o.err);
  EXPECT_TRUE(!o.err.empty() && o.err.back() == '\n') << "the error line should end with a line end";
  EXPECT_EQ(first_line(o.err).rfind(prefix, 0), 0u)
      << "the error line should start with \"" << prefix << "\", it is: " << shortened(first_line(o.err));
  EXPECT_EQ(differences(before, after), "") << "files of the working directory were created or changed";
  EXPECT_EQ(o.out, "") << "a refused input should write nothing to standard output";
}

// ---------------------------------------------------------------------------
// Bad problem inputs.

struct InputCase {
  std::string name;
  std::function<void(const fs::path&)> make;  // writes PROB.INP (or what stands in for it)
  std::string prefix;                         // start of the expected error line
  int seconds = 0;                            // > 0: run with a time limit
};

// Test names carry the case; the parameter itself prints as its name.
void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

std::function<void(const fs::path&)> with_text(const std::string& content) {
  return [content](const fs::path& dir) { qtest::write_file(dir / "PROB.INP", content); };
}

std::string at_line(int n) { return "PROB.INP: line " + std::to_string(n) + ": "; }

std::string garbage(std::size_t n) {
  std::string s;
  std::uint32_t x = 0x2545F491u;
  for (std::size_t k = 0; k < n; ++k) {
    x = x * 1664525u + 1013904223u;
    s += static_cast<char>(x >> 24);
  }
  return s;
}

std::vector<InputCase> input_cases() {
  const std::string nul(1, '\0');
  std::vector<InputCase> c;
  auto add = [&c](std::string name, const std::string& content, const std::string& prefix) {
    c.push_back({std::move(name), with_text(content), prefix});
  };

  // Wrong types.
  add("RealForColumnCount", Input().set(24, "22.0").text(), at_line(24));
  add("TextForHalfGap", Input().set(6, "0.02  abc  1.0E-4  5.0E-4").text(), at_line(6));
  add("OneForParabolicSwitch", Input().set(10, "1").text(), at_line(10));
  add("WordForSteadySwitch", Input().set(29, "yes").text(), at_line(29));
  add("OneForRestartWriteSwitch", Input().set(62, "1").text(), at_line(62));
  add("RealForMembraneRows", Input().set(26, "10  4.5  8").text(), at_line(26));
  add("ExponentForIterationLimit", Input().set(41, "1.0E1").text(), at_line(41));
  add("TextForTimeStep", Input().set(33, "one").text(), at_line(33));
  add("HexForColumnCount", Input().set(24, "0x16").text(), at_line(24));

  // Missing lines and lists that end early.
  add("ColumnCountLineMissing", Input().erase(24).text(), at_line(24));
  add("LengthsLineMissing", Input().erase(6).text(), at_line(6));
  add("HeadingLineMissing", Input().erase(25).text(), at_line(26));
  add("IterationLimitLineMissing", Input().erase(41).text(), at_line(41));
  add("CutAfterLine40", Input().keep(40).text(), at_line(40));
  add("CutInsideLengths", Input().cut(5, "0.02  0.001"), at_line(6));
  add("CutInsideDiffusivities", Input().cut(20, "1.0E-9  5.0E-10\n"), at_line(21));
  add("CutInsideMonitorPair", Input().cut(55, "11"), at_line(56));
  add("OnlyTitleLines", Input().keep(3).text(), at_line(3));
  add("LastLineMissing", Input().keep(63).text(), at_line(63));
  add("EmptyFile", "", at_line(1));
  add("CarriageReturnLineEnds",
      [] {
        std::string t = Input().text();
        for (char& ch : t)
          if (ch == '\n') ch = '\r';
        return t;
      }(),
      at_line(1));

  // Values out of range.
  add("TwoColumns", Input().set(24, "2").text(), at_line(24));
  add("ColumnsAbove350", Input().set(24, "351").text(), at_line(24));
  add("NoChannelRows", Input().set(26, "0  4  8").text(), at_line(26));
  add("NegativeGelRows", Input().set(26, "10  4  -1").text(), at_line(26));
  add("RowsAbove350", Input().set(26, "200  100  49").text(), at_line(26));
  add("MonitorColumnZero", Input().set(56, "0  6").text(), at_line(56));
  add("MonitorColumnBeyondGrid", Input().set(56, "23  6").text(), at_line(56));
  add("MonitorRowBeyondGrid", Input().set(56, "11  25").text(), at_line(56));
  add("IterationLimitZero", Input().set(41, "0").text(), at_line(41));
  add("IterationLimitNegative", Input().set(41, "-5").text(), at_line(41));
  add("TableIntervalZero", Input().set(58, "0").text(), at_line(58));
  add("TimeStepZero", Input().set(33, "0.0").text(), at_line(33));
  add("TimeStepNegative", Input().set(33, "-1.0").text(), at_line(33));
  add("TimeStepNegativeZero", Input().set(33, "-0.0").text(), at_line(33));
  add("TimeStepUnderflowsToZero", Input().set(33, "1.0E-50").text(), at_line(33));
  add("ConcentrationRelaxationZero", Input().set(48, "0.0").text(), at_line(48));
  add("FlowRelaxationZero", Input().set(36, "T").set(46, "0.0  0.5").text(), at_line(46));
  add("FlowRelaxationNegative", Input().set(36, "T").set(46, "-0.5  0.5").text(), at_line(46));
  add("NegativeChannelLength", Input().set(6, "-0.02  0.001  1.0E-4  5.0E-4").text(), at_line(6));
  add("ZeroHalfGap", Input().set(6, "0.02  0.0  1.0E-4  5.0E-4").text(), at_line(6));
  add("NegativeGelThickness", Input().set(6, "0.02  0.001  1.0E-4  -5.0E-4").text(), at_line(6));
  add("AllLengthsNull", Input().set(6, "4*").text(), at_line(6));
  add("LengthsEndedBySlash", Input().set(6, "/").text(), at_line(6));
  add("ZeroRepeatCount", Input().set(6, "0*0.02  0.001  1.0E-4  5.0E-4").text(), at_line(6));

  // Absurd sizes, infinities and NaN.
  add("ColumnCount2147483648", Input().set(24, "2147483648").text(), at_line(24));
  add("StepCountBelowIntRange", Input().set(31, "-2147483649").text(), at_line(31));
  add("TwentyDigitInterval", Input().set(58, "99999999999999999999").text(), at_line(58));
  add("TimeStep1e39", Input().set(33, "1e39").text(), at_line(33));
  add("ChannelLength1e39", Input().set(6, "1.0E39  0.001  1.0E-4  5.0E-4").text(), at_line(6));
  add("InfiniteVelocity", Input().set(8, "inf").text(), at_line(8));
  add("NanConcentration", Input().set(14, "nan").text(), at_line(14));
  add("MinusInfinityDensity", Input().set(17, "-Infinity").text(), at_line(17));
  add("NanTolerance", Input().set(43, "NaN").text(), at_line(43));

  // Bytes that are not a problem input.
  add("BinaryGarbage", garbage(4096), "PROB.INP: line ");
  add("NulInsideColumnCount", Input().set(24, "2" + nul + "2").text(), at_line(24));
  add("NulBytesForStepCount", Input().set(31, nul + nul + nul).text(), at_line(31));
  add("OverlongNumberLine", Input().set(24, "22" + std::string(100000, '0')).text(), at_line(24));
  add("OverlongWordLine", Input().set(41, std::string(100000, 'x')).text(), at_line(41));

  // The file itself.
  c.push_back({"InputIsDirectory", [](const fs::path& d) { fs::create_directory(d / "PROB.INP"); }, "PROB.INP: "});
  c.push_back({"InputMissing", [](const fs::path&) {}, "PROB.INP: "});
  c.push_back({"InputDanglingSymlink", [](const fs::path& d) { fs::create_symlink(d / "no-such-file", d / "PROB.INP"); },
               "PROB.INP: "});
  c.push_back({"InputOver16MB",
               [](const fs::path& d) {
                 qtest::write_file(d / "PROB.INP", Input().text());
                 fs::resize_file(d / "PROB.INP", 17u << 20);
               },
               "PROB.INP: "});
  c.push_back({"InputIsFifo",
               [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "PROB.INP").c_str(), 0644), 0); },
               "PROB.INP: ", 1});
  c.push_back({"InputIsEndlessDevice", [](const fs::path& d) { fs::create_symlink("/dev/zero", d / "PROB.INP"); },
               "PROB.INP: ", 1});

  // Run names.
  add("BlankRunName", Input().set(60, "").text(), at_line(60));
  add("TwelveBlanksRunName", Input().set(60, "            ").text(), at_line(60));
  add("RunNameWithSlash", Input().set(60, "out/CONC.OUT").text(), at_line(60));
  add("RunNameDot", Input().set(60, ".").text(), at_line(60));
  add("RunNameDotDot", Input().set(60, "..").text(), at_line(60));
  add("TwelveCharacterNameRestartWrite", Input().set(60, "ABCDEFGHIJKL").set(62, "T").text(), at_line(60));
  add("TwelveCharacterNameRestartRead", Input().set(60, "ABCDEFGHIJKL").set(64, "T").text(), at_line(60));
  add("RunNameIsProfileFile", Input().set(60, "CONC.CPR").text(), at_line(60));
  add("RunNameIsConcentrationSave", Input().set(60, "CONC.CON").text(), at_line(60));
  add("RunNameIsVelocitySave", Input().set(36, "T").set(60, "CONC.VEL").text(), at_line(60));
  add("RunNameIsMonitorFile", Input().set(60, "monitor.dat").text(), at_line(60));
  add("RunNameIsProblemInput", Input().set(60, "PROB.INP").text(), at_line(60));
  add("RunNameIsProblemInputWithBlanks", Input().set(60, "PROB.INP    ").text(), at_line(60));
  add("RunNameIsStepFile", Input().set(60, "T00001.CON").text(), at_line(60));
  add("RunNameIsStepProfile", Input().set(60, "T00004.VPR").text(), at_line(60));
  add("RunNameIsRestartFile", Input().set(60, "CONC.sav").set(64, "T").text(), at_line(60));
  // A NUL byte in the name: the name given to the file system ends at it.
  add("RunNameProblemInputThenNul", Input().set(60, "PROB.INP" + nul + "X").text(), at_line(60));
  add("RunNameStemThenNul", Input().set(60, "CONC" + nul + ".OUT").text(), at_line(60));
  return c;
}

class BadProblemInput : public ::testing::TestWithParam<InputCase> {};

// questrand --check in `dir` ends as the run `run` did (the same status and
// error line), writes nothing on standard output and touches no file.
void expect_check_as_run(const fs::path& dir, const Outcome& run, int seconds, const Snapshot& before) {
  const Outcome check = run_bounded(dir, seconds > 0 ? seconds : 60, "--check");
  EXPECT_EQ(check.status, run.status);
  EXPECT_EQ(check.err, run.err);
  EXPECT_EQ(check.out, "");
  EXPECT_TRUE(snapshot(dir) == before) << "--check changed the directory";
}

TEST_P(BadProblemInput, RefusedWithOneLineAndNoFileTouched) {
  const InputCase& tc = GetParam();
  qtest::ScratchDir dir("qt-bad-input");
  place_sentinels(dir.path());
  tc.make(dir.path());
  const Snapshot before = snapshot(dir.path());
  const Outcome o = tc.seconds > 0 ? run_bounded(dir.path(), tc.seconds) : run_in(dir.path());
  const Snapshot after = snapshot(dir.path());
  expect_refused(o, tc.prefix, before, after);
  expect_check_as_run(dir.path(), o, tc.seconds, before);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadProblemInput, ::testing::ValuesIn(input_cases()),
                         [](const ::testing::TestParamInfo<InputCase>& info) { return info.param.name; });

// The base input and its sentinels run normally: the refusals above come from
// the edits alone.
TEST(BadProblemInputControl, BaseInputRuns) {
  qtest::ScratchDir dir("qt-bad-input");
  place_sentinels(dir.path());
  qtest::write_file(dir.path() / "PROB.INP", Input().set(31, "1").text());
  const Snapshot before = snapshot(dir.path());
  const Outcome check = run_bounded(dir.path(), 60, "--check");
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out + check.err, "");
  EXPECT_TRUE(snapshot(dir.path()) == before) << "--check changed the directory";
  const Outcome o = run_in(dir.path());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(qtest::without_summary(o.err), "");
  EXPECT_NE(qtest::read_file(dir.path() / "CONC.OUT"), "sentinel listing\n");
}

// ---------------------------------------------------------------------------
// Restart files.

// Runs an input in a fresh directory and returns the restart file it wrote.
std::string written_restart(const Input& in) {
  qtest::ScratchDir dir("qt-bad-restart-src");
  qtest::write_file(dir.path() / "PROB.INP", in.text());
  const Outcome o = run_in(dir.path());
  EXPECT_EQ(o.status, 0) << "run writing a restart file: " << o.err;
  if (!fs::exists(dir.path() / "CONC.sav")) return "";
  return qtest::read_file(dir.path() / "CONC.sav");
}

struct RestartFiles {
  std::string transient;        // 22 by 24 grid, transient run
  std::string steady;           // 22 by 24 grid, steady run
  std::string transient_other;  // 12 by 24 grid, transient run
};

// Header record 16 data bytes (transient) or 12 (steady), nine fields of
// 4 * 22 * 24 bytes, each record framed by two 4-byte length words.
constexpr std::size_t kField = 4 * 22 * 24;
constexpr std::size_t kTransientSize = 8 + 16 + 9 * (8 + kField);
constexpr std::size_t kSteadySize = 8 + 12 + 9 * (8 + kField);

const RestartFiles& restart_files() {
  static const RestartFiles files = [] {
    RestartFiles f;
    f.transient = written_restart(Input().set(31, "1").set(62, "T"));
    f.steady = written_restart(Input().set(29, "T").set(41, "3").set(62, "T"));
    f.transient_other = written_restart(Input().set(24, "12").set(56, "6  6").set(31, "1").set(62, "T"));
    return f;
  }();
  return files;
}

// Inputs that read CONC.sav at the start.
std::string transient_reader() { return Input().set(31, "1").set(41, "3").set(64, "T").text(); }
std::string steady_reader() { return Input().set(29, "T").set(41, "3").set(64, "T").text(); }

void put_u32(std::string& bytes, std::size_t offset, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) bytes.at(offset + static_cast<std::size_t>(k)) = static_cast<char>((v >> (8 * k)) & 0xFF);
}

// Offset of the leading length word of record k (1..10) of a transient file.
std::size_t record_offset(int k) { return k == 1 ? 0 : 24 + static_cast<std::size_t>(k - 2) * (8 + kField); }

TEST(RestartFileSources, HaveTheExpectedSizes) {
  const RestartFiles& f = restart_files();
  EXPECT_EQ(f.transient.size(), kTransientSize);
  EXPECT_EQ(f.steady.size(), kSteadySize);
  EXPECT_EQ(f.transient_other.size(), 8 + 16 + 9 * (8 + 4 * 12 * 24u));
}

struct RestartCase {
  std::string name;
  std::function<std::string()> input;  // the PROB.INP text
  std::function<void(const fs::path&)> make;  // writes CONC.sav (or what stands in for it)
  std::string prefix;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

std::function<void(const fs::path&)> restart_bytes(std::function<std::string()> bytes) {
  return [bytes](const fs::path& dir) { qtest::write_file(dir / "CONC.sav", bytes()); };
}

std::vector<RestartCase> restart_cases() {
  std::vector<RestartCase> c;
  auto add = [&c](std::string name, std::function<std::string()> input, std::function<std::string()> bytes,
                  std::string prefix) { c.push_back({std::move(name), std::move(input), restart_bytes(std::move(bytes)), std::move(prefix)}); };
  const auto& tr = transient_reader;
  auto tfile = [] { return restart_files().transient; };

  add("Empty", tr, [] { return std::string(); }, "CONC.sav: record 1: ");
  add("TwoBytes", tr, [tfile] { return tfile().substr(0, 2); }, "CONC.sav: record 1: ");
  add("CutInsideHeader", tr, [tfile] { return tfile().substr(0, 10); }, "CONC.sav: record 1: ");
  add("CutInsideRecord6", tr, [tfile] { return tfile().substr(0, kTransientSize / 2); }, "CONC.sav: record 6: ");
  add("CutAfterRecord4", tr, [tfile] { return tfile().substr(0, record_offset(5)); }, "CONC.sav: record 5: ");
  add("LastByteMissing", tr, [tfile] { return tfile().substr(0, kTransientSize - 1); }, "CONC.sav: record 10: ");
  add("OtherGrid", tr, [] { return restart_files().transient_other; }, "CONC.sav: record 1: ");
  add("SteadyFileInTransientRun", tr, [] { return restart_files().steady; }, "CONC.sav: record 1: ");
  add("TransientFileInSteadyRun", steady_reader, tfile, "CONC.sav: record 1: ");
  add("HeaderLengthBeyondFile", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, record_offset(1), 1000000);
        return b;
      },
      "CONC.sav: record 1: ");
  add("FieldLengthBeyondFile", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, record_offset(2), 1u << 20);
        return b;
      },
      "CONC.sav: record 2: ");
  add("FieldLengthShorterThanField", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, record_offset(3), 100);
        return b;
      },
      "CONC.sav: record 3: ");
  add("FieldLengthAllOnes", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, record_offset(7), 0xFFFFFFFFu);
        return b;
      },
      "CONC.sav: record 7: ");
  add("HeaderLengthAllOnes", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, record_offset(1), 0xFFFFFFFFu);
        return b;
      },
      "CONC.sav: record 1: ");
  add("BrokenClosingWordOfRecord4", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, record_offset(4) + 4 + kField, static_cast<std::uint32_t>(kField + 1));
        return b;
      },
      "CONC.sav: record 4: ");
  add("BrokenClosingWordOfHeader", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, 4 + 16, 0);
        return b;
      },
      "CONC.sav: record 1: ");
  add("ShiftedRecords", tr,
      [tfile] {
        // One stray byte after the header: every later length word is misread.
        std::string b = tfile();
        b.insert(24, 1, '\0');
        return b;
      },
      "CONC.sav: record 2: ");
  add("HugeGridInHeader", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, 4, 0x7FFFFFFFu);
        return b;
      },
      "CONC.sav: record 1: ");
  add("NegativeGridInHeader", tr,
      [tfile] {
        std::string b = tfile();
        put_u32(b, 8, 0xFFFFFFFFu);
        return b;
      },
      "CONC.sav: record 1: ");
  add("BinaryGarbage", tr, [] { return garbage(kTransientSize); }, "CONC.sav: record 1: ");
  // A value that is not a finite number, in a field the run solves (c) and in
  // one it does not (t): both are bad input, named by record, field and node.
  auto with_value = [tfile](int record, int i, int j, std::uint32_t bits) {
    std::string b = tfile();
    put_u32(b, record_offset(record) + 4 + 4 * static_cast<std::size_t>((j - 1) * 22 + (i - 1)), bits);
    return b;
  };
  add("NaNInUnsolvedField", tr, [with_value] { return with_value(5, 3, 2, 0x7FC00000u); },
      "CONC.sav: record 5: field t: the value at node (3,2) is not a finite number");
  add("InfinityInSolvedField", tr, [with_value] { return with_value(6, 22, 24, 0xFF800000u); },
      "CONC.sav: record 6: field c: the value at node (22,24) is not a finite number");
  add("NaNInLastRecord", tr, [with_value] { return with_value(10, 1, 1, 0xFFFFFFFFu); },
      "CONC.sav: record 10: field gamc: the value at node (1,1) is not a finite number");
  // A restart file that exists but cannot be read must not be replaced by
  // this run's restart file.
  c.push_back({"DirectoryInPlaceOfTheFile", tr,
               [](const fs::path& d) {
                 fs::create_directory(d / "CONC.sav");
                 qtest::write_file(d / "CONC.sav" / "inside", "sentinel inside the directory\n");
               },
               "CONC.sav: cannot read the restart file: it is a directory"});
  c.push_back({"LargerThanAnyRestartFile", tr,
               [](const fs::path& d) {
                 qtest::write_file(d / "CONC.sav", restart_files().transient);
                 fs::resize_file(d / "CONC.sav", 8u << 20);
               },
               "CONC.sav: "});
  return c;
}

class BadRestartFile : public ::testing::TestWithParam<RestartCase> {};

TEST_P(BadRestartFile, RefusedWithOneLineAndNoFileTouched) {
  const RestartCase& tc = GetParam();
  qtest::ScratchDir dir("qt-bad-restart");
  qtest::write_file(dir.path() / "monitor.dat", "sentinel monitor file\n");
  qtest::write_file(dir.path() / "CONC.OUT", "sentinel listing\n");
  qtest::write_file(dir.path() / "CONC.CON", "sentinel concentration save file\n");
  qtest::write_file(dir.path() / "T00002.CON", "sentinel step file\n");
  qtest::write_file(dir.path() / "PROB.INP", tc.input());
  tc.make(dir.path());
  const Snapshot before = snapshot(dir.path());
  const Outcome o = run_in(dir.path());
  const Snapshot after = snapshot(dir.path());
  expect_refused(o, tc.prefix, before, after);
  expect_check_as_run(dir.path(), o, 0, before);
  if (tc.prefix.find("record") != std::string::npos) {
    EXPECT_NE(o.err.find("record"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BadRestartFile, ::testing::ValuesIn(restart_cases()),
                         [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

// A sound restart file is read and the run goes on from it.
TEST(RestartFileControl, SoundFileIsRead) {
  qtest::ScratchDir dir("qt-bad-restart");
  qtest::write_file(dir.path() / "PROB.INP", transient_reader());
  qtest::write_file(dir.path() / "CONC.sav", restart_files().transient);
  const Outcome check = run_bounded(dir.path(), 60, "--check");
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out + check.err, "");
  const Outcome o = run_in(dir.path());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(qtest::without_summary(o.err), "");
  EXPECT_EQ(o.out.find("UNABLE TO READ RESTART FILE"), std::string::npos);
  EXPECT_NE(o.out.find(" IT=    2"), std::string::npos) << "the run should go on with step 2";
  EXPECT_EQ(o.out.find(" IT=    1"), std::string::npos);
}

// A missing restart file is not an error: the run notes it on the console and
// with one warning line on standard error, and starts from the initial fields.
TEST(RestartFileControl, MissingFileIsReportedOnTheConsoleAndTheRunGoesOn) {
  qtest::ScratchDir dir("qt-bad-restart");
  qtest::write_file(dir.path() / "PROB.INP", transient_reader());
  const Outcome check = run_bounded(dir.path(), 60, "--check");
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(check.err, "questrand: warning: CONC.sav: no such restart file; the run starts from the initial fields\n");
  const Outcome o = run_in(dir.path());
  EXPECT_EQ(o.status, 0) << "a missing restart file must not stop the run; stderr: " << o.err;
  EXPECT_EQ(qtest::without_summary(o.err), "questrand: warning: CONC.sav: no such restart file; the run starts from the initial fields\n");
  EXPECT_NE(o.out.find(" UNABLE TO READ RESTART FILE CONC.sav"), std::string::npos)
      << "console:\n" << shortened(o.out);
  EXPECT_TRUE(fs::exists(dir.path() / "CONC.OUT"));
  EXPECT_FALSE(fs::exists(dir.path() / "CONC.sav"));
}

// A restart file without read permission is bad input, and the run that would
// also write its restart file leaves it as it was.  Root reads any file, so
// under root the program runs as the user nobody (setpriv).
TEST(RestartFileControl, UnreadableFileIsRefusedAndKept) {
  std::string as_other_user;
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "root without setpriv";
    as_other_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  qtest::ScratchDir dir("qt-bad-restart");
  qtest::ScratchDir streams("qt-bad-streams");
  qtest::write_file(dir.path() / "PROB.INP", Input().set(31, "1").set(41, "3").set(62, "T").set(64, "T").text());
  qtest::write_file(dir.path() / "CONC.sav", restart_files().transient);
  for (const fs::path& d : {dir.path(), streams.path()}) fs::permissions(d, fs::perms::all);
  fs::permissions(dir.path() / "PROB.INP", fs::perms::all);
  fs::permissions(dir.path() / "CONC.sav", fs::perms::none);
  const Snapshot before = snapshot_names(dir.path());
  const std::string cmd = "cd '" + dir.path().string() + "' && " + as_other_user + "'" + std::string(QUESTRAND_EXE) + "' > '" +
                          (streams.path() / "out").string() + "' 2> '" + (streams.path() / "err").string() + "'";
  const int rc = std::system(cmd.c_str());
  fs::permissions(dir.path() / "CONC.sav", fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(rc != -1 && WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  EXPECT_EQ(qtest::read_file(streams.path() / "err"), "CONC.sav: cannot read the restart file: Permission denied\n");
  EXPECT_EQ(qtest::read_file(dir.path() / "CONC.sav"), restart_files().transient);
  EXPECT_EQ(snapshot_names(dir.path()), before);
}

// ---------------------------------------------------------------------------
// Divergence.

// Flow solved with the u under-relaxation far above 1: the residuals stop
// being finite within the first iterations.
Input diverging_input() { return Input().set(36, "T").set(46, "50.0  0.5").set(31, "2").set(41, "20").set(62, "T"); }

// The one line of `text` holding "DIVERGED", or "" (and a failure when there
// are several).
std::string diverged_line(const std::string& text, const std::string& where) {
  std::istringstream in(text);
  std::string line;
  std::string found;
  int count = 0;
  while (std::getline(in, line))
    if (line.find("DIVERGED") != std::string::npos) {
      found = line;
      ++count;
    }
  EXPECT_EQ(count, 1) << "lines with DIVERGED in the " << where;
  return found;
}

// Number of the last " Iteration : n" console line.
int last_console_iteration(const std::string& console) {
  const std::string key = "Iteration :";
  int last = -1;
  for (std::size_t at = console.find(key); at != std::string::npos; at = console.find(key, at + 1))
    last = std::stoi(console.substr(at + key.size()));
  return last;
}

// The number after `key` in `line`, or -1.
int number_after(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return -1;
  return std::stoi(line.substr(at + key.size()));
}

void check_diverged_run(const fs::path& dir, const Outcome& o, const std::string& restart_before, int step) {
  EXPECT_EQ(o.status, 3) << "stderr: " << o.err;
  EXPECT_EQ(count_lines(o.err), 1) << "stderr:\n" << o.err;
  EXPECT_NE(o.err.find("DIVERGED"), std::string::npos) << o.err;

  const std::string console_line = diverged_line(o.out, "console");
  ASSERT_TRUE(fs::exists(dir / "CONC.OUT"));
  const std::string listing_line = diverged_line(qtest::read_file(dir / "CONC.OUT"), "listing");
  EXPECT_EQ(console_line, listing_line);

  bool named = false;
  for (const char* eq : {"pressure correction (mass)", "u-momentum", "v-momentum", "temperature", "concentration"})
    named = named || console_line.find(std::string("DIVERGED: the ") + eq + " residual is not finite at step ") !=
                         std::string::npos;
  ASSERT_TRUE(named) << "console line: " << console_line;
  EXPECT_EQ(number_after(console_line, "at step "), step) << "the run blows up in its first step";
  EXPECT_EQ(number_after(console_line, ", iteration "), last_console_iteration(o.out))
      << "the iteration named is the last one shown";

  // The run record says how the run ended and why.
  const std::string record = qtest::read_file(dir / "CONC.record.json");
  EXPECT_NE(record.find("\"status\": \"diverged\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"exit_status\": 3"), std::string::npos);
  EXPECT_NE(record.find("DIVERGED: the "), std::string::npos);
  EXPECT_EQ(qtest::read_file(dir / "CONC.sav"), restart_before) << "the restart file was rewritten";
  EXPECT_FALSE(fs::exists(dir / "CONC.VEL"));
  EXPECT_FALSE(fs::exists(dir / "CONC.PRS"));
  EXPECT_EQ(qtest::read_file(dir / "CONC.CON"), "sentinel concentration save file\n");
  for (const auto& e : fs::directory_iterator(dir)) {
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos)
        << "temporary restart file left: " << e.path().filename();
  }
}

TEST(Divergence, StopsWithStatus3AndKeepsTheRestartFile) {
  qtest::ScratchDir dir("qt-bad-diverge");
  const std::string old_restart = std::string("restart file of an earlier run \0\xff", 33);
  qtest::write_file(dir.path() / "CONC.sav", old_restart);
  qtest::write_file(dir.path() / "CONC.CON", "sentinel concentration save file\n");
  qtest::write_file(dir.path() / "PROB.INP", diverging_input().text());
  const Outcome o = run_in(dir.path());
  check_diverged_run(dir.path(), o, old_restart, 1);
}

TEST(Divergence, AfterARestartReadKeepsTheRestartFile) {
  qtest::ScratchDir dir("qt-bad-diverge");
  const RestartFiles& f = restart_files();
  qtest::write_file(dir.path() / "CONC.sav", f.transient);
  qtest::write_file(dir.path() / "CONC.CON", "sentinel concentration save file\n");
  qtest::write_file(dir.path() / "PROB.INP", diverging_input().set(64, "T").text());
  const Outcome o = run_in(dir.path());
  check_diverged_run(dir.path(), o, f.transient, 2);  // the file ends step 1
}

}  // namespace
