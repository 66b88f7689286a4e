// Writes the sandboxed device's property file, /data/property/host.prop, for
// tests that run code reading properties through the host property store.
#pragma once

#include <string>

void write_host_prop(const std::string& content);
