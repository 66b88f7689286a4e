// The diagnostic settings task: brings up the diagnostic client and sets the
// transmit mode of the sensor peripherals, then serves the flush pipe.
// Runs on diag_worker's thread.
#pragma once

void handle_diag_settings();

// Serves the flush pipe for the rest of the process's life; returns only when
// the pipe cannot be created or opened.
void wait_handle_flush();
