#include "diag/inotify_records.h"

#include <sys/inotify.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string record(uint32_t mask, uint32_t name_length, const std::string& name = "") {
  inotify_event head{};
  head.wd = 3;
  head.mask = mask;
  head.len = name_length;
  std::string bytes(reinterpret_cast<const char*>(&head), sizeof head);
  return bytes + name + std::string(name_length > name.size() ? name_length - name.size() : 0, '\0');
}

struct seen {
  uint32_t mask;
  uint32_t name_length;
  std::string name;
  bool operator==(const seen&) const = default;
};

std::vector<seen> walk(const std::string& bytes, size_t capacity, size_t length) {
  std::vector<char> buffer(capacity, '\0');
  std::memcpy(buffer.data(), bytes.data(), std::min(bytes.size(), capacity));
  std::vector<seen> found;
  for_each_inotify_record(buffer.data(), capacity, length, [&](const inotify_record& r) {
    found.push_back({r.mask, r.name_length, r.name});
  });
  return found;
}

TEST(for_each_inotify_record, walks_records_in_order_with_their_names) {
  const std::string bytes = record(IN_MODIFY, 0) + record(IN_CREATE, 16, "file1") + record(IN_MODIFY, 0);
  EXPECT_EQ(walk(bytes, 4096, bytes.size()), (std::vector<seen>{{IN_MODIFY, 0, ""},
                                                                 {IN_CREATE, 16, "file1"},
                                                                 {IN_MODIFY, 0, ""}}));
}

TEST(for_each_inotify_record, stops_at_the_bytes_read) {
  const std::string bytes = record(IN_MODIFY, 0) + record(IN_CREATE, 0);
  EXPECT_EQ(walk(bytes, 4096, 16).size(), 1u);
  // A record that begins before the end is visited even if cut short.
  EXPECT_EQ(walk(bytes, 4096, 17).size(), 2u);
  EXPECT_TRUE(walk(bytes, 4096, 0).empty());
}

TEST(for_each_inotify_record, name_without_zero_byte_ends_at_the_buffer) {
  const std::string bytes = record(IN_MODIFY, 64, std::string(64, 'a'));
  const auto found = walk(bytes, 48, 48);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, std::string(32, 'a'));
}

TEST(for_each_inotify_record, head_beyond_the_buffer_is_not_read) {
  const std::string bytes = record(IN_MODIFY, 4) + record(IN_MODIFY, 0);
  // The second head would start at byte 20 of a 30-byte buffer.
  EXPECT_EQ(walk(bytes, 30, 30).size(), 1u);
}

TEST(for_each_inotify_record, huge_name_length_ends_the_walk) {
  std::string bytes = record(IN_MODIFY, 0) + record(IN_MODIFY, 0);
  const uint32_t huge = 0xffffffffu;
  std::memcpy(bytes.data() + offsetof(inotify_event, len), &huge, sizeof huge);
  EXPECT_EQ(walk(bytes, 4096, 4096).size(), 1u);
}

}  // namespace
