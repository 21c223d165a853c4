#include "physics/physics.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core/equation_settings.hpp"
#include "discretise/boundary_hooks.hpp"
#include "discretise/concentration_scheme.hpp"
#include "discretise/scalar_transport.hpp"
#include "io/json.hpp"
#include "io/list_reader.hpp"

namespace questrand {

using io::InputError;

namespace {

constexpr long kMaxPhysicsBytes = 1 << 20;

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The whole of a regular file of at most kMaxPhysicsBytes; `what` names it in
// errors.
std::string read_whole(const std::string& name, const std::string& what) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) throw InputError(name + ": cannot open the " + what + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw InputError(name + ": is not a regular file, expected the " + what);
  if (st.st_size > kMaxPhysicsBytes)
    throw InputError(name + ": is " + std::to_string(st.st_size) + " bytes long, expected at most " +
                     std::to_string(kMaxPhysicsBytes));
  std::ifstream f(name, std::ios::binary);
  if (!f) throw InputError(name + ": cannot open the " + what + ": " + std::strerror(errno));
  std::ostringstream text;
  text << f.rdbuf();
  return text.str();
}

// A finite real number filling the whole text.
bool parse_real(const std::string& text, float& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const float v = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) return false;
  value = v;
  return true;
}

// The inlet record: optional header, then time, c_in rows.
std::vector<std::pair<float, float>> read_inlet_record(const std::string& name) {
  const std::string content = read_whole(name, "inlet record (time, c_in)");
  std::vector<std::pair<float, float>> rows;
  std::istringstream in(content);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string text = trim(line);
    if (text.empty()) continue;
    const std::size_t comma = text.find(',');
    float t = 0.0f, c = 0.0f;
    const bool numbers = comma != std::string::npos && parse_real(trim(text.substr(0, comma)), t) &&
                         parse_real(trim(text.substr(comma + 1)), c);
    if (!numbers) {
      if (rows.empty() && number == 1) continue;  // the header
      throw InputError(name + ": line " + std::to_string(number) + ": expected two numbers, time,c_in, found \"" +
                       io::printable(text) + "\"");
    }
    if (t < 0.0f)
      throw InputError(name + ": line " + std::to_string(number) + ": time: expected a value of at least 0, found " +
                       trim(text.substr(0, comma)));
    if (!rows.empty() && !(t > rows.back().first))
      throw InputError(name + ": line " + std::to_string(number) +
                       ": time: expected a time after the row before's, found " + trim(text.substr(0, comma)));
    if (c < 0.0f)
      throw InputError(name + ": line " + std::to_string(number) + ": c_in: expected a value of at least 0, found " +
                       trim(text.substr(comma + 1)));
    rows.emplace_back(t, c);
  }
  if (rows.empty()) throw InputError(name + ": expected at least one row time,c_in, found none");
  return rows;
}

const char* kKeys[] = {"partition_memb", "partition_gel", "gel_back", "rate_gel", "inlet",
                       "washout_at", "c0_gel", "lower_face"};

// The gel's cell volume under the run's scheme (the volume the equation's
// time term holds).
double cell_volume(const State& s, int i, int j) {
  const Cgrid& g = s.cgrid;
  return static_cast<double>(g.wx(i)) * concentration_cell_height(s, j) * g.rad(j);
}

}  // namespace

void read_physics_text(State& s, const std::string& name, const std::string& content) {
  Cphys p;
  p.present = true;
  std::map<std::string, int> given;  // key -> line
  std::istringstream in(content);
  std::string raw;
  int number = 0;
  auto fail = [&](const std::string& key, const std::string& expected, const std::string& found) {
    throw InputError(name + ": line " + std::to_string(number) + ": " + key + ": expected " + expected + ", found " +
                     found);
  };
  while (std::getline(in, raw)) {
    ++number;
    const std::size_t hash = raw.find('#');
    const std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos)
      throw InputError(name + ": line " + std::to_string(number) + ": expected key = value, found \"" +
                       io::printable(line) + "\"");
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    bool known = false;
    for (const char* k : kKeys) known = known || key == k;
    if (!known) {
      std::string keys;
      for (const char* k : kKeys) keys += (keys.empty() ? "" : ", ") + std::string(k);
      throw InputError(name + ": line " + std::to_string(number) + ": unknown key \"" + io::printable(key) +
                       "\", expected one of " + keys);
    }
    if (given.count(key))
      throw InputError(name + ": line " + std::to_string(number) + ": " + key + ": given twice (first on line " +
                       std::to_string(given[key]) + ")");
    given[key] = number;
    const std::string shown = value.empty() ? "nothing" : "\"" + io::printable(value) + "\"";
    float v = 0.0f;
    if (key == "partition_memb" || key == "partition_gel") {
      if (!parse_real(value, v) || !(v > 0.0f)) fail(key, "a number greater than 0", shown);
      (key == "partition_memb" ? p.partition_memb : p.partition_gel) = v;
    } else if (key == "rate_gel" || key == "washout_at" || key == "c0_gel") {
      if (!parse_real(value, v) || v < 0.0f) fail(key, "a number of at least 0", shown);
      if (key == "rate_gel") p.rate_gel = v;
      if (key == "washout_at") {
        if (given.count("inlet")) fail(key, "no wash-out time together with inlet (line " + std::to_string(given["inlet"]) + ")", shown);
        p.washout = true;
        p.washout_at = v;
      }
      if (key == "c0_gel") p.c0_gel = v;
    } else if (key == "gel_back") {
      if (value != "closed" && value != "sink") fail(key, "closed or sink", shown);
      p.sink = value == "sink";
    } else if (key == "lower_face") {
      if (value != "symmetry" && value != "wall") fail(key, "symmetry or wall", shown);
      p.wall = value == "wall";
    } else if (key == "inlet") {
      if (given.count("washout_at")) fail(key, "no inlet record together with washout_at (line " + std::to_string(given["washout_at"]) + ")", shown);
      if (value.empty()) fail(key, "the name of the inlet record (a CSV of time,c_in)", shown);
      p.inlet_file = value;
      p.inlet = read_inlet_record(value);
    }
  }
  s.cphys = std::move(p);
}

