#include "output/usrout.hpp"

#include "io/fortran_format.hpp"
#include "io/text_file.hpp"
#include "physics/physics.hpp"

namespace questrand {

using io::FormattedLine;
using io::FreeLine;
using io::TextFile;

std::array<int, 9> probe_rows(const Cprob& pb) {
  return {pb.jflow1,
          pb.jflow2 / 2,
          pb.jflow2,
          pb.jmemb1,
          pb.jflow2 + (pb.jmemb2 - pb.jflow2 + 1) / 2,
          pb.jmemb2,
          pb.jgel1,
          pb.jmemb2 + (pb.jgel2 - pb.jmemb2 + 1) / 2,
          pb.jgel2};
}

void write_banner(std::FILE* console) {
  const char* banner[] = {"-----------------------------------------", "      QUESTRAND DIFFUSION INSTRUMENT   ",
                          "             22 AUGUST 2003              ", "     (PELIX+ Laminar core, 03/01/99)     ",
                          "-----------------------------------------"};
  for (const char* text : banner) std::fprintf(console, "%s\n", FormattedLine().x(17).text(text).str().c_str());
  std::fprintf(console, "%s\n", FreeLine().text(" ").str().c_str());
}

std::vector<std::string> listing_heading(const State& s) {
  std::vector<std::string> lines{
      FormattedLine().x(10).text("  QUESTRAND DIFFUSION INSTRUMENT").str(),
      FormattedLine().x(10).text("      VERSION AUGUST 18 2003       ").str(),
      "",
      "",
      FormattedLine().x(15).text("HALF-GAP ").t(40).text(":").e(s.cprob.halfgap, 11, 3, 1).str(),
      FormattedLine().x(15).text("LENGTH   ").t(40).text(":").e(s.cprob.chlength, 11, 3, 1).str()};
  if (is_second_order(s.cscheme.scheme))
    lines.push_back(FormattedLine()
                        .x(15)
                        .text("CONCENTRATION SCHEME")
                        .t(40)
                        .text(":")
                        .text(s.cscheme.scheme == Scheme::second_order_graded ? " SECOND-ORDER, GRADED COLUMNS"
                                                                              : " SECOND-ORDER")
                        .str());
  if (s.cphys.present) {
    // every PHYSICS.INP value the run uses, one a line, the first beside the label
    const std::vector<std::string> values = physics_values(s);
    const std::string label = std::string("PHYSICS (") + kPhysicsFile + ")";
    for (std::size_t k = 0; k < values.size(); ++k)
      lines.push_back(k == 0 ? FormattedLine().x(15).text(label).t(40).text(": ").text(values[k]).str()
                             : FormattedLine().t(42).text(values[k]).str());
  }
  return lines;
}

void append_monitor_header() {
  TextFile mon(kMonitorFile, "a");
  mon.line(FreeLine()
               .text("\"time\" \"C(FlStr)\" \"C(FlMid)\" \"C(FlEnd)\" ")
               .text("\"C(MembStr)\" \"C(MembMid)\" \"C(MembEnd)\" ")
               .text("\"C(GelStr)\" \"C(GelMid)\" \"C(GelEnd)\"")
               .str());
  mon.close();
}

std::string monitor_line(const State& s) {
  const int ip = s.cgrid.ni / 2;
  FreeLine line;
  line.real(s.ctime.time);
  for (int j : probe_rows(s.cprob)) line.real(s.cvar.c(ip, j));
  return line.str();
}

void append_monitor_line(const State& s) {
  TextFile mon(kMonitorFile, "a");
  mon.line(monitor_line(s));
  mon.close();
}

bool write_step_files(const State& s) {
  const int istep = s.ctime.istep;
  if (!(istep % s.cio.prt_step == 0 || istep == 1)) return false;
  if (!s.cio.save_con) return false;
  const std::string stem = RunFiles::step_stem(istep);
  write_field_file(s, stem + ".CON");
  write_profiles_x(s, stem + ".CPR");
  write_profiles_y(s, stem + ".VPR");
  return true;
}

std::vector<std::string> write_end_profiles(const State& s, const RunFiles& files) {
  if (!s.cio.save_con) return {};
  const std::vector<std::string> names{files.save(".CPR"), files.save(".VPR")};
  write_profiles_x(s, names[0]);
  write_profiles_y(s, names[1]);
  return names;
}

void write_field_file(const State& s, const std::string& name) {
  const Cgrid& g = s.cgrid;
  TextFile f(name, "w");
  for (int j = 2; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i) f.line(FreeLine().real(g.x(i)).real(g.y(j)).real(s.cvar.c(i, j)).str());
  f.close();
}

namespace {

// Column heading of a profile table: "C(Y=1.23450E-03)" between double
// quotes, then one blank (19 characters).
std::string profile_heading(char axis, float pos) {
  std::string h = "\"C(";
  h += axis;
  h += "=";
  h += io::fmt_e(pos, 11, 5, 1);
  h += ")\" ";
  return h;
}

// Profile table: a heading with one column per interior node across the
// profiles, then one line per interior node along them.  Along x: lines per
// column I, values c(I, 2..jlast); along y: lines per row J, values
// c(2..ilast, J).
void write_profiles(const State& s, const std::string& name, bool along_x) {
  const Cgrid& g = s.cgrid;
  const int lines_last = along_x ? g.ilast : g.jlast;
  const int values_last = along_x ? g.jlast : g.ilast;
  TextFile f(name, "w");
  FreeLine head;
  head.text(along_x ? "\"X\" " : "\"Y\" ");
  for (int k = 2; k <= values_last; ++k) head.text(profile_heading(along_x ? 'Y' : 'X', along_x ? g.y(k) : g.x(k)));
  f.line(head.str());
  for (int n = 2; n <= lines_last; ++n) {
    FreeLine line;
    line.real(along_x ? g.x(n) : g.y(n));
    for (int k = 2; k <= values_last; ++k) line.real(along_x ? s.cvar.c(n, k) : s.cvar.c(k, n));
    f.line(line.str());
  }
  f.close();
}

}  // namespace

void write_profiles_x(const State& s, const std::string& name) { write_profiles(s, name, true); }
void write_profiles_y(const State& s, const std::string& name) { write_profiles(s, name, false); }

}  // namespace questrand
