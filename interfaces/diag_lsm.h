// The device's diagnostic client library (closed). The daemon brings the
// client up once, sets the transmit mode of its sensor peripherals and drains
// their buffers on request. Calls come from diag_worker's thread only.
#pragma once

#include <cstdint>

// Brings up the diagnostic client; the daemon passes a null pointer. True
// when the client is ready.
bool Diag_LSM_Init(uint8_t* pIEnv);

// Sets how `peripheral` sends its diagnostic traffic: tx_mode 0 streams it,
// 2 holds it in a circular buffer between the low and high watermarks.
// Returns 1 on success; anything else is a failure.
int diag_configure_peripheral_buffering_tx_mode(uint8_t peripheral, uint8_t tx_mode,
                                                uint8_t low_wm_val, uint8_t high_wm_val);

// Sends the buffered diagnostic traffic of `peripheral` at once. Returns 1 on
// success; anything else is a failure.
int diag_peripheral_buffering_drain_immediate(uint8_t peripheral);
