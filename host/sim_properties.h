// The host property store: the text file /data/property/host.prop, read
// afresh at each call. One KEY=VALUE a line; blank lines and lines starting
// with '#' are ignored; the last line for a key wins.
#pragma once

#include <optional>
#include <string>

// The whole value of `key` as the file holds it, or nothing when the file or
// the key is missing. Stand-ins read their sim.* properties through this.
std::optional<std::string> host_property(const std::string& key);

// host_property as a number, `fallback` when missing, empty or not a number.
long host_property_number(const std::string& key, long fallback);
