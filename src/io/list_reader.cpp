#include "io/list_reader.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstddef>
#include <string>
#include <system_error>
#include <utility>

namespace questrand::io {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Blanks between values.  A CR that is not part of a CR LF line end counts as
// a blank too.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Characters that end a value: blanks, the separators and the slash.
bool ends_value(char c) { return is_blank(c) || c == ',' || c == ';' || c == '/'; }

std::string_view expected_text(ItemType type) {
  switch (type) {
    case ItemType::Integer:
      return "an integer";
    case ItemType::Real:
      return "a real number";
    case ItemType::Logical:
      return "a logical value T or F";
  }
  return "a value";
}

// An optional leading sign at s[i]: skipped; true when it is a minus.
bool take_sign(std::string_view s, std::size_t& i) {
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) return s[i++] == '-';
  return false;
}

// Optional sign and decimal digits, within the 32-bit range.
bool parse_integer(std::string_view s, int& out) {
  std::size_t i = 0;
  const bool negative = take_sign(s, i);
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  out = static_cast<int>(v);
  return true;
}

// Optional sign, digits with at most one point (at least one digit), then
// optionally an exponent: a letter E, D or Q (either case) with an optional
// sign, or a sign alone, followed by at least one digit.  The text is
// converted straight to the nearest float.  A value beyond the float range is
// refused; one below the smallest subnormal becomes a zero of its sign.
bool parse_real(std::string_view s, float& out) {
  std::size_t i = 0;
  const bool negative = take_sign(s, i);
  std::string int_digits;
  std::string frac_digits;
  while (i < s.size() && is_digit(s[i])) int_digits += s[i++];
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) frac_digits += s[i++];
  }
  if (int_digits.empty() && frac_digits.empty()) return false;

  long long exponent = 0;
  if (i < s.size()) {
    const char c = s[i];
    bool exp_negative = false;
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q') {
      ++i;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        exp_negative = s[i] == '-';
        ++i;
      }
    } else if (c == '+' || c == '-') {
      exp_negative = c == '-';
      ++i;
    } else {
      return false;
    }
    if (i == s.size()) return false;
    for (; i < s.size(); ++i) {
      if (!is_digit(s[i])) return false;
      if (exponent < 1000000000LL) exponent = exponent * 10 + (s[i] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }

  std::string text;
  if (negative) text += '-';
  text += int_digits.empty() ? std::string("0") : int_digits;
  if (!frac_digits.empty()) {
    text += '.';
    text += frac_digits;
  }
  text += 'e';
  text += std::to_string(exponent);

  float value = 0.0f;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Decimal exponent of the leading non-zero digit tells underflow from
    // overflow (the two out-of-range regions are far apart).
    const std::string digits = int_digits + frac_digits;
    const std::size_t lead = digits.find_first_not_of('0');
    if (lead == std::string::npos) return false;
    const long long lead_exponent = static_cast<long long>(int_digits.size()) - 1 -
                                    static_cast<long long>(lead) + exponent;
    if (lead_exponent >= 0) return false;
    value = negative ? -0.0f : 0.0f;
  } else if (ec != std::errc() || ptr != last) {
    return false;
  }
  if (!std::isfinite(value)) return false;
  out = value;
  return true;
}

// An optional point, then T or F (either case); whatever follows is ignored.
bool parse_logical(std::string_view s, bool& out) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '.') ++i;
  if (i == s.size()) return false;
  const char c = s[i];
  if (c == 'T' || c == 't') {
    out = true;
    return true;
  }
  if (c == 'F' || c == 'f') {
    out = false;
    return true;
  }
  return false;
}

bool store(const ListItem& item, std::string_view text) {
  switch (item.type) {
    case ItemType::Integer:
      return parse_integer(text, *static_cast<int*>(item.target));
    case ItemType::Real:
      return parse_real(text, *static_cast<float*>(item.target));
    case ItemType::Logical:
      return parse_logical(text, *static_cast<bool*>(item.target));
  }
  return false;
}

// Repeat count: unsigned decimal digits, saturated at `limit`; 0 when the
// text is not a count or the count is zero.
std::size_t parse_count(std::string_view s, std::size_t limit) {
  if (s.empty()) return 0;
  std::size_t r = 0;
  for (char c : s) {
    if (!is_digit(c)) return 0;
    if (r < limit) r = r * 10 + static_cast<std::size_t>(c - '0');
  }
  return r < limit ? r : limit;
}

}  // namespace

ListReader::ListReader(std::string file_name, std::string content)
    : file_(std::move(file_name)), data_(std::move(content)) {}

bool ListReader::at_end() const { return pos_ >= data_.size(); }

