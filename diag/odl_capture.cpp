#include "diag/odl_capture.h"

#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/env.h"
#include "daemon/log.h"
#include "diag/inotify_records.h"
#include "diag/odl_commands.h"
#include "diag/odl_control.h"
#include "interfaces/odl_protocol.h"

namespace {

constexpr unsigned int setup_pause_us = 2000000;
constexpr size_t event_buffer_size = 4096;

}  // namespace

bool handle_events(int inotify_fd) {
  char buffer[event_buffer_size] = {};
  // Close-on-exec, so that capture tool instances started meanwhile do not
  // hold the FIFO open.
  android::base::unique_fd flush(open(odl::flush_pipe_path, O_WRONLY | O_CLOEXEC));
  if (!flush.ok()) {
    SNS_LOG(sensors_log::error, " Unable to open the pipe : %s", odl::flush_pipe_path);
    return false;
  }
  // A file left at the FIFO's path is somebody's data, not a flush request
  // channel (the flush task has said so): commands still run, but no flush
  // request is written into it.
  struct stat status {};
  if (fstat(flush.get(), &status) == 0 && !S_ISFIFO(status.st_mode)) {
    flush.reset();
  }
  const std::vector<std::string> commands = get_odl_commands();
  const ssize_t length = read(inotify_fd, buffer, sizeof buffer);
  if (length == -1) {
    const int error = errno;
    if (error != EAGAIN) {
      SNS_LOG(sensors_log::error, " perror read : %i ", error);
    }
    return false;
  }
  if (length == 0) {
    return false;
  }
  const odl::action action = odl::command_of(commands).what;
  for_each_inotify_record(
      buffer, sizeof buffer, static_cast<size_t>(length), [&](const inotify_record& record) {
        if ((record.mask & IN_MODIFY) != 0) {
          SNS_LOG_AS("handle_events", sensors_log::info, "handle_event : IN_MODIFY");
          if (action == odl::action::stop) {
            stop_odl_capture(commands, flush.get());
          } else if (action == odl::action::start) {
            start_odl_capture(commands);
          }
        }
        if (record.name_length != 0) {
          SNS_LOG_AS("handle_events", sensors_log::info, "event : %s ", record.name.c_str());
        }
      });
  return true;
}

void trcap_capture() {
  SNS_LOG(sensors_log::info, " in trcap_capture ");
  // Empty the command file: whatever it held before is never acted upon.
  FILE* file = fopen(odl::command_file, "w");
  current_env().pause_us(setup_pause_us);
  if (file != nullptr) {
    static_cast<void>(fclose(file));  // nothing was written: nothing to lose
  }
  if (chmod(odl::command_file, 0777) != 0) {
    const int error = errno;
    SNS_LOG(sensors_log::error, "fail to change permission on diag_odl_file, err = %d, %s", error,
            strerror(error));
  }
  const android::base::unique_fd inotify(inotify_init1(0));
  if (!inotify.ok()) {
    SNS_LOG(sensors_log::error, "inotify_init1 failed ");
    return;
  }
  // Unexamined: without a watch the loop below simply never wakes.
  inotify_add_watch(inotify.get(), odl::command_file, IN_MODIFY | IN_CREATE);
  pollfd entry{inotify.get(), POLLIN, 0};
  while (true) {
    SNS_LOG(sensors_log::info, " before poll - for modify event");
    const int ready = poll(&entry, 1, -1);
    if (ready == -1) {
      const int error = errno;
      if (error == EINTR) {
        continue;
      }
      SNS_LOG(sensors_log::error, "poll perror: %i", error);
      return;
    }
    if (ready == 0 || (entry.revents & POLLIN) == 0) {
      continue;
    }
    if (!handle_events(inotify.get())) {
      return;
    }
  }
}