void read_physics(State& s) {
  struct stat st {};
  if (::stat(kPhysicsFile, &st) != 0) {
    if (errno == ENOENT) return;  // no PHYSICS.INP: the fixed input alone
    throw InputError(std::string(kPhysicsFile) + ": cannot open the physics input: " + std::strerror(errno));
  }
  read_physics_text(s, kPhysicsFile, read_whole(kPhysicsFile, "physics input"));
}

float partition(const State& s, int j) {
  const Cphys& p = s.cphys;
  if (!p.present) return 1.0f;
  const Cprob& pb = s.cprob;
  if (j >= pb.jmemb1 && j <= pb.jmemb2) return p.partition_memb;
  if (j >= pb.jgel1) return p.partition_gel;
  return 1.0f;
}

float inlet_value(const State& s, float t) {
  const Cphys& p = s.cphys;
  if (!p.inlet.empty()) {
    const auto& r = p.inlet;
    if (t <= r.front().first) return r.front().second;
    if (t >= r.back().first) return r.back().second;
    std::size_t k = 1;
    while (r[k].first < t) ++k;
    const float w = (t - r[k - 1].first) / (r[k].first - r[k - 1].first);
    return r[k - 1].second + w * (r[k].second - r[k - 1].second);
  }
  if (p.washout && t > p.washout_at) return 0.0f;
  return s.cprob.c_in;
}

bool inlet_jumps_within(const State& s, float from, float to) {
  const Cphys& p = s.cphys;
  return p.present && p.washout && s.cprob.c_in != 0.0f && from <= p.washout_at && p.washout_at < to;
}

void set_initial_gel(State& s) {
  if (!s.cphys.present || s.cphys.c0_gel == 0.0f) return;
  for (int j = s.cprob.jgel1; j <= s.cgrid.nj; ++j)
    for (int i = 1; i <= s.cgrid.ni; ++i) {
      s.cvar.c(i, j) = s.cphys.c0_gel;
      s.cvar.cold(i, j) = s.cphys.c0_gel;
    }
}

double reaction_coefficient(const State& s, int i, int j) {
  const Cphys& p = s.cphys;
  if (!p.present || p.rate_gel == 0.0f || j < s.cprob.jgel1 || j > s.cprob.jgel2) return 0.0;
  return static_cast<double>(p.rate_gel) * p.partition_gel * s.cprop.den(i, j) * cell_volume(s, i, j);
}

double sink_conductance(const State& s, int i) {
  if (!s.cphys.present || !s.cphys.sink) return 0.0;
  const Cgrid& g = s.cgrid;
  const int j = g.jlast;
  const double area_n = static_cast<double>(g.wx(i)) * g.radv(j + 1);
  return s.cprop.gamc(i, j) * area_n / (0.5 * design_cell_height(s, j));
}

void physics_hook(State& s) {
  const Cgrid& g = s.cgrid;
  Ccoef& cf = s.ccoef;
  if (s.cphys.sink)
    for (int i = 2; i <= g.ilast; ++i) {
      cf.an(i, g.jlast) = static_cast<float>(sink_conductance(s, i));
      s.cvar.c(i, g.nj) = 0.0f;  // the field being solved: phi on the back face
    }
  if (s.cphys.rate_gel > 0.0f)
    for (int j = s.cprob.jgel1; j <= s.cprob.jgel2; ++j)
      for (int i = 2; i <= g.ilast; ++i) cf.sp(i, j) = cf.sp(i, j) - static_cast<float>(reaction_coefficient(s, i, j));
}

namespace {

void modc_with_physics(State& s) {
  modc(s);
  physics_hook(s);
}

}  // namespace

