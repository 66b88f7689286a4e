// Writes the seed corpus of the indication fuzzer: real serialised
// sns_client_event_msg indications, one per file, into the directory given.
//   aont_fuzz_seeds DIR
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"

namespace {

struct event_spec {
  uint32_t msg_id;
  uint64_t timestamp;
  int samples;  // below zero: no payload
};

std::string indication(const std::vector<event_spec>& events) {
  sns_client_event_msg message;
  message.mutable_suid()->set_suid_low(305419896);
  message.mutable_suid()->set_suid_high(2596069104);
  for (const event_spec& shape : events) {
    sns_client_event_msg::sns_client_event* event = message.add_events();
    event->set_msg_id(shape.msg_id);
    event->set_timestamp(shape.timestamp);
    if (shape.samples >= 0) {
      sns_aont_data data;
      for (int i = 0; i < shape.samples; ++i) {
        data.add_sample(static_cast<float>(i) * 0.5F);
      }
      event->set_payload(data.SerializeAsString());
    }
  }
  return message.SerializeAsString();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: aont_fuzz_seeds DIR\n");
    return 2;
  }
  const std::vector<std::string> seeds = {
      "",
      indication({{1024, 1234567890123, 3}}),
      indication({{1024, 10, 2}, {5, 20, 3}, {1024, 30, 1}}),
      indication({{1024, 1, 0}}),
      indication({{1024, 1, -1}}),
      indication({{0x80000000u, UINT64_MAX, 4}}),
      indication({{1024, 5, 64}, {1025, 6, 1}}),
  };
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(argv[1]) + "/indication_" + std::to_string(i);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << seeds[i];
    if (!out) {
      std::fprintf(stderr, "aont_fuzz_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
