// The simulated hub and suid lookup as the daemon meets them: their trace
// lines, their threads, and the destruction of a client while it delivers.
#include <time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/orb_interface.h"
#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"
#include "interfaces/suid_lookup.h"
#include "tests/fakes/host_prop.h"
#include "tests/fakes/journal.h"

namespace {

using namespace std::chrono_literals;
using lines = std::vector<std::string>;

std::string enable_request(uint32_t msg_id = 514) {
  sns_client_request_msg request;
  request.set_msg_id(msg_id);
  request.mutable_suid()->set_suid_low(1);
  request.mutable_suid()->set_suid_high(2);
  request.mutable_suspend_config()->set_client_processor(SNS_CLIENT_PROCESSOR_HUB);
  request.mutable_suspend_config()->set_delivery_type(SNS_CLIENT_DELIVERY_NO_WAKEUP);
  request.mutable_request();
  return request.SerializeAsString();
}

uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
}

// Records each callback in the journal as "callback <size>", keeping the last bytes.
struct event_recorder {
  orb_interface::event_cb callback() {
    return [this](const uint8_t* data, size_t size, uint64_t) {
      {
        std::lock_guard lock(mutex);
        last.assign(reinterpret_cast<const char*>(data), size);
      }
      journal::record("callback " + std::to_string(size));
    };
  }
  std::string last_bytes() {
    std::lock_guard lock(mutex);
    return last;
  }
  std::mutex mutex;
  std::string last;
};

std::string lookup_answer_text(const std::string& datatype, const std::vector<sensor_uid>& suids) {
  std::string text = "answer " + datatype;
  for (const sensor_uid& suid : suids) {
    text += " " + std::to_string(suid.low) + ":" + std::to_string(suid.high);
  }
  return text;
}

class hub_sim_lookup : public testing::Test {
 protected:
  std::unique_ptr<suid_lookup> make_lookup() {
    return std::make_unique<suid_lookup>([this](const std::string& datatype, const std::vector<sensor_uid>& suids) {
      answered_on = std::this_thread::get_id();
      journal::record(lookup_answer_text(datatype, suids));
    });
  }
  std::atomic<std::thread::id> answered_on;
};

TEST_F(hub_sim_lookup, answers_aont_with_the_default_suid_on_its_own_thread) {
  auto lookup = make_lookup();
  lookup->request_suid("aont", false);
  ASSERT_TRUE(journal::wait_for("answer aont 305419896:2596069104"));
  EXPECT_EQ(journal::entries(), (lines{
                                    "hub-sim: suid_lookup.request_suid(aont, false)",
                                    "hub-sim: suid_lookup.answer(aont, 1)",
                                    "answer aont 305419896:2596069104",
                                }));
  EXPECT_NE(answered_on.load(), std::this_thread::get_id());
}

TEST_F(hub_sim_lookup, answers_with_the_suids_of_the_property_in_order) {
  write_host_prop("sim.hub.aont_suids=3:4,1:2\n");
  auto lookup = make_lookup();
  lookup->request_suid("aont", true);
  ASSERT_TRUE(journal::wait_for("answer aont 3:4 1:2"));
  EXPECT_EQ(journal::entries(), (lines{
                                    "hub-sim: suid_lookup.request_suid(aont, true)",
                                    "hub-sim: suid_lookup.answer(aont, 2)",
                                    "answer aont 3:4 1:2",
                                }));
}

TEST_F(hub_sim_lookup, none_gives_an_empty_answer) {
  write_host_prop("sim.hub.aont_suids=none\n");
  auto lookup = make_lookup();
  lookup->request_suid("aont", false);
  ASSERT_TRUE(journal::wait_for("answer aont"));
  EXPECT_EQ(journal::count("hub-sim: suid_lookup.answer(aont, 0)"), 1u);
}

TEST_F(hub_sim_lookup, other_data_types_get_no_suids) {
  auto lookup = make_lookup();
  lookup->request_suid("accel", false);
  ASSERT_TRUE(journal::wait_for("answer accel"));
  EXPECT_EQ(journal::count("hub-sim: suid_lookup.answer(accel, 0)"), 1u);
}

TEST_F(hub_sim_lookup, destroyed_right_after_a_request_stops_cleanly) {
  for (int i = 0; i < 20; ++i) {
    auto lookup = make_lookup();
    lookup->request_suid("aont", false);
  }
  EXPECT_EQ(journal::count("hub-sim: suid_lookup.request_suid(aont, false)"), 20u);
}

