#include "output/usrout.hpp"

#include <cerrno>

#include "io/fortran_format.hpp"
#include "io/text_file.hpp"
#include "setup/text_helpers.hpp"

namespace questrand {

using io::FormattedLine;
using io::FreeLine;
using io::TextFile;

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

void start_of_run(State& s) {
  std::FILE* con = s.chan.console;
  const char* banner[] = {"-----------------------------------------", "      QUESTRAND DIFFUSION INSTRUMENT   ",
                          "             22 AUGUST 2003              ", "     (PELIX+ Laminar core, 03/01/99)     ",
                          "-----------------------------------------"};
  for (const char* text : banner) std::fprintf(con, "%s\n", FormattedLine().x(17).text(text).str().c_str());
  std::fprintf(con, "%s\n", FreeLine().text(" ").str().c_str());

  s.chan.listing_name = trimmed(s.cio.runname);
  errno = 0;
  s.chan.listing = std::fopen(s.chan.listing_name.c_str(), "w");
  if (!s.chan.listing) io::fail_file(s.chan.listing_name, "create");
  auto out = [&s](const std::string& text) { io::write_line(s.chan.listing, s.chan.listing_name, text); };
  out(FormattedLine().x(10).text("  QUESTRAND DIFFUSION INSTRUMENT").str());
  out(FormattedLine().x(10).text("      VERSION AUGUST 18 2003       ").str());
  out("");
  out("");
  out(FormattedLine().x(15).text("HALF-GAP ").t(40).text(":").e(s.cprob.halfgap, 11, 3, 1).str());
  out(FormattedLine().x(15).text("LENGTH   ").t(40).text(":").e(s.cprob.chlength, 11, 3, 1).str());

  if (!s.ctime.steady && s.ctime.time <= s.ctime.dt) {
    TextFile mon(kMonitorFile, "a");
    mon.line(FreeLine()
                 .text("\"time\" \"C(FlStr)\" \"C(FlMid)\" \"C(FlEnd)\" ")
                 .text("\"C(MembStr)\" \"C(MembMid)\" \"C(MembEnd)\" ")
                 .text("\"C(GelStr)\" \"C(GelMid)\" \"C(GelEnd)\"")
                 .str());
    mon.close();
  }
}

void end_of_step(const State& s) {
  const Cprob& pb = s.cprob;
  const int ip = s.cgrid.ni / 2;
  const int rows[9] = {pb.jflow1,
                       pb.jflow2 / 2,
                       pb.jflow2,
                       pb.jmemb1,
                       pb.jflow2 + (pb.jmemb2 - pb.jflow2 + 1) / 2,
                       pb.jmemb2,
                       pb.jgel1,
                       pb.jmemb2 + (pb.jgel2 - pb.jmemb2 + 1) / 2,
                       pb.jgel2};
  FreeLine line;
  line.real(s.ctime.time);
  for (int j : rows) line.real(s.cvar.c(ip, j));
  TextFile mon(kMonitorFile, "a");
  mon.line(line.str());
  mon.close();

  const int istep = s.ctime.istep;
  if (!(istep % s.cio.prt_step == 0 || istep == 1)) return;
  const std::string name = step_name(istep);
  const std::string stem = name.substr(0, static_cast<std::size_t>(stem_length(name)));
  if (!s.cio.save_con) return;
  write_field_file(s, stem + ".CON");
  write_profiles_x(s, stem + ".CPR");
  write_profiles_y(s, stem + ".VPR");
}

void end_of_run(const State& s) {
  const std::string stem = s.cio.runname.substr(0, static_cast<std::size_t>(stem_length(s.cio.runname)));
  if (!s.cio.save_con) return;
  write_profiles_x(s, stem + ".CPR");
  write_profiles_y(s, stem + ".VPR");
}

}  // namespace

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

void write_field_file(const State& s, const std::string& name) {
  const Cgrid& g = s.cgrid;
  TextFile f(name, "w");
  for (int j = 2; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i) f.line(FreeLine().real(g.x(i)).real(g.y(j)).real(s.cvar.c(i, j)).str());
  f.close();
}

namespace {

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

void usrout(State& s, int mode) {
  switch (mode) {
    case 1: start_of_run(s); break;
    case 3: end_of_step(s); break;
    case 4: end_of_run(s); break;
    default: break;
  }
}

}  // namespace questrand
