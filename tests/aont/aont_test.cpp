// The always-on test client with a suid lookup of the test's own and the
// simulated hub's client (its trace lines go to the journal); the request's
// bytes; indications whose length protobuf cannot take.
#include "aont/aont.h"

#include <gtest/gtest.h>

#include "aont/aont_event.h"
#include "aont/aont_request.h"
#include "tests/fakes/fakes.h"

using lines = std::vector<std::string>;

// A suid lookup that answers at once, with one SUID.
struct suid_lookup::impl {
  suid_event_cb callback;
};
suid_lookup::suid_lookup(suid_event_cb callback)
    : state(std::make_unique<impl>(impl{std::move(callback)})) {}
suid_lookup::~suid_lookup() { journal::record("suid_lookup destroyed"); }
void suid_lookup::request_suid(std::string datatype, bool) { state->callback(datatype, {{1, 2}}); }

namespace {

TEST(aont, is_torn_down_client_first_then_lookup) {
  {
    aont test;
    test.enable();
    journal::take();
  }
  EXPECT_EQ(journal::take(),
            (lines{"hub-sim: orb_interface#1.destroyed", "suid_lookup destroyed"}));
}

TEST(aont, request_carries_exactly_msg_id_suid_suspend_config_and_an_empty_request) {
  EXPECT_EQ(on_change_request({0x0102030405060708, 0x1112131415161718}),
            std::string("\x0a\x12"                              // suid
                        "\x09\x08\x07\x06\x05\x04\x03\x02\x01"  // suid_low, fixed64
                        "\x11\x18\x17\x16\x15\x14\x13\x12\x11"  // suid_high, fixed64
                        "\x15\x02\x02\x00\x00"                  // msg_id 514, fixed32
                        "\x1a\x04\x08\x00\x10\x01"              // suspend_config 0 and 1
                        "\x22\x00",                             // request, without payload
                        33));
}

TEST(aont_event, length_that_is_negative_as_a_signed_32_bit_count_is_not_parsed) {
  const std::string event("\x12\x05\x0d\x00\x04\x00\x00", 7);  // one event, msg_id 1024
  handle_aont_event(reinterpret_cast<const uint8_t*>(event.data()), size_t{1} << 31, 0);
  EXPECT_EQ(journal::take(),
            lines{"D handle_aont_event: Received indication with length 2147483648"});
}

}  // namespace
