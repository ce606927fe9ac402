// The date parser on a typical Date: header value, as the spool calls it
// (no reference time: the clock and the cached zone) and with a reference.
#include <benchmark/benchmark.h>

#include "parsedate/parsedate.h"

namespace {

const char kHeader[] = "Sun, 06 Dec 2026 18:06:03 +0000";

void BM_ParsedateHeader(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(parsedate(kHeader, nullptr));
}
BENCHMARK(BM_ParsedateHeader);

void BM_ParsedateHeaderWithLength(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(parsedate(kHeader, sizeof kHeader - 1, nullptr));
}
BENCHMARK(BM_ParsedateHeaderWithLength);

void BM_ParsedateHeaderWithReference(benchmark::State& state) {
  _timenow now;
  GetTimeInfo(&now);
  for (auto _ : state) benchmark::DoNotOptimize(parsedate(kHeader, &now));
}
BENCHMARK(BM_ParsedateHeaderWithReference);

void BM_ParsedateNoZone(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(parsedate("Sun, 06 Dec 2026 18:06:03", nullptr));
}
BENCHMARK(BM_ParsedateNoZone);

}  // namespace
