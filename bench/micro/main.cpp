// The micro benchmarks' main. The daemon's messages are filtered out (level
// 0), so the figures are those of the code, not of formatting and writing
// log lines.
#include <benchmark/benchmark.h>

#include "interfaces/sensors_log.h"

int main(int argc, char** argv) {
  sensors_log::set_level(sensors_log::lowest);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
