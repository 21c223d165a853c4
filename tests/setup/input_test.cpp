#include "setup/input.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "io/list_reader.hpp"
#include "state_support.hpp"
#include "test_support.hpp"

using questrand::read_problem;
using questrand::State;
using questrand::io::InputError;

namespace {

std::string golden_input(const char* name) {
  return qtest::read_file(qtest::data_dir() / "cases" / name / "PROB.INP");
}

// The message of the InputError that reading `text` raises ("" if none).
std::string error_of(const std::string& text) {
  auto s = std::make_unique<State>();
  try {
    read_problem(*s, "PROB.INP", text);
  } catch (const InputError& e) {
    return e.what();
  }
  return "";
}

// `text` with line n (1-based) replaced.
std::string with_line(const std::string& text, int n, const std::string& line) {
  std::istringstream in(text);
  std::ostringstream out;
  std::string l;
  for (int k = 1; std::getline(in, l); ++k) out << (k == n ? line : l) << "\n";
  return out.str();
}

}  // namespace

TEST(ProblemInput, ReadsTheReferenceInput) {
  auto s = std::make_unique<State>();
  read_problem(*s, "PROB.INP", golden_input("transient_flow_conc"));
  const auto& pb = s->cprob;
  EXPECT_EQ(pb.chlength, 0.02f);
  EXPECT_EQ(pb.halfgap, 0.001f);
  EXPECT_EQ(pb.th_memb, 1.0e-4f);
  EXPECT_EQ(pb.th_gel, 5.0e-4f);
  EXPECT_EQ(pb.u_in, 0.005f);
  EXPECT_TRUE(pb.parabolic);
  EXPECT_EQ(pb.diff_memb, 5.0e-10f);
  EXPECT_EQ(s->cgrid.ni, 22);
  EXPECT_EQ(s->cgrid.nj, 24);
  EXPECT_EQ(pb.jflow1, 2);
  EXPECT_EQ(pb.jflow2, 11);
  EXPECT_EQ(pb.jmemb1, 12);
  EXPECT_EQ(pb.jmemb2, 15);
  EXPECT_EQ(pb.jgel1, 16);
  EXPECT_EQ(pb.jgel2, 23);
  EXPECT_FALSE(s->ctime.steady);
  EXPECT_EQ(s->ctime.nsteps, 6);
  EXPECT_EQ(s->ctime.dt, 0.5f);
  // The flow switch sets u, v and p; the concentration switch turns the
  // property update on and the temperature off.
  EXPECT_TRUE(s->cvar.solve_u && s->cvar.solve_v && s->cvar.solve_p && s->cvar.solve_c);
  EXPECT_FALSE(s->cvar.solve_t);
  EXPECT_TRUE(s->cprop.propupd);
  EXPECT_EQ(s->cterm.maxit, 300);
  EXPECT_EQ(s->crelx.relax_v, s->crelx.relax_u);
  EXPECT_EQ(s->csolv.solver_v, s->csolv.solver_u);
  // Settings the file does not carry.
  EXPECT_EQ(s->cters.sweeps_u, 3);
  EXPECT_EQ(s->cters.sweeps_v, 3);
  EXPECT_EQ(s->cters.sweeps_p, 5);
  EXPECT_EQ(s->cters.sweeps_t, 1);
  EXPECT_EQ(s->cters.sweeps_c, 1);
  EXPECT_EQ(s->csolv.solver_alpha, 0.8f);
  EXPECT_EQ(s->cio.prt_iter, 1000);
  EXPECT_EQ(s->cpres.ipref, 2);
  EXPECT_TRUE(s->cio.save_vel && s->cio.save_prs && s->cio.save_con);
  EXPECT_FALSE(s->cio.save_tmp);
  EXPECT_EQ(s->cio.runname, "TRANS.OUT   ");
  EXPECT_EQ(s->cio.rstin_name, "TRANS.sav   ");
  EXPECT_EQ(s->cio.rstout_name, "TRANS.sav   ");
  // Nodes: mirror nodes put the faces on x = 0, x = chlength, y = 0.
  EXPECT_EQ(s->cgrid.x(1), -s->cgrid.x(2));
  EXPECT_FLOAT_EQ(s->cgrid.x(2), 0.0005f);
  EXPECT_FLOAT_EQ(s->cgrid.y(2), 0.00005f);
}

