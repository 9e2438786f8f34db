#include "common/trusted_open.h"

#include "common/fd_io.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv_utils_common {
namespace {

// Links followed from one name; a chain longer than this is a loop or a trap, not a set-up.
constexpr int k_link_hops = 8;
// Files that appear or turn into links while a name is opened: each try follows such a change
// by another process, so this many are never needed.
constexpr int k_attempts = 100;

// As OpenSSH trusts a path: its owner is the one the program runs as, or root.
bool trusted_owner(uid_t owner) { return owner == ::geteuid() || owner == 0; }

// No one but a trusted user can add, remove or replace a name in the folder. The sticky bit of a
// folder others can write changes nothing: it stops them removing names, not making their own.
bool trusted_folder(const struct stat& folder) {
  return trusted_owner(folder.st_uid) && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Why the file opened is not used; empty when it is.
std::string_view file_refusal(const struct stat& file, bool folder_trusted, bool linked) {
  if (!S_ISREG(file.st_mode)) return "it is not a regular file";
  // Someone else may have made a second name for a file of theirs, or made one in a folder
  // they can write.
  if (!linked && file.st_nlink <= 1) return {};
  if (!folder_trusted) return "it has a second name in a folder others can write";
  if (!trusted_owner(file.st_uid)) return "another user owns it";
  return {};
}

int refused(std::string_view& refusal, std::string_view why) {
  refusal = why;
  errno = EPERM;
  return -1;
}

int read_link(int folder, const std::string& name, std::string& target) {
  target.assign(PATH_MAX, '\0');
  const ssize_t size = ::readlinkat(folder, name.c_str(), target.data(), target.size());
  if (size < 0) return -1;
  if (size == PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  target.resize(static_cast<size_t>(size));
  return 0;
}

// Adds the names of `path` to those still to walk, the first name last.
void push_names(std::vector<std::string>& left, std::string_view path) {
  const size_t before = left.size();
  for (size_t start = 0; start < path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (end > start && path.substr(start, end - start) != ".") left.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  std::reverse(left.begin() + static_cast<std::ptrdiff_t>(before), left.end());
}

// Opens the folder `path` into `folder` one name at a time from "/" (or the working folder), each
// folder checked before a name is looked up in it: whoever can change a folder anywhere on the
// way can put a path of their choosing below it. A link on the way is followed as one under the
// file's name would be, and counts in `links`. `walked` gets a path to the same folder through
// folders only, empty for "/". 0, or -1 as open_trusted.
int open_walked_folder(const std::string& path, int& links, std::string& walked, std::string_view& refusal,
                       unique_fd& folder) {
  const auto start_at = [&](bool absolute) {
    walked = absolute ? "" : ".";
    folder.reset(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  };
  std::vector<std::string> left;
  push_names(left, path);
  start_at(path.starts_with('/'));
  while (folder && !left.empty()) {
    struct stat status {};
    if (::fstat(folder.get(), &status) != 0) return -1;
    if (!trusted_folder(status)) return refused(refusal, "it is a link through a folder others can write");
    const std::string name = std::move(left.back());
    left.pop_back();
    if (const int next = ::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        next >= 0) {
      folder.reset(next);
      walked += "/" + name;
      continue;
    }
    struct stat link {};
    if ((errno != ELOOP && errno != ENOTDIR) || ::fstatat(folder.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0)
      return -1;
    if (!S_ISLNK(link.st_mode)) {
      errno = ENOTDIR;
      return -1;
    }
    if (!trusted_owner(link.st_uid)) return refused(refusal, "it is a link through a link another user owns");
    if (++links > k_link_hops) return refused(refusal, "it leads through too many links");
    std::string target;
    if (read_link(folder.get(), name, target) != 0) return -1;
    if (target.starts_with('/')) start_at(true);
    push_names(left, target);
  }
  return folder ? 0 : -1;
}

}  // namespace

int open_trusted(const std::string& path, int flags, mode_t create_mode, bool& created,
                 std::string_view& refusal, std::string* opened) {
  created = false;
  refusal = {};
  std::string name = path;
  int links = 0;
  for (int attempt = 0; attempt < k_attempts; ++attempt) {
    // The folder is opened first and the name inside it, so the checks of the folder hold for the
    // very folder the name is looked up in.
    const auto slash = name.rfind('/');
    const std::string folder_path = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    // Past a link, the whole way to the file is checked, not just its own folder. The links of
    // the way count once, however often a name is tried.
    unique_fd folder;
    int hops = links;
    std::string walked;
    if (links == 0) folder.reset(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    else if (open_walked_folder(folder_path, hops, walked, refusal, folder) != 0) return -1;
    struct stat folder_status {};
    if (!folder || ::fstat(folder.get(), &folder_status) != 0) return -1;
    const bool folder_trusted = trusted_folder(folder_status);
    // Where a trusted link leads, a name another user can replace is not even opened.
    if (links > 0 && !folder_trusted) return refused(refusal, "it is a link into a folder others can write");

    int fd = ::openat(folder.get(), leaf.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = ::openat(folder.get(), leaf.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    create_mode);
      if (fd < 0 && errno == EEXIST) continue;  // another run made it just now
      created = fd >= 0;
    }
    if (fd < 0 && errno == ELOOP) {
      struct stat link {};
      if (::fstatat(folder.get(), leaf.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) return -1;
      if (!S_ISLNK(link.st_mode)) continue;  // replaced since
      if (!folder_trusted) return refused(refusal, "it is a link in a folder others can write");
      if (!trusted_owner(link.st_uid)) return refused(refusal, "it is a link another user owns");
      if (++hops > k_link_hops) return refused(refusal, "it leads through too many links");
      std::string target;
      if (read_link(folder.get(), leaf, target) != 0) return -1;
      // Past a link the folder was walked, and the next name goes through the folders reached:
      // the links of the way as written are counted already, and would be counted again.
      name = target.starts_with('/') ? target : (links == 0 ? folder_path : walked) + "/" + target;
      links = hops;
      continue;
    }
    if (fd < 0) return -1;

    struct stat status {};
    const std::string_view why =
        ::fstat(fd, &status) != 0 ? "it cannot be examined" : file_refusal(status, folder_trusted, links > 0);
    if (why.empty()) {
      if (opened) *opened = links == 0 ? path : walked + "/" + leaf;
      return fd;
    }
    ::close(fd);
    return refused(refusal, why);
  }
  errno = EAGAIN;
  return -1;
}

}  // namespace kv_utils_common
