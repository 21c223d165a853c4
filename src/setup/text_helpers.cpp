#include "setup/text_helpers.hpp"

namespace questrand {

static bool is_blank(char ch) { return ch == ' ' || ch == '\0'; }

int chrbln(std::string_view text) {
  for (int k = static_cast<int>(text.size()); k >= 1; --k)
    if (!is_blank(text[k - 1])) return k;
  return 1;
}

void appendext(std::string& name, std::string_view ext, int mode) {
  const std::size_t n = name.size();
  const int last = chrbln(name);
  if (n == 0 || (name[0] == ' ' && last == 1)) return;
  const std::size_t point = name.find('.');
  std::string result;
  if (point == std::string::npos) {
    result = name.substr(0, static_cast<std::size_t>(last));
  } else if (mode != 0) {
    result = name.substr(0, point);
  } else {
    return;
  }
  result += ext;
  result.resize(n, ' ');
  name = result;
}

int stem_length(std::string_view name) {
  const std::size_t point = name.find('.');
  const int k = point == std::string_view::npos ? 0 : static_cast<int>(point) + 1;
  const int len = k - 1;
  return (len >= 1 && len <= 8) ? len : 8;
}

std::string trimmed(std::string_view name) {
  std::size_t end = name.size();
  while (end > 0 && is_blank(name[end - 1])) --end;
  return std::string(name.substr(0, end));
}

std::string restart_temp_name(std::string_view restart_name) { return trimmed(restart_name) + ".part"; }

}  // namespace questrand
