// Any bytes as the on-device-logging command file: reading it and deciding
// what it asks for must neither crash nor leak, and the decision must follow
// only from the first two non-empty lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "diag/odl_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream file(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> commands;
  read_odl_lines(file, commands);

  for (const std::string& line : commands) {
    if (line.empty() || line.find('\n') != std::string::npos) {
      std::abort();
    }
  }
  const odl_action action = odl_action_for(commands);
  const bool acts = action != odl_action::none;
  if (acts != (commands.size() >= 2 && (commands[0] == "stop" || commands[0] == "star"))) {
    std::abort();
  }
  if (acts) {
    static_cast<void>(packets_wanted(commands));
  }
  return 0;
}
