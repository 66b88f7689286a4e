#include "tests/fakes/fake_diag.h"

#include <atomic>
#include <string>

#include "interfaces/diag_lsm.h"
#include "tests/fakes/journal.h"

namespace fake_diag {
namespace {

// Atomics only: threads still blocked in the code under test at exit may call
// in while the process ends, and these need no destruction.
std::atomic<int> init_failures_left{0};
std::atomic<int> tx_mode_results[2] = {1, 1};
std::atomic<int> drain_results[2] = {1, 1};

// Slot of the peripherals 3 and 9; any other peripheral shares 9's.
size_t slot(uint8_t peripheral) { return peripheral == 3 ? 0 : 1; }

}  // namespace

void fail_init_times(int count) { init_failures_left.store(count); }
void set_tx_mode_result(uint8_t peripheral, int result) { tx_mode_results[slot(peripheral)].store(result); }
void set_drain_result(uint8_t peripheral, int result) { drain_results[slot(peripheral)].store(result); }

}  // namespace fake_diag

bool Diag_LSM_Init(uint8_t* pIEnv) {
  journal::record(pIEnv == nullptr ? "Diag_LSM_Init" : "Diag_LSM_Init with a non-null pointer");
  return fake_diag::init_failures_left.fetch_sub(1) <= 0;
}

int diag_configure_peripheral_buffering_tx_mode(uint8_t peripheral, uint8_t tx_mode, uint8_t low_wm_val,
                                                uint8_t high_wm_val) {
  journal::record("tx_mode " + std::to_string(peripheral) + " " + std::to_string(tx_mode) + " " +
                  std::to_string(low_wm_val) + " " + std::to_string(high_wm_val));
  return fake_diag::tx_mode_results[fake_diag::slot(peripheral)].load();
}

int diag_peripheral_buffering_drain_immediate(uint8_t peripheral) {
  journal::record("drain " + std::to_string(peripheral));
  return fake_diag::drain_results[fake_diag::slot(peripheral)].load();
}
