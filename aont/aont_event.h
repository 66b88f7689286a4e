// Decoding of the always-on test sensor's indications.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t aont_sample_msg_id = 1024;

// Logs one indication, a serialised sns_client_event_msg: its length, each
// event's id and timestamp, and the number of values of each sample event.
// Keeps no state; may run on any thread, several at once. `delivery_time` is
// not used.
void handle_aont_event(const uint8_t* data, size_t size, uint64_t delivery_time);
