// What the daemon and the controllers of on-device logging (odlctl among
// them) share: the files under /data/vendor/sensors through which they meet,
// the command words, the capture tool's options and the daemon's pauses.
// Written once here; neither side restates any of it.
#pragma once

#include <chrono>

namespace odl {

inline constexpr const char* sensors_directory = "/data/vendor/sensors";
// Only its existence counts: every start of the capture tool needs it.
inline constexpr const char* diag_cfg_path = "/data/vendor/sensors/Diag.cfg";
// The command file, with the device's own doubled slash.
inline constexpr const char* command_file = "/data/vendor//sensors/file1";
// Whatever is written into this FIFO asks for a drain of the diagnostic buffers.
inline constexpr const char* flush_pipe_path = "/data/vendor/sensors/sns_diag_flush";

// Capture directories: the sensors directory, "/odl_sns_", then the local time
// formatted with capture_stamp_format and every '-' made a '_'; the fallback
// stamp when the local time cannot be computed.
inline constexpr const char* capture_prefix = "odl_sns_";
inline constexpr const char* capture_stamp_format = "%Y-%m-%d-%H-%M-%S";
inline constexpr const char* capture_fallback_stamp = "date_time";

// The command file's first two non-empty lines: a command word, then the
// option that asks for the packet variant (anything else: the default one).
inline constexpr const char* stop_word = "stop";
inline constexpr const char* start_word = "star";
inline constexpr const char* packets_option = "enable_HLOS_packets";

inline constexpr const char* capture_tool = "/vendor/bin/trcap";
// On a kora processor both variants run this tool too; a stop of either ends it.
inline constexpr const char* kora_group_option = "-g 16384";

// The capture tool of a variant: its option names the peripheral it captures,
// and a kill line with the same option ends it.
constexpr const char* variant_option(bool kora, bool packets) {
  if (kora) {
    return packets ? "-p 5" : "-p 4";
  }
  return packets ? "-p 17" : "-p 16";
}

// After a start the daemon reads no command for this long, after a stop for
// the other; a command written meanwhile is read when the pause ends.
inline constexpr std::chrono::seconds pause_after_start{3};
inline constexpr std::chrono::seconds pause_after_stop{5};

}  // namespace odl
