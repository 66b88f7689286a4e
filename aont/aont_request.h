// The on-change configuration request the always-on test sensor is enabled with.
#pragma once

#include <cstdint>
#include <string>

#include "interfaces/sensor_uid.h"

inline constexpr uint32_t aont_on_change_config_msg_id = 514;

// The serialised sns_client_request_msg for `suid`: msg_id 514, the SUID,
// suspend configuration 0 and 1, and a request without payload.
std::string on_change_request(sensor_uid suid);
