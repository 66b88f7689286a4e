// Reading the command file as the on-device-logging task does at each
// wake-up. get_odl_commands reads the device path, so the binary runs in a
// sandboxed device (tools/run_bench).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "diag/odl_commands.h"
#include "interfaces/odl_protocol.h"

namespace {

bool write_command_file(const std::string& content) {
  std::ofstream file(odl::command_file, std::ios::binary | std::ios::trunc);
  file << content;
  return static_cast<bool>(file.flush());
}

void read_commands(benchmark::State& state, const std::string& content) {
  if (!write_command_file(content)) {
    state.SkipWithError("cannot write the command file: run in a sandboxed device");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(get_odl_commands());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(content.size()));
}

void odl_commands_two_lines(benchmark::State& state) {
  read_commands(state, "stop\nenable_HLOS_packets\n");
}
BENCHMARK(odl_commands_two_lines)->Unit(benchmark::kMicrosecond);

// 1 MiB of 20-byte lines: a controller that appends instead of overwriting.
void odl_commands_1mb(benchmark::State& state) {
  std::string content;
  while (content.size() < (1u << 20)) {
    content += "enable_HLOS_packets\n";
  }
  content.resize(1u << 20);
  read_commands(state, content);
}
BENCHMARK(odl_commands_1mb)->Unit(benchmark::kMicrosecond);

}  // namespace
