#include "common/kv_file_logger.h"

#include "common/fd_io.h"
#include "common/trusted_open.h"

#include <boost/date_time/c_local_time_adjustor.hpp>
#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

// Runs of the program for different operations write the same log at the same time, and any of
// them may rotate it. Three rules keep every message in exactly one file:
//  1. A run writes to or rotates the log only while it holds the log's lock: an flock on a lock
//     file beside the log that only the log's owner can open (mode 0600). Not on the log
//     itself, which others may read: whoever can open a file can hold its lock, and a reader
//     holding it would make every run wait and stop the rotation.
//  2. A rotator first takes the log under a name of its own, then moves that file into the
//     rotated copy: renamed into place when there is none, else added to its end and removed.
//     Where locks do not work (or a run gave up waiting for a stopped one), the rename still
//     lets only one rotator take each log, and what it moves no longer depends on the log's
//     path, where other runs already write a fresh file.
//  3. A rotator holds the lock from before it takes the log until the file is moved, so a file
//     under a rotator's name that a run finds while it holds the lock was left by a rotator
//     that was killed; the rotation moves it into a copy. (Killed while adding it to a copy,
//     the rotator leaves the part it had added there twice: doubled, but nothing lost.)

namespace KvDestination {
namespace {

// Rotated copies: the log file's name, then ".year-month-dayHhour-minute-second".
constexpr const char* k_rotated_suffix_mask = "\\.[0-9]+\\-[0-9]+\\-[0-9]+H[0-9]+\\-[0-9]+\\-[0-9]+";
// A log taken by a rotator: the log file's name, then ".rotating.pid.attempt". Not a copy's name,
// so the pruning never counts or removes one.
constexpr const char* k_taken_suffix = ".rotating.";
constexpr const char* k_taken_suffix_mask = "\\.rotating\\.[0-9]+\\.[0-9]+";
// The log's lock file: the log file's name, then ".lock"; neither a copy's name nor a taken one.
constexpr const char* k_lock_suffix = ".lock";

// Every retry follows a rotation by another run, so this many are never needed.
constexpr int k_attempts = 1000;

using kv_utils_common::unique_fd;

// The log file's own name as a regular expression that matches exactly that name.
std::string literal_pattern(const std::string& text) {
  static const std::string k_special = ".[]{}()\\*+?|^$";
  std::string pattern;
  for (const char c : text) {
    if (k_special.find(c) != std::string::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// How long a run waits for another run's lock before it goes on without it. A run holds the
// lock for one message or one rotation, so only a run that is stopped (SIGSTOP) or hung while it
// holds it makes anyone wait this long; once that has happened, this run waits no more, or every
// message of it, its stop included, would wait again.
constexpr std::chrono::milliseconds k_lock_wait{5000};
constexpr std::chrono::milliseconds k_lock_retry{10};
std::atomic<bool> g_lock_given_up{false};

enum class lock_state {
  held,         // this run alone writes and rotates
  unsupported,  // no lock to be had (a file system without locks, no lock file): rule 2 still holds
  busy,         // another run held it past the wait: the message is written, nothing rotated
};

std::atomic<bool> g_log_refusal_told{false};
std::atomic<bool> g_lock_refusal_told{false};

// A refused log or lock file is told once per run, and straight to standard error: the log is
// this logger's own destination, and a warning per message would bury the program's output.
void tell_refusal(std::atomic<bool>& told, const std::string& what, std::string_view refusal) {
  if (!refusal.empty() && !told.exchange(true)) std::cerr << "Warning: " << what << ": " << refusal << std::endl;
}

// The lock file, followed or used under a second name only where no one else could have made
// that (kv_utils_common::open_trusted), nor waiting for a FIFO's writer. One of another user
// could be held by them: it is not used.
int open_lock_file(const std::string& path) {
  bool created = false;
  std::string_view refusal;
  int fd = kv_utils_common::open_trusted(path, O_RDONLY, 0600, created, refusal);
  struct stat status {};
  if (fd >= 0 && (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid())) {
    ::close(fd);
    fd = -1;
    refusal = "another user owns it";
  }
  tell_refusal(g_lock_refusal_told, "the lock file " + path + " is not used", refusal);
  return fd;
}

// Takes the log's lock into `lock_fd`, closed (and so unlocked) with it.
lock_state lock(const std::string& log_path, unique_fd& lock_fd) {
  lock_fd.reset(open_lock_file(lock_file_name(log_path)));
  if (!lock_fd) return lock_state::unsupported;
  const auto deadline = std::chrono::steady_clock::now() + k_lock_wait;
  for (;;) {
    if (::flock(lock_fd.get(), LOCK_EX | LOCK_NB) == 0) return lock_state::held;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return lock_state::unsupported;
    if (g_lock_given_up || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(k_lock_retry);
  }
  g_lock_given_up = true;
  return lock_state::busy;
}

int rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // A file system without the no-replace rename.
  boost::system::error_code ec;
  if (fs::exists(to, ec)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int append_file(const std::string& from, int to) {
  const unique_fd source(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source) return errno;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(source.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? errno : 0;
    const std::string_view piece(buffer, static_cast<size_t>(got));
    if (const int error = kv_utils_common::write_all(to, piece); error != 0) return error;
  }
}

// Moves the file `own`, which no other run writes to, into the rotated copy `copy`. 0, or the
// errno value of the step that failed; then `own` is left as it was and the copy too.
int move_into_copy(const std::string& own, const std::string& copy) {
  int error = 0;
  // A copy that vanishes between the two steps (pruned by a run without locks) is made anew.
  for (int attempt = 0; attempt < 3; ++attempt) {
    error = rename_no_replace(own, copy);
    if (error != EEXIST) return error;
    // A copy made earlier in the same second: added to, never replaced.
    const unique_fd target(::open(copy.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!target) {
      error = errno;
      if (error == ENOENT) continue;
      return error;
    }
    struct stat before {};
    if (::fstat(target.get(), &before) != 0) return errno;
    error = append_file(own, target.get());
    if (error == 0 && ::unlink(own.c_str()) != 0) error = errno;
    // Whole or not at all: `own` stays and is moved again later.
    if (error != 0) (void)::ftruncate(target.get(), before.st_size);
    return error;
  }
  return error;
}

boost::posix_time::ptime local_time(std::time_t when) {
  return boost::date_time::c_local_adjustor<boost::posix_time::ptime>::utc_to_local(
      boost::posix_time::from_time_t(when));
}

// Files under a rotator's name, found while holding the lock: their rotators are gone (rule 3).
// Each goes into the copy its rotator would have made, named after the last write to it.
// Errors leave them for the next rotation.
void move_abandoned(const std::string& log_path) {
  const fs::path log(log_path);
  const auto taken =
      FileLogger::get_files_by_mask(log.parent_path(), literal_pattern(log.filename().string()) + k_taken_suffix_mask);
  for (const auto& [written, entry] : taken)
    (void)move_into_copy(entry.path().string(), rotated_file_name(log_path, local_time(written)));
}

}  // namespace

uint64_t FileLogger::max_size_ = 1_MB;
uint64_t FileLogger::max_rotate_ = 10;

void FileLogger::set_max_size(unsigned long n) { max_size_ = n * 1_MB; }

void FileLogger::set_max_rotate(unsigned long n) { max_rotate_ = n; }

int FileLogger::write_log_impl(const std::string& text) {
  unique_fd lock_fd;
  const lock_state locked = lock(m_path, lock_fd);
  bool new_file = false;
  bool rotated = false;
  int rotate_error = 0;
  for (int attempt = 0; attempt < k_attempts; ++attempt) {
    // Through a link or under a second name only where no one else could have made that, and
    // not waiting for a FIFO's reader.
    bool created = false;
    std::string_view refusal;
    std::string file;  // where the log's links led
    unique_fd log(kv_utils_common::open_trusted(m_path, O_WRONLY | O_APPEND, 0666, created, refusal, &file));
    if (!log) {
      tell_refusal(g_log_refusal_told, "the log file " + m_path + " is not written", refusal);
      return 1;
    }
    new_file = new_file || created;
    struct stat status {};
    if (::fstat(log.get(), &status) != 0) return 1;
    if (status.st_nlink == 0) continue;  // moved into a copy since it was opened
    // One rotation per message: the message then goes to whatever log is current. A log held
    // past the wait by another run is not rotated now: it grows a little beyond the limit. A
    // rotation that fails leaves the log in place, and the message still goes into it.
    if (!rotated && locked != lock_state::busy && is_file_max_size_reached(log.get())) {
      log.reset();
      rotate_error = log_rotate(file, locked == lock_state::held);
      rotated = new_file = true;
      continue;
    }
    if (kv_utils_common::write_all(log.get(), text) != 0) return 1;
    log.reset();
    if (rotate_error != 0) return rotate_error;
    return new_file ? change_file_access_mod() : 0;
  }
  return 1;
}

bool FileLogger::is_file_max_size_reached(int log_fd) const {
  struct stat status {};
  return ::fstat(log_fd, &status) == 0 && static_cast<uint64_t>(status.st_size) > max_size_;
}

int FileLogger::log_rotate(const std::string& file, bool lock_held) {
  const std::string rotated = rotated_file_name(file, boost::posix_time::second_clock::local_time());
  static std::atomic<unsigned> attempts{0};
  std::string own;
  int error = EEXIST;
  // A name left by a killed process with the same pid is not replaced.
  for (int attempt = 0; attempt < k_attempts && error == EEXIST; ++attempt) {
    own = file + k_taken_suffix + std::to_string(::getpid()) + "." + std::to_string(attempts++);
    error = rename_no_replace(file, own);
  }
  // Gone only where locks do not work: another run took it first.
  if (error == ENOENT) return 0;
  if (error != 0) return error;
  error = move_into_copy(own, rotated);
  if (error != 0) {
    // The log goes back, unless a fresh one is there already; then a later rotation moves it.
    (void)rename_no_replace(own, file);
    return error;
  }

  // The copy is made; trouble with the clean-up must not lose the message, which goes to the
  // fresh log file either way.
  try {
    // Without the lock a file under a rotator's name may be another run's at work.
    if (lock_held) move_abandoned(file);
    const fs::path log_path(file);
    const auto copies = get_files_by_mask(log_path.parent_path(),
                                          literal_pattern(log_path.filename().string()) + k_rotated_suffix_mask);
    if (copies.size() > max_rotate_) {
      // Newest first; among equal times the one listed later counts as newer.
      auto oldest_to_remove = copies.rbegin();
      std::advance(oldest_to_remove, static_cast<std::ptrdiff_t>(max_rotate_));
      boost::system::error_code ec;
      for (auto it = oldest_to_remove; it != copies.rend(); ++it) fs::remove(it->second.path(), ec);
    }
  } catch (const std::exception&) {
  }
  return 0;
}

int FileLogger::change_file_access_mod() { return 0; }

std::multimap<std::time_t, fs::directory_entry> FileLogger::get_files_by_mask(const fs::path& directory,
                                                                               const std::string& mask) {
  std::multimap<std::time_t, fs::directory_entry> files;
  boost::system::error_code ec;
  if (!fs::is_directory(directory, ec)) return files;

  const boost::regex pattern(mask);
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    boost::system::error_code entry_ec;
    if (!fs::is_regular_file(it->status(entry_ec))) continue;
    if (!boost::regex_match(it->path().filename().string(), pattern)) continue;
    const std::time_t written = fs::last_write_time(it->path(), entry_ec);
    if (entry_ec) continue;
    files.emplace(written, *it);
  }
  return files;
}

std::string lock_file_name(const std::string& log_path) { return log_path + k_lock_suffix; }

std::string rotated_file_name(const std::string& log_path, const boost::posix_time::ptime& when) {
  const auto date = when.date();
  const auto time = when.time_of_day();
  return log_path + "." + std::to_string(static_cast<int>(date.year())) + "-" +
         std::to_string(static_cast<int>(date.month().as_number())) + "-" + std::to_string(date.day().as_number()) +
         "H" + std::to_string(time.hours()) + "-" + std::to_string(time.minutes()) + "-" +
         std::to_string(time.seconds());
}

std::unique_ptr<KvLogger> File(const std::string& path) { return std::make_unique<FileLogger>(path); }

}  // namespace KvDestination
