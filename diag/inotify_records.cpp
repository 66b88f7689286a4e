#include "diag/inotify_records.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t head_size = 16;

}  // namespace

void for_each_inotify_record(const char* buffer, size_t capacity, size_t length,
                             const std::function<void(const inotify_record&)>& visit) {
  const size_t end = std::min(length, capacity);
  for (size_t at = 0; at < end && head_size <= capacity - at;) {
    uint32_t head[4];
    std::memcpy(head, buffer + at, head_size);
    inotify_record record{head[1], head[3], {}};
    const char* name = buffer + at + head_size;
    const size_t room = capacity - at - head_size;
    record.name.assign(name, strnlen(name, std::min<size_t>(record.name_length, room)));
    visit(record);
    at += head_size + record.name_length;
  }
}