bool ListReader::next_line(std::string_view& line) {
  if (pos_ >= data_.size()) return false;
  const std::size_t nl = data_.find('\n', pos_);
  const std::size_t end = nl == std::string::npos ? data_.size() : nl;
  line = std::string_view(data_).substr(pos_, end - pos_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos_ = nl == std::string::npos ? data_.size() : nl + 1;
  ++line_no_;
  return true;
}

void ListReader::fail_end(std::string_view what, std::string_view expected) const {
  const int line = line_no_ > 0 ? line_no_ : 1;
  std::string msg = file_ + ": line " + std::to_string(line) + ": ";
  msg += what;
  msg += ": end of file reached, expected ";
  msg += expected;
  throw InputError(msg);
}

std::string printable(std::string_view text) {
  constexpr std::size_t kShown = 40;
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (std::size_t k = 0; k < text.size() && k < kShown; ++k) {
    const unsigned char ch = static_cast<unsigned char>(text[k]);
    if (ch >= 0x20 && ch < 0x7F) {
      out += static_cast<char>(ch);
    } else {
      out += "\\x";
      out += hex[ch >> 4];
      out += hex[ch & 0xF];
    }
  }
  if (text.size() > kShown) out += "...";
  return out;
}

void ListReader::fail_value(std::string_view what, std::string_view expected, std::string_view found) const {
  std::string msg = file_ + ": line " + std::to_string(line_no_) + ": ";
  msg += what;
  msg += ": expected ";
  msg += expected;
  msg += ", found \"";
  msg += printable(found);
  msg += '"';
  throw InputError(msg);
}

void ListReader::read_list(const std::vector<ListItem>& items) {
  std::string_view line;
  if (items.empty()) {
    if (!next_line(line)) fail_end("free text", "a line of free text");
    return;
  }
  if (!next_line(line)) fail_end(items[0].what, expected_text(items[0].type));

  std::size_t pos = 0;
  std::size_t k = 0;
  // True at the start of the read and after a comma: a further comma then
  // stands for a null value.
  bool after_comma = true;
  while (k < items.size()) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    if (pos == line.size()) {
      if (!next_line(line)) fail_end(items[k].what, expected_text(items[k].type));
      pos = 0;
      continue;
    }
    const char c = line[pos];
    if (c == ',' || c == ';') {
      if (after_comma) ++k;  // null value: the item keeps its value
      after_comma = true;
      ++pos;
      continue;
    }
    if (c == '/') return;  // the remaining items keep their values

    const std::size_t start = pos;
    while (pos < line.size() && !ends_value(line[pos])) ++pos;
    const std::string_view token = line.substr(start, pos - start);
    after_comma = false;

    const std::size_t star = token.find('*');
    if (star == std::string_view::npos) {
      if (!store(items[k], token)) fail_value(items[k].what, expected_text(items[k].type), token);
      ++k;
      continue;
    }
    const std::size_t count = parse_count(token.substr(0, star), items.size() - k);
    if (count == 0) fail_value(items[k].what, expected_text(items[k].type), token);
    const std::string_view value = token.substr(star + 1);
    for (std::size_t j = 0; j < count; ++j, ++k) {
      if (value.empty()) continue;  // r* gives r null values
      if (!store(items[k], value)) fail_value(items[k].what, expected_text(items[k].type), token);
    }
  }
  if (k == items.size()) note_ignored_values(line.substr(pos), items.size());
}

namespace {

// "first", "second", ... for the count of a list's values.
std::string ordinal(std::size_t n) {
  static const char* const words[] = {"first", "second", "third",   "fourth", "fifth",
                                      "sixth", "seventh", "eighth", "ninth",  "tenth"};
  return n >= 1 && n <= 10 ? words[n - 1] : std::to_string(n) + "th";
}

}  // namespace

void ListReader::note_ignored_values(std::string_view rest, std::size_t count) {
  std::size_t pos = 0;
  while (pos < rest.size() && (is_blank(rest[pos]) || rest[pos] == ',' || rest[pos] == ';')) ++pos;
  std::size_t end = pos;
  while (end < rest.size() && !ends_value(rest[end])) ++end;
  float ignored = 0.0f;
  if (end == pos || !parse_real(rest.substr(pos, end - pos), ignored)) return;  // a comment
  // The ignored text with its blanks run together.
  std::string shown;
  for (std::size_t i = pos; i < rest.size(); ++i) {
    if (is_blank(rest[i])) {
      if (!shown.empty() && shown.back() != ' ') shown += ' ';
    } else {
      shown += rest[i];
    }
  }
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  warnings_.push_back(file_ + ": line " + std::to_string(line_no_) + ": values after the " + ordinal(count) +
                      " ignored: \"" + printable(shown) + "\" (a decimal comma?)");
}

void ListReader::skip_lines(int n, std::string_view what) {
  std::string_view line;
  for (int i = 0; i < n; ++i) {
    if (!next_line(line)) {
      const int left = n - i;
      fail_end(what, left == 1 ? std::string("1 more line") : std::to_string(left) + " more lines");
    }
  }
}

std::string ListReader::read_text(int width, std::string_view what) {
  std::string_view line;
  if (!next_line(line)) fail_end(what, "a line of text");
  const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
  std::string text(line.substr(0, w < line.size() ? w : line.size()));
  text.resize(w, ' ');
  return text;
}

}  // namespace questrand::io
