#include "aont/aont.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "interfaces/sns_client.pb.h"
#include "tests/aont/fake_hub.h"
#include "tests/fakes/host_prop.h"
#include "tests/fakes/journal.h"

namespace {

using lines = std::vector<std::string>;

constexpr uint64_t max64 = std::numeric_limits<uint64_t>::max();

const lines enabled = {
    "I handle_aont: sending enable aont request",
    "I enable: enable aont",
    "suid_lookup created",
    "suid_lookup.request_suid(aont, false)",
    "I handle_aont: sent enable aont request",
};
const lines disabled = {"D handle_aont: aont disabled"};

struct property_case {
  const char* property_file;
  const lines* expected;
};

class aont_property : public testing::TestWithParam<property_case> {};

TEST_P(aont_property, decides_whether_the_lookup_is_made) {
  write_host_prop(GetParam().property_file);
  aont test;
  handle_aont(&test);
  EXPECT_EQ(journal::entries(), *GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    values, aont_property,
    testing::Values(property_case{"persist.vendor.sensors.debug.enable.aon_sensor=true\n", &enabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor=true1\n", &enabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor=false\n", &disabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor=TRUE\n", &disabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor=1\n", &disabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor=tru\n", &disabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor= true\n", &disabled},
                    property_case{"persist.vendor.sensors.debug.enable.aon_sensor=\n", &disabled},
                    property_case{"", &disabled}));

// An enabled aont whose lookup is waiting for its answer, journal cleared.
class aont_answer : public testing::Test {
 protected:
  void SetUp() override {
    test.enable();
    journal::clear();
  }
  aont test;
};

TEST_F(aont_answer, zero_suids_log_one_line_and_make_no_client) {
  fake_hub::answer("aont", {});
  EXPECT_EQ(journal::entries(), lines{"D suid_cbk: received response for aont suids.size() 0"});
}

TEST_F(aont_answer, data_type_is_not_compared) {
  fake_hub::answer("accel", {{5, 6}});
  EXPECT_EQ(journal::entries(), (lines{
                                    "D suid_cbk: received response for accel suids.size() 1",
                                    "D suid_cbk: aont suid_low: 5 suid_high: 6",
                                    "D send_request: sending on change config request for aont",
                                    "orb_interface.create(0, {0, 0}) = #1",
                                    "orb_interface#1.register_callbacks(5:6, error=empty, response=empty, event=set)",
                                    "orb_interface#1.send_client_request(5:6, 1, bytes=33)",
                                }));
}

TEST_F(aont_answer, two_suids_each_get_a_client_and_the_first_goes_once_the_second_is_made) {
  fake_hub::answer("aont", {{1, max64}, {max64, 2}});
  EXPECT_EQ(journal::entries(),
            (lines{
                "D suid_cbk: received response for aont suids.size() 2",
                "D suid_cbk: aont suid_low: 1 suid_high: 18446744073709551615",
                "D send_request: sending on change config request for aont",
                "orb_interface.create(0, {0, 0}) = #1",
                "orb_interface#1.register_callbacks(1:18446744073709551615, error=empty, response=empty, event=set)",
                "orb_interface#1.send_client_request(1:18446744073709551615, 1, bytes=33)",
                "D suid_cbk: aont suid_low: 18446744073709551615 suid_high: 2",
                "D send_request: sending on change config request for aont",
                "orb_interface.create(0, {0, 0}) = #2",
                "orb_interface#1.destroyed",
                "orb_interface#2.register_callbacks(18446744073709551615:2, error=empty, response=empty, event=set)",
                "orb_interface#2.send_client_request(18446744073709551615:2, 1, bytes=33)",
            }));
}

TEST_F(aont_answer, failed_creation_of_the_first_of_two_still_enables_the_second) {
  fake_hub::fail_create(1);
  fake_hub::answer("aont", {{1, 2}, {3, 4}});
  EXPECT_EQ(journal::entries(), (lines{
                                    "D suid_cbk: received response for aont suids.size() 2",
                                    "D suid_cbk: aont suid_low: 1 suid_high: 2",
                                    "D send_request: sending on change config request for aont",
                                    "orb_interface.create(0, {0, 0}) = null",
                                    "E send_request:  failed to create orb_interface with ORB_KVX",
                                    "D suid_cbk: aont suid_low: 3 suid_high: 4",
                                    "D send_request: sending on change config request for aont",
                                    "orb_interface.create(0, {0, 0}) = #2",
                                    "orb_interface#2.register_callbacks(3:4, error=empty, response=empty, event=set)",
                                    "orb_interface#2.send_client_request(3:4, 1, bytes=33)",
                                }));
}

TEST_F(aont_answer, failed_creation_of_the_last_destroys_the_previous_client_and_leaves_none) {
  fake_hub::fail_create(2);
  fake_hub::answer("aont", {{1, 2}, {3, 4}});
  const lines entries = journal::entries();
  const lines tail(entries.end() - 3, entries.end());
  EXPECT_EQ(tail, (lines{
                      "orb_interface.create(0, {0, 0}) = null",
                      "orb_interface#1.destroyed",
                      "E send_request:  failed to create orb_interface with ORB_KVX",
                  }));
}

TEST(aont_teardown, destroys_the_client_before_the_lookup) {
  {
    aont test;
    test.enable();
    fake_hub::answer("aont", {{1, 2}});
    journal::clear();
  }
  EXPECT_EQ(journal::entries(), (lines{"orb_interface#1.destroyed", "suid_lookup destroyed"}));
}

TEST(aont_teardown, without_a_client_destroys_only_the_lookup) {
  {
    aont test;
    test.enable();
    fake_hub::answer("aont", {});
    journal::clear();
  }
  EXPECT_EQ(journal::entries(), lines{"suid_lookup destroyed"});
}

TEST(aont_teardown, of_a_disabled_test_destroys_nothing) {
  write_host_prop("persist.vendor.sensors.debug.enable.aon_sensor=false\n");
  {
    aont test;
    handle_aont(&test);
    journal::clear();
  }
  EXPECT_EQ(journal::entries(), lines{});
}

TEST_F(aont_answer, request_holds_exactly_msg_id_suid_suspend_config_and_an_empty_request) {
  fake_hub::answer("aont", {{0x0102030405060708, 0x1112131415161718}});
  const std::string bytes = fake_hub::request_bytes(1);

  sns_client_request_msg request;
  ASSERT_TRUE(request.ParseFromString(bytes));
  EXPECT_TRUE(request.has_msg_id());
  EXPECT_EQ(request.msg_id(), 514u);
  ASSERT_TRUE(request.has_suid());
  EXPECT_TRUE(request.suid().has_suid_low());
  EXPECT_EQ(request.suid().suid_low(), 0x0102030405060708u);
  EXPECT_TRUE(request.suid().has_suid_high());
  EXPECT_EQ(request.suid().suid_high(), 0x1112131415161718u);
  ASSERT_TRUE(request.has_suspend_config());
  EXPECT_TRUE(request.suspend_config().has_client_processor());
  EXPECT_EQ(request.suspend_config().client_processor(), 0);
  EXPECT_TRUE(request.suspend_config().has_delivery_type());
  EXPECT_EQ(request.suspend_config().delivery_type(), 1);
  EXPECT_TRUE(request.has_request());
  EXPECT_FALSE(request.request().has_payload());

  // The wire bytes, in field order: nothing else is present, zero values included.
  const std::string expected(
      "\x0a\x12"                                            // suid
      "\x09\x08\x07\x06\x05\x04\x03\x02\x01"                // suid_low, fixed64
      "\x11\x18\x17\x16\x15\x14\x13\x12\x11"                // suid_high, fixed64
      "\x15\x02\x02\x00\x00"                                // msg_id 514, fixed32
      "\x1a\x04\x08\x00\x10\x01"                            // suspend_config 0 and 1
      "\x22\x00",                                           // request, empty
      33);
  EXPECT_EQ(bytes, expected);
}

TEST_F(aont_answer, registered_event_callback_decodes_indications) {
  fake_hub::answer("aont", {{1, 2}});
  sns_client_event_msg indication;
  sns_client_event_msg::sns_client_event* event = indication.add_events();
  event->set_msg_id(7);
  event->set_timestamp(99);
  const std::string bytes = indication.SerializeAsString();
  journal::clear();

  fake_hub::event_callback(1)(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 12345);
  EXPECT_EQ(journal::entries(), (lines{
                                    "D handle_aont_event: Received indication with length 16",
                                    "D handle_aont_event: event[0] msg_id=7, ts=99",
                                }));
}

}  // namespace
