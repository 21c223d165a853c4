#include "output/uptake_file.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "io/text_file.hpp"

namespace questrand {

void start_uptake_file(const std::string& name, bool continued) {
  struct stat st {};
  const bool exists = ::stat(name.c_str(), &st) == 0;
  io::TextFile f(name, continued ? "a" : "w");
  if (!continued || !exists) f.line(kUptakeHeader);
  f.close();
}

std::string uptake_line(const Uptake& up) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g", up.time, up.m_flow, up.m_memb,
                up.m_gel, up.c_memb_mean, up.c_gel_mean, up.flux_memb_gel, up.c_out, up.balance);
  return buf;
}

void append_uptake_line(const std::string& name, const Uptake& up) {
  io::TextFile f(name, "a");
  f.line(uptake_line(up));
  f.close();
}

}  // namespace questrand
