#include "interfaces/properties.h"

#include <android-base/parseint.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "host/sim_properties.h"

std::optional<std::string> host_property(const std::string& key) {
  std::ifstream file("/data/property/host.prop", std::ios::binary);
  std::optional<std::string> found;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const size_t equals = line.find('=');
    if (equals != key.size() || line.compare(0, equals, key) != 0) {
      continue;
    }
    found = line.substr(equals + 1);
  }
  return found;
}

long host_property_number(const std::string& key, long fallback) {
  const std::optional<std::string> value = host_property(key);
  long number = 0;
  return value && android::base::ParseInt(*value, &number) ? number : fallback;
}

int property_get(const char* key, char* value, const char* default_value) {
  const std::optional<std::string> stored = host_property(key);
  const std::string chosen =
      stored && !stored->empty() ? *stored : std::string(default_value ? default_value : "");
  const size_t length = std::min(chosen.size(), static_cast<size_t>(PROPERTY_VALUE_MAX - 1));
  std::memcpy(value, chosen.data(), length);
  value[length] = '\0';
  return static_cast<int>(length);
}
