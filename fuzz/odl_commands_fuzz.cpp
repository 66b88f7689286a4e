// Any bytes as the on-device-logging command file: reading it and deciding what
// it asks for must neither crash nor leak, and give only whole non-empty lines.
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "diag/odl_commands.h"
#include "interfaces/odl_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream file(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> commands;
  read_odl_lines(file, commands);
  for (const std::string& line : commands) {
    if (line.empty() || line.find('\n') != std::string::npos) {
      std::abort();
    }
  }
  static_cast<void>(odl::command_of(commands));
  return 0;
}
