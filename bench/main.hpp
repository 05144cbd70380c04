// The body of every benchmark program's main.
#pragma once

#include <benchmark/benchmark.h>

namespace bench {

// Runs what the command line selects (reporting through `reporter` when one
// is given), then prints the program's summary.
inline int run_main(int argc, char** argv, void (*summary)(), benchmark::BenchmarkReporter* reporter = nullptr) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(reporter);
  summary();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
