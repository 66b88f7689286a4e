// The on-device-logging task: empties and watches the command file and, at
// every modification, applies its first two lines with the stop and start
// operations of the capture control. Runs on odl_worker's thread, for ever
// unless one of its failures ends it.
#pragma once

void trcap_capture();

// One wake-up of the watch on `inotify_fd`: opens the flush FIFO for writing,
// reads the command file, reads the inotify records and applies the commands
// once per modification record. Answers whether the watch goes on.
bool handle_events(int inotify_fd);
