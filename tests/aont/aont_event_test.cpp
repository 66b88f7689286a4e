#include "aont/aont_event.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"
#include "tests/fakes/journal.h"

namespace {

using lines = std::vector<std::string>;

struct event_spec {
  uint32_t msg_id;
  uint64_t timestamp;
  std::optional<std::string> payload;
};

std::string samples(int count) {
  sns_aont_data data;
  for (int i = 0; i < count; ++i) {
    data.add_sample(static_cast<float>(i) + 0.25F);
  }
  return data.SerializeAsString();
}

std::string indication(const std::vector<event_spec>& events) {
  sns_client_event_msg message;
  message.mutable_suid()->set_suid_low(1);
  for (const event_spec& shape : events) {
    sns_client_event_msg::sns_client_event* event = message.add_events();
    event->set_msg_id(shape.msg_id);
    event->set_timestamp(shape.timestamp);
    if (shape.payload) {
      event->set_payload(*shape.payload);
    }
  }
  return message.SerializeAsString();
}

void deliver(const std::string& bytes, size_t size) {
  handle_aont_event(reinterpret_cast<const uint8_t*>(bytes.data()), size, 0);
}
void deliver(const std::string& bytes) { deliver(bytes, bytes.size()); }

std::string length_line(const std::string& length) {
  return "D handle_aont_event: Received indication with length " + length;
}

TEST(aont_event, zero_length_logs_only_the_length) {
  handle_aont_event(nullptr, 0, 0);
  EXPECT_EQ(journal::entries(), lines{length_line("0")});
}

TEST(aont_event, three_events_are_logged_in_order_with_samples_of_the_sample_events) {
  const std::string bytes = indication({{1024, 10, samples(2)}, {5, 20, samples(3)}, {1024, 30, samples(1)}});
  deliver(bytes);
  EXPECT_EQ(journal::entries(), (lines{
                                    length_line(std::to_string(bytes.size())),
                                    "D handle_aont_event: event[0] msg_id=1024, ts=10",
                                    "V handle_aont_event: Received sample size 2",
                                    "D handle_aont_event: event[1] msg_id=5, ts=20",
                                    "D handle_aont_event: event[2] msg_id=1024, ts=30",
                                    "V handle_aont_event: Received sample size 1",
                                }));
}

TEST(aont_event, four_samples_are_counted) {
  deliver(indication({{1024, 1, samples(4)}}));
  EXPECT_EQ(journal::entries().back(), "V handle_aont_event: Received sample size 4");
}

TEST(aont_event, empty_payload_counts_zero_samples) {
  deliver(indication({{1024, 1, std::string()}}));
  EXPECT_EQ(journal::entries().back(), "V handle_aont_event: Received sample size 0");
}

TEST(aont_event, missing_payload_counts_zero_samples) {
  deliver(indication({{1024, 1, std::nullopt}}));
  EXPECT_EQ(journal::entries().back(), "V handle_aont_event: Received sample size 0");
}

TEST(aont_event, undecodable_payload_counts_zero_samples) {
  deliver(indication({{1024, 1, std::string("\xff\xff\xff", 3)}}));
  EXPECT_EQ(journal::entries().back(), "V handle_aont_event: Received sample size 0");
}

TEST(aont_event, id_with_top_bit_prints_negative_and_timestamp_unsigned) {
  const std::string bytes =
      indication({{0x80000000u, UINT64_MAX, samples(1)}, {0xffffffffu, 0x8000000000000000u, std::nullopt}});
  deliver(bytes);
  EXPECT_EQ(journal::entries(), (lines{
                                    length_line(std::to_string(bytes.size())),
                                    "D handle_aont_event: event[0] msg_id=-2147483648, ts=18446744073709551615",
                                    "D handle_aont_event: event[1] msg_id=-1, ts=9223372036854775808",
                                }));
}

TEST(aont_event, undecodable_bytes_log_only_the_length) {
  deliver(std::string("\xff\xff\xff\xff", 4));
  EXPECT_EQ(journal::entries(), lines{length_line("4")});
}

TEST(aont_event, truncated_indication_logs_the_events_decoded_before_the_cut) {
  const std::string whole = indication({{1024, 10, samples(2)}, {1024, 20, samples(40)}});
  deliver(whole.substr(0, whole.size() - 10));
  const lines entries = journal::entries();
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0], length_line(std::to_string(whole.size() - 10)));
  EXPECT_EQ(entries[1], "D handle_aont_event: event[0] msg_id=1024, ts=10");
  EXPECT_EQ(entries[2], "V handle_aont_event: Received sample size 2");
}

TEST(aont_event, oversized_valid_indication_is_decoded) {
  const std::string big_payload(40 * 1024 * 1024, 'x');
  const std::string bytes = indication({{5, 1, big_payload}, {1024, 2, samples(3)}});
  deliver(bytes);
  EXPECT_EQ(journal::entries(), (lines{
                                    length_line(std::to_string(bytes.size())),
                                    "D handle_aont_event: event[0] msg_id=5, ts=1",
                                    "D handle_aont_event: event[1] msg_id=1024, ts=2",
                                    "V handle_aont_event: Received sample size 3",
                                }));
}

TEST(aont_event, oversized_garbage_logs_only_the_length) {
  deliver(std::string(40 * 1024 * 1024, '\xff'));
  EXPECT_EQ(journal::entries(), lines{length_line("41943040")});
}

// Lengths whose low 32 bits have the top bit set are negative as a signed
// 32-bit count: nothing is read, only the length is logged.
TEST(aont_event, length_of_two_to_the_31_is_not_parsed) {
  const std::string bytes = indication({{1024, 1, samples(1)}});
  deliver(bytes, size_t{1} << 31);
  EXPECT_EQ(journal::entries(), lines{length_line("2147483648")});
}

TEST(aont_event, length_of_two_to_the_32_minus_one_is_not_parsed) {
  const std::string bytes = indication({{1024, 1, samples(1)}});
  deliver(bytes, (size_t{1} << 32) - 1);
  EXPECT_EQ(journal::entries(), lines{length_line("4294967295")});
}

// Above 2^32 only the low 32 bits count, for the log and for the parse.
TEST(aont_event, length_above_two_to_the_32_counts_its_low_32_bits) {
  const std::string bytes = indication({{1024, 3, samples(2)}});
  deliver(bytes, (size_t{1} << 32) + bytes.size());
  EXPECT_EQ(journal::entries(), (lines{
                                    length_line(std::to_string(bytes.size())),
                                    "D handle_aont_event: event[0] msg_id=1024, ts=3",
                                    "V handle_aont_event: Received sample size 2",
                                }));
}

}  // namespace
