// read_regular_file: the whole content of a regular file, bounded. The open
// does not block (a FIFO or a device is refused, not waited on), anything but
// a regular file is refused, and no more than the limit is ever read.
#pragma once

#include <cstddef>
#include <string>
#include <system_error>

#include "util/expected.hpp"

namespace sarvolt::util {

struct FileReadError {
  std::error_code code;  // the OS error, when there is one
  std::string reason;    // otherwise why the file was refused
};

Expected<std::string, FileReadError> read_regular_file(const char* path, std::size_t limit);

}  // namespace sarvolt::util
