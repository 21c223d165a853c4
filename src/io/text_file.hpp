// Output files that report failure: a file that cannot be created or
// written raises FileError naming the file and the system's reason.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace questrand::io {

// An output file could not be created or written.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws FileError "<name>: cannot <action>: <strerror(errno)>".
[[noreturn]] void fail_file(const std::string& name, std::string_view action);

// A text file opened for writing ("w", created or replaced) or appending
// ("a"), closed on destruction.  Every line is checked; close() reports a
// failed flush.
class TextFile {
 public:
  TextFile(std::string name, const char* mode);
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  void line(std::string_view text);  // writes text and a newline
  void close();                      // flushes and closes, checking both
  std::FILE* handle() { return f_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::FILE* f_ = nullptr;
};

// Writes text and a newline to an open stream, throwing FileError on failure.
void write_line(std::FILE* f, const std::string& name, std::string_view text);

}  // namespace questrand::io
