// Any bytes as an indication of the always-on test sensor: decoding must
// neither crash nor leak, whatever the hub sends.
#include <cstddef>
#include <cstdint>

#include "aont/aont_event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  handle_aont_event(data, size, 0);
  return 0;
}
