#include "test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qtest {

fs::path data_dir() { return fs::path(QUESTRAND_TEST_DATA); }

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

void write_file(const fs::path& p, const std::string& content) {
  std::ofstream out(p, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

int TsvTable::column(const std::string& name) const {
  for (std::size_t k = 0; k < header.size(); ++k)
    if (header[k] == name) return static_cast<int>(k);
  return -1;
}

static std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  for (char ch : line) {
    if (ch == '\t') {
      cells.push_back(cell);
      cell.clear();
    } else {
      cell += ch;
    }
  }
  cells.push_back(cell);
  return cells;
}

TsvTable read_tsv(const fs::path& p) {
  std::istringstream in(read_file(p));
  TsvTable t;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (first) {
      t.header = split_tabs(line);
      first = false;
    } else {
      t.rows.push_back(split_tabs(line));
    }
  }
  return t;
}

std::string between_bars(const std::string& cell) {
  auto a = cell.find('|');
  auto b = cell.rfind('|');
  if (a == std::string::npos || b == a) return cell;
  return cell.substr(a + 1, b - a - 1);
}

std::string unescape(const std::string& cell) {
  std::string out;
  for (std::size_t k = 0; k < cell.size(); ++k) {
    if (cell[k] == '\\' && k + 1 < cell.size()) {
      char n = cell[k + 1];
      if (n == 'n') { out += '\n'; ++k; continue; }
      if (n == 't') { out += '\t'; ++k; continue; }
      if (n == 'r') { out += '\r'; ++k; continue; }
      if (n == '\\') { out += '\\'; ++k; continue; }
    }
    out += cell[k];
  }
  return out;
}

ScratchDir::ScratchDir(const std::string& tag) {
  static std::mt19937_64 rng(std::random_device{}());
  for (;;) {
    path_ = fs::temp_directory_path() / (tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(rng() % 1000000000));
    if (fs::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

int run_program(const fs::path& dir, const std::string& console, const std::string& stderr_file) {
  std::string cmd = "cd '" + dir.string() + "' && '" + std::string(QUESTRAND_EXE) + "' > '" + console + "' 2> '" +
                    stderr_file + "' < /dev/null";
  int rc = std::system(cmd.c_str());
  if (rc == -1) return -1;
  if (WIFEXITED(rc)) return WEXITSTATUS(rc);
  if (WIFSIGNALED(rc)) return 128 + WTERMSIG(rc);
  return -1;
}

std::string without_summary(const std::string& err) {
  std::string out;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    const bool summary = (line.rfind("questrand ", 0) == 0 && line.find(": run ") != std::string::npos) ||
                         line.rfind("questrand: final time ", 0) == 0 || line.rfind("questrand: wall time ", 0) == 0;
    if (!summary) out += line + "\n";
  }
  return out;
}

WorkingDir::WorkingDir(const fs::path& p) : old_(fs::current_path()) { fs::current_path(p); }
WorkingDir::~WorkingDir() {
  std::error_code ec;
  fs::current_path(old_, ec);
}

}  // namespace qtest