TEST(hub_sim_create, numbers_clients_and_fails_the_listed_calls) {
  write_host_prop("sim.hub.create_fail=2,4\n");
  std::vector<std::unique_ptr<orb_interface>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(orb_interface::create(ORB_KVX, orb_conn_config{}));
  }
  EXPECT_NE(clients[0], nullptr);
  EXPECT_EQ(clients[1], nullptr);
  EXPECT_NE(clients[2], nullptr);
  EXPECT_EQ(clients[3], nullptr);
  clients.clear();
  EXPECT_EQ(journal::entries(), (lines{
                                    "hub-sim: orb_interface.create(0) = #1",
                                    "hub-sim: orb_interface.create(0) = null",
                                    "hub-sim: orb_interface.create(0) = #3",
                                    "hub-sim: orb_interface.create(0) = null",
                                    "hub-sim: orb_interface#1.destroyed",
                                    "hub-sim: orb_interface#3.destroyed",
                                }));
}

TEST(hub_sim_create, reads_the_fail_list_at_each_call) {
  auto first = orb_interface::create(ORB_KVX, orb_conn_config{});
  write_host_prop("sim.hub.create_fail=2\n");
  auto second = orb_interface::create(ORB_KVX, orb_conn_config{});
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
}

// A client that was sent the enable request, journal cleared.
class hub_sim_client_flow : public testing::Test {
 protected:
  void start(const std::string& props, const std::string& request = enable_request()) {
    write_host_prop(props);
    client = orb_interface::create(ORB_KVX, orb_conn_config{});
    ASSERT_NE(client, nullptr);
    client->register_callbacks({1, 2}, nullptr, nullptr, recorder.callback());
    client->send_client_request({1, 2}, true, request);
  }
  event_recorder recorder;
  std::unique_ptr<orb_interface> client;
};

TEST_F(hub_sim_client_flow, traces_the_calls_and_each_indication_before_its_callback) {
  start("sim.hub.sample_period_ms=1\nsim.hub.sample_count=3\n");
  ASSERT_TRUE(journal::wait_for("callback 32", 3));
  client.reset();
  const lines entries = journal::entries();
  ASSERT_GE(entries.size(), 9u);
  EXPECT_EQ(entries[0], "hub-sim: orb_interface.create(0) = #1");
  EXPECT_EQ(entries[1], "hub-sim: orb_interface#1.register_callbacks(1:2)");
  EXPECT_EQ(entries[2], "hub-sim: orb_interface#1.send_client_request(1:2, 1, msg_id=514 suid=1:2 suspend=0/1 "
                        "request=present payload=absent bytes=" + std::to_string(enable_request().size()) + ")");
  // Indication line, then its callback, pair by pair; destroyed last.
  for (size_t i = 3; i + 1 < entries.size(); i += 2) {
    EXPECT_EQ(entries[i], "hub-sim: orb_interface#1.indication(bytes=32)") << i;
    if (i + 2 < entries.size()) {
      EXPECT_EQ(entries[i + 1], "callback 32") << i;
    }
  }
  EXPECT_EQ(entries.back(), "hub-sim: orb_interface#1.destroyed");
  EXPECT_EQ(journal::count("hub-sim: orb_interface#1.indication(bytes=32)"), journal::count("callback 32"));
}

TEST_F(hub_sim_client_flow, indication_is_a_sample_event_stamped_with_the_monotonic_clock) {
  const uint64_t before = monotonic_ns();
  start("sim.hub.sample_period_ms=1\nsim.hub.sample_count=4\n");
  ASSERT_TRUE(journal::wait_for("callback 36"));
  client.reset();
  const uint64_t after = monotonic_ns();
  sns_client_event_msg indication;
  ASSERT_TRUE(indication.ParseFromString(recorder.last_bytes()));
  ASSERT_EQ(indication.events_size(), 1);
  EXPECT_EQ(indication.events(0).msg_id(), 1024u);
  EXPECT_GE(indication.events(0).timestamp(), before);
  EXPECT_LE(indication.events(0).timestamp(), after);
  sns_aont_data data;
  ASSERT_TRUE(data.ParseFromString(indication.events(0).payload()));
  EXPECT_EQ(data.sample_size(), 4);
}

TEST_F(hub_sim_client_flow, fixed_hex_bytes_replace_the_indication) {
  start("sim.hub.sample_period_ms=1\nsim.hub.indication_hex=0aFF00\n");
  ASSERT_TRUE(journal::wait_for("callback 3"));
  client.reset();
  EXPECT_EQ(recorder.last_bytes(), std::string("\x0a\xff\x00", 3));
}

