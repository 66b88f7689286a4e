// The device's sensor log library (closed). Every message of the daemon is one
// sns_log_message call; the library may be called from any thread at once.
#pragma once

#include <cstdint>

namespace sensors_log {

// Carried as a 32-bit integer by the library.
enum log_level : int32_t {
  lowest = 0,  // only ever set as the library's level, never used for a message
  error = 1,
  info = 2,
  debug = 3,
  verbose = 4,
};

void set_tag(const char* tag);
void set_level(log_level level);

}  // namespace sensors_log

// The format attribute is ours: it lets the compiler check every message's
// arguments against its format; it does not change the library's ABI.
int sns_log_message(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
