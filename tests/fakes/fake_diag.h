// Test double of the diagnostic client library: every call is recorded in the
// journal ("Diag_LSM_Init", "tx_mode 3 2 20 70", "drain 9") and answers with
// the result programmed here. Safe to call and to program from any thread.
// Defaults: initialisation succeeds at once, every other call returns 1.
#pragma once

#include <cstdint>

namespace fake_diag {

// The next `count` calls of Diag_LSM_Init return false, later ones true.
void fail_init_times(int count);
// Result of diag_configure_peripheral_buffering_tx_mode for `peripheral` (3 or 9).
void set_tx_mode_result(uint8_t peripheral, int result);
// Result of diag_peripheral_buffering_drain_immediate for `peripheral` (3 or 9).
void set_drain_result(uint8_t peripheral, int result);

}  // namespace fake_diag
