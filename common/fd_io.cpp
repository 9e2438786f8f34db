#include "common/fd_io.h"

#include <cerrno>

#include <unistd.h>

namespace kv_utils_common {

int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

}  // namespace kv_utils_common
