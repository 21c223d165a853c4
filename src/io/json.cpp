#include "io/json.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace questrand::io {

std::string json_text(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string json_real(float value) {
  if (!std::isfinite(value)) return "null";
  char buf[32];
  for (int digits = 6; digits <= 9; ++digits) {  // the shortest that reads back as the same float
    std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(value));
    if (std::strtof(buf, nullptr) == value) break;
  }
  return buf;
}

std::string json_double(double value) {
  if (!std::isfinite(value)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  return buf;
}

std::string json_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t k = 0; k < items.size(); ++k) out += (k ? ", " : "") + items[k];
  return out + "]";
}

}  // namespace questrand::io
