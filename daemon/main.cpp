// The sensors daemon: sets up logging, queues its three tasks, waits (bounded)
// for the diagnostic client and then sleeps for ever; all work happens on the
// workers' threads.
#include <unistd.h>

#include <cstdlib>

#include "aont/aont.h"
#include "daemon/log.h"
#include "daemon/sensordaemon.h"
#include "diag/diag_settings.h"
#include "diag/odl_capture.h"

int main() {
  sensors_log::set_tag("sensors.lumo");
  apply_log_level_property();

  {
    aont test;  // torn down at the end of this block: client first, then lookup
    SNS_LOG(sensors_log::info, "sensors daemon starting");

    diag_worker.add_task([] {
      handle_diag_settings();
      signal_diag_init_done();
      wait_handle_flush();
    });
    aont_worker.add_task([test_ptr = &test] { handle_aont(test_ptr); });
    wait_for_diag_init(diag_init_limit);
    odl_worker.add_task([] { trcap_capture(); });

    sleep(2147483647);

    SNS_LOG(sensors_log::error, "sensors daemon exiting!");
  }
  // The diagnostic and on-device-logging tasks never return, so joining the
  // workers at exit would never end: leave without destroying them.
  std::_Exit(0);
}