TEST(ProblemInput, ListsSplitOverLinesShiftLaterLines) {
  const std::string base = golden_input("transient_flow_conc");
  // Line 6 split over two lines, a comment after the values of line 26.
  std::string split = with_line(base, 6, "0.02  0.001\n1.0E-4  5.0E-4   the gel");
  split = with_line(split, 27, "10  4  8   rows of channel, membrane, gel");
  auto a = std::make_unique<State>();
  auto b = std::make_unique<State>();
  read_problem(*a, "PROB.INP", base);
  read_problem(*b, "PROB.INP", split);
  EXPECT_EQ(a->cprob.th_gel, b->cprob.th_gel);
  EXPECT_EQ(a->cgrid.nj, b->cgrid.nj);
  EXPECT_EQ(a->cio.runname, b->cio.runname);
  EXPECT_EQ(a->cio.restart_in, b->cio.restart_in);
}

TEST(ProblemInput, RunNameKeepsLeadingBlanksAndTwelveColumns) {
  const std::string base = golden_input("transient_conc_only");
  auto s = std::make_unique<State>();
  read_problem(*s, "PROB.INP", with_line(base, 60, "  RUN.ABCDEFGHIJ"));
  EXPECT_EQ(s->cio.runname, "  RUN.ABCDEF");
  read_problem(*s, "PROB.INP", with_line(base, 60, "RUN1"));
  EXPECT_EQ(s->cio.rstin_name, "RUN1.sav    ");
}

TEST(ProblemInput, RangeChecksNameTheLineAndTheQuantity) {
  const std::string base = golden_input("transient_conc_only");
  EXPECT_EQ(error_of(with_line(base, 24, "351")),
            "PROB.INP: line 24: number of grid columns: expected an integer in 3..350, found 351");
  EXPECT_EQ(error_of(with_line(base, 24, "2")),
            "PROB.INP: line 24: number of grid columns: expected an integer in 3..350, found 2");
  EXPECT_NE(error_of(with_line(base, 26, "10 0 8")).find("line 26: cell rows across the membrane"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 26, "300 40 9")).find("line 26: number of grid rows"), std::string::npos);
  EXPECT_EQ(error_of(with_line(base, 26, "300 40 8")), "");  // 350 rows: the largest grid
  EXPECT_NE(error_of(with_line(base, 56, "23 3")).find("line 56: monitoring column: expected an integer in 1..22"),
            std::string::npos);
  EXPECT_NE(error_of(with_line(base, 56, "5 25")).find("line 56: monitoring row: expected an integer in 1..24"),
            std::string::npos);
  EXPECT_NE(error_of(with_line(base, 41, "0")).find("line 41: maximum outer iterations"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 58, "0")).find("line 58: field-table interval"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 33, "0.0")).find("line 33: time-step size"), std::string::npos);
  EXPECT_EQ(error_of(with_line(with_line(base, 29, "T"), 33, "0.0")), "");  // dt unused in a steady run
  EXPECT_NE(error_of(with_line(base, 48, "0.0")).find("line 48: under-relaxation of c"), std::string::npos);
  EXPECT_EQ(error_of(with_line(base, 46, "0.0 0.0")), "");  // flow off: relax_u unused; relax_p = 0 allowed
  EXPECT_NE(error_of(with_line(base, 6, "0.02 -0.001 1.0E-4 5.0E-4")).find("line 6: half-gap"), std::string::npos);
  // Lengths whose nodes coincide or overflow.
  EXPECT_NE(error_of(with_line(base, 6, "0.02 0.001 1.0E-4 1.0E-45")).find("line 6: half-gap, membrane and gel"),
            std::string::npos);
  EXPECT_NE(error_of(with_line(base, 6, "3.0E38 0.001 1.0E-4 5.0E-4")).find("line 6: channel length"),
            std::string::npos);
  EXPECT_NE(error_of(with_line(base, 17, "0.0")).find("line 17: fluid density"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 21, "1.0E-9 -5.0E-10 8.0E-10")).find("line 21: diffusivity in the membrane"),
            std::string::npos);
  EXPECT_EQ(error_of(with_line(base, 21, "1.0E-9 0.0 8.0E-10")), "");  // an impermeable membrane
  EXPECT_EQ(error_of(with_line(base, 19, "0.0")), "");                 // viscosity unused without the flow
  EXPECT_NE(error_of(with_line(with_line(base, 19, "0.0"), 36, "T")).find("line 19: fluid viscosity"),
            std::string::npos);
}

