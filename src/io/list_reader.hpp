// Free-format (list-directed) reading of a text file held in memory, with the
// error report the program gives for bad input: one line naming the file, the
// line number, the quantity and what was expected or found.
//
// Rules of a list read: values are separated by blanks, tabs, commas or
// semicolons; a read continues onto following lines until every item has a
// value, then discards the rest of the last line it used.  Integers have no
// decimal point; reals take any fixed or exponent form (1.5, 1.5E-3, 1.5D-3,
// 1.5Q-3, 1.5+3); logicals are T or F, optionally after a point, letters after
// them ignored (.TRUE., F).  r*value repeats a value r times, r* gives r null
// values, an empty field between commas is a null value (the item keeps its
// value), and a slash ends the read leaving the remaining items unchanged.
// A CR before the LF is dropped.  Infinite or NaN reals are rejected.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace questrand::io {

// Bad input: the message is the complete line written to standard error.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text as an error message shows it: control and non-ASCII bytes as
// \xNN, cut after 40 characters ("...").
std::string printable(std::string_view text);

enum class ItemType { Integer, Real, Logical };

// One item of a list read: its type, where its value goes, and what it is
// (used in error messages, for example "number of grid columns").
struct ListItem {
  ItemType type;
  void* target;  // int*, float* or bool*
  std::string_view what;

  static ListItem integer(int& v, std::string_view what) { return {ItemType::Integer, &v, what}; }
  static ListItem real(float& v, std::string_view what) { return {ItemType::Real, &v, what}; }
  static ListItem logical(bool& v, std::string_view what) { return {ItemType::Logical, &v, what}; }
};

class ListReader {
 public:
  // file_name is used only in messages; content is the file's bytes.
  ListReader(std::string file_name, std::string content);

  // List read of the items (an empty list consumes exactly one line).
  // Throws InputError: "<file>: line <n>: <what>: expected <type>, found \"<text>\""
  // or "<file>: line <n>: <what>: end of file reached, expected <type>".
  void read_list(const std::vector<ListItem>& items);

  // Skip read: consumes n lines whatever they hold (end of file is an error
  // naming `what`).
  void skip_lines(int n, std::string_view what);

  // Text read of the first `width` characters of the next line, blank-filled.
  std::string read_text(int width, std::string_view what);

  // Warnings about value lines whose text after the list begins with a
  // further number (a list written with decimal commas, 1,5E-9, reads as
  // 1 and 5E-9): "<file>: line <n>: values after the third ignored: \"...\"
  // (a decimal comma?)".  Words after the values stay silent comments.
  const std::vector<std::string>& warnings() const { return warnings_; }

  // Number of the last line consumed (1-based; 0 before the first read).
  int line_number() const { return line_no_; }
  bool at_end() const;

 private:
  // Takes the next line (without its LF, and without a CR before the LF);
  // false at end of file.
  bool next_line(std::string_view& line);
  void note_ignored_values(std::string_view rest, std::size_t count);
  [[noreturn]] void fail_end(std::string_view what, std::string_view expected) const;
  [[noreturn]] void fail_value(std::string_view what, std::string_view expected, std::string_view found) const;

  std::string file_;
  std::string data_;
  std::size_t pos_ = 0;  // start of the next unconsumed line
  int line_no_ = 0;
  std::vector<std::string> warnings_;
};

}  // namespace questrand::io
