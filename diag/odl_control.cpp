#include "diag/odl_control.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "daemon/env.h"
#include "daemon/log.h"
#include "daemon/sensordaemon.h"
#include "diag/dsp_type.h"
#include "diag/odl_commands.h"
#include "diag/sensors_paths.h"

namespace {

constexpr const char* head_g = "/vendor/bin/trcap -g 16384 -f /data/vendor/sensors/Diag.cfg -w ";
constexpr const char* head_p4 = "/vendor/bin/trcap -p 4 -f /data/vendor/sensors/Diag.cfg -w ";
constexpr const char* head_p5 = "/vendor/bin/trcap -p 5 -f /data/vendor/sensors/Diag.cfg -w ";
constexpr const char* head_p16 = "/vendor/bin/trcap -p 16 -f /data/vendor/sensors/Diag.cfg -w ";
constexpr const char* head_p17 = "/vendor/bin/trcap -p 17 -f /data/vendor/sensors/Diag.cfg -w ";
constexpr const char* kill_head = "/vendor/bin/trcap -k -p ";
constexpr const char* kill_g = "/vendor/bin/trcap -k -g 16384 ";

constexpr unsigned int pause_after_stop_us = 5000000;
constexpr unsigned int pause_after_start_us = 3000000;

bool on_kora() { return sensors_target::get_dsp_type() == sensors_target::DSP_TYPE_KORA; }

// Runs the tool in the background writing into `directory`.
std::string launch_line(const char* head, const std::string& directory) {
  return head + directory + " -o " + directory + " & ";
}

}  // namespace

std::string capture_directory(const std::tm* local) {
  std::string stamp = "date_time";
  if (local != nullptr) {
    char formatted[80] = {};
    // Never 0: six fields of at most 11 characters and five dashes fit.
    static_cast<void>(strftime(formatted, sizeof formatted, "%Y-%m-%d-%H-%M-%S", local));
    stamp = formatted;
    std::replace(stamp.begin(), stamp.end(), '-', '_');
  }
  return capture_directory_prefix + stamp;
}

void stop_odl_capture(const std::vector<std::string>& commands, int flush_fd) {
  if (last_odl_command == commands[0]) {
    return;
  }
  // The drain request is best effort: its outcome is not examined.
  [[maybe_unused]] const ssize_t written = write(flush_fd, "1", 1);
  SNS_LOG_AS("handle_events", sensors_log::info, "Daig : Killing current ODL instance ");
  const bool packets = packets_wanted(commands);
  env& e = current_env();
  if (on_kora()) {
    e.shell((std::string(kill_head) + (packets ? "5" : "4")).c_str());
    e.shell(kill_g);
  } else {
    e.shell((std::string(kill_head) + (packets ? "17" : "16")).c_str());
  }
  last_odl_command = commands[0];
  e.pause_us(pause_after_stop_us);
}

void start_odl_capture(const std::vector<std::string>& commands) {
  if (access(diag_cfg_path, F_OK) != 0) {
    return;
  }
  SNS_LOG_AS("handle_events", sensors_log::info, "Daig : Diag.cfg present: starting trcap");
  const std::time_t now = std::time(nullptr);
  std::tm local_time{};
  const std::string directory = capture_directory(localtime_r(&now, &local_time));
  if (last_odl_command == commands[0]) {
    return;
  }
  if (mkdir(directory.c_str(), 0777) != 0) {
    const int error = errno;
    SNS_LOG_AS("handle_events", sensors_log::error, "mkdir failed errno:%d - strerror: %s\n", error,
               strerror(error));
    return;
  }
  const bool packets = packets_wanted(commands);
  std::string first;
  std::string second;
  if (on_kora()) {
    first = launch_line(head_g, directory);
    second = launch_line(packets ? head_p5 : head_p4, directory);
  } else {
    first = launch_line(packets ? head_p17 : head_p16, directory);
  }
  env& e = current_env();
  e.shell(first.c_str());
  if (!second.empty() && on_kora()) {
    e.shell(second.c_str());
  }
  last_odl_command = commands[0];
  e.pause_us(pause_after_start_us);
}
