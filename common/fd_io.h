#pragma once

// Writing to a raw file descriptor, for the places that keep a descriptor open on purpose (a lock
// on it, a file created with exact permissions) instead of going through a stream.

#include <string_view>

#include <unistd.h>

namespace kv_utils_common {

// An open file, closed (and so unlocked) with its scope.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) noexcept : m_fd(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  void reset(int fd = -1) noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }
  [[nodiscard]] int get() const noexcept { return m_fd; }
  explicit operator bool() const noexcept { return m_fd >= 0; }

 private:
  int m_fd;
};

// Writes all of `text`, going on after a short write or a signal. 0, or the errno value of the
// write that failed (EIO when the descriptor took nothing).
[[nodiscard]] int write_all(int fd, std::string_view text);

}  // namespace kv_utils_common
