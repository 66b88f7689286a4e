// The env every unit test runs with: pauses and shell commands are recorded
// in the journal ("pause 200000", "shell /vendor/bin/trcap ...") and return
// at once; nothing is slept and no shell runs.
#pragma once

#include "daemon/env.h"

class fake_env final : public env {
 public:
  void pause_us(unsigned int us) override;
  void shell(const char* command) override;
};
