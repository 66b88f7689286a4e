#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daemon/sensordaemon.h"
#include "tests/fakes/host_prop.h"
#include "tests/fakes/journal.h"

namespace {

using namespace std::chrono_literals;
using lines = std::vector<std::string>;

struct level_case {
  const char* name;
  const char* property_file;
  lines expected;
};

class log_level_property : public testing::TestWithParam<level_case> {};

TEST_P(log_level_property, is_logged_before_it_is_set) {
  write_host_prop(GetParam().property_file);
  apply_log_level_property();
  EXPECT_EQ(journal::entries(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    values, log_level_property,
    testing::Values(level_case{"unset", "", {"I set_log_level: log_level set: 2", "set_level 2"}},
                    level_case{"empty", "persist.vendor.sensors.debug.daemon=\n",
                               {"I set_log_level: log_level set: 2", "set_level 2"}},
                    level_case{"zero", "persist.vendor.sensors.debug.daemon=0\n",
                               {"I set_log_level: log_level set: 0", "set_level 0"}},
                    level_case{"one", "persist.vendor.sensors.debug.daemon=1\n",
                               {"I set_log_level: log_level set: 2", "set_level 2"}},
                    level_case{"e", "persist.vendor.sensors.debug.daemon=e\n",
                               {"I set_log_level: log_level set: 1", "set_level 1"}},
                    level_case{"capital_d", "persist.vendor.sensors.debug.daemon=D\n",
                               {"I set_log_level: log_level set: 3", "set_level 3"}},
                    level_case{"verbose_word", "persist.vendor.sensors.debug.daemon=Verbose please\n",
                               {"I set_log_level: log_level set: 4", "set_level 4"}},
                    level_case{"x_ignored", "persist.vendor.sensors.debug.daemon=x\n", {}},
                    level_case{"three_ignored", "persist.vendor.sensors.debug.daemon=3\n", {}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(log_level_map, holds_exactly_the_ten_keys) {
  const std::string keys = "01eEiIdDvV";
  EXPECT_EQ(log_level_map.size(), keys.size());
  for (char key : keys) {
    EXPECT_EQ(log_level_map.count(key), 1u) << key;
  }
}

TEST(static_objects, start_in_their_initial_state) {
  EXPECT_EQ(last_odl_command, " ");
  std::lock_guard lock(diag_init_mutex);
  EXPECT_FALSE(diag_init_done);
}

TEST(diag_init_wait, flag_already_set_succeeds_at_once) {
  signal_diag_init_done();
  journal::clear();
  EXPECT_TRUE(wait_for_diag_init(diag_init_limit));
  EXPECT_EQ(journal::entries(), lines{"I main: took 0 ms to complete diag init"});
}

TEST(diag_init_wait, flag_never_set_logs_the_limit) {
  EXPECT_FALSE(wait_for_diag_init(30ms));
  EXPECT_EQ(journal::entries(), lines{"E main: diag is not initialized within 30 ms"});
}

TEST(diag_init_wait, flag_set_while_waiting_succeeds) {
  std::thread setter([] {
    std::this_thread::sleep_for(100ms);
    signal_diag_init_done();
  });
  EXPECT_TRUE(wait_for_diag_init(60s));
  setter.join();
  const lines got = journal::entries();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].rfind("I main: took ", 0), 0u) << got[0];
  EXPECT_NE(got[0], "I main: took 0 ms to complete diag init");
}

}  // namespace
