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
  for (std::string line; std::getline(in, line);) {
    SNS_LOG_AS("get_odl_commands", sensors_log::debug, " line(command): %s ", line.c_str());
    if (!line.empty()) {
      commands.push_back(line);
    }
  }
}

odl_action odl_action_for(const std::vector<std::string>& commands) {
  if (commands.size() < 2) {
    return odl_action::none;
  }
  if (commands[0] == "stop") {
    return odl_action::stop;
  }
  return commands[0] == "star" ? odl_action::start : odl_action::none;
}

bool packets_wanted(const std::vector<std::string>& commands) {
  return commands[1] == odl::packets_option;
}
