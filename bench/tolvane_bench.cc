// Google Benchmark of what tolvane does in-process: the whole request for the
// misc history in /var/log, with its own CPU time and memory apart from those
// of the commands it starts, the plan of that history, and the ordering of
// archive names. It runs in the sandbox only; `bench/compare.sh gbench
// [FLAG...]` lays out a history of 10 archives there and runs it.

#include <benchmark/benchmark.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/vfs.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"
#include "tolvane_report.h"

namespace {

namespace internals = nq_tolvane::nq_tolvane_internals;
const char kOutput[] = "/var/tmp/tolvane_bench.out";

// User + system time so far of this process (RUSAGE_SELF) or of the children
// it has waited for (RUSAGE_CHILDREN), in milliseconds.
double CpuMs(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// VmRSS or VmHWM (peak) of this process in KiB. Unlike ru_maxrss, which
// keeps the peak of the image this one was exec'd from, they are its own.
double StatusKib(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(6));
  return 0;
}

void BM_GetEntireLog(benchmark::State& state) {
  std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM = VmRSS from here
  const double before = StatusKib("VmRSS");
  double self = 0, children = 0;
  for (auto _ : state) {
    const double self0 = CpuMs(RUSAGE_SELF), children0 = CpuMs(RUSAGE_CHILDREN);
    if (!nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, kOutput)) {
      state.SkipWithError("GetEntireLog failed: no history laid out?");
      break;
    }
    self += CpuMs(RUSAGE_SELF) - self0;
    children += CpuMs(RUSAGE_CHILDREN) - children0;
    state.PauseTiming();  // every request starts without an output
    std::remove(kOutput);
    state.ResumeTiming();
  }
  using benchmark::Counter;
  state.counters["self_cpu_ms"] = Counter(self, Counter::kAvgIterations);
  state.counters["children_cpu_ms"] =
      Counter(children, Counter::kAvgIterations);
  state.counters["rss_before_kib"] = before;
  state.counters["peak_rss_kib"] = StatusKib("VmHWM");
}
BENCHMARK(BM_GetEntireLog)->Unit(benchmark::kMillisecond)->UseRealTime();

// Plans the misc history in /var/log: lists and orders its archives and reads
// each one's gzip trailer, running no command.
void BM_PlanEntireLog(benchmark::State& state) {
  nq_tolvane::Plan plan;
  for (auto _ : state)
    nq_tolvane::PlanEntireLog(nq_tolvane::LOGTYPE_MISC, &plan);
  if (plan.pieces.empty()) state.SkipWithError("nothing planned: no history?");
  int trailers = 0;
  for (const nq_tolvane::PlannedPiece& piece : plan.pieces)
    trailers +=
        piece.kind == nq_tolvane::PieceKind::kArchive && piece.scratchSizeKnown;
  state.counters["pieces"] = plan.pieces.size();
  state.counters["trailers_read"] = trailers;
}
BENCHMARK(BM_PlanEntireLog)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sorts N names numbered up to the pivot N/2 - 1, half before the wrap and
// half after it, handed over in name order as a request's listing is.
void BM_OrderNames(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::string prefix;
  internals::Initialize(nq_tolvane::LOGTYPE_MISC, prefix);
  internals::SetLogNum(static_cast<std::uint16_t>(count / 2 - 1));
  std::list<std::string> input, names;
  for (int k = 0; k < count; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "misc%05d.log.gz",
                  k < count / 2 ? k : 65536 - count + k);
    input.emplace_back(name);
  }
  for (auto _ : state) {
    state.PauseTiming();
    names = input;
    state.ResumeTiming();
    names.sort(internals::compare_file_age);
  }
  if (internals::FindLogNum(names.front(), "misc") != 65536 - count / 2)
    state.SkipWithError("the oldest name did not come first");
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_OrderNames)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  struct statfs log {};
  if (std::getenv("TOLVANE_IN_SANDBOX") == nullptr ||
      statfs("/var/log", &log) != 0 || log.f_type != TMPFS_MAGIC) {
    std::fprintf(stderr, "%s: run it in scripts/run-in-sandbox.sh\n", argv[0]);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  std::remove(kOutput);
  return 0;
}
