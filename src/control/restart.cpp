#include "control/restart.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "io/fortran_format.hpp"
#include "io/list_reader.hpp"
#include "io/text_file.hpp"
#include "setup/run_files.hpp"

namespace questrand {

namespace {

// The nine saved fields, in record order 2..10.
template <class S>
auto saved_fields(S& s) {
  return std::array{&s.cvar.u, &s.cvar.v, &s.cvar.p, &s.cvar.t, &s.cvar.c,
                    &s.cprop.vis, &s.cprop.den, &s.cprop.gamt, &s.cprop.gamc};
}

std::uint32_t load_u32(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}
std::int32_t load_i32(const unsigned char* b) {
  const std::uint32_t u = load_u32(b);
  std::int32_t v;
  std::memcpy(&v, &u, 4);
  return v;
}
float load_f32(const unsigned char* b) {
  const std::uint32_t u = load_u32(b);
  float v;
  std::memcpy(&v, &u, 4);
  return v;
}
void store_u32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<unsigned char>((v >> (8 * k)) & 0xFF));
}
void store_f32(std::vector<unsigned char>& out, float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  store_u32(out, u);
}
void store_i32(std::vector<unsigned char>& out, std::int32_t i) {
  std::uint32_t u;
  std::memcpy(&u, &i, 4);
  store_u32(out, u);
}

// One framed record found in the file: where its data starts and its length.
struct Record {
  std::size_t offset;
  std::size_t length;
};

class RestartParser {
 public:
  RestartParser(std::string name, const std::string& bytes) : name_(std::move(name)), bytes_(bytes) {}

  [[noreturn]] void fail(int record, const std::string& what) const {
    throw io::InputError(name_ + ": record " + std::to_string(record) + ": " + what +
                         " (not a restart file written by a run of this problem)");
  }

  // A record that is well framed but holds an impossible value.
  [[noreturn]] void fail_value(int record, const std::string& what) const {
    throw io::InputError(name_ + ": record " + std::to_string(record) + ": " + what);
  }

  // Reads the frame of record `number`, which must hold `expected` bytes.
  Record next(int number, std::size_t expected, const std::string& content) {
    const std::size_t left = bytes_.size() - pos_;
    if (left == 0) fail(number, "missing: the file ends after " + std::to_string(number - 1) + " records");
    if (left < 4) fail(number, "truncated length word");
    const std::size_t len = load_u32(data() + pos_);
    if (len != expected)
      fail(number, "holds " + std::to_string(len) + " data bytes, expected " + std::to_string(expected) + " (" +
                       content + ")");
    if (left - 4 < len + 4) fail(number, "truncated: the file ends inside the record");
    const std::size_t trailer = load_u32(data() + pos_ + 4 + len);
    if (trailer != len)
      fail(number, "broken framing: the closing length word " + std::to_string(trailer) + " differs from " +
                       std::to_string(len));
    Record r{pos_ + 4, len};
    pos_ += len + 8;
    return r;
  }

