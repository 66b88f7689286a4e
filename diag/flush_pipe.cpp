// wait_handle_flush, the second half of the diagnostic settings task.
#include <android-base/stringprintf.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "daemon/env.h"
#include "daemon/log.h"
#include "diag/diag_settings.h"
#include "interfaces/diag_lsm.h"
#include "interfaces/odl_protocol.h"

using android::base::unique_fd;

namespace {

// How long the task waits before it tries again to open a writer of its own,
// while that cannot be done (no descriptor to spare, for instance).
constexpr unsigned int own_writer_retry_pause_us = 1000000;

// A writer of the task's own, never written to: while it is open the read end
// never reports a hang-up when the last outside writer closes, so poll sleeps
// until the next request instead of returning at once over and over. It is
// opened through the read end's own descriptor, not the path: whatever the
// path holds by then (another FIFO, a regular file), the writer is on the
// very pipe that the task reads.
unique_fd open_own_writer(const unique_fd& reader) {
  const std::string path = android::base::StringPrintf("/proc/self/fd/%d", reader.get());
  return unique_fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

// Drains peripheral 3, then 9 only if 3 succeeded; one error line either way.
void drain_sensor_peripherals() {
  int result = diag_peripheral_buffering_drain_immediate(3);
  if (result == 1) {
    result = diag_peripheral_buffering_drain_immediate(9);
  }
  if (result != 1) {
    SNS_LOG_AS("wait_handle_flush", sensors_log::error,
               "diag_peripheral_buffering_drain_immediate error");
  }
}

}  // namespace

void wait_handle_flush() {
  if (mkfifo(odl::flush_pipe_path, 0666) != 0 && errno != EEXIST) {
    SNS_LOG(sensors_log::error, "mkfifo error: %i", errno);
    return;
  }
  // Blocks until a writer opens the pipe. Close-on-exec: the capture tools
  // started through the shell must not inherit the pipe and eat requests.
  const unique_fd reader(open(odl::flush_pipe_path, O_RDONLY | O_CLOEXEC));
  if (!reader.ok()) {
    SNS_LOG(sensors_log::error, "open error: %i", errno);
    return;
  }
  // A file left at the path opens at once and would read as data for ever.
  struct stat status {};
  if (fstat(reader.get(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
    SNS_LOG(sensors_log::error, "%s is not a FIFO", odl::flush_pipe_path);
    return;
  }
  // When its own writer cannot be opened the task serves all the same and
  // tries again whenever the outside writers hang up, pausing between tries
  // instead of spinning. The read end stays open throughout: a writer never
  // meets a pipe without a reader.
  unique_fd own_writer = open_own_writer(reader);

  pollfd watch{};
  watch.fd = reader.get();
  watch.events = POLLIN;
  for (;;) {
    watch.revents = 0;
    if (poll(&watch, 1, -1) < 1) {
      continue;
    }
    if ((watch.revents & POLLIN) == 0) {
      // Every outside writer has gone and the task has no writer of its own yet.
      if ((watch.revents & POLLHUP) != 0 && !own_writer.ok()) {
        own_writer = open_own_writer(reader);
        if (!own_writer.ok()) {
          current_env().pause_us(own_writer_retry_pause_us);
        }
      }
      continue;
    }
    char buffer[10] = {};
    const ssize_t length = read(reader.get(), buffer, sizeof buffer);
    SNS_LOG(sensors_log::info, "sns_diag_flush read len: %i", static_cast<int>(length));
    drain_sensor_peripherals();
  }
}
