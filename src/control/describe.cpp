#include "control/describe.hpp"

#include <cstdio>
#include <memory>
#include <vector>

#include "control/run.hpp"
#include "core/version.hpp"
#include "io/json.hpp"
#include "io/list_reader.hpp"
#include "output/run_output.hpp"
#include "output/run_record.hpp"
#include "physics/physics.hpp"
#include "setup/input.hpp"
#include "setup/run_files.hpp"

namespace questrand {

using io::json_array;
using io::json_real;
using io::json_text;

namespace {

std::string grid_vector(const GridVec& v, int n) {
  std::vector<std::string> items;
  for (int k = 1; k <= n; ++k) items.push_back(json_real(v(k)));
  return json_array(items);
}

std::string rows(int first, int last) { return "[" + std::to_string(first) + ", " + std::to_string(last) + "]"; }

}  // namespace

std::string describe_problem_json(const State& s, const std::string& problem) {
  const Cgrid& g = s.cgrid;
  const Cio& io = s.cio;
  const Cprob& pr = s.cprob;
  const RunFiles f = run_files(io);

  std::vector<std::string> saves;
  auto save = [&](bool on, const char* ext, const char* holds) {
    if (on) saves.push_back("{\"name\": " + json_text(f.save(ext)) + ", \"holds\": " + json_text(holds) + "}");
  };
  save(io.save_vel, ".VEL", "u, v");
  save(io.save_prs, ".PRS", "p");
  save(io.save_tmp, ".TMP", "t");
  save(io.save_con, ".CON", "c");
  std::vector<std::string> end_profiles;
  if (io.save_con) end_profiles = {json_text(f.save(".CPR")), json_text(f.save(".VPR"))};

  // The steps the run makes (from the step after a restart file's) and those
  // that write step files: step 1 and every prt_step-th.
  std::vector<std::string> step_files;
  if (s.ctime.steady && io.save_con)  // the one solve writes the files of step 0
    step_files.push_back("{\"step\": 0, \"stem\": " + json_text(RunFiles::step_stem(0)) + "}");
  if (!s.ctime.steady && io.save_con)
    for (int step = s.ctime.istep + 1; step <= s.ctime.nsteps; ++step)
      if (step % io.prt_step == 0 || step == 1)
        step_files.push_back("{\"step\": " + std::to_string(step) + ", \"stem\": " +
                             json_text(RunFiles::step_stem(step)) + "}");

  const long long field_bytes = 4LL * g.ni * g.nj;
  std::string records = "[{\"record\": 1, \"holds\": ";
  records += s.ctime.steady ? "[\"ni\", \"nj\", \"iter\"], \"types\": [\"int32\", \"int32\", \"int32\"], \"bytes\": 12}"
                            : "[\"ni\", \"nj\", \"istep\", \"time\"], \"types\": [\"int32\", \"int32\", \"int32\", "
                              "\"float32\"], \"bytes\": 16}";
  const char* fields[] = {"u", "v", "p", "t", "c", "vis", "den", "gamt", "gamc"};
  for (int k = 0; k < 9; ++k)
    records += ", {\"record\": " + std::to_string(k + 2) + ", \"field\": " + json_text(fields[k]) +
               ", \"type\": \"float32\", \"bytes\": " + std::to_string(field_bytes) + "}";
  records += "]";

  std::string doc = "{\n";
  doc += "  \"description\": \"questrand problem\",\n  \"description_version\": 1,\n";
  doc += "  \"version\": " + json_text(kVersion) + ",\n";
  doc += "  \"problem\": " + problem + ",\n";
  doc += "  \"physics\": " + physics_json(s) + ",\n";
  doc += "  \"files\": {\n";
  doc += "    \"problem\": \"PROB.INP\",\n";
  doc += "    \"listing\": " + json_text(f.listing) + ",\n";
  doc += "    \"monitor\": " + json_text(kMonitorFile) + ",\n";
  doc += "    \"uptake\": " + json_text(f.uptake()) + ",\n";
  doc += "    \"record\": " + json_text(run_record_name(f)) + ",\n";
  doc += "    \"lock\": " + json_text(kRunLockFile) + ",\n";
  doc += "    \"stem\": " + json_text(f.stem) + ",\n";
  doc += "    \"restart_in\": " + (io.restart_in ? json_text(f.restart_in) : std::string("null")) + ",\n";
  doc += "    \"restart_out\": " + (io.restart_out ? json_text(f.restart_out) : std::string("null")) + ",\n";
  doc += "    \"restart_temp\": " + (io.restart_out ? json_text(f.restart_temp) : std::string("null")) + ",\n";
  doc += "    \"save\": " + json_array(saves) + ",\n";
  doc += "    \"end_profiles\": " + json_array(end_profiles) + ",\n";
  doc += "    \"step_file_extensions\": [\".CON\", \".CPR\", \".VPR\"],\n";
  doc += "    \"step_files\": " + json_array(step_files) + "\n";
  doc += "  },\n";
  doc += "  \"steps\": {\"steady\": " + std::string(s.ctime.steady ? "true" : "false") +
         ", \"first\": " + std::to_string(s.ctime.steady ? 0 : s.ctime.istep + 1) +
         ", \"last\": " + std::to_string(s.ctime.steady ? 0 : s.ctime.nsteps) + ", \"dt\": " + json_real(s.ctime.dt) +
         ", \"start_time\": " + json_real(s.ctime.time) + "},\n";
  doc += "  \"grid\": {\n";
  doc += "    \"ni\": " + std::to_string(g.ni) + ", \"nj\": " + std::to_string(g.nj) + ",\n";
  doc += "    \"layers\": {\"channel\": " + rows(pr.jflow1, pr.jflow2) + ", \"membrane\": " + rows(pr.jmemb1, pr.jmemb2) +
         ", \"gel\": " + rows(pr.jgel1, pr.jgel2) + "},\n";
  doc += "    \"monitor\": [" + std::to_string(io.imon) + ", " + std::to_string(io.jmon) + "],\n";
  doc += "    \"x\": " + grid_vector(g.x, g.ni) + ",\n";
  doc += "    \"y\": " + grid_vector(g.y, g.nj) + ",\n";
  doc += "    \"xu\": " + grid_vector(g.xu, g.ni) + ",\n";
  doc += "    \"yv\": " + grid_vector(g.yv, g.nj) + "\n";
  doc += "  },\n";
  doc += "  \"restart\": {\"framing\": \"each record: its data length L as a 4-byte little-endian integer, L bytes, "
         "L again\", \"byte_order\": \"little\", \"field_order\": \"I = 1..ni fastest, then J = 1..nj\", "
         "\"records\": " + records + "}\n";
  doc += "}\n";
  return doc;
}

int describe_program(Scheme scheme) {
  std::unique_ptr<State> state;
  try {
    state = std::make_unique<State>();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "questrand: not enough memory for the solver state\n");
    return 1;
  }
  State& s = *state;
  s.cscheme.scheme = scheme;
  std::string problem;
  try {
    input(s);
    problem = problem_json(s);
    if (start_run(s) == RestartRead::Missing)
      std::fprintf(stderr, "%s\n", RunOutput::restart_missing_warning(s).c_str());
  } catch (const io::InputError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  const std::string doc = describe_problem_json(s, problem);
  std::fputs(doc.c_str(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace questrand
