// The sim.hub.* property values of the simulated sensor hub, parsed. Pure
// functions: the callers read the properties.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "interfaces/sensor_uid.h"

// sim.hub.aont_suids: "LOW:HIGH" in decimal, comma-separated, in answer
// order; "none" is the empty list. Entries that are not LOW:HIGH are skipped.
std::vector<sensor_uid> parse_suid_list(const std::string& value);

// sim.hub.create_fail: whether the comma-separated list of 1-based create
// numbers holds `number`.
bool create_number_listed(const std::string& value, unsigned long number);

// sim.hub.indication_hex: the bytes given as hexadecimal pairs, "-" for no
// bytes at all; nothing when the text is not that.
std::optional<std::string> parse_indication_hex(const std::string& value);
