#include "host/hub_sim_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> shown(const std::vector<sensor_uid>& suids) {
  std::vector<std::string> texts;
  for (const sensor_uid& suid : suids) {
    texts.push_back(std::to_string(suid.low) + ":" + std::to_string(suid.high));
  }
  return texts;
}

using texts = std::vector<std::string>;

TEST(parse_suid_list, reads_pairs_in_order) {
  EXPECT_EQ(shown(parse_suid_list("305419896:2596069104")), texts{"305419896:2596069104"});
  EXPECT_EQ(shown(parse_suid_list("3:4,1:2")), (texts{"3:4", "1:2"}));
}

TEST(parse_suid_list, none_is_empty) { EXPECT_TRUE(parse_suid_list("none").empty()); }

TEST(parse_suid_list, takes_the_full_64_bits_and_skips_what_does_not_fit) {
  EXPECT_EQ(shown(parse_suid_list("18446744073709551615:0,18446744073709551616:1")),
            texts{"18446744073709551615:0"});
}

TEST(parse_suid_list, skips_malformed_entries) {
  EXPECT_EQ(shown(parse_suid_list("1:2,x:3,4,:5,6:,-1:2, 7:8,9:10")), (texts{"1:2", "9:10"}));
}

TEST(create_number_listed, matches_whole_numbers_only) {
  EXPECT_TRUE(create_number_listed("1,3", 1));
  EXPECT_FALSE(create_number_listed("1,3", 2));
  EXPECT_TRUE(create_number_listed("1,3", 3));
  EXPECT_FALSE(create_number_listed("13", 1));
  EXPECT_FALSE(create_number_listed("13", 3));
  EXPECT_FALSE(create_number_listed("", 1));
  EXPECT_FALSE(create_number_listed("x", 0));
}

TEST(parse_indication_hex, dash_is_no_bytes) {
  ASSERT_TRUE(parse_indication_hex("-").has_value());
  EXPECT_EQ(*parse_indication_hex("-"), "");
}

TEST(parse_indication_hex, reads_pairs_of_either_case) {
  EXPECT_EQ(parse_indication_hex("0a0BfF00"), std::string("\x0a\x0b\xff\x00", 4));
}

TEST(parse_indication_hex, rejects_what_is_not_hex_pairs) {
  EXPECT_FALSE(parse_indication_hex("").has_value());
  EXPECT_FALSE(parse_indication_hex("0").has_value());
  EXPECT_FALSE(parse_indication_hex("0g").has_value());
  EXPECT_FALSE(parse_indication_hex(" 0a0").has_value());
  EXPECT_FALSE(parse_indication_hex("--").has_value());
}

}  // namespace
