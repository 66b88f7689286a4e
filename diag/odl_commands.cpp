#include "diag/odl_commands.h"

#include <exception>
#include <fstream>

#include "daemon/log.h"
#include "interfaces/odl_protocol.h"

std::vector<std::string> get_odl_commands() {
  std::vector<std::string> commands;
  try {
    std::ifstream file(odl::command_file, std::ios::binary);
    if (!file.is_open()) {
      SNS_LOG(sensors_log::error, " Failed to open %s ", odl::command_file);
      return commands;
    }
    read_odl_lines(file, commands);
  } catch (const std::exception& e) {
    SNS_LOG(sensors_log::error, " exception : %s ", e.what());
  }
  return commands;
}

void read_odl_lines(std::istream& in, std::vector<std::string>& commands) {
  // getline catches what the line or the stream buffer throws and only sets
  // badbit; with badbit in the mask it throws it on, to the caller.
  in.exceptions(std::ios::badbit);
  odl::read_lines(in, commands, [](const std::string& line) {
    SNS_LOG_AS("get_odl_commands", sensors_log::debug, " line(command): %s ", line.c_str());
  });
}
