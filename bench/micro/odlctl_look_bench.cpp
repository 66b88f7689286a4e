// One look of odlctl at a device, the step of each of its waits: /proc and
// the sensors directory read, each capture judged. In a sandboxed device
// (tools/run_bench), with as many capture directories as the argument asks.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "interfaces/odl_protocol.h"
#include "odlctl/read_device.h"

namespace {

void lay_out_captures(int count) {
  for (int index = 0; index < count; ++index) {
    const std::string second = std::to_string(100 + index % 60).substr(1);
    const std::string minute = std::to_string(100 + index / 60).substr(1);
    const std::string name = "odl_sns_2020_01_01_00_" + minute + "_" + second;
    mkdir((std::string(odl::sensors_directory) + "/" + name).c_str(), 0755);
  }
}

void odlctl_look(benchmark::State& state) {
  lay_out_captures(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(look_at(""));
  }
  state.counters["captures"] = static_cast<double>(state.range(0));
}
BENCHMARK(odlctl_look)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The processes alone, as a stop's wait reads them.
void odlctl_processes(benchmark::State& state) {
  std::string error;
  const android::base::unique_fd sensors = open_sensors("", error);
  for (auto _ : state) {
    benchmark::DoNotOptimize(read_processes(sensors.get(), false));
  }
}
BENCHMARK(odlctl_processes)->Unit(benchmark::kMicrosecond);

}  // namespace
