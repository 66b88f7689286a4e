// Test double of the sensor log library: every message goes to the journal as
// "<L> <function>: <message>", the "%s:%d, " head checked and the line number
// dropped, whatever the level set.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "interfaces/sensors_log.h"
#include "tests/fakes/journal.h"

namespace {

std::string format_text(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) {
    return "<bad format>";
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

char letter(int level) {
  static const char letters[] = "0EIDV";
  return level >= 0 && level <= 4 ? letters[level] : '?';
}

// "name:123, text" -> "name: text"; anything else is marked as malformed.
std::string without_line_number(const std::string& text) {
  const size_t colon = text.find(':');
  const size_t digits = colon == std::string::npos ? std::string::npos : colon + 1;
  size_t end = digits;
  while (end != std::string::npos && end < text.size() && text[end] >= '0' && text[end] <= '9') {
    ++end;
  }
  if (digits == std::string::npos || end == digits || text.compare(end, 2, ", ") != 0) {
    return "<no function:line head> " + text;
  }
  return text.substr(0, colon) + ": " + text.substr(end + 2);
}

}  // namespace

namespace sensors_log {

void set_tag(const char* tag) { journal::record(std::string("set_tag ") + tag); }

void set_level(log_level level) { journal::record("set_level " + std::to_string(static_cast<int>(level))); }

}  // namespace sensors_log

int sns_log_message(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  journal::record(std::string(1, letter(level)) + " " + without_line_number(text));
  return 0;
}
