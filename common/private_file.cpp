#include "common/private_file.h"

#include "common/fd_io.h"

#include <boost/filesystem/exception.hpp>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv_utils_common {
namespace {

constexpr mode_t k_private_mode = 0600;

// What an earlier run of this program may have left: a regular file of this user, reachable by
// this one name only. A second link could be another user's name for it (or for a file of
// theirs), so such a file is not this run's to write into.
bool is_own_file(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && status.st_nlink == 1;
}

private_write write_and_close(int fd, std::string_view text) {
  // The mode is set exactly, not left to the umask; on a file appended to, it also takes back
  // what an older run may have let others read.
  bool written = ::fchmod(fd, k_private_mode) == 0 && write_all(fd, text) == 0;
  // Data may reach the disk only at the close, so its result counts too.
  written = ::close(fd) == 0 && written;
  return written ? private_write::written : private_write::not_written;
}

}  // namespace

private_write write_private_file(const std::string& path, std::string_view text, bool append) {
  // A file is written only when this call created it (O_EXCL, which follows no link), or, to
  // append, when it is one of this program's own. Whatever else holds the name is reported and
  // left alone rather than replaced: a name taken by someone else means that someone writes into
  // this folder, which the operator is to see, and nothing of theirs is removed on a guess.
  if (!append) {
    const int fd = create_private_file(path);
    if (fd >= 0) return write_and_close(fd, text);
    return errno == EEXIST ? private_write::name_taken : private_write::not_created;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Non-blocking, so that a FIFO under the name cannot hold the run.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat status {};
      if (::fstat(fd, &status) == 0 && is_own_file(status)) return write_and_close(fd, text);
      ::close(fd);
      return private_write::name_taken;
    }
    if (errno == ELOOP || errno == ENXIO) return private_write::name_taken;
    if (errno != ENOENT) return private_write::not_created;
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, k_private_mode);
    if (fd >= 0) return write_and_close(fd, text);
    if (errno != EEXIST) return private_write::not_created;
    // Made meanwhile: appended to if it is this program's own.
  }
  // Something keeps coming back under the name.
  return private_write::name_taken;
}

int create_private_file(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, k_private_mode);
    if (fd >= 0) {
      if (::fchmod(fd, k_private_mode) == 0) return fd;
      const int error = errno;
      ::close(fd);
      errno = error;
      return -1;
    }
    if (errno != EEXIST) return -1;
    // Removed rather than truncated: whoever still has the old file open never sees the new text.
    if (const int error = free_own_name(path); error != 0) {
      errno = error;
      return -1;
    }
  }
  // Something keeps coming back under the name.
  errno = EEXIST;
  return -1;
}

int free_own_name(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errno;
  if (!is_own_file(status)) return EEXIST;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

void make_private_directory(const std::string& path) {
  int error = ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
  if (error == EEXIST) {
    // Opened, not named, from here on: the name may be changed meanwhile, the folder cannot.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && status.st_uid == ::geteuid())
      error = (status.st_mode & 07777) == 0700 || ::fchmod(fd, 0700) == 0 ? 0 : errno;
    if (fd >= 0) ::close(fd);
  }
  if (error == 0) return;
  const std::string what = error == EEXIST ? path + ": " + std::string(k_name_taken_text) : "mkdir";
  throw boost::filesystem::filesystem_error(what, path,
                                            boost::system::error_code(error, boost::system::generic_category()));
}

}  // namespace kv_utils_common
