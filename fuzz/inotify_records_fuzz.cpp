// Any bytes as what one read of the inotify descriptor delivered, with any read
// length up to the 4096-byte buffer: the walk over the records must stay inside
// the buffer (AddressSanitizer watches its end) and end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "diag/inotify_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t capacity = 4096;
  if (size < 2) {
    return 0;
  }
  // The first two bytes choose the length the read returned. The heap buffer
  // has exactly the capacity, so that AddressSanitizer sees any read past it.
  const size_t length = (size_t{data[0]} << 8 | data[1]) % (capacity + 1);
  std::vector<char> buffer(capacity);
  std::memcpy(buffer.data(), data + 2, std::min(size - 2, capacity));
  for_each_inotify_record(buffer.data(), capacity, length, [](const inotify_record&) {});
  return 0;
}
