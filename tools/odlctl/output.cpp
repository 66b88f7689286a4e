#include "tools/odlctl/output.h"

#include <charconv>
#include <cstdio>
#include <sstream>

namespace {

void each_line(const std::string& text, char tag, std::string& into) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    into += tag + line + "\n";
  }
}

}  // namespace

int fail(const std::string& reason) { return print({true, 1, "", reason, ""}); }

int print(const verdict& v) {
  std::fputs(v.out.c_str(), stdout);
  std::istringstream lines(v.err);
  for (std::string line; std::getline(lines, line);) {
    std::fprintf(stderr, "odlctl: %s\n", line.c_str());
  }
  return v.status;
}

std::string encode(const verdict& v) {
  std::string text;
  each_line(v.out, '1', text);
  each_line(v.err, '2', text);
  if (v.done) {
    text += "=" + std::to_string(v.status) + "\n";
  }
  return text;
}

void print_encoded(std::string& text, int& status) {
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n')) {
    const std::string line = text.substr(1, end - 1);
    if (text[0] == '1') {
      std::printf("%s\n", line.c_str());
    } else if (text[0] == '2') {
      std::fprintf(stderr, "odlctl: %s\n", line.c_str());
    } else if (text[0] == '=') {
      std::from_chars(line.data(), line.data() + line.size(), status);
    }
    text.erase(0, end + 1);
  }
}
