// The two effects of the daemon's tasks that tests must neither wait for nor
// let loose on the machine: the fixed pauses and the shell. Everything else
// (files, FIFOs, inotify) is used directly and tested for real in a sandbox.
//
// The process has one env, the real one, unless a test installs its own with
// set_env_for_testing before starting the code under test.
#pragma once

class env {
 public:
  virtual ~env() = default;
  // usleep(us).
  virtual void pause_us(unsigned int us) = 0;
  // system(command); the daemon never examines the result.
  virtual void shell(const char* command) = 0;
};

env& current_env();

// Tests only. Passing nullptr restores the real env. The env must outlive
// every call made through it.
void set_env_for_testing(env* replacement);
