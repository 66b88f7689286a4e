// handle_diag_settings and diag_buffering_enabled with the fake diagnostic
// client, the fake env (pauses and shell lines in the journal), real property
// and device files. Each case runs in a fresh process and device.
#include "diag/diag_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/fakes/device_files.h"
#include "tests/fakes/fake_diag.h"
#include "tests/fakes/host_prop.h"
#include "tests/fakes/journal.h"

namespace {

using lines = std::vector<std::string>;

constexpr const char* diag_cfg = "/data/vendor/sensors/Diag.cfg";
constexpr const char* command_file = "/data/vendor/sensors/file1";
const std::string circular_property = "persist.vendor.sensors.diag_buffer_mode=true\n";

lines join(std::initializer_list<lines> parts) {
  lines all;
  for (const lines& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

lines attempt(int count, bool last) {
  lines one{"I handle_diag_settings: try Diag_LSM_Init, count = " + std::to_string(count), "Diag_LSM_Init"};
  if (!last) {
    one.push_back("pause 200000");
  }
  return one;
}

const lines init_success{"I handle_diag_settings: Diag_LSM_Init is successful", "pause 6000000"};

const lines circular_configured{
    "I diag_buffering_enabled: DIAG Buffering mode val: 1",
    "I handle_diag_settings: Setting SNS TX MODE to CIRCULAR BUFF",
    "tx_mode 3 2 20 70",
    "tx_mode 9 2 20 70",
    "I handle_diag_settings: Set SNS TX MODE success and return val: 1",
};

const lines capture_started{"I handle_diag_settings:  Diag.cfg present: starting trcap "};

const lines kora_boot_commands{
    "shell /vendor/bin/trcap -g 16384 -f /data/vendor/sensors/Diag.cfg -w /data/vendor/sensors -o "
    "/data/vendor/sensors & ",
    "shell /vendor/bin/trcap -p 4 -f /data/vendor/sensors/Diag.cfg -w /data/vendor/sensors -o /data/vendor/sensors & ",
};

const lines other_boot_command{
    "shell /vendor/bin/trcap -p 16 -f /data/vendor/sensors/Diag.cfg -w /data/vendor/sensors -o /data/vendor/sensors & ",
};

const lines command_written{"I handle_diag_settings:  after opening file ", "I handle_diag_settings:  written 7"};

bool exists(const char* path) { return access(path, F_OK) == 0; }

TEST(diag_init, succeeds_at_third_attempt_after_two_pauses) {
  fake_diag::fail_init_times(2);
  write_file(diag_cfg, "");  // streaming mode starts no capture even so
  handle_diag_settings();
  EXPECT_EQ(journal::entries(),
            join({attempt(1, false), attempt(2, false), attempt(3, true), init_success,
                  {"I diag_buffering_enabled: DIAG Buffering mode val: 0",
                   "I handle_diag_settings: Setting SNS TX MODE to STREAMING", "tx_mode 3 0 20 70", "tx_mode 9 0 20 70",
                   "I handle_diag_settings: Set SNS TX MODE success and return val: 1"}}));
  EXPECT_FALSE(exists(command_file));
}

TEST(diag_init, never_ready_configures_nothing) {
  fake_diag::fail_init_times(1000);
  write_host_prop(circular_property);
  write_file(diag_cfg, "");
  add_remoteproc("remoteproc0", "kora\n");
  handle_diag_settings();
  lines expected;
  for (int count = 1; count <= 25; ++count) {
    expected = join({expected, attempt(count, false)});
  }
  expected.push_back("E handle_diag_settings: Diag_LSM_Init failed!");
  EXPECT_EQ(journal::entries(), expected);
  EXPECT_FALSE(exists(command_file));
}

TEST(diag_init, ready_at_the_last_attempt_goes_on) {
  fake_diag::fail_init_times(24);
  handle_diag_settings();
  const lines got = journal::entries();
  ASSERT_EQ(got.size(), 24u * 3 + 2 + init_success.size() + 5);
  EXPECT_EQ(got[24 * 3], "I handle_diag_settings: try Diag_LSM_Init, count = 25");
  EXPECT_EQ(got[24 * 3 + 2], init_success[0]);
}

struct mode_case {
  const char* label;
  const char* property_file;
  bool circular;
};

std::ostream& operator<<(std::ostream& out, const mode_case& c) { return out << c.label; }

class buffering_property : public testing::TestWithParam<mode_case> {};

TEST_P(buffering_property, decides_the_mode) {
  write_host_prop(GetParam().property_file);
  EXPECT_EQ(diag_buffering_enabled(), GetParam().circular);
  EXPECT_EQ(journal::entries(),
            lines{std::string("I diag_buffering_enabled: DIAG Buffering mode val: ") + (GetParam().circular ? "1" : "0")});
}

INSTANTIATE_TEST_SUITE_P(
    values, buffering_property,
    testing::Values(mode_case{"unset", "", false},
                    mode_case{"empty", "persist.vendor.sensors.diag_buffer_mode=\n", false},
                    mode_case{"false", "persist.vendor.sensors.diag_buffer_mode=false\n", false},
                    mode_case{"falsey", "persist.vendor.sensors.diag_buffer_mode=falsey\n", false},
                    mode_case{"true", "persist.vendor.sensors.diag_buffer_mode=true\n", true},
                    mode_case{"one", "persist.vendor.sensors.diag_buffer_mode=1\n", true},
                    mode_case{"capital_false", "persist.vendor.sensors.diag_buffer_mode=False\n", true},
                    mode_case{"fals", "persist.vendor.sensors.diag_buffer_mode=fals\n", true}),
    [](const testing::TestParamInfo<mode_case>& param) { return std::string(param.param.label); });

TEST(diag_capture_at_boot, kora_runs_two_commands_and_writes_the_command_file) {
  write_host_prop(circular_property);
  write_file(diag_cfg, "");
  write_file(command_file, "stop\nenable_HLOS_packets\n");  // left from before: truncated
  add_remoteproc("remoteproc0", "kora\n");
  handle_diag_settings();
  EXPECT_EQ(journal::entries(), join({attempt(1, true), init_success, circular_configured, capture_started,
                                      kora_boot_commands, command_written}));
  EXPECT_EQ(read_file(command_file), std::string("start\n\0", 7));
}

struct device_case {
  const char* label;
  const char* remoteproc_name;  // nullptr: no remote processor at all
};

std::ostream& operator<<(std::ostream& out, const device_case& c) { return out << c.label; }

class other_processor : public testing::TestWithParam<device_case> {};

TEST_P(other_processor, runs_the_p16_command) {
  write_host_prop(circular_property);
  write_file(diag_cfg, "");
  if (GetParam().remoteproc_name != nullptr) {
    add_remoteproc("remoteproc0", GetParam().remoteproc_name);
  }
  handle_diag_settings();
  EXPECT_EQ(journal::entries(), join({attempt(1, true), init_success, circular_configured, capture_started,
                                      other_boot_command, command_written}));
  EXPECT_EQ(read_file(command_file), std::string("start\n\0", 7));
}

INSTANTIATE_TEST_SUITE_P(devices, other_processor,
                         testing::Values(device_case{"vela", "vela\n"}, device_case{"unknown", "adsp\n"},
                                         device_case{"none", nullptr}),
                         [](const testing::TestParamInfo<device_case>& param) {
                           return std::string(param.param.label);
                         });

TEST(diag_capture_at_boot, no_diag_cfg_starts_nothing) {
  write_host_prop(circular_property);
  add_remoteproc("remoteproc0", "kora\n");
  handle_diag_settings();
  EXPECT_EQ(journal::entries(), join({attempt(1, true), init_success, circular_configured}));
  EXPECT_FALSE(exists(command_file));
}

TEST(diag_capture_at_boot, command_file_that_cannot_be_opened_ends_the_task) {
  write_host_prop(circular_property);
  write_file(diag_cfg, "");
  ASSERT_EQ(mkdir(command_file, 0755), 0);  // a directory cannot be opened for writing
  handle_diag_settings();
  EXPECT_EQ(journal::entries(),
            join({attempt(1, true), init_success, circular_configured, capture_started, other_boot_command,
                  {"I handle_diag_settings:  after opening file ",
                   "E handle_diag_settings:  error opening diag_odl_file"}}));
}

class tx_mode_failure : public testing::TestWithParam<int> {};

TEST_P(tx_mode_failure, of_peripheral_9_is_logged_and_capture_still_starts) {
  fake_diag::set_tx_mode_result(9, GetParam());
  write_host_prop(circular_property);
  write_file(diag_cfg, "");
  handle_diag_settings();
  EXPECT_EQ(journal::entries(),
            join({attempt(1, true), init_success,
                  {"I diag_buffering_enabled: DIAG Buffering mode val: 1",
                   "I handle_diag_settings: Setting SNS TX MODE to CIRCULAR BUFF", "tx_mode 3 2 20 70",
                   "tx_mode 9 2 20 70",
                   "E handle_diag_settings: Set SNS TX MODE failed and return val: " + std::to_string(GetParam())},
                  capture_started, other_boot_command, command_written}));
}

INSTANTIATE_TEST_SUITE_P(results, tx_mode_failure, testing::Values(0, 2, -1),
                         [](const testing::TestParamInfo<int>& param) {
                           return param.param < 0 ? "minus_" + std::to_string(-param.param)
                                                  : std::to_string(param.param);
                         });

TEST(tx_mode, result_of_peripheral_3_is_ignored) {
  fake_diag::set_tx_mode_result(3, 0);
  write_host_prop(circular_property);
  handle_diag_settings();
  EXPECT_EQ(journal::entries(), join({attempt(1, true), init_success, circular_configured}));
}

}  // namespace
