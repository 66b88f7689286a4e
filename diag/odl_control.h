// Starting and stopping captures of the capture tool on request of the
// on-device-logging command file. Called only by handle_events, on
// odl_worker's thread; last_odl_command carries the last command carried out,
// so that a repeated stop or start does nothing.
#pragma once

#include <string>
#include <vector>

// `commands` has at least two entries, the first being "stop". Asks the flush
// task for a drain through `flush_fd` (the flush FIFO's write end), kills the
// running capture instances and pauses 5 s.
void stop_odl_capture(const std::vector<std::string>& commands, int flush_fd);

// `commands` has at least two entries, the first being "star". When the
// capture configuration exists, creates a capture directory named after the
// local time and launches the capture tool into it in the background, then
// pauses 3 s.
void start_odl_capture(const std::vector<std::string>& commands);
