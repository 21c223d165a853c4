#include "output/uptake_file.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "io/text_file.hpp"

namespace questrand {

void start_uptake_file(const std::string& name, bool continued) {
  struct stat st {};
  const bool exists = ::stat(name.c_str(), &st) == 0;
  bool same_columns = false;
  if (continued && exists) {
    if (std::FILE* old = std::fopen(name.c_str(), "r")) {
      char first[512] = {};
      if (std::fgets(first, sizeof first, old)) first[std::strcspn(first, "\r\n")] = '\0';
      same_columns = std::strcmp(first, kUptakeHeader) == 0;
      std::fclose(old);
    }
  }
  io::TextFile f(name, continued ? "a" : "w");
  if (!continued || !exists || !same_columns) f.line(kUptakeHeader);
  f.close();
}

std::string uptake_line(const Uptake& up) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g", up.time, up.m_flow,
                up.m_memb, up.m_gel, up.c_memb_mean, up.c_gel_mean, up.flux_memb_gel, up.c_out, up.balance,
                up.c_memb_mid, up.c_gel_mid, up.c_gel_top);
  return buf;
}

void append_uptake_line(const std::string& name, const Uptake& up) {
  io::TextFile f(name, "a");
  f.line(uptake_line(up));
  f.close();
}

}  // namespace questrand
