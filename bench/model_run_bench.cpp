// One model run of a fit, in memory against the program as a process: the
// fit example (examples/fit/PROB.INP) with the flow not solved, as a fit's
// model runs it, 60 steps of the concentration.
//   ModelRun/in_memory   run_in_memory: the problem text in, each step's
//                        uptake observables out (control/memory_run.hpp)
//   ModelRun/in_memory_second_order   the same under the second-order scheme
//   ModelRun/in_memory_second_order_graded   and on its graded columns
//   ModelRun/process     what the toolkit does for one run: write PROB.INP
//                        in a directory, start the program there (fork and
//                        exec, output to /dev/null), wait for it, read the
//                        uptake file back and parse its numbers
// Both report wall time per run (the process path's time is mostly outside
// this process).  The time-zero restart file the toolkit writes for a
// reused flow is left out of the process path: it adds a 0.2 MB write and
// read.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/memory_run.hpp"

namespace {

namespace fs = std::filesystem;

// The fit example with the flow not solved.
std::string model_problem() {
  std::ifstream in(fs::path(QUESTRAND_SOURCE_DIR) / "examples/fit/PROB.INP");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  const std::string label = "\nsolve the flow: u, v and pressure";
  const std::size_t line = text.find('\n', text.find(label) + 1) + 1;
  return text.replace(line, 1, "F");
}

// Under the scheme `scheme` (the fit example's README fits with the
// second-order one).
template <questrand::Scheme scheme>
void BM_ModelRunInMemory(benchmark::State& state) {
  const questrand::MemoryProblem problem{model_problem(), false, "", scheme, nullptr};
  for (auto _ : state) {
    const questrand::MemoryRun run = questrand::run_in_memory(problem);
    if (run.status != 0 || run.steps.size() != 60) state.SkipWithError("the run failed");
    benchmark::DoNotOptimize(run.steps.back().c_gel_mean);
  }
}

// The program run in `dir`, its output to /dev/null; its exit status.
int run_program_in(const fs::path& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (::chdir(dir.c_str()) != 0 || null < 0) ::_exit(127);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(QUESTRAND_EXE, QUESTRAND_EXE, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_ModelRunProcess(benchmark::State& state) {
  const std::string text = model_problem();
  const fs::path dir = fs::temp_directory_path() / ("questrand-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (auto _ : state) {
    std::ofstream(dir / "PROB.INP", std::ios::binary) << text;
    if (run_program_in(dir) != 0) state.SkipWithError("the program failed");
    std::ifstream upt(dir / "FIT.UPT");
    std::string line;
    std::getline(upt, line);  // header
    std::vector<double> values;
    while (std::getline(upt, line)) {
      std::istringstream cells(line);
      std::string cell;
      while (std::getline(cells, cell, ',')) values.push_back(std::strtod(cell.c_str(), nullptr));
    }
    if (values.size() != 60 * 12) state.SkipWithError("the uptake file is not whole");
    benchmark::DoNotOptimize(values.back());
  }
  fs::remove_all(dir);
}

BENCHMARK(BM_ModelRunInMemory<questrand::Scheme::standard>)
    ->Name("ModelRun/in_memory")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ModelRunInMemory<questrand::Scheme::second_order>)
    ->Name("ModelRun/in_memory_second_order")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ModelRunInMemory<questrand::Scheme::second_order_graded>)
    ->Name("ModelRun/in_memory_second_order_graded")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ModelRunProcess)->Name("ModelRun/process")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
