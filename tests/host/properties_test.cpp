#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "host/sim_properties.h"
#include "interfaces/properties.h"

namespace {

void write_props(const std::string& content) {
  std::ofstream("/data/property/host.prop", std::ios::binary | std::ios::trunc) << content;
}

struct read_result {
  int length;
  std::string value;
};

read_result get(const char* key, const char* fallback = "dflt") {
  char value[PROPERTY_VALUE_MAX];
  std::fill(std::begin(value), std::end(value), '\x7f');
  const int length = property_get(key, value, fallback);
  return {length, value};
}

TEST(property_get, missing_file_gives_the_default) {
  unlink("/data/property/host.prop");
  const auto r = get("persist.vendor.sensors.debug.daemon", "i");
  EXPECT_EQ(r.length, 1);
  EXPECT_EQ(r.value, "i");
}

TEST(property_get, missing_key_and_empty_value_give_the_default) {
  write_props("other=1\npersist.empty=\n");
  EXPECT_EQ(get("persist.absent").value, "dflt");
  const auto r = get("persist.empty");
  EXPECT_EQ(r.length, 4);
  EXPECT_EQ(r.value, "dflt");
}

TEST(property_get, last_line_wins_and_comments_and_blanks_are_ignored) {
  write_props("# persist.k=commented\n\npersist.k=first\npersist.k=second\n#persist.k=late comment\n");
  const auto r = get("persist.k");
  EXPECT_EQ(r.length, 6);
  EXPECT_EQ(r.value, "second");
}

TEST(property_get, key_must_match_whole) {
  write_props("persist.kk=long\npersist.k.x=dotted\n");
  EXPECT_EQ(get("persist.k").value, "dflt");
}

TEST(property_get, value_keeps_blanks_and_equals_signs) {
  write_props("persist.k= a=b \n");
  EXPECT_EQ(get("persist.k").value, " a=b ");
}

TEST(property_get, value_is_cut_to_91_bytes_and_length_returned) {
  const std::string long_value(200, 'v');
  write_props("persist.k=" + long_value + "\n");
  const auto r = get("persist.k");
  EXPECT_EQ(r.length, 91);
  EXPECT_EQ(r.value, std::string(91, 'v'));
}

TEST(property_get, value_of_exactly_91_bytes_is_whole) {
  write_props("persist.k=" + std::string(91, 'w'));
  const auto r = get("persist.k");
  EXPECT_EQ(r.length, 91);
  EXPECT_EQ(r.value, std::string(91, 'w'));
}

TEST(property_get, binary_garbage_and_many_lines_are_survived) {
  std::string content;
  for (int i = 0; i < 10000; ++i) {
    content += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  }
  content += std::string("\0\xff\xfe=\x01\n", 6);
  content += "persist.k=found\n";
  write_props(content);
  EXPECT_EQ(get("persist.k").value, "found");
  EXPECT_EQ(get("key9999").value, "9999");
}

TEST(host_property, stand_ins_read_the_whole_value) {
  write_props("sim.hub.indication_hex=" + std::string(300, 'a') + "\n");
  EXPECT_EQ(host_property("sim.hub.indication_hex"), std::string(300, 'a'));
  EXPECT_EQ(host_property("sim.absent"), std::nullopt);
}

TEST(host_property_number, falls_back_when_missing_empty_or_not_a_number) {
  write_props("sim.a=12\nsim.b=\nsim.c=12x\n");
  EXPECT_EQ(host_property_number("sim.a", 5), 12);
  EXPECT_EQ(host_property_number("sim.b", 5), 5);
  EXPECT_EQ(host_property_number("sim.c", 5), 5);
  EXPECT_EQ(host_property_number("sim.d", 5), 5);
}

}  // namespace
