// Pieces of the JSON documents the program writes (the input description,
// the run record, the description of a problem's files and grid).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace questrand::io {

// A JSON string: the text between double quotes, '"' and '\' escaped and
// control characters as \u00XX; other bytes (UTF-8) unchanged.
std::string json_text(std::string_view text);

// The shortest decimal (6 to 9 significant digits) that reads back as the
// same float; null when it is not finite.
std::string json_real(float value);

// A number that reads back as the same double ("%.17g"); null when not finite.
std::string json_double(double value);

// [a, b, ...] of already formatted JSON values.
std::string json_array(const std::vector<std::string>& items);

}  // namespace questrand::io
