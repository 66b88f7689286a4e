// Host stand-in of the diagnostic client library, steered by sim.diag.*
// properties read at each call, with one trace line per call (tag diag-sim).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "host/host_log.h"
#include "host/sim_properties.h"
#include "interfaces/diag_lsm.h"

namespace {

constexpr const char* tag = "diag-sim";

// The per-peripheral result property `name`.<peripheral>, 1 when unset.
int result_for(const char* name, uint8_t peripheral) {
  return static_cast<int>(
      host_property_number(std::string(name) + "." + std::to_string(peripheral), 1));
}

}  // namespace

bool Diag_LSM_Init(uint8_t* pIEnv) {
  // Calls are counted across the process: the first sim.diag.init_failures fail.
  static std::atomic<long> calls{0};
  const long delay_ms = host_property_number("sim.diag.init_delay_ms", 0);
  if (delay_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  }
  const long call = calls.fetch_add(1) + 1;
  const bool ready = call > host_property_number("sim.diag.init_failures", 0);
  if (pIEnv == nullptr) {
    host_trace(tag, "Diag_LSM_Init(NULL) = %d", ready ? 1 : 0);
  } else {
    host_trace(tag, "Diag_LSM_Init(%p) = %d", static_cast<void*>(pIEnv), ready ? 1 : 0);
  }
  return ready;
}

int diag_configure_peripheral_buffering_tx_mode(uint8_t peripheral, uint8_t tx_mode,
                                                uint8_t low_wm_val, uint8_t high_wm_val) {
  const int result = result_for("sim.diag.tx_mode_result", peripheral);
  host_trace(tag, "diag_configure_peripheral_buffering_tx_mode(%d, %d, %d, %d) = %d", peripheral,
             tx_mode, low_wm_val, high_wm_val, result);
  return result;
}

int diag_peripheral_buffering_drain_immediate(uint8_t peripheral) {
  const int result = result_for("sim.diag.drain_result", peripheral);
  host_trace(tag, "diag_peripheral_buffering_drain_immediate(%d) = %d", peripheral, result);
  return result;
}
