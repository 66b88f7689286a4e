// Helpers for tests that lay out files of the sandboxed device.
#pragma once

#include <string>

// Writes `content` to `path`, replacing what was there.
void write_file(const std::string& path, const std::string& content);
// Writes `content` over the start of the existing file `path` in one write,
// without truncating it first: a watcher of the file sees one modification
// and never the file empty.
void write_over(const std::string& path, const std::string& content);
// The whole content of `path`; empty when it cannot be read.
std::string read_file(const std::string& path);
// Gives the device one remote processor whose name file holds `name`.
void add_remoteproc(const std::string& entry, const std::string& name);
