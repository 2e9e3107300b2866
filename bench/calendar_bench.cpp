// Per-call cost of the clock's calendar conversions, both directions, side by side:
// the defining loops, the program's constant-time routines, std::chrono and a general
// Euclidean-affine civil-date algorithm. Every contestant is called out of line, as the
// program's routines are, and all agree on the inputs before anything is timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "calendar_reference.h"
#include "rtc/calendar.h"

namespace {

constexpr unsigned kInputs = 4096;  // power of two; fits the L1 cache with its records

struct Inputs {
  RtcSeconds counts[kInputs];
  SYSTEMTIME records[kInputs];
};

#define NOINLINE __attribute__((noinline))
NOINLINE RtcSeconds LoopTo(const SYSTEMTIME* p) { return calref::RefSystemTimeToRtcSeconds(p); }
NOINLINE RtcSeconds ChronoTo(const SYSTEMTIME* p) { return calref::ChronoSystemTimeToRtcSeconds(p); }
NOINLINE RtcSeconds EafTo(const SYSTEMTIME* p) { return calref::EafSystemTimeToRtcSeconds(p); }
NOINLINE BOOL LoopFrom(RtcSeconds s, SYSTEMTIME* p) { return calref::RefRtcSecondsToSystemTime(s, p); }
NOINLINE BOOL ChronoFrom(RtcSeconds s, SYSTEMTIME* p) { return calref::ChronoRtcSecondsToSystemTime(s, p); }
NOINLINE BOOL EafFrom(RtcSeconds s, SYSTEMTIME* p) { return calref::EafRtcSecondsToSystemTime(s, p); }
// The cost of the loop and the call alone, to be subtracted from the others.
NOINLINE RtcSeconds HarnessTo(const SYSTEMTIME* p) { return p->wSecond; }
NOINLINE BOOL HarnessFrom(RtcSeconds s, SYSTEMTIME* p) {
  p->wSecond = WORD(s);
  return 1;
}

// Counts spread uniformly over the whole clock range by a fixed xorshift generator, with
// their records; aborts if any two conversions disagree.
const Inputs& GetInputs() {
  static const Inputs* s_pInputs = [] {
    static Inputs in;
    std::uint32_t x = 0x9E3779B9u;
    BOOL (*from[])(RtcSeconds, SYSTEMTIME*) = {RtcSecondsToSystemTime, ChronoFrom, EafFrom};
    RtcSeconds (*to[])(const SYSTEMTIME*) = {SystemTimeToRtcSeconds, LoopTo, ChronoTo, EafTo};
    for (unsigned i = 0; i < kInputs; ++i) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      in.counts[i] = x;
      LoopFrom(x, &in.records[i]);
      for (auto* f : from) {
        SYSTEMTIME st;
        f(x, &st);
        if (std::memcmp(&st, &in.records[i], sizeof st) != 0) std::abort();
      }
      for (auto* f : to)
        if (f(&in.records[i]) != x) std::abort();
    }
    return &in;
  }();
  return *s_pInputs;
}

template <RtcSeconds (*Convert)(const SYSTEMTIME*)>
void BM_RecordToSeconds(benchmark::State& state) {
  const Inputs& in = GetInputs();
  unsigned i = 0;
  for (auto _ : state) {
    RtcSeconds s = Convert(&in.records[i]);
    benchmark::DoNotOptimize(s);
    i = (i + 1) & (kInputs - 1);
  }
}

template <BOOL (*Convert)(RtcSeconds, SYSTEMTIME*)>
void BM_SecondsToRecord(benchmark::State& state) {
  const Inputs& in = GetInputs();
  SYSTEMTIME st;
  unsigned i = 0;
  for (auto _ : state) {
    Convert(in.counts[i], &st);
    benchmark::DoNotOptimize(st);
    i = (i + 1) & (kInputs - 1);
  }
}

// With --benchmark_repetitions, "min" is the run least disturbed by other work on the machine.
double Min(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK_TEMPLATE(BM_RecordToSeconds, HarnessTo)->Name("RecordToSeconds/harness")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_RecordToSeconds, LoopTo)->Name("RecordToSeconds/loop")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_RecordToSeconds, ChronoTo)->Name("RecordToSeconds/chrono")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_RecordToSeconds, EafTo)->Name("RecordToSeconds/eaf")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_RecordToSeconds, SystemTimeToRtcSeconds)
    ->Name("RecordToSeconds/rtc")
    ->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_SecondsToRecord, HarnessFrom)->Name("SecondsToRecord/harness")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_SecondsToRecord, LoopFrom)->Name("SecondsToRecord/loop")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_SecondsToRecord, ChronoFrom)->Name("SecondsToRecord/chrono")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_SecondsToRecord, EafFrom)->Name("SecondsToRecord/eaf")->ComputeStatistics("min", Min);
BENCHMARK_TEMPLATE(BM_SecondsToRecord, RtcSecondsToSystemTime)
    ->Name("SecondsToRecord/rtc")
    ->ComputeStatistics("min", Min);

}  // namespace
