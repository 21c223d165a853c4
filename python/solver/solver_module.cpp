// questrand._solver: the program's run made in memory (control/memory_run.hpp)
// for the Python toolkit.  One function, run(problem, physics, scheme, u, v,
// p, start_dt), that runs a problem given as the text of its PROB.INP (and of its
// PHYSICS.INP), from a steady flow u, v, p when one is handed over, and
// returns what the program would write to the uptake file and its record:
//
//   the uptake columns by their names in the uptake file (time, m_flow, ...,
//   and m_sink, m_reacted with PHYSICS.INP): float64 arrays, one value per
//   step, each the value as the uptake file holds it (the %.9g text read
//   back, correctly rounded, as the toolkit reads the file);
//   steps, iterations: int32 arrays, each step's number and outer iterations;
//   maxit_steps: int32 array, the steps that ended at the iteration limit;
//   status: 0 ended, 2 bad input, 3 diverged (the program's exit status);
//   error: the line the program prints on standard error then ("" if none);
//   warnings: the reader's warnings, one line each;
//   c: float32 array (nj, ni), the concentration field at the run's end (node
//   (I, J) at [J-1, I-1]; empty when the run stopped before its end).
//
// u, v, p are float32 arrays of shape (nj, ni), node (I, J) at [J-1, I-1]
// (the toolkit's restart-file layout), given all three or none.  start_dt is
// the program's --start-dt (0: not given).  The GIL is
// released while the run is made, so runs in several threads go on at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "control/memory_run.hpp"
#include "discretise/concentration_scheme.hpp"
#include "output/uptake_file.hpp"

namespace py = pybind11;
using questrand::FlowFields;
using questrand::MemoryProblem;
using questrand::MemoryRun;
using questrand::Scheme;
using questrand::Uptake;

namespace {

using FloatArray = py::array_t<float, py::array::c_style>;

Scheme scheme_of(const std::string& name) {
  Scheme scheme = Scheme::standard;
  if (!questrand::parse_scheme(name, scheme))
    throw py::value_error("scheme '" + name + "': expected " + questrand::scheme_choices());
  return scheme;
}

// x as the uptake file holds it: printed with %.9g and read back.
double as_printed(double x) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", x);
  return std::strtod(text, nullptr);
}

template <class T>
py::array_t<T> array_of(const std::vector<T>& values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  T* data = out.mutable_data();
  for (std::size_t k = 0; k < values.size(); ++k) data[k] = values[k];
  return out;
}

// The uptake columns in the uptake file's order: name and member.
struct Column {
  const char* name;
  double Uptake::*value;
};
constexpr Column kColumns[] = {
    {"time", &Uptake::time},           {"m_flow", &Uptake::m_flow},
    {"m_memb", &Uptake::m_memb},       {"m_gel", &Uptake::m_gel},
    {"c_memb_mean", &Uptake::c_memb_mean}, {"c_gel_mean", &Uptake::c_gel_mean},
    {"flux_memb_gel", &Uptake::flux_memb_gel}, {"c_out", &Uptake::c_out},
    {"balance", &Uptake::balance},     {"c_memb_mid", &Uptake::c_memb_mid},
    {"c_gel_mid", &Uptake::c_gel_mid}, {"c_gel_top", &Uptake::c_gel_top},
};
constexpr Column kPhysicsColumns[] = {{"m_sink", &Uptake::m_sink}, {"m_reacted", &Uptake::m_reacted}};

// The column names of the uptake file's header.
std::vector<std::string> header_names(bool physics) {
  std::string header = std::string(questrand::kUptakeHeader) + (physics ? questrand::kUptakePhysicsColumns : "");
  std::vector<std::string> names;
  for (std::size_t start = 0;;) {
    const std::size_t comma = header.find(',', start);
    names.push_back(header.substr(start, comma - start));
    if (comma == std::string::npos) return names;
    start = comma + 1;
  }
}

py::dict run(const std::string& problem, const std::optional<std::string>& physics, const std::string& scheme,
             const std::optional<FloatArray>& u, const std::optional<FloatArray>& v,
             const std::optional<FloatArray>& p, float start_dt) {
  MemoryProblem given;
  given.problem_text = problem;
  given.has_physics = physics.has_value();
  if (physics) given.physics_text = *physics;
  given.scheme = scheme_of(scheme);
  given.start_dt = start_dt;
  FlowFields flow;
  if (u || v || p) {
    if (!(u && v && p)) throw py::value_error("the flow: give u, v and p, or none of them");
    for (const FloatArray* field : {&*u, &*v, &*p})
      if (field->ndim() != 2 || field->shape(0) != u->shape(0) || field->shape(1) != u->shape(1))
        throw py::value_error("the flow: u, v and p must be arrays of one shape (nj, ni)");
    flow = {static_cast<int>(u->shape(1)), static_cast<int>(u->shape(0)), u->data(), v->data(), p->data()};
    given.flow = &flow;
  }
  MemoryRun done;
  {
    py::gil_scoped_release unlocked;
    done = questrand::run_in_memory(given);
  }
  py::dict out;
  std::vector<Column> columns(std::begin(kColumns), std::end(kColumns));
  if (done.physics) columns.insert(columns.end(), std::begin(kPhysicsColumns), std::end(kPhysicsColumns));
  const std::vector<std::string> names = header_names(done.physics);
  if (names.size() != columns.size()) throw std::logic_error("the uptake columns differ from the uptake file's header");
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (names[k] != columns[k].name) throw std::logic_error("uptake column " + names[k] + " out of order");
    std::vector<double> values;
    values.reserve(done.steps.size());
    for (const Uptake& step : done.steps) values.push_back(as_printed(step.*columns[k].value));
    out[py::str(names[k])] = array_of(values);
  }
  out["steps"] = array_of(done.step_numbers);
  out["iterations"] = array_of(done.step_iterations);
  out["maxit_steps"] = array_of(done.limit_steps);
  out["status"] = done.status;
  // The program prints a diverged run's line after "questrand: ".
  out["error"] = done.status == 3 ? "questrand: " + done.error : done.error;
  out["warnings"] = done.warnings;
  py::array_t<float> c({static_cast<py::ssize_t>(done.nj), static_cast<py::ssize_t>(done.ni)});
  std::copy(done.c.begin(), done.c.end(), c.mutable_data());
  out["c"] = c;  // the end-of-run field, shape (nj, ni); empty when the run stopped early
  return out;
}

}  // namespace

PYBIND11_MODULE(_solver, m) {
  m.doc() = "questrand's run in memory: the uptake columns of every step of a problem, no file written";
  m.attr("version") = QUESTRAND_VERSION;
  m.def("run", &run, py::arg("problem"), py::arg("physics") = py::none(), py::arg("scheme") = "standard",
        py::arg("u") = py::none(), py::arg("v") = py::none(), py::arg("p") = py::none(), py::arg("start_dt") = 0.0f,
        "Run the problem (the text of PROB.INP, with PHYSICS.INP's text or None) under the scheme, from the "
        "steady flow u, v, p (float32, shape (nj, ni)) when given; a dict of the uptake columns, steps, "
        "iterations, maxit_steps, status, error, warnings and c (the end-of-run concentration field, (nj, ni)).");
}
