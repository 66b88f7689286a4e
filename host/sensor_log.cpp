#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

void write_all(const std::string& line) {
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

__attribute__((format(printf, 3, 0))) void emit(int level, const char* line_tag, const char* format,
                                                va_list args) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  char head[96];
  const int head_len =
      snprintf(head, sizeof head, "%lld.%06ld %d %ld %c ", static_cast<long long>(now.tv_sec),
               now.tv_nsec / 1000, static_cast<int>(getpid()),
               static_cast<long>(syscall(SYS_gettid)), level_letter(level));
  std::string line(head, static_cast<size_t>(head_len));
  line += line_tag;
  line += ": ";

  va_list measure;
  va_copy(measure, args);
  const int text_len = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (text_len > 0) {
    const size_t at = line.size();
    line.resize(at + static_cast<size_t>(text_len) + 1);
    vsnprintf(line.data() + at, static_cast<size_t>(text_len) + 1, format, args);
    line.resize(at + static_cast<size_t>(text_len));
  }
  // A trailing line feed in the format ends the line; it adds no empty line.
  if (line.empty() || line.back() != '\n') {
    line.push_back('\n');
  }
  write_all(line);
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
