// The diagnostic settings task: brings up the diagnostic client, sets the
// transmit mode of the sensor peripherals and, in circular mode, starts the
// capture tool at boot; then serves the flush pipe. Runs on diag_worker's
// thread; main signals diag_init_done between the two halves.
#pragma once

// Brings the diagnostic client up (25 attempts), configures peripherals 3
// and 9 and, in circular mode with /data/vendor/sensors/Diag.cfg present,
// starts the capture tool and writes "start" into the command file. Every
// failure is logged and ends or skips a step; nothing is reported back.
void handle_diag_settings();

// Reads "persist.vendor.sensors.diag_buffer_mode" and logs the answer: false
// (streaming) when the value begins with "false", true (circular) otherwise.
bool diag_buffering_enabled();

// Serves the flush pipe /data/vendor/sensors/sns_diag_flush for the rest of
// the process's life: every read of pending bytes is followed by a drain of
// peripherals 3 and 9. Returns only when the pipe cannot be created or
// opened, or when the path holds something that is not a FIFO.
void wait_handle_flush();
