// Decoding one indication of the always-on test sensor, with the log filtered
// out: a single sample event of three values, as the sensor sends, and a
// batch of 16 of them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "aont/aont_event.h"
#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"

namespace {

std::string indication_of(int events) {
  sns_aont_data samples;
  samples.add_sample(0.5f);
  samples.add_sample(-9.81f);
  samples.add_sample(1.25f);
  sns_client_event_msg indication;
  for (int i = 0; i < events; ++i) {
    sns_client_event_msg::sns_client_event* event = indication.add_events();
    event->set_msg_id(aont_sample_msg_id);
    event->set_timestamp(1000000u + static_cast<uint64_t>(i));
    event->set_payload(samples.SerializeAsString());
  }
  return indication.SerializeAsString();
}

void aont_event(benchmark::State& state) {
  const std::string bytes = indication_of(static_cast<int>(state.range(0)));
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  for (auto _ : state) {
    handle_aont_event(data, bytes.size(), 0);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(aont_event)->ArgName("events")->Arg(1)->Arg(16);

}  // namespace
