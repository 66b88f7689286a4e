#include "tests/fakes/host_prop.h"

#include "tests/fakes/device_files.h"

void write_host_prop(const std::string& content) { write_file("/data/property/host.prop", content); }
