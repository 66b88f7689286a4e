#include "host/hub_sim_config.h"

#include <android-base/parseint.h>
#include <android-base/strings.h>

namespace {

// A whole decimal number, without sign, that fits 64 bits. ParseUint alone
// would also take leading blanks, a plus sign and hexadecimal.
std::optional<unsigned long long> decimal(const std::string& text) {
  unsigned long long number = 0;
  if (text.find_first_not_of("0123456789") != std::string::npos ||
      !android::base::ParseUint(text, &number)) {
    return std::nullopt;
  }
  return number;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::vector<sensor_uid> parse_suid_list(const std::string& value) {
  std::vector<sensor_uid> suids;
  if (value == "none") {
    return suids;
  }
  for (const std::string& entry : android::base::Split(value, ",")) {
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    const std::optional<unsigned long long> low = decimal(entry.substr(0, colon));
    const std::optional<unsigned long long> high = decimal(entry.substr(colon + 1));
    if (low && high) {
      suids.push_back(sensor_uid{*low, *high});
    }
  }
  return suids;
}

bool create_number_listed(const std::string& value, unsigned long number) {
  for (const std::string& entry : android::base::Split(value, ",")) {
    const std::optional<unsigned long long> listed = decimal(entry);
    if (listed && *listed == number) {
      return true;
    }
  }
  return false;
}

std::optional<std::string> parse_indication_hex(const std::string& value) {
  if (value == "-") {
    return std::string();
  }
  if (value.empty() || value.size() % 2 != 0) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(value.size() / 2);
  for (size_t i = 0; i < value.size(); i += 2) {
    const int high = hex_digit(value[i]);
    const int low = hex_digit(value[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}
