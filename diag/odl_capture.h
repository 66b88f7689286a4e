// The on-device-logging task: watches the command file and starts and stops
// captures. Runs on odl_worker's thread.
#pragma once

void trcap_capture();
