#pragma once

// Writing to a raw file descriptor, for the places that keep a descriptor open on purpose (a lock
// on it, a file created with exact permissions) instead of going through a stream.

#include <string_view>

namespace kv_utils_common {

// Writes all of `text`, going on after a short write or a signal. 0, or the errno value of the
// write that failed (EIO when the descriptor took nothing).
[[nodiscard]] int write_all(int fd, std::string_view text);

}  // namespace kv_utils_common
