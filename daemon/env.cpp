#include "daemon/env.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

class posix_env final : public env {
 public:
  void pause_us(unsigned int us) override { usleep(us); }
  void shell(const char* command) override {
    // NOLINTNEXTLINE(cert-env33-c): the capture tool's lines are shell lines (a trailing '&').
    static_cast<void>(std::system(command));
  }
};

posix_env real_env;
std::atomic<env*> installed{nullptr};

}  // namespace

env& current_env() {
  env* e = installed.load(std::memory_order_acquire);
  return e != nullptr ? *e : real_env;
}

void set_env_for_testing(env* replacement) {
  installed.store(replacement, std::memory_order_release);
}
