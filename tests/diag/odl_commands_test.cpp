#include "diag/odl_commands.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/device_files.h"
#include "tests/fakes/journal.h"

namespace {

using lines = std::vector<std::string>;

TEST(get_odl_commands, missing_file_gives_empty_list_and_error_line) {
  unlink(odl_command_file);
  EXPECT_TRUE(get_odl_commands().empty());
  EXPECT_EQ(journal::entries(), lines{"E get_odl_commands:  Failed to open /data/vendor//sensors/file1 "});
}

TEST(get_odl_commands, empty_lines_are_logged_but_dropped) {
  write_file(odl_command_file, "\nstop\n\nx");
  EXPECT_EQ(get_odl_commands(), (lines{"stop", "x"}));
  EXPECT_EQ(journal::entries(), (lines{"D get_odl_commands:  line(command):  ",
                                       "D get_odl_commands:  line(command): stop ",
                                       "D get_odl_commands:  line(command):  ",
                                       "D get_odl_commands:  line(command): x "}));
}

TEST(get_odl_commands, final_line_feed_adds_no_line) {
  write_file(odl_command_file, "star\nenable_HLOS_packets\n");
  EXPECT_EQ(get_odl_commands(), (lines{"star", "enable_HLOS_packets"}));
  EXPECT_EQ(journal::entries().size(), 2u);
}

TEST(get_odl_commands, carriage_returns_and_blanks_stay_in_the_line) {
  write_file(odl_command_file, "stop\r\n enable_HLOS_packets \n");
  EXPECT_EQ(get_odl_commands(), (lines{"stop\r", " enable_HLOS_packets "}));
}

TEST(get_odl_commands, zero_byte_is_an_ordinary_character) {
  // What the boot sequence writes: "start", a line feed, a zero byte.
  write_file(odl_command_file, std::string("start\n\0", 7));
  EXPECT_EQ(get_odl_commands(), (lines{"start", std::string(1, '\0')}));
}

TEST(get_odl_commands, megabyte_line_is_kept_whole) {
  const std::string big(1 << 20, 'q');
  write_file(odl_command_file, "stop\n" + big + "\n");
  const lines got = get_odl_commands();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], big);
}

}  // namespace

namespace {

TEST(odl_action_for, needs_two_entries_and_an_exact_first_line) {
  EXPECT_EQ(odl_action_for({}), odl_action::none);
  EXPECT_EQ(odl_action_for({"stop"}), odl_action::none);
  EXPECT_EQ(odl_action_for({"stop", "x"}), odl_action::stop);
  EXPECT_EQ(odl_action_for({"star", "x"}), odl_action::start);
  EXPECT_EQ(odl_action_for({"start", "x"}), odl_action::none);
  EXPECT_EQ(odl_action_for({"stop ", "x"}), odl_action::none);
  EXPECT_EQ(odl_action_for({"Stop", "x"}), odl_action::none);
  EXPECT_EQ(odl_action_for({std::string("stop\0", 5), "x"}), odl_action::none);
}

TEST(packets_wanted, only_the_exact_option) {
  EXPECT_TRUE(packets_wanted({"stop", "enable_HLOS_packets"}));
  EXPECT_FALSE(packets_wanted({"stop", "enable_HLOS_packets "}));
  EXPECT_FALSE(packets_wanted({"stop", "enable_HLOS_packets\r"}));
  EXPECT_FALSE(packets_wanted({"stop", "enable_hlos_packets"}));
  EXPECT_FALSE(packets_wanted({"stop", "enable_HLOS_packet"}));
}

}  // namespace
