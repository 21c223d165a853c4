#include "output/save_files.hpp"

#include "io/fortran_format.hpp"
#include "io/text_file.hpp"

namespace questrand {

namespace {

void write_scalar_save(const State& s, const std::string& name, const Field& phi) {
  const Cgrid& g = s.cgrid;
  io::TextFile f(name, "w");
  for (int j = 2; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i) f.line(io::FreeLine().real(g.x(i)).real(g.y(j)).real(phi(i, j)).str());
  f.close();
}

// u at the node: fx u(I+1,J) + (1 - fx) u(I,J), fx = (x(I) - x(I-1)) /
// (x(I+1) - x(I-1)); v likewise along y.
void write_velocity_save(const State& s, const std::string& name) {
  const Cgrid& g = s.cgrid;
  const Field& u = s.cvar.u;
  const Field& v = s.cvar.v;
  io::TextFile f(name, "w");
  for (int j = 2; j <= g.jlast; ++j) {
    const float fy = (g.y(j) - g.y(j - 1)) / (g.y(j + 1) - g.y(j - 1));
    for (int i = 2; i <= g.ilast; ++i) {
      const float fx = (g.x(i) - g.x(i - 1)) / (g.x(i + 1) - g.x(i - 1));
      const float u_node = fx * u(i + 1, j) + (1.0f - fx) * u(i, j);
      const float v_node = fy * v(i, j + 1) + (1.0f - fy) * v(i, j);
      f.line(io::FreeLine().real(g.x(i)).real(g.y(j)).real(u_node).real(v_node).str());
    }
  }
  f.close();
}

}  // namespace

std::vector<std::string> write_save_files(const State& s, const RunFiles& files) {
  std::vector<std::string> written;
  if (s.cio.save_vel) write_velocity_save(s, written.emplace_back(files.save(".VEL")));
  if (s.cio.save_prs) write_scalar_save(s, written.emplace_back(files.save(".PRS")), s.cvar.p);
  if (s.cio.save_tmp) write_scalar_save(s, written.emplace_back(files.save(".TMP")), s.cvar.t);
  if (s.cio.save_con) write_scalar_save(s, written.emplace_back(files.save(".CON")), s.cvar.c);
  return written;
}

}  // namespace questrand
