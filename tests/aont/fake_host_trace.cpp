// Test double of the stand-ins' trace output: each trace line goes to the
// journal as "<tag>: <text>".
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/host_log.h"
#include "tests/fakes/journal.h"

void host_trace(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  journal::record(std::string(tag) + ": " + text);
}
