#pragma once

// Helpers of the read-only host queries that find the block device behind a file and describe
// it before a host snapshot is taken.

#include <istream>
#include <string>

#include "common/shell_quote.h"

namespace kelvanor::module {

// The device of the first line of a /proc/mounts text whose mount point equals `mount_point`
// (blanks in it are compared in their "\040" form). False when no line matches.
[[nodiscard]] bool find_mounted_device(std::istream& mounts, const std::string& mount_point, std::string& device);

// The text without its newline characters.
[[nodiscard]] std::string without_newlines(std::string text);

}  // namespace kelvanor::module
