// Shared helpers of the test suite: data files, TSV tables, scratch
// directories and running the program.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qtest {

// Directory of the checked-in test data (golden tables and reference runs).
std::filesystem::path data_dir();

std::string read_file(const std::filesystem::path& p);
// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);
void write_file(const std::filesystem::path& p, const std::string& content);

// Rows of a tab-separated table with a header line; each row maps column
// names to cells.
struct TsvTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  int column(const std::string& name) const;  // index, or -1
};
TsvTable read_tsv(const std::filesystem::path& p);

// The text between the outer '|' characters of a golden cell.
std::string between_bars(const std::string& cell);
// Undo the escapes \n \t \r \\ of a golden input cell.
std::string unescape(const std::string& cell);

// A fresh empty directory, removed when the object goes out of scope.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag = "qt");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs the questrand executable in `dir`; returns its exit status (128+n when
// killed by signal n).  Standard output and error are kept in dir/console.txt
// and dir/stderr.txt unless other paths are given.
int run_program(const std::filesystem::path& dir, const std::string& console = "console.txt",
                const std::string& stderr_file = "stderr.txt");

// Standard error without the three lines of the end-of-run summary.
std::string without_summary(const std::string& err);

// Changes the working directory for the lifetime of the object.
class WorkingDir {
 public:
  explicit WorkingDir(const std::filesystem::path& p);
  ~WorkingDir();

 private:
  std::filesystem::path old_;
};

}  // namespace qtest
