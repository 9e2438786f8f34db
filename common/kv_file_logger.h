#pragma once

// The log-file destination: appends message by message and, once the file has grown beyond a
// class-wide limit, moves it aside under a name carrying the time of rotation, keeping only the
// newest rotated copies. Several processes may share one log file, rotations included.

#include "common/kv_logger.h"

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/filesystem/directory.hpp>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

namespace KvDestination {

constexpr uint64_t operator""_KB(unsigned long long n) { return static_cast<uint64_t>(n) << 10; }
constexpr uint64_t operator""_MB(unsigned long long n) { return operator""_KB(1024 * n); }

class FileLogger : public KvLogger {
 public:
  explicit FileLogger(std::string path) : m_path(std::move(path)) {}

  // n megabytes.
  static void set_max_size(unsigned long n);
  static void set_max_rotate(unsigned long n);

  // Files of `directory` (not recursive, regular files only) whose whole name matches the
  // regular expression `mask`, keyed by last-write time; empty when the directory is missing.
  static std::multimap<std::time_t, boost::filesystem::directory_entry> get_files_by_mask(
      const boost::filesystem::path& directory, const std::string& mask);

  // Shared by every file destination; set once, by the first message of the process.
  static uint64_t max_size_;    // bytes a file may hold before the next message rotates it
  static uint64_t max_rotate_;  // rotated copies kept besides the log file

 protected:
  int write_log_impl(const std::string& text) override;

 private:
  [[nodiscard]] bool is_file_max_size_reached(int log_fd) const;
  // Rotates `file`, the log file itself: where the log's name is a link, the copies are made and
  // pruned beside the file it leads to, and the link stays to lead the next messages to a fresh
  // file. `lock_held`: this run holds the log's lock, so files left by killed rotators are moved too.
  [[nodiscard]] int log_rotate(const std::string& file, bool lock_held);
  // Runs when a message starts a new file; nothing to adjust on this platform.
  [[nodiscard]] int change_file_access_mod();

  const std::string m_path;
};

// The lock file beside the log that runs hold while they write or rotate it: "m.log" has
// "m.log.lock".
std::string lock_file_name(const std::string& log_path);

// The name a log file is moved to when rotated at `when`: "m.log" at 2026-12-05 09:04:07 becomes
// "m.log.2026-12-5H9-4-7".
std::string rotated_file_name(const std::string& log_path, const boost::posix_time::ptime& when);

}  // namespace KvDestination
