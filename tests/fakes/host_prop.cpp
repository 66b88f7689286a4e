#include "tests/fakes/host_prop.h"

#include <fstream>
#include <stdexcept>

void write_host_prop(const std::string& content) {
  std::ofstream file("/data/property/host.prop", std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) {
    throw std::runtime_error("cannot write /data/property/host.prop");
  }
}