TEST_F(hub_sim_client_flow, dash_sends_zero_byte_indications) {
  start("sim.hub.sample_period_ms=1\nsim.hub.indication_hex=-\n");
  ASSERT_TRUE(journal::wait_for("callback 0"));
  client.reset();
  EXPECT_GE(journal::count("hub-sim: orb_interface#1.indication(bytes=0)"), 1u);
}

TEST_F(hub_sim_client_flow, invalid_hex_falls_back_to_the_sample_indication) {
  start("sim.hub.sample_period_ms=1\nsim.hub.sample_count=3\nsim.hub.indication_hex=xyz\n");
  ASSERT_TRUE(journal::wait_for("callback 32"));
}

TEST_F(hub_sim_client_flow, other_requests_start_no_indications) {
  start("sim.hub.sample_period_ms=1\n", enable_request(515));
  EXPECT_FALSE(journal::wait_until(
      [](const lines& entries) { return entries.size() > 3; }, 100ms));
  client.reset();
  EXPECT_EQ(journal::entries().back(), "hub-sim: orb_interface#1.destroyed");
  EXPECT_EQ(journal::entries().size(), 4u);
}

TEST_F(hub_sim_client_flow, undecodable_request_is_traced_and_starts_nothing) {
  start("sim.hub.sample_period_ms=1\n", std::string("\xff\xff", 2));
  EXPECT_EQ(journal::entries()[2], "hub-sim: orb_interface#1.send_client_request(1:2, 1, undecodable bytes=2)");
  EXPECT_FALSE(journal::wait_until([](const lines& entries) { return entries.size() > 3; }, 100ms));
}

TEST_F(hub_sim_client_flow, destruction_wakes_a_long_period_at_once) {
  start("sim.hub.sample_period_ms=600000\n");
  const auto begin = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(journal::count("callback 32"), 0u);
}

// The destructor waits for a callback in progress and no callback follows it.
TEST(hub_sim_client_teardown, waits_for_the_callback_being_delivered) {
  write_host_prop("sim.hub.sample_period_ms=1\n");
  std::atomic<int> in_callback{0};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> called_after_destruction{false};
  auto client = orb_interface::create(ORB_KVX, orb_conn_config{});
  client->register_callbacks({1, 2}, nullptr, nullptr, [&](const uint8_t*, size_t, uint64_t) {
    if (destroyed) {
      called_after_destruction = true;
    }
    ++in_callback;
    std::this_thread::sleep_for(20ms);
    journal::record("callback returned");
  });
  client->send_client_request({1, 2}, true, enable_request());
  while (in_callback == 0) {
    std::this_thread::yield();
  }
  client.reset();
  destroyed = true;
  const lines entries = journal::entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2], "callback returned");
  EXPECT_EQ(entries.back(), "hub-sim: orb_interface#1.destroyed");
  EXPECT_FALSE(called_after_destruction);
}

TEST(hub_sim_client_teardown, callback_may_call_into_its_client) {
  write_host_prop("sim.hub.sample_period_ms=1\n");
  std::unique_ptr<orb_interface> client = orb_interface::create(ORB_KVX, orb_conn_config{});
  orb_interface* self = client.get();
  client->register_callbacks({1, 2}, nullptr, nullptr, [self](const uint8_t*, size_t, uint64_t) {
    self->send_client_request({1, 2}, true, enable_request(5));
  });
  client->send_client_request({1, 2}, true, enable_request());
  ASSERT_TRUE(journal::wait_until([](const lines& entries) {
    return std::count(entries.begin(), entries.end(),
                      "hub-sim: orb_interface#1.send_client_request(1:2, 1, msg_id=5 suid=1:2 suspend=0/1 "
                      "request=present payload=absent bytes=" + std::to_string(enable_request(5).size()) + ")") >= 2;
  }));
  client.reset();
  EXPECT_EQ(journal::entries().back(), "hub-sim: orb_interface#1.destroyed");
}

TEST(hub_sim_client_teardown, many_clients_created_and_destroyed_while_delivering) {
  write_host_prop("sim.hub.sample_period_ms=1\n");
  std::atomic<int> calls{0};
  for (int i = 0; i < 30; ++i) {
    auto client = orb_interface::create(ORB_KVX, orb_conn_config{});
    client->register_callbacks({1, 2}, nullptr, nullptr, [&calls](const uint8_t*, size_t, uint64_t) { ++calls; });
    client->send_client_request({1, 2}, true, enable_request());
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
  }
  EXPECT_EQ(journal::count("hub-sim: orb_interface#30.destroyed"), 1u);
}

}  // namespace
