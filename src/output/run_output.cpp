#include "output/run_output.hpp"

#include "physics/physics.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "control/run.hpp"
#include "core/version.hpp"
#include "discretise/concentration_scheme.hpp"
#include "io/json.hpp"
#include "io/fortran_format.hpp"
#include "io/text_file.hpp"
#include "output/field_table.hpp"
#include "output/save_files.hpp"
#include "output/uptake_file.hpp"
#include "output/usrout.hpp"

namespace questrand {

using io::FormattedLine;

RunOutput::~RunOutput() {
  if (listing_) std::fclose(listing_);
}

void RunOutput::to_listing(const std::string& text) { io::write_line(listing_, files_.listing, text); }
void RunOutput::to_console(const std::string& text) { std::fprintf(console_, "%s\n", text.c_str()); }

// Field tables of the solved fields, in the order u, v, p, t, c.
void RunOutput::print_tables(const State& s) {
  const Cgrid& g = s.cgrid;
  const Cvar& var = s.cvar;
  const Cio& io = s.cio;
  if (var.solve_u) print(listing_, 1, 1, g.ni, g.nj, g.xu, g.y, var.u, io.title_u);
  if (var.solve_v) print(listing_, 1, 1, g.ni, g.nj, g.x, g.yv, var.v, io.title_v);
  if (var.solve_p) print(listing_, 1, 1, g.ni, g.nj, g.x, g.y, var.p, io.title_p);
  if (var.solve_t) print(listing_, 1, 1, g.ni, g.nj, g.x, g.y, var.t, io.title_t);
  if (var.solve_c) print(listing_, 1, 1, g.ni, g.nj, g.x, g.y, var.c, io.title_c);
  if (std::ferror(listing_)) io::fail_file(files_.listing, "write");
}

void RunOutput::restart_missing(const State& s) {
  to_console(io::FreeLine().text(" UNABLE TO READ RESTART FILE ").text(s.cio.rstin_name).str());
  std::fprintf(stderr, "%s\n", restart_missing_warning(s).c_str());
}

std::string RunOutput::restart_missing_warning(const State& s) {
  return "questrand: warning: " + run_files(s.cio).restart_in +
         ": no such restart file; the run starts from the initial fields";
}

void RunOutput::start(const State& s, bool continued) {
  files_ = run_files(s.cio);
  write_banner(console_);
  errno = 0;
  listing_ = std::fopen(files_.listing.c_str(), "w");
  if (!listing_) io::fail_file(files_.listing, "create");
  wrote(files_.listing);
  for (const std::string& line : listing_heading(s)) to_listing(line);
  if (!s.ctime.steady && s.ctime.time <= s.ctime.dt) append_monitor_header();
  start_uptake_file(files_.uptake(), continued, s.cphys.present);
  monitor_.emplace(kMonitorFile);
  uptake_.emplace(files_.uptake());
  progress_line_ = !s.ctime.steady && ::isatty(STDERR_FILENO);
  wrote(kMonitorFile);
  wrote(files_.uptake());
  print_tables(s);
}

void RunOutput::wrote(const std::string& name) {
  if (std::find(written_.begin(), written_.end(), name) == written_.end()) written_.push_back(name);
  if (std::find(written_all_.begin(), written_all_.end(), name) == written_all_.end()) written_all_.push_back(name);
}

void RunOutput::step_started(const State& s) {
  const std::string line = FormattedLine().text(" IT=").i(s.ctime.istep, 5).text("   TIME=").e(s.ctime.time, 10, 3, 1).str();
  to_listing("");
  to_listing("");
  to_listing(line);
  to_console("");
  to_console("");
  to_console(line);
}

void RunOutput::iterations_started(const State& s) {
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
  to_listing("");
  to_listing("");
  to_listing(line1);
  to_listing(line2);
  to_listing("");
}

namespace {

// The residuals and the monitored values of one iteration: one listing line.
std::string iteration_line(const State& s) {
  const Cterm& tm = s.cterm;
  const Cvar& var = s.cvar;
  const int im = s.cio.imon;
  const int jm = s.cio.jmon;
  FormattedLine line;
  line.text(" ").i(tm.iter, 3).x(4);
  for (float r : {tm.res_u, tm.res_v, tm.res_mass, tm.res_t, tm.res_c}) line.e(r, 10, 3, 1);
  line.x(3);
  for (float v : {var.u(im, jm), var.v(im, jm), var.p(im, jm), var.t(im, jm), var.c(im, jm)}) line.e(v, 10, 3, 1);
  return line.str();
}

const char* const kWarning[] = {"", " *** WARNING ***", " CONVERGENCE CRITERION NOT SATISFIED AFTER MAXIT ITERATIONS",
                                ""};

}  // namespace

std::string divergence_message(const State& s, const IterationOutcome& outcome) {
  return " *** RUN DIVERGED: the " + std::string(outcome.diverged_equation) + " residual is not finite at step " +
         std::to_string(s.ctime.istep) + ", iteration " + std::to_string(s.cterm.iter) +
         "; restart and save files not written";
}

void RunOutput::iteration_ended(const State& s, const IterationOutcome& outcome) {
  const Cterm& tm = s.cterm;
  const Cvar& var = s.cvar;
  const int im = s.cio.imon;
  const int jm = s.cio.jmon;
  to_listing(iteration_line(s));

  to_console("");
  to_console(FormattedLine().t(15).text("Iteration : ").i(tm.iter, 4).str());
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
    to_console(FormattedLine()
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

  if (outcome.state == IterationState::Diverged) {
    const std::string msg = divergence_message(s, outcome);
    to_listing("");
    to_listing(msg);
    to_console("");
    to_console(msg);
    return;
  }
  if (outcome.state == IterationState::Limit) {
    for (const char* l : kWarning) to_listing(l);
    for (const char* l : kWarning) to_console(l);
    if (progress_shown_) std::fprintf(stderr, "\r\033[K");
    if (s.ctime.steady)
      std::fprintf(stderr, "questrand: warning: the steady solve ended without convergence after maxit = %d outer iterations\n",
                   s.cterm.maxit);
    else
      std::fprintf(stderr, "questrand: warning: step %d ended without convergence after maxit = %d outer iterations\n",
                   s.ctime.istep, s.cterm.maxit);
    if (s.ctime.steady || s.ctime.istep != last_warned_step_) {  // a step counts once, whatever its sub-steps
      last_warned_step_ = s.ctime.istep;
      ++warned_steps_;
      if (first_warned_step_ == 0) first_warned_step_ = s.ctime.steady ? 1 : s.ctime.istep;
      warned_step_list_.push_back(s.ctime.istep);
    }
  }
  if (tm.iter % s.cio.prt_iter == 0) {
    print_tables(s);
    if (outcome.state == IterationState::Continue) iterations_started(s);
  }
}

void RunOutput::step_ended(const State& s) {
  monitor_->line(monitor_line(s));
  if (write_step_files(s)) {
    ++step_files_;
    const std::string stem = RunFiles::step_stem(s.ctime.istep);
    for (const char* ext : {".CON", ".CPR", ".VPR"}) written_all_.push_back(stem + ext);
  }
  last_uptake_ = uptake_of(s);
  uptake_->line(uptake_line(last_uptake_));
  if (s.ctime.istep % s.cio.prt_step == 0 && s.cterm.iter % s.cio.prt_iter != 0) print_tables(s);
  if (first_step_ < 0) first_step_ = s.ctime.istep;
  ++steps_;
  const int step_iterations = step_outer_iterations(s);
  iterations_ += step_iterations;
  step_numbers_.push_back(s.ctime.istep);
  step_iterations_.push_back(step_iterations);
  progress(s);
}

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

// One line on a terminal, rewritten in place: step k of N, the simulated
// time, the elapsed and the estimated remaining wall time.
void RunOutput::progress(const State& s) {
  if (!progress_line_) return;
  const double elapsed = seconds_since(started_);
  const int total = s.ctime.nsteps - first_step_ + 1;
  const int done = s.ctime.istep - first_step_ + 1;
  const double remaining = done > 0 ? elapsed / done * (total - done) : 0.0;
  std::fprintf(stderr, "\r\033[Kquestrand: step %d of %d, time %.6g, elapsed %.1f s, remaining about %.1f s",
               s.ctime.istep, s.ctime.nsteps, static_cast<double>(s.ctime.time), elapsed, remaining);
  std::fflush(stderr);
  progress_shown_ = true;
}

double RunOutput::wall_seconds() const { return seconds_since(started_); }

void RunOutput::summary(const State& s) {
  if (progress_shown_) std::fprintf(stderr, "\r\033[K");
  const char* unit = s.ctime.steady ? "steady solve" : (steps_ == 1 ? "step" : "steps");
  std::fprintf(stderr, "questrand %s: run %s finished: %d %s, %lld outer iterations", kVersion,
               files_.listing.c_str(), s.ctime.steady ? 1 : steps_, unit, iterations_);
  if (s.cscheme.scheme != Scheme::standard) std::fprintf(stderr, ", %s scheme", scheme_name(s.cscheme.scheme));
  if (s.cscheme.start_dt != 0.0f)
    std::fprintf(stderr, ", the start of steps of %s s", io::json_real(s.cscheme.start_dt).c_str());
  if (warned_steps_ > 0)
    std::fprintf(stderr, ", %d ended with the convergence warning (first: %s %d)\n", warned_steps_,
                 s.ctime.steady ? "iteration limit" : "step", s.ctime.steady ? s.cterm.maxit : first_warned_step_);
  else
    std::fprintf(stderr, ", none ended with the convergence warning\n");
  std::fprintf(stderr, "questrand: final time %.9g: m_memb %.9g, m_gel %.9g, c_gel_mean %.9g\n",
               static_cast<double>(s.ctime.time), last_uptake_.m_memb, last_uptake_.m_gel, last_uptake_.c_gel_mean);
  if (s.cphys.present) std::fprintf(stderr, "%s\n", physics_summary(s).c_str());
  std::string files;
  for (const std::string& f : written_) files += (files.empty() ? "" : ", ") + f;
  if (step_files_ > 0) files += ", " + std::to_string(step_files_) + (step_files_ == 1 ? " set" : " sets") + " of T*.CON/.CPR/.VPR";
  std::fprintf(stderr, "questrand: wall time %.3f s; files written: %s\n", seconds_since(started_), files.c_str());
}

void RunOutput::run_ended(const State& s) {
  if (monitor_) monitor_->close();
  if (uptake_) uptake_->close();
  for (const std::string& name : write_end_profiles(s, files_)) wrote(name);
}

void RunOutput::save_files(const State& s) {
  for (const std::string& name : write_save_files(s, files_)) wrote(name);
}

bool RunOutput::close() {
  std::fflush(console_);
  if (!listing_) return true;
  std::FILE* f = listing_;
  listing_ = nullptr;
  const bool ok = std::fflush(f) == 0 && !std::ferror(f);
  const bool closed = std::fclose(f) == 0;
  return ok && closed;
}

}  // namespace questrand
