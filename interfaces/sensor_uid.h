// The sensor unique identifier of the closed sensor libraries (sensor
// utilities and sensor-hub client): 128 bits, passed by value.
#pragma once

#include <cstdint>

struct sensor_uid {
  uint64_t low = 0;
  uint64_t high = 0;
};
