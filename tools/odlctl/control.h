// What odlctl does to the files the daemon watches: the command file and the
// flush pipe. Nothing here reaches a shell.
#pragma once

#include <string>
#include <utility>

#include "daemon/unique_fd.h"

// A device path under the device's root directory ("" for this device's own).
std::string under(const std::string& root, const char* device_path);

enum class pipe_state { served, missing, not_a_fifo, not_served };

// Whether something reads the flush pipe at `path`, found by opening it for
// writing without blocking; `writer` then holds the open descriptor. Nothing
// is ever opened at the path when it is not a FIFO.
pipe_state probe_flush_pipe(const std::string& path, unique_fd& writer);

// The command file's first two lines ("" for those it does not have).
std::pair<std::string, std::string> first_lines(const std::string& path);

// Writes the two command lines over the start of the existing file at `path`
// and then cuts off what is left behind them: the daemon never reads an empty
// or partial command. Returns an error text, empty on success.
std::string write_command(const std::string& path, const std::string& command, bool packets);
