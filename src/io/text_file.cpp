#include "io/text_file.hpp"

#include <cerrno>
#include <cstring>

namespace questrand::io {

void fail_file(const std::string& name, std::string_view action) {
  const int err = errno;
  std::string msg = name + ": cannot " + std::string(action);
  if (err != 0) msg += std::string(": ") + std::strerror(err);
  throw FileError(msg);
}

TextFile::TextFile(std::string name, const char* mode) : name_(std::move(name)) {
  errno = 0;
  f_ = std::fopen(name_.c_str(), mode);
  if (!f_) fail_file(name_, mode[0] == 'a' ? "open for appending" : "create");
}

TextFile::~TextFile() {
  if (f_) std::fclose(f_);
}

void write_line(std::FILE* f, const std::string& name, std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fputc('\n', f) == EOF || std::ferror(f))
    fail_file(name, "write");
}

void TextFile::line(std::string_view text) { write_line(f_, name_, text); }

void TextFile::close() {
  if (!f_) return;
  std::FILE* f = f_;
  f_ = nullptr;
  errno = 0;
  const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
  const int err = errno;
  const bool closed = std::fclose(f) == 0;
  if (!flushed || !closed) {
    errno = flushed ? errno : err;
    fail_file(name_, "write");
  }
}

}  // namespace questrand::io
