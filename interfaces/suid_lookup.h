// The suid lookup of the sensor utilities library (closed): finds the SUIDs
// of a sensor data type on the sensor hub.
//
// The lookup owns the callback given to its constructor and calls it with the
// answer to each request_suid, on a thread of the library's own, one call at
// a time. The destructor waits for a callback that is running. The inner
// state (impl) is defined by whichever library provides the lookup: the
// device's, the host stand-in or a test double.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/sensor_uid.h"

class suid_lookup {
 public:
  // (data type asked for, SUIDs found in the library's order; may be empty)
  using suid_event_cb =
      std::function<void(const std::string& datatype, const std::vector<sensor_uid>& suids)>;

  explicit suid_lookup(suid_event_cb callback);
  ~suid_lookup();

  suid_lookup(const suid_lookup&) = delete;
  suid_lookup& operator=(const suid_lookup&) = delete;

  // Starts a lookup of `datatype` and returns; the answer comes through the
  // callback. `default_only` restricts the answer to the default sensor.
  void request_suid(std::string datatype, bool default_only);

 private:
  struct impl;
  std::unique_ptr<impl> state;
};
