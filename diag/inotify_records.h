// Walking the records that one read of an inotify descriptor delivered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct inotify_record {
  uint32_t mask;
  uint32_t name_length;  // as the record gives it, padding included
  std::string name;      // up to its first zero byte, within the buffer
};

// Calls `visit` for each record in order, from the start of `buffer` while the
// record begins before `length`, the number of bytes read. Each record is a
// 16-byte head (watch descriptor, mask, cookie, name length) and its name;
// the next one starts 16 bytes plus the name length further on. Nothing
// outside the `capacity` bytes of `buffer` is read: a record whose head or
// name would reach beyond them, which the kernel never writes, is cut there.
void for_each_inotify_record(const char* buffer, size_t capacity, size_t length,
                             const std::function<void(const inotify_record&)>& visit);
