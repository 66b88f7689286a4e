// The on-device-logging command file, "/data/vendor//sensors/file1": reading
// its lines and deciding what they ask for. Used by the on-device-logging
// task, on odl_worker's thread.
#pragma once

#include <istream>
#include <string>
#include <vector>

// The file's non-empty lines, in file order, each logged as it is read. An
// std::exception while reading is logged and the lines gathered until then
// are returned; a file that cannot be opened gives an empty list.
std::vector<std::string> get_odl_commands();

// Appends the non-empty lines of `in` to `commands`, logging every line,
// empty ones included. Lines are split at line feeds only and kept whole: a
// carriage return or a zero byte is part of its line. Throws on what the
// stream or the list throws (an allocation failure, a length error); the
// lines appended so far stay.
void read_odl_lines(std::istream& in, std::vector<std::string>& commands);
