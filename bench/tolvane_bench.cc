// Google Benchmark of what tolvane does in process, on the misc history that
// bench/compare.sh lays out in the sandbox's /var/log (65,536 archives): the
// plans of a whole request and of a streaming one, and the ordering of
// archive names across the wrap.

#include <benchmark/benchmark.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>

#include "nq_tolvane_internals.h"
#include "tolvane_report.h"

namespace {

namespace internals = nq_tolvane::nq_tolvane_internals;

bool PlanEntire(nq_tolvane::Plan* plan) {
  return nq_tolvane::PlanEntireLog(nq_tolvane::LOGTYPE_MISC, plan);
}

bool PlanStreaming(nq_tolvane::Plan* plan) {
  return nq_tolvane::PlanLog(nq_tolvane::LOGTYPE_MISC, {}, plan);
}

// Lists and orders the history's pieces and reads each archive's gzip
// trailer, running no command.
void BM_Plan(benchmark::State& state, bool (*plan)(nq_tolvane::Plan*)) {
  nq_tolvane::Plan result;
  for (auto _ : state) plan(&result);
  if (result.pieces.empty()) state.SkipWithError("nothing planned");
  state.counters["pieces"] = result.pieces.size();
}
BENCHMARK_CAPTURE(BM_Plan, PlanEntireLog, PlanEntire)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Plan, PlanLog, PlanStreaming)
    ->Unit(benchmark::kMillisecond);

// Sorts N names numbered up to the pivot N/2 - 1, half before the wrap and
// half after it, handed over in name order as a directory listing is.
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
BENCHMARK(BM_OrderNames)->Arg(65536)->Unit(benchmark::kMillisecond);

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
  return 0;
}
