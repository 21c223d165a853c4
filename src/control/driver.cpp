#include "control/driver.hpp"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>

#include "control/init.hpp"
#include "control/restart.hpp"
#include "discretise/momentum.hpp"
#include "discretise/scalar_transport.hpp"
#include "io/fortran_format.hpp"
#include "io/list_reader.hpp"
#include "io/text_file.hpp"
#include "output/field_table.hpp"
#include "output/usrout.hpp"
#include "setup/geometry.hpp"
#include "setup/input.hpp"
#include "setup/properties.hpp"

namespace questrand {

using io::FormattedLine;

namespace {

void to_listing(State& s, const std::string& text) { io::write_line(s.chan.listing, s.chan.listing_name, text); }
void to_console(State& s, const std::string& text) { std::fprintf(s.chan.console, "%s\n", text.c_str()); }

void check_listing(State& s) {
  if (std::ferror(s.chan.listing)) io::fail_file(s.chan.listing_name, "write");
}

// Field tables of the solved fields, in the order u, v, p, t, c.
void print_tables(State& s) {
  const Cgrid& g = s.cgrid;
  const Cvar& var = s.cvar;
  const Cio& io = s.cio;
  std::FILE* f = s.chan.listing;
  if (var.solve_u) print(f, 1, 1, g.ni, g.nj, g.xu, g.y, var.u, io.title_u);
  if (var.solve_v) print(f, 1, 1, g.ni, g.nj, g.x, g.yv, var.v, io.title_v);
  if (var.solve_p) print(f, 1, 1, g.ni, g.nj, g.x, g.y, var.p, io.title_p);
  if (var.solve_t) print(f, 1, 1, g.ni, g.nj, g.x, g.y, var.t, io.title_t);
  if (var.solve_c) print(f, 1, 1, g.ni, g.nj, g.x, g.y, var.c, io.title_c);
  check_listing(s);
}

void write_step_line(State& s) {
  const std::string line = FormattedLine().text(" IT=").i(s.ctime.istep, 5).text("   TIME=").e(s.ctime.time, 10, 3, 1).str();
  to_listing(s, "");
  to_listing(s, "");
  to_listing(s, line);
  to_console(s, "");
  to_console(s, "");
  to_console(s, line);
}

void write_iteration_header(State& s) {
  const std::string line1 = FormattedLine()
                                .text("ITER    ")
                                .text("I----------ABSOLUTE RESIDUAL SOURCE SUMS----------I  ")
                                .text("I---------FIELD VALUES AT LOCATION ")
                                .text("(")
                                .i(s.cio.imon, 2)
                                .text(",")
                                .i(s.cio.jmon, 2)
                                .text(")")
                                .text("--------I")
                                .str();
  const std::string line2 = FormattedLine()
                                .x(2).text("NO.")
                                .x(4).text("UMOM")
                                .x(6).text("VMOM")
                                .x(6).text("MASS")
                                .x(6).text("ENER")
                                .x(6).text("CONC")
                                .x(9).text("U")
                                .x(9).text("V")
                                .x(9).text("P")
                                .x(9).text("T")
                                .x(9).text("C")
                                .str();
  to_listing(s, "");
  to_listing(s, "");
  to_listing(s, line1);
  to_listing(s, line2);
  to_listing(s, "");
}

void write_iteration_lines(State& s) {
  const Cterm& tm = s.cterm;
  const Cvar& var = s.cvar;
  const int im = s.cio.imon;
  const int jm = s.cio.jmon;
  FormattedLine line;
  line.text(" ").i(tm.iter, 3).x(4);
  for (float r : {tm.res_u, tm.res_v, tm.res_mass, tm.res_t, tm.res_c}) line.e(r, 10, 3, 1);
  line.x(3);
  for (float v : {var.u(im, jm), var.v(im, jm), var.p(im, jm), var.t(im, jm), var.c(im, jm)}) line.e(v, 10, 3, 1);
  to_listing(s, line.str());

  to_console(s, "");
  to_console(s, FormattedLine().t(15).text("Iteration : ").i(tm.iter, 4).str());
  struct ResidualLine {
    bool on;
    int column;
    const char* label;
    const char* opening;
    float residual;
    float value;
  };
  const ResidualLine lines[] = {
      {var.solve_p, 7, "Pressure Residual : ", "P(", tm.res_mass, var.p(im, jm)},
      {var.solve_u, 5, "U-Momentum Residual : ", "U(", tm.res_u, var.u(im, jm)},
      {var.solve_v, 5, "V-Momentum Residual : ", "V(", tm.res_v, var.v(im, jm)},
      {var.solve_t, 4, "Temperature Residual : ", "T(", tm.res_t, var.t(im, jm)},
      {var.solve_c, 4, "Concentrat. Residual : ", "C(", tm.res_c, var.c(im, jm)},
  };
  for (const ResidualLine& r : lines) {
    if (!r.on) continue;
    to_console(s, FormattedLine()
                      .t(r.column)
                      .text(r.label)
                      .e(r.residual, 11, 3, 1)
                      .t(42)
                      .text(r.opening)
                      .i(im, 3)
                      .text(",")
                      .i(jm, 3)
                      .text(") : ")
                      .e(r.value, 11, 3, 1)
                      .str());
  }
}

void write_warning(State& s) {
  const char* lines[] = {"", " *** WARNING ***", " CONVERGENCE CRITERION NOT SATISFIED AFTER MAXIT ITERATIONS", ""};
  for (const char* l : lines) to_listing(s, l);
  for (const char* l : lines) to_console(s, l);
}

// residual / reference, or the residual itself when the reference is zero.
float normalised(float residual, float reference) { return reference != 0.0f ? residual / reference : residual; }

void normalise_residuals(State& s) {
  Cterm& tm = s.cterm;
  tm.res_mass = normalised(tm.res_mass, tm.resref_m);
  tm.res_u = normalised(tm.res_u, tm.resref_u);
  tm.res_v = normalised(tm.res_v, tm.resref_v);
  tm.res_t = normalised(tm.res_t, tm.resref_t);
  tm.res_c = normalised(tm.res_c, tm.resref_c);
}

// Stops the run at the first residual that is not finite.
void check_divergence(State& s) {
  const Cterm& tm = s.cterm;
  struct Named {
    float value;
    const char* equation;
  };
  const Named residuals[] = {{tm.res_mass, "pressure correction (mass)"},
                             {tm.res_u, "u-momentum"},
                             {tm.res_v, "v-momentum"},
                             {tm.res_t, "temperature"},
                             {tm.res_c, "concentration"}};
  for (const Named& r : residuals) {
    if (std::isfinite(r.value)) continue;
    const std::string msg = " *** RUN DIVERGED: the " + std::string(r.equation) + " residual is not finite at step " +
                            std::to_string(s.ctime.istep) + ", iteration " + std::to_string(tm.iter) +
                            "; restart and save files not written";
    to_listing(s, "");
    to_listing(s, msg);
    to_console(s, "");
    to_console(s, msg);
    throw Diverged(msg.substr(1));
  }
}

enum class IterState { Continue, Converged, Limit };

IterState convergence(State& s) {
  const Cterm& tm = s.cterm;
  float rmax = tm.res_mass;
  for (float r : {tm.res_u, tm.res_v, tm.res_t, tm.res_c})
    if (r >= rmax) rmax = r;
  if (rmax <= tm.convtol) return IterState::Converged;
  if (tm.iter == tm.maxit) {
    write_warning(s);
    return IterState::Limit;
  }
  return IterState::Continue;
}

void outer_iterations(State& s) {
  for (;;) {
    s.cterm.iter = s.cterm.iter + 1;
    if (s.cvar.solve_u) calcu(s);
    if (s.cvar.solve_v) calcv(s);
    if (s.cvar.solve_p) calcp(s);
    if (s.cvar.solve_t) calct(s);
    if (s.cvar.solve_c) calcc(s);
    if (s.cprop.propupd) props(s);
    normalise_residuals(s);
    write_iteration_lines(s);
    check_divergence(s);
    const IterState state = convergence(s);
    usrout(s, 2);
    if (s.cterm.iter % s.cio.prt_iter == 0) {
      print_tables(s);
      if (state == IterState::Continue) write_iteration_header(s);
    }
    if (state != IterState::Continue) return;
  }
}

}  // namespace

void copy_to_old_level(State& s) {
  const Cgrid& g = s.cgrid;
  Cvar& var = s.cvar;
  Cprop& pr = s.cprop;
  for (int j = 1; j <= g.nj; ++j) {
    for (int i = 1; i <= g.ni; ++i) {
      var.uold(i, j) = var.u(i, j);
      var.vold(i, j) = var.v(i, j);
      var.told(i, j) = var.t(i, j);
      var.cold(i, j) = var.c(i, j);
      pr.denold(i, j) = pr.den(i, j);
    }
  }
}

void set_starting_fields(State& s) {
  const Cgrid& g = s.cgrid;
  for (int j = 1; j <= g.nj; ++j) {
    for (int i = 1; i <= g.ni; ++i) {
      s.cvar.u(i, j) = 0.0f;
      s.cvar.v(i, j) = 0.0f;
      s.cvar.p(i, j) = 0.0f;
      s.cvar.pcor(i, j) = 0.0f;
      s.cvar.t(i, j) = 0.0f;
      s.cvar.c(i, j) = 0.0f;
      s.cprop.den(i, j) = s.cprop.den0;
      s.cprop.vis(i, j) = s.cprop.vis0;
      s.cprop.gamt(i, j) = s.cprop.vis0 / s.cprop.prandtl;
      s.cprop.gamc(i, j) = s.cprop.vis0 / s.cprop.schmidt;
    }
  }
}

void contro(State& s) {
  geom(s);
  set_starting_fields(s);
  init(s);
  if (s.cio.restart_in) read_restart(s);
  props(s);
  usrout(s, 1);
  print_tables(s);

  for (;;) {
    if (!s.ctime.steady) {
      s.ctime.istep = s.ctime.istep + 1;
      s.ctime.time = s.ctime.time + s.ctime.dt;
      write_step_line(s);
      copy_to_old_level(s);
      s.cterm.iter = 0;
    }
    write_iteration_header(s);
    outer_iterations(s);
    usrout(s, 3);
    if (s.ctime.istep % s.cio.prt_step == 0 && s.cterm.iter % s.cio.prt_iter != 0) print_tables(s);
    if (s.ctime.steady || s.ctime.istep >= s.ctime.nsteps) break;
  }

  usrout(s, 4);
  if (s.cio.restart_out) write_restart(s);
  write_save_files(s);
}

int run_program() {
  // A file-size limit (ulimit -f) makes a write fail with EFBIG, reported
  // like any failed write, instead of killing the program silently.
  std::signal(SIGXFSZ, SIG_IGN);
  std::unique_ptr<State> state;
  try {
    state = std::make_unique<State>();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "questrand: not enough memory for the solver state\n");
    return 1;
  }
  State& s = *state;
  int status = 0;
  try {
    input(s);
    contro(s);
  } catch (const io::InputError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 2;
  } catch (const Diverged& e) {
    std::fprintf(stderr, "questrand: %s\n", e.what());
    status = 3;
  } catch (const io::FileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::fflush(s.chan.console);
  if (s.chan.listing) {
    const bool ok = std::fflush(s.chan.listing) == 0 && !std::ferror(s.chan.listing);
    const bool closed = std::fclose(s.chan.listing) == 0;
    s.chan.listing = nullptr;
    if ((!ok || !closed) && status == 0) {
      std::fprintf(stderr, "%s: cannot write the listing file\n", s.chan.listing_name.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace questrand
