// The files under /data/vendor/sensors through which the daemon, the capture
// tool and the controllers of on-device logging (odlctl among them) meet.
#pragma once

// Where they all are.
inline constexpr const char* sensors_directory = "/data/vendor/sensors";
// Only its existence counts: every start of the capture tool needs it.
inline constexpr const char* diag_cfg_path = "/data/vendor/sensors/Diag.cfg";
// The on-device-logging command file, with the device's own doubled slash.
inline constexpr const char* odl_command_file = "/data/vendor//sensors/file1";
// Whatever is written into this FIFO asks for a drain of the diagnostic buffers.
inline constexpr const char* flush_pipe_path = "/data/vendor/sensors/sns_diag_flush";
// Capture directories: this, then a local-time stamp.
inline constexpr const char* capture_directory_prefix = "/data/vendor/sensors/odl_sns_";
