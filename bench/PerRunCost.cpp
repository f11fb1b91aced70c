// kelvor_per_run_cost: what a command-line tool pays per run for the library. It starts the
// collector and runs three programs in turn, N times each: the tool without the library
// (baseline), the tool that initialises and reports one event, and the same with flush(2 s). Each
// run is a process of its own, timed from spawn to exit (wall) and by its CPU (user + system);
// the figures are medians, and ratios against the baseline of the same run.
//
// Usage: kelvor_per_run_cost [runs]   (default 100)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "support/Collector.hpp"
#include "support/TempDir.hpp"

namespace {

struct Sample {
  double wallMs = 0;
  double cpuMs = 0;
  bool ok = false;
};

Sample runOnce(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Sample sample;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return sample;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return sample;
  sample.wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  sample.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
  sample.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return sample;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double percentile90(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() * 9 / 10];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  kelvor::testing::Collector collector;
  if (!collector.started()) {
    std::fprintf(stderr, "the collector did not start\n");
    return 1;
  }
  kelvor::testing::TempDir folder;
  struct Program {
    const char* name;
    std::vector<std::string> args;
    std::vector<Sample> samples;
  };
  auto args = [&](const char* binary, const char* mode) {
    return std::vector<std::string>{binary, mode, (folder.path() / mode).string(),
                                    collector.baseUrl(), collector.caFile().string()};
  };
  std::vector<Program> programs = {
      {"without the library (baseline)", args(KELVOR_ONE_RUN_BARE_PATH, "report"), {}},
      {"initialise, report one event, exit", args(KELVOR_ONE_RUN_PATH, "report"), {}},
      {"the same with flush(2 s), healthy collector", args(KELVOR_ONE_RUN_PATH, "flush"), {}},
  };
  // Interleaved, so the machine's noise falls on all three alike.
  for (int i = 0; i < runs; ++i) {
    for (auto& program : programs) program.samples.push_back(runOnce(program.args));
  }
  std::set<std::string> ids;
  for (const auto& e : kelvor::testing::Collector::acceptedEvents(collector.records())) {
    ids.insert(e["eventUUID"].get<std::string>());
  }
  std::vector<double> baseWall;
  std::vector<double> baseCpu;
  for (const auto& s : programs[0].samples) {
    baseWall.push_back(s.wallMs);
    baseCpu.push_back(s.cpuMs);
  }
  const double bw = median(baseWall);
  const double bc = median(baseCpu);
  std::printf(
      "| per run (%d runs each, interleaved) | wall p50 / p90 | CPU p50 | wall ratio | "
      "CPU ratio | failed runs |\n|---|---|---|---|---|---|\n",
      runs);
  for (const auto& program : programs) {
    std::vector<double> wall;
    std::vector<double> cpu;
    int failed = 0;
    for (const auto& s : program.samples) {
      wall.push_back(s.wallMs);
      cpu.push_back(s.cpuMs);
      failed += s.ok ? 0 : 1;
    }
    std::printf("| %s | %.1f / %.1f ms | %.1f ms | %.1f× | %.1f× | %d |\n", program.name,
                median(wall), percentile90(wall), median(cpu), bw > 0 ? median(wall) / bw : 0,
                bc > 0 ? median(cpu) / bc : 0, failed);
  }
  std::printf(
      "\nevents accepted by the collector: %zu (of %d reported; the report-only runs' "
      "events go with later runs)\n",
      ids.size(), 2 * runs);
  return 0;
}