TEST(ProblemInput, RunNamesThatWouldOverwriteFilesAreRejected) {
  const std::string base = golden_input("transient_conc_only");  // concentration on
  EXPECT_NE(error_of(with_line(base, 60, "")).find("line 60: run name"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 60, "CONC.CPR")).find("end-of-run profile file along x"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 60, "CONC.CON")).find("concentration save file"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 60, "T00004.VPR")).find("line 60: run name"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 60, "monitor.dat")).find("monitor file"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 60, "PROB.INP")).find("problem input"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 60, "../CONC.OUT")).find("without '/'"), std::string::npos);
  // Twelve characters without a point: the restart name equals the run name.
  const std::string twelve = with_line(base, 60, "ABCDEFGHIJKL");
  EXPECT_EQ(error_of(twelve), "");  // no restart file: allowed
  EXPECT_NE(error_of(with_line(twelve, 62, "T")).find("restart name would equal the run name"), std::string::npos);
  EXPECT_NE(error_of(with_line(twelve, 64, "T")).find("restart name would equal the run name"), std::string::npos);
  // The same names are harmless when the files they collide with are not written.
  const std::string no_conc = with_line(base, 38, "F");
  EXPECT_EQ(error_of(with_line(no_conc, 60, "CONC.CPR")), "");
}

// Run names are UTF-8 text (the rule shared with the toolkit): bytes that are
// not, and characters cut in two by column 12 or by the stem, are refused.
TEST(ProblemInput, RunNamesAreUtf8TextNoneCutInTwo) {
  const std::string base = golden_input("transient_conc_only");
  EXPECT_EQ(error_of(with_line(base, 60, "G\xC3\x89L\xC3\x9C.OUT")), "");  // GÉLÜ.OUT
  EXPECT_EQ(error_of(with_line(base, 60, "\xE6\xB8\xAC\xE5\xAE\x9A.A")), "");  // two CJK characters
  const std::string latin1 = error_of(with_line(base, 60, "G\xC9L.OUT"));      // GÉL.OUT in Latin-1
  EXPECT_NE(latin1.find("PROB.INP: line 60: run name: expected UTF-8 text of printable characters"),
            std::string::npos)
      << latin1;
  EXPECT_NE(latin1.find("found \"G\\xC9L.OUT"), std::string::npos) << latin1;
  // Column 12 falls inside the two bytes of the last É.
  EXPECT_NE(error_of(with_line(base, 60, "ABCDEFGHIJK\xC3\x89")).find("none cut in two"), std::string::npos);
  // No point: the stem is the first 8 bytes, which would end inside the É.
  EXPECT_NE(error_of(with_line(base, 60, "ABCDEFG\xC3\x89")).find("none cut in two"), std::string::npos);
  EXPECT_EQ(error_of(with_line(base, 60, "ABCDEF\xC3\x89")), "");
  EXPECT_NE(error_of(with_line(base, 60, "A\xC2\x85" "B")).find("printable"), std::string::npos);  // U+0085
}

TEST(ProblemInput, MissingLinesAndBadValuesNameTheLine) {
  const std::string base = golden_input("transient_conc_only");
  std::string cut = base.substr(0, base.find("GRID"));
  const std::string msg = error_of(cut);
  EXPECT_EQ(msg.rfind("PROB.INP: line ", 0), 0u) << msg;
  EXPECT_NE(msg.find("end of file"), std::string::npos) << msg;
  EXPECT_NE(error_of(with_line(base, 24, "22.0")).find("line 24: number of grid columns: expected an integer"),
            std::string::npos);
  EXPECT_NE(error_of(with_line(base, 10, "1")).find("line 10: parabolic-profile switch"), std::string::npos);
  EXPECT_NE(error_of(with_line(base, 8, "1E39")).find("line 8: inlet velocity"), std::string::npos);
}