  // Length word of the next record, without consuming it (or -1).
  long long peek_length() const {
    if (bytes_.size() - pos_ < 4) return -1;
    return load_u32(data() + pos_);
  }

  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(bytes_.data()); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  const std::string& bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

bool read_restart(State& s) {
  const std::string name = run_files(s.cio).restart_in;
  struct stat st {};
  errno = 0;
  if (::stat(name.c_str(), &st) != 0 && errno == ENOENT) {
    return false;  // no restart file: the run starts from the initial fields
  }
  // A restart file that exists but cannot be read is bad input: going on
  // would replace the file the user asked to continue from.
  if (errno != 0)
    throw io::InputError(name + ": cannot read the restart file: " + std::strerror(errno));
  if (!S_ISREG(st.st_mode))
    throw io::InputError(name + ": cannot read the restart file: " +
                         (S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file"));
  errno = 0;
  std::ifstream in(name, std::ios::binary);
  if (!in.is_open())
    throw io::InputError(name + ": cannot read the restart file: " +
                         (errno != 0 ? std::strerror(errno) : "it cannot be opened"));
  // The largest restart file: a 350 by 350 grid, transient header.
  constexpr long long kMaxRestartBytes = 24 + 9 * (8 + 4LL * kMaxGrid * kMaxGrid);
  if (st.st_size > kMaxRestartBytes)
    throw io::InputError(name + ": is " + std::to_string(st.st_size) + " bytes long, more than any restart file (" +
                         std::to_string(kMaxRestartBytes) + " bytes)");
  std::ostringstream ss;
  ss << in.rdbuf();
  load_restart(s, name, ss.str());
  return true;
}

void load_restart(State& s, const std::string& name, const std::string& bytes) {
  RestartParser parser(name, bytes);
  const bool steady = s.ctime.steady;
  const std::size_t header_len = steady ? 12 : 16;
  const long long found = parser.peek_length();
  if (found == (steady ? 16 : 12))
    parser.fail(1, steady ? "the header of a transient run's restart file, read by a steady run"
                          : "the header of a steady run's restart file, read by a transient run");
  const Record head = parser.next(1, header_len, steady ? "ni, nj, iter of a steady run" : "ni, nj, istep, time of a transient run");
  const unsigned char* h = parser.data() + head.offset;
  const int ni = load_i32(h);
  const int nj = load_i32(h + 4);
  if (ni < 1 || ni > kMaxGrid || nj < 1 || nj > kMaxGrid || ni != s.cgrid.ni || nj != s.cgrid.nj)
    throw io::InputError(name + ": record 1: the restart file holds a " + std::to_string(ni) + " by " +
                         std::to_string(nj) + " grid, but PROB.INP gives a " + std::to_string(s.cgrid.ni) + " by " +
                         std::to_string(s.cgrid.nj) + " grid");

  const std::size_t field_len = 4u * static_cast<std::size_t>(ni) * static_cast<std::size_t>(nj);
  const std::string field_content = "a " + std::to_string(ni) + " by " + std::to_string(nj) + " field";
  Record records[9];
  for (int k = 0; k < 9; ++k) records[k] = parser.next(k + 2, field_len, field_content);

  // The count read raises maxit (steady) or nsteps (transient): it must be
  // a count, and the raised limit must stay an integer.
  const int count = load_i32(h + 8);
  const int limit = steady ? s.cterm.maxit : s.ctime.nsteps;
  const char* counted = steady ? "iteration count" : "step number";
  if (count < 0 || count > std::numeric_limits<int>::max() - std::max(limit, 0))
    parser.fail(1, std::string("the ") + counted + " " + std::to_string(count) + " is out of range");
  const float time = steady ? 0.0f : load_f32(h + 12);
  if (!std::isfinite(time)) parser.fail(1, "the time is not a finite number");

  // Every value of every field record must be a finite number.
  static const char* const field_names[9] = {"u", "v", "p", "t", "c", "vis", "den", "gamt", "gamc"};
  for (int k = 0; k < 9; ++k) {
    const unsigned char* d = parser.data() + records[k].offset;
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i, d += 4)
        if (!std::isfinite(load_f32(d)))
          parser.fail_value(k + 2, std::string("field ") + field_names[k] + ": the value at node (" +
                                       std::to_string(i) + "," + std::to_string(j) + ") is not a finite number");
  }

  // Every record is sound: take the values.
  if (steady) {
    s.cterm.iter = count;
    s.cterm.maxit = s.cterm.maxit + s.cterm.iter;
  } else {
    s.ctime.istep = count;
    s.ctime.time = time;
    s.ctime.nsteps = s.ctime.nsteps + s.ctime.istep;
  }
  auto fields = saved_fields(s);
  for (int k = 0; k < 9; ++k) {
    const unsigned char* d = parser.data() + records[k].offset;
    Field& f = *fields[k];
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i, d += 4) f(i, j) = load_f32(d);
  }
}

void write_restart(const State& s) {
  const int ni = s.cgrid.ni;
  const int nj = s.cgrid.nj;
  std::vector<unsigned char> out;
  out.reserve(24 + 9 * (8 + 4 * static_cast<std::size_t>(ni) * static_cast<std::size_t>(nj)));
  const std::uint32_t head_len = s.ctime.steady ? 12 : 16;
  store_u32(out, head_len);
  store_i32(out, ni);
  store_i32(out, nj);
  if (s.ctime.steady) {
    store_i32(out, s.cterm.iter);
  } else {
    store_i32(out, s.ctime.istep);
    store_f32(out, s.ctime.time);
  }
  store_u32(out, head_len);
  const std::uint32_t field_len = 4u * static_cast<std::uint32_t>(ni) * static_cast<std::uint32_t>(nj);
  for (const Field* f : saved_fields(s)) {
    store_u32(out, field_len);
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i) store_f32(out, (*f)(i, j));
    store_u32(out, field_len);
  }

  // One fixed temporary name per restart file: a write cut short by a kill
  // leaves at most this one file, which the next write replaces.
  const RunFiles files = run_files(s.cio);
  const std::string& name = files.restart_out;
  const std::string& temp = files.restart_temp;
  errno = 0;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) io::fail_file(name, "create the restart file (as " + temp + ")");
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      errno = err;
      io::fail_file(name, "write the restart file");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    errno = err;
    io::fail_file(name, "write the restart file");
  }
  if (std::rename(temp.c_str(), name.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    errno = err;
    io::fail_file(name, "replace the restart file");
  }
}

}  // namespace questrand
