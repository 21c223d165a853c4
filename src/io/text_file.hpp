// Output files that report failure: a file that cannot be created or
// written raises FileError naming the file and the system's reason.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace questrand::io {

// An output file could not be created or written.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws FileError "<name>: cannot <action>: <strerror(errno)>".
[[noreturn]] void fail_file(const std::string& name, std::string_view action);

// A text file opened for writing ("w", created or replaced) or appending
// ("a"), closed on destruction.  Lines are gathered in a buffer of the file's
// own and written in large blocks, one call each; every block write is
// checked, and close() writes the rest and reports a failed write or flush.
class TextFile {
 public:
  TextFile(std::string name, const char* mode);
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  void line(std::string_view text);  // adds text and a newline
  void close();                      // writes the buffer, flushes and closes, checking all
  std::FILE* handle();               // the stream, with every line so far handed to it
  const std::string& name() const { return name_; }

 private:
  void write_buffer();  // hands the buffered lines to the stream, checked
  std::string name_;
  std::FILE* f_ = nullptr;
  std::string buf_;
};

// A text file appended one line at a time and kept open between lines: each
// line is handed to the system at once (written and flushed, checked), so the
// file is complete after every line, as when it is opened and closed around
// each one, without the cost of opening it again.  Opened for appending at
// the first line; close() reports a failed close, the destructor closes
// unchecked.
class LineAppender {
 public:
  explicit LineAppender(std::string name) : name_(std::move(name)) {}
  ~LineAppender();
  LineAppender(const LineAppender&) = delete;
  LineAppender& operator=(const LineAppender&) = delete;

  void line(std::string_view text);
  void close();
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::FILE* f_ = nullptr;
};

// Writes text and a newline to an open stream, throwing FileError on failure.
void write_line(std::FILE* f, const std::string& name, std::string_view text);

}  // namespace questrand::io
