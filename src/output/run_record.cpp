#include "output/run_record.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/version.hpp"
#include "discretise/concentration_scheme.hpp"
#include "io/json.hpp"
#include "io/text_file.hpp"
#include "physics/physics.hpp"
#include "setup/input_table.hpp"

namespace questrand {

using io::json_real;
using io::json_text;

namespace {

std::string value_json(const InputValue& v, const State& s) {
  void* p = v.target(const_cast<State&>(s));
  switch (v.type) {
    case ValueType::Real: return json_real(*static_cast<const float*>(p));
    case ValueType::Integer: return std::to_string(*static_cast<const int*>(p));
    case ValueType::Logical: return *static_cast<const bool*>(p) ? "true" : "false";
    case ValueType::Text: return json_text(*static_cast<const std::string*>(p));
  }
  return "null";
}

std::string int_array(const std::vector<int>& values) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (int v : values) items.push_back(std::to_string(v));
  return io::json_array(items);
}

std::string status_name(int exit_status) {
  switch (exit_status) {
    case 0: return "completed";
    case 1: return "output error";
    case 3: return "diverged";
  }
  return "failed";
}

// Size in bytes of `name`, or -1 when it cannot be found.
long long file_size(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

std::string problem_json(const State& s) {
  std::string out = "{";
  bool first = true;
  for (const InputValue& v : input_values()) {
    out += (first ? "" : ", ") + json_text(v.name) + ": " + value_json(v, s);
    first = false;
  }
  return out + "}";
}

std::string run_record_name(const RunFiles& files) {
  std::string stem = files.stem;
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  return stem + ".record.json";
}

void write_run_record(const State& s, const RunOutput& out, const std::string& problem,
                      const std::vector<std::string>& arguments, const RunEnd& end) {
  const std::vector<int>& iterations = out.step_iterations();
  const std::vector<int>& steps = out.step_numbers();
  std::vector<std::string> args;
  for (const std::string& a : arguments) args.push_back(json_text(a));
  std::vector<std::string> files;
  for (const std::string& name : out.written_with_step_files())
    files.push_back("{\"name\": " + json_text(name) + ", \"bytes\": " + std::to_string(file_size(name)) + "}");
  const int most = iterations.empty() ? 0 : *std::max_element(iterations.begin(), iterations.end());

  std::string doc = "{\n";
  doc += "  \"record\": \"questrand run record\",\n  \"record_version\": 1,\n";
  doc += "  \"version\": " + json_text(kVersion) + ",\n";
  doc += "  \"scheme\": " + json_text(scheme_name(s.cscheme.scheme)) + ",\n";
  // the second-order start's reference step (--start-dt), null when the run's own dt
  doc += "  \"start_dt\": " + (s.cscheme.start_dt != 0.0f ? json_real(s.cscheme.start_dt) : std::string("null")) +
         ",\n";
  doc += "  \"arguments\": " + io::json_array(args) + ",\n";
  doc += "  \"problem\": " + problem + ",\n";
  doc += "  \"physics\": " + physics_json(s) + ",\n";
  doc += std::string("  \"steady\": ") + (s.ctime.steady ? "true" : "false") + ",\n";
  doc += "  \"steps\": " + std::to_string(steps.size()) + ",\n";
  doc += "  \"first_step\": " + (steps.empty() ? std::string("null") : std::to_string(steps.front())) + ",\n";
  doc += "  \"last_step\": " + (steps.empty() ? std::string("null") : std::to_string(steps.back())) + ",\n";
  doc += "  \"final_time\": " + json_real(s.ctime.time) + ",\n";
  doc += "  \"outer_iterations\": " + std::to_string(out.outer_iterations()) + ",\n";
  doc += "  \"most_outer_iterations\": " + std::to_string(most) + ",\n";
  doc += "  \"maxit\": " + std::to_string(s.cterm.maxit) + ",\n";
  doc += "  \"maxit_steps\": " + int_array(out.warned_steps()) + ",\n";
  doc += "  \"status\": " + json_text(status_name(end.exit_status)) + ",\n";
  doc += "  \"exit_status\": " + std::to_string(end.exit_status) + ",\n";
  doc += "  \"reason\": " + json_text(end.reason) + ",\n";
  doc += "  \"files\": " + io::json_array(files) + ",\n";
  char wall[32];
  std::snprintf(wall, sizeof wall, "%.3f", out.wall_seconds());
  doc += "  \"wall_seconds\": " + std::string(wall) + ",\n";
  doc += "  \"step_numbers\": " + int_array(steps) + ",\n";
  doc += "  \"step_iterations\": " + int_array(iterations) + "\n";
  doc += "}";

  const std::string name = run_record_name(out.files());
  const std::string part = name + ".part";
  try {
    io::TextFile f(part, "w");
    f.line(doc);
    f.close();
  } catch (const io::FileError&) {
    std::remove(part.c_str());
    throw;
  }
  if (std::rename(part.c_str(), name.c_str()) != 0) {
    const int saved = errno;
    std::remove(part.c_str());
    errno = saved;
    io::fail_file(name, "write");
  }
}

}  // namespace questrand
