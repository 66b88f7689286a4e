// The device's sensors directory, the one place odlctl reads and writes. It
// is opened from the device's root one directory at a time, never through a
// symbolic link: a link that a hostile device puts in place of one of those
// directories is refused, not followed. Every file odlctl touches in it is
// opened relative to it, without following a link either.
#pragma once

#include <android-base/unique_fd.h>

#include <string>

using android::base::unique_fd;

struct sensors_dir {
  unique_fd fd;       // not ok when it could not be opened
  std::string path;   // as odlctl prints it: under the root
  std::string error;  // why it could not be opened: "cannot read PATH: ..."
};

sensors_dir open_sensors(const std::string& root);

// The name in the sensors directory of one of the device paths there.
std::string name_in_sensors(const char* device_path);
