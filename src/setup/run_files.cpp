#include "setup/run_files.hpp"

#include <regex>

#include "io/fortran_format.hpp"
#include "setup/run_name_rule.hpp"
#include "setup/text_helpers.hpp"

namespace questrand {

bool run_name_allowed(std::string_view name) {
  static const std::regex rule(kRunNameRule, std::regex::ECMAScript);
  return std::regex_match(name.begin(), name.end(), rule);
}

RunFiles run_files(const Cio& io) {
  RunFiles f;
  f.listing = trimmed(io.runname);
  f.stem = io.runname.substr(0, static_cast<std::size_t>(stem_length(io.runname)));
  f.restart_in = trimmed(io.rstin_name);
  f.restart_out = trimmed(io.rstout_name);
  f.restart_temp = restart_temp_name(io.rstout_name);
  return f;
}

std::string RunFiles::uptake() const { return trimmed(stem) + ".UPT"; }

std::string step_name(int istep) {
  // From step 100000 on the number takes as many digits as it needs
  // (T100000.), so that no step's files overwrite another's.
  if (istep >= 100000) return "T" + std::to_string(istep) + ".";
  std::string digits;
  if (istep < 10) {
    digits = "T0000" + io::fmt_i(istep, 1);
  } else if (istep < 100) {
    digits = "T000" + io::fmt_i(istep, 2);
  } else if (istep < 1000) {
    digits = "T00" + io::fmt_i(istep, 3);
  } else if (istep < 10000) {
    digits = "T0" + io::fmt_i(istep, 4);
  } else {
    digits = "T" + io::fmt_i(istep, 5);
  }
  digits += ".";
  digits.resize(9, ' ');
  return digits;
}

std::string RunFiles::step_stem(int istep) {
  if (istep >= 100000) return "T" + std::to_string(istep);  // every digit, however many
  const std::string name = step_name(istep);
  return name.substr(0, static_cast<std::size_t>(stem_length(name)));
}

}  // namespace questrand
