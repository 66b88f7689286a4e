// unique_fd owns one file descriptor: it closes it when destroyed or reset,
// and it can be moved but not copied, so every descriptor has exactly one
// owner. Not thread-safe: an object belongs to the thread that uses it.
#pragma once

#include <unistd.h>

class unique_fd {
 public:
  unique_fd() noexcept = default;
  // Takes ownership of `descriptor`; a negative value means "none".
  explicit unique_fd(int descriptor) noexcept : owned(descriptor) {}
  ~unique_fd() { reset(); }

  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  unique_fd(unique_fd&& other) noexcept : owned(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }

  int get() const noexcept { return owned; }
  bool ok() const noexcept { return owned >= 0; }

  // Gives the descriptor up without closing it; the caller owns it then.
  int release() noexcept {
    const int descriptor = owned;
    owned = -1;
    return descriptor;
  }

  // Closes the descriptor held (if any) and takes `descriptor` instead.
  // close is never retried: on Linux the descriptor is released even when
  // close reports EINTR, and a retry could close one reused by another thread.
  void reset(int descriptor = -1) noexcept {
    const int old = owned;
    owned = descriptor;
    if (old >= 0) {
      static_cast<void>(::close(old));
    }
  }

 private:
  int owned = -1;
};
