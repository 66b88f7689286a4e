#include <android-base/file.h>
#include <android-base/stringprintf.h>
#include <android-base/threads.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

#include "host/host_log.h"
#include "interfaces/sensors_log.h"

namespace {

// Until set_level is called every message is printed.
std::atomic<int> current_level{sensors_log::verbose};

std::mutex tag_mutex;
std::string& tag() {
  static std::string* value =
      new std::string("sensordaemon");  // never destroyed: usable during exit
  return *value;
}

char level_letter(int level) {
  switch (level) {
    case sensors_log::error:
      return 'E';
    case sensors_log::info:
      return 'I';
    case sensors_log::debug:
      return 'D';
    case sensors_log::verbose:
      return 'V';
    default:
      return '?';
  }
}

__attribute__((format(printf, 3, 0))) void emit(int level, const char* line_tag, const char* format,
                                                va_list args) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::string line = android::base::StringPrintf(
      "%lld.%06ld %d %ld %c %s: ", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000,
      static_cast<int>(getpid()), static_cast<long>(android::base::GetThreadId()),
      level_letter(level), line_tag);
  android::base::StringAppendV(&line, format, args);
  // A trailing line feed in the format ends the line; it adds no empty line.
  if (line.back() != '\n') {
    line.push_back('\n');
  }
  // Unexamined: a line that standard error refuses has nowhere else to go.
  static_cast<void>(android::base::WriteFully(STDERR_FILENO, line.data(), line.size()));
}

}  // namespace

namespace sensors_log {

void set_tag(const char* new_tag) {
  std::lock_guard lock(tag_mutex);
  tag() = new_tag != nullptr ? new_tag : "";
}

void set_level(log_level level) { current_level.store(level); }

}  // namespace sensors_log

int sns_log_message(int level, const char* format, ...) {
  const int limit = current_level.load();
  if (limit < sensors_log::error || level > limit) {
    return 0;
  }
  std::string line_tag;
  {
    std::lock_guard lock(tag_mutex);
    line_tag = tag();
  }
  va_list args;
  va_start(args, format);
  emit(level, line_tag.c_str(), format, args);
  va_end(args);
  return 0;
}

void host_trace(const char* line_tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(sensors_log::info, line_tag, format, args);
  va_end(args);
}
