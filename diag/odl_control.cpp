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
#include "interfaces/odl_protocol.h"

namespace {

bool on_kora() { return sensors_target::get_dsp_type() == sensors_target::DSP_TYPE_KORA; }

// The kill line of the capture tool started with `option`; it runs to its end.
std::string kill_line(const char* option) {
  return std::string(odl::capture_tool) + " -k " + option;
}

unsigned int microseconds(std::chrono::seconds pause) {
  return static_cast<unsigned int>(std::chrono::microseconds(pause).count());
}

}  // namespace

std::string launch_line(const char* option, const std::string& directory) {
  return std::string(odl::capture_tool) + " " + option + " -f " + odl::diag_cfg_path + " -w " +
         directory + " -o " + directory + " & ";
}

std::string capture_directory(const std::tm* local) {
  std::string stamp = odl::capture_fallback_stamp;
  if (local != nullptr) {
    char formatted[80] = {};
    // Never 0: six fields of at most 11 characters and five dashes fit.
    static_cast<void>(strftime(formatted, sizeof formatted, odl::capture_stamp_format, local));
    stamp = formatted;
    std::replace(stamp.begin(), stamp.end(), '-', '_');
  }
  return std::string(odl::sensors_directory) + "/" + odl::capture_prefix + stamp;
}

void stop_odl_capture(const std::vector<std::string>& commands, int flush_fd) {
  if (last_odl_command == commands[0]) {
    return;
  }
  // The drain request is best effort: its outcome is not examined.
  [[maybe_unused]] const ssize_t written = write(flush_fd, "1", 1);
  SNS_LOG_AS("handle_events", sensors_log::info, "Daig : Killing current ODL instance ");
  const bool kora = on_kora();
  env& e = current_env();
  e.shell(kill_line(odl::variant_option(kora, packets_wanted(commands))).c_str());
  if (kora) {
    // The group tool's kill line ends in a blank.
    e.shell((kill_line(odl::kora_group_option) + " ").c_str());
  }
  last_odl_command = commands[0];
  e.pause_us(microseconds(odl::pause_after_stop));
}

void start_odl_capture(const std::vector<std::string>& commands) {
  if (access(odl::diag_cfg_path, F_OK) != 0) {
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
  env& e = current_env();
  if (on_kora()) {
    e.shell(launch_line(odl::kora_group_option, directory).c_str());
    // Asked again before the second line; the probe keeps a match, so it is kora still.
    if (on_kora()) {
      e.shell(launch_line(odl::variant_option(true, packets), directory).c_str());
    }
  } else {
    e.shell(launch_line(odl::variant_option(false, packets), directory).c_str());
  }
  last_odl_command = commands[0];
  e.pause_us(microseconds(odl::pause_after_start));
}
