// Any bytes as what one read of the inotify descriptor delivered, with any
// read length up to the 4096-byte buffer: the walk over the records must
// stay inside the buffer and end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag/inotify_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t capacity = 4096;
  if (size < 2) {
    return 0;
  }
  // The first two bytes choose the length the read returned.
  const size_t length = (static_cast<size_t>(data[0]) << 8 | data[1]) % (capacity + 1);
  // A heap buffer of exactly the capacity, so that AddressSanitizer sees any
  // read past it.
  char* buffer = static_cast<char*>(std::calloc(capacity, 1));
  std::memcpy(buffer, data + 2, std::min(size - 2, capacity));
  size_t records = 0;
  for_each_inotify_record(buffer, capacity, length, [&records](const inotify_record& record) {
    ++records;
    if (record.name.size() > capacity) {
      std::abort();
    }
  });
  std::free(buffer);
  // Every record takes at least its 16-byte head.
  if (records > capacity / 16) {
    std::abort();
  }
  return 0;
}