void calcc_physics(State& s) {
  Cgrid& g = s.cgrid;
  Cphys& p = s.cphys;
  Cvar& var = s.cvar;
  const float c_in_now = inlet_value(s, s.ctime.time);
  for (int j = 1; j <= s.cprob.jflow2; ++j) var.c(1, j) = c_in_now;
  // c, c_old and c_2old as phi = c / K in their own places for the equation;
  // c_old and c_2old are kept and put back after it.
  for (int j = 1; j <= g.nj; ++j) {
    const float k = partition(s, j);
    for (int i = 1; i <= g.ni; ++i) {
      p.phi_old(i, j) = var.cold(i, j);
      p.phi_2old(i, j) = s.cscheme.c2old(i, j);
      var.c(i, j) = var.c(i, j) / k;
      var.cold(i, j) = var.cold(i, j) / k;
      s.cscheme.c2old(i, j) = s.cscheme.c2old(i, j) / k;
    }
  }
  ScalarEquation eq{var.c, var.cold, s.cprop.gamc, modc_with_physics, settings_of(s, Equation::c), s.cterm.res_c, true};
  eq.partition = true;
  calc_scalar(s, eq);
  for (int j = 1; j <= g.nj; ++j) {
    const float k = partition(s, j);
    for (int i = 1; i <= g.ni; ++i) {
      var.c(i, j) = k * var.c(i, j);
      var.cold(i, j) = p.phi_old(i, j);
      s.cscheme.c2old(i, j) = p.phi_2old(i, j);
    }
  }
}

namespace {

// The rates (amount per time) into the sink and of the reaction, of the
// field `c` (physical concentrations).
std::pair<double, double> leaving_rates(const State& s, const Field& c) {
  const Cgrid& g = s.cgrid;
  const Cphys& p = s.cphys;
  double sink = 0.0, reacted = 0.0;
  if (p.sink)
    for (int i = 2; i <= g.ilast; ++i)
      sink += sink_conductance(s, i) * (c(i, g.jlast) / static_cast<double>(p.partition_gel)) / s.cprop.den(i, g.jlast);
  if (p.rate_gel > 0.0f)
    for (int j = s.cprob.jgel1; j <= s.cprob.jgel2; ++j)
      for (int i = 2; i <= g.ilast; ++i) reacted += static_cast<double>(p.rate_gel) * c(i, j) * cell_volume(s, i, j);
  return {sink, reacted};
}

}  // namespace

void physics_level_ended(State& s) {
  Cphys& p = s.cphys;
  if (!p.present || s.ctime.steady) return;
  const double dt = s.ctime.dt;
  const auto [sink_end, reacted_end] = leaving_rates(s, s.cvar.c);
  const auto [sink_start, reacted_start] = leaving_rates(s, s.cvar.cold);
  // the step's own amounts, as its equation holds them (the end values): the balance
  p.level_sink = sink_end * dt;
  p.level_reacted = reacted_end * dt;
  // the accumulated amounts, the time integrals of the rates (trapezoidal rule: second order)
  p.m_sink += 0.5 * (sink_start + sink_end) * dt;
  p.m_reacted += 0.5 * (reacted_start + reacted_end) * dt;
}

std::vector<std::string> physics_values(const State& s) {
  const Cphys& p = s.cphys;
  const auto shown_real = io::json_real;  // the shortest text that reads back as the same float
  return {
      "partition_memb = " + shown_real(p.partition_memb),
      "partition_gel = " + shown_real(p.partition_gel),
      std::string("gel_back = ") + (p.sink ? "sink" : "closed"),
      "rate_gel = " + shown_real(p.rate_gel) + " 1/s",
      "inlet = " + (p.inlet.empty() ? std::string("none (c_in of the problem input)")
                                    : p.inlet_file + " (" + std::to_string(p.inlet.size()) + " rows)"),
      "washout_at = " + (p.washout ? shown_real(p.washout_at) + " s" : std::string("none")),
      "c0_gel = " + shown_real(p.c0_gel),
      std::string("lower_face = ") + (p.wall ? "wall" : "symmetry"),
  };
}

std::string physics_summary(const State& s) {
  std::string line = std::string("questrand: physics (") + kPhysicsFile + "): ";
  const std::vector<std::string> values = physics_values(s);
  for (std::size_t k = 0; k < values.size(); ++k) line += (k == 0 ? "" : ", ") + values[k];
  char amounts[96];
  std::snprintf(amounts, sizeof amounts, "; m_sink %.9g, m_reacted %.9g", s.cphys.m_sink, s.cphys.m_reacted);
  return line + amounts;
}

std::string physics_json(const State& s) {
  const Cphys& p = s.cphys;
  if (!p.present) return "null";
  using io::json_real;
  return std::string("{\"partition_memb\": ") + json_real(p.partition_memb) +
         ", \"partition_gel\": " + json_real(p.partition_gel) + ", \"gel_back\": " + (p.sink ? "\"sink\"" : "\"closed\"") +
         ", \"rate_gel\": " + json_real(p.rate_gel) + ", \"inlet\": " +
         (p.inlet.empty() ? std::string("null") : io::json_text(p.inlet_file)) +
         ", \"washout_at\": " + (p.washout ? json_real(p.washout_at) : std::string("null")) +
         ", \"c0_gel\": " + json_real(p.c0_gel) + ", \"lower_face\": " + (p.wall ? "\"wall\"" : "\"symmetry\"") + ", \"m_sink\": " +
         io::json_double(p.m_sink) + ", \"m_reacted\": " + io::json_double(p.m_reacted) + "}";
}

}  // namespace questrand
