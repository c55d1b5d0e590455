// Orders N archive names "miscNNNNN.log.gz" oldest first with the library's
// age predicate, as a request does before it extracts the archives.
//
// The names are the N numbers that end at the pivot, so that half of them
// lie before the wrap (65536 - N/2 .. 65535) and half after it
// (0 .. N/2 - 1); N = 65,536 uses every number. Two input orders are timed:
// name order, which is what a request hands to the sort (its directory
// listing is sorted by name), and a shuffled order.
//
// Initialize() reads /var/log/misc.txt, so this runs only in the sandbox
// (scripts/run-in-sandbox.sh sets TOLVANE_IN_SANDBOX=1).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"

namespace {

namespace internals = nq_tolvane::nq_tolvane_internals;

std::uint16_t PivotFor(std::int64_t count) {
  return static_cast<std::uint16_t>(count / 2 - 1);
}

std::vector<std::string> MakeNames(std::int64_t count, bool shuffled) {
  const std::uint16_t pivot = PivotFor(count);
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(count));
  for (std::int64_t k = 0; k < count; ++k) {
    const unsigned number =
        static_cast<std::uint16_t>(pivot - count + 1 + k);  // wraps at 65536
    char name[32];
    std::snprintf(name, sizeof name, "misc%05u.log.gz", number);
    names.emplace_back(name);
  }
  if (shuffled) {
    std::mt19937 random(20240611u);
    std::shuffle(names.begin(), names.end(), random);
  } else {
    std::sort(names.begin(), names.end());
  }
  return names;
}

// Checks that `sorted` is the N numbers oldest first: the run before the
// wrap in rising order, then the run after it.
bool OldestFirst(const std::list<std::string>& sorted, std::int64_t count) {
  const std::uint16_t pivot = PivotFor(count);
  std::uint16_t expected = static_cast<std::uint16_t>(pivot - count + 1);
  for (const std::string& name : sorted) {
    if (internals::FindLogNum(name, "misc") != expected) return false;
    ++expected;
  }
  return sorted.size() == static_cast<std::size_t>(count);
}

void OrderNames(benchmark::State& state, bool shuffled) {
  const std::int64_t count = state.range(0);
  std::string prefix;
  if (!internals::Initialize(nq_tolvane::LOGTYPE_MISC, prefix)) {
    state.SkipWithError("Initialize(LOGTYPE_MISC) failed");
    return;
  }
  internals::SetLogNum(PivotFor(count));
  const std::vector<std::string> input = MakeNames(count, shuffled);

  bool ordered = true;
  for (auto _ : state) {
    state.PauseTiming();
    std::list<std::string> names(input.begin(), input.end());
    state.ResumeTiming();
    names.sort(internals::compare_file_age);
    benchmark::DoNotOptimize(names.front().data());
    benchmark::ClobberMemory();
    state.PauseTiming();
    ordered = ordered && OldestFirst(names, count);
    state.ResumeTiming();
  }
  if (!ordered) state.SkipWithError("the names did not come out oldest first");
  state.SetComplexityN(count);
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_OrderNames_NameOrder(benchmark::State& state) {
  OrderNames(state, false);
}
void BM_OrderNames_Shuffled(benchmark::State& state) {
  OrderNames(state, true);
}

BENCHMARK(BM_OrderNames_NameOrder)
    ->RangeMultiplier(2)
    ->Range(4096, 65536)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);
BENCHMARK(BM_OrderNames_Shuffled)
    ->RangeMultiplier(2)
    ->Range(4096, 65536)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

}  // namespace

int main(int argc, char** argv) {
  const char* inside = std::getenv("TOLVANE_IN_SANDBOX");
  if (inside == nullptr || std::strcmp(inside, "1") != 0) {
    std::fprintf(stderr,
                 "tolvane_order_bench: run it in the sandbox: "
                 "scripts/run-in-sandbox.sh %s\n",
                 argv[0]);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
