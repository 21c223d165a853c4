#include "io/text_file.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

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

namespace {
constexpr std::size_t kBlock = 1 << 16;  // lines are written in blocks of about this size
}

TextFile::~TextFile() {
  if (!f_) return;
  if (!buf_.empty()) std::fwrite(buf_.data(), 1, buf_.size(), f_);  // unchecked, as the close is
  std::fclose(f_);
}

void TextFile::write_buffer() {
  if (buf_.empty()) return;
  errno = 0;
  const bool ok = std::fwrite(buf_.data(), 1, buf_.size(), f_) == buf_.size() && !std::ferror(f_);
  buf_.clear();
  if (!ok) fail_file(name_, "write");
}

std::FILE* TextFile::handle() {
  if (f_) write_buffer();
  return f_;
}

void write_line(std::FILE* f, const std::string& name, std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fputc('\n', f) == EOF || std::ferror(f))
    fail_file(name, "write");
}

void TextFile::line(std::string_view text) {
  if (buf_.capacity() < kBlock) buf_.reserve(kBlock + 256);
  buf_.append(text);
  buf_.push_back('\n');
  if (buf_.size() >= kBlock) write_buffer();
}

void TextFile::close() {
  if (!f_) return;
  write_buffer();
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

LineAppender::~LineAppender() {
  if (f_) std::fclose(f_);
}

void LineAppender::line(std::string_view text) {
  errno = 0;
  if (!f_) f_ = std::fopen(name_.c_str(), "a");
  if (!f_) fail_file(name_, "open for appending");
  write_line(f_, name_, text);
  if (std::fflush(f_) != 0) fail_file(name_, "write");
}

void LineAppender::close() {
  if (!f_) return;
  std::FILE* f = f_;
  f_ = nullptr;
  errno = 0;
  if (std::fclose(f) != 0) fail_file(name_, "write");
}

}  // namespace questrand::io
