#include "diag/odl_control.h"

#include <sys/stat.h>
#include <unistd.h>

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

unsigned int microseconds(std::chrono::seconds pause) {
  return static_cast<unsigned int>(std::chrono::microseconds(pause).count());
}

}  // namespace

void stop_odl_capture(const std::vector<std::string>& commands, int flush_fd) {
  if (last_odl_command == commands[0]) {
    return;
  }
  // The drain request is best effort: its outcome is not examined.
  [[maybe_unused]] const ssize_t written = write(flush_fd, "1", 1);
  SNS_LOG_AS("handle_events", sensors_log::info, "Daig : Killing current ODL instance ");
  const bool kora = on_kora();
  env& e = current_env();
  e.shell(odl::kill_line(odl::variant_option(kora, odl::command_of(commands).packets)).c_str());
  if (kora) {
    e.shell(odl::kill_line(odl::kora_group_option).c_str());
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
  const std::string directory =
      std::string(odl::sensors_directory) + "/" + odl::capture_name(localtime_r(&now, &local_time));
  if (last_odl_command == commands[0]) {
    return;
  }
  if (mkdir(directory.c_str(), 0777) != 0) {
    const int error = errno;
    SNS_LOG_AS("handle_events", sensors_log::error, "mkdir failed errno:%d - strerror: %s\n", error,
               strerror(error));
    return;
  }
  const bool packets = odl::command_of(commands).packets;
  env& e = current_env();
  if (on_kora()) {
    e.shell(odl::launch_line(odl::kora_group_option, directory).c_str());
    // Asked again before the second line; the probe keeps a match, so it is kora still.
    if (on_kora()) {
      e.shell(odl::launch_line(odl::variant_option(true, packets), directory).c_str());
    }
  } else {
    e.shell(odl::launch_line(odl::variant_option(false, packets), directory).c_str());
  }
  last_odl_command = commands[0];
  e.pause_us(microseconds(odl::pause_after_start));
}
