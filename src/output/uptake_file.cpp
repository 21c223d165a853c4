#include "output/uptake_file.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "io/text_file.hpp"

namespace questrand {

void start_uptake_file(const std::string& name, bool continued, bool physics) {
  const std::string header = std::string(kUptakeHeader) + (physics ? kUptakePhysicsColumns : "");
  struct stat st {};
  const bool exists = ::stat(name.c_str(), &st) == 0;
  bool same_columns = false;
  if (continued && exists) {
    if (std::FILE* old = std::fopen(name.c_str(), "r")) {
      char first[512] = {};
      if (std::fgets(first, sizeof first, old)) first[std::strcspn(first, "\r\n")] = '\0';
      same_columns = header == first;
      std::fclose(old);
    }
  }
  io::TextFile f(name, continued ? "a" : "w");
  if (!continued || !exists || !same_columns) f.line(header);
  f.close();
}

std::string uptake_line(const Uptake& up) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g", up.time, up.m_flow,
                up.m_memb, up.m_gel, up.c_memb_mean, up.c_gel_mean, up.flux_memb_gel, up.c_out, up.balance,
                up.c_memb_mid, up.c_gel_mid, up.c_gel_top);
  if (!up.physics) return buf;
  char more[64];
  std::snprintf(more, sizeof more, ",%.9g,%.9g", up.m_sink, up.m_reacted);
  return std::string(buf) + more;
}

}  // namespace questrand
