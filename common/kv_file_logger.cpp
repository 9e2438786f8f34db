#include "common/kv_file_logger.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace KvDestination {
namespace {

// Rotated copies: the log file's name, then ".year-month-dayHhour-minute-second".
constexpr const char* k_rotated_suffix_mask = "\\.[0-9]+\\-[0-9]+\\-[0-9]+H[0-9]+\\-[0-9]+\\-[0-9]+";

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

// Adds the content of `from` to the end of `to` and removes `from`. 0, or the errno value of the
// step that failed (then `from` is left as it was).
int append_and_remove(const std::string& from, const std::string& to) {
  errno = 0;
  std::ifstream source(from, std::ios::in | std::ios::binary);
  if (!source.is_open()) return errno != 0 ? errno : EIO;
  std::ofstream target(to, std::ios::out | std::ios::app | std::ios::binary);
  if (!target.is_open()) return errno != 0 ? errno : EIO;
  // An empty source would count as a failed insertion.
  if (source.peek() != std::ifstream::traits_type::eof()) target << source.rdbuf();
  target.close();
  if (target.fail()) return errno != 0 ? errno : EIO;
  return ::unlink(from.c_str()) == 0 ? 0 : errno;
}

}  // namespace

uint64_t FileLogger::max_size_ = 1_MB;
uint64_t FileLogger::max_rotate_ = 10;

void FileLogger::set_max_size(unsigned long n) { max_size_ = n * 1_MB; }

void FileLogger::set_max_rotate(unsigned long n) { max_rotate_ = n; }

int FileLogger::write_log_impl(const std::string& text) {
  boost::system::error_code ec;
  bool new_file = !fs::exists(m_path, ec);
  if (!new_file && is_file_max_size_reached()) {
    if (const int rotated = log_rotate(); rotated != 0) return rotated;
    new_file = true;
  }

  std::ofstream file(m_path, std::ios::out | std::ios::app | std::ios::binary);
  if (!file.is_open()) return 1;
  file << text;
  file.close();

  return new_file ? change_file_access_mod() : 0;
}

bool FileLogger::is_file_max_size_reached() const {
  boost::system::error_code ec;
  const auto size = fs::file_size(m_path, ec);
  return !ec && size > max_size_;
}

int FileLogger::log_rotate() {
  const std::string rotated = rotated_file_name(m_path, boost::posix_time::second_clock::local_time());
  // A copy made earlier in the same second has this name too: it is added to, never replaced,
  // so no message is lost however small the limit.
  int error = ::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, rotated.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
  boost::system::error_code ec;
  if (error == EINVAL) {
    // A file system without the no-replace rename.
    if (fs::exists(rotated, ec))
      error = EEXIST;
    else
      error = ::rename(m_path.c_str(), rotated.c_str()) == 0 ? 0 : errno;
  }
  if (error == EEXIST) error = append_and_remove(m_path, rotated);
  if (error != 0) return error;

  // The copy is made; trouble with pruning the old ones must not lose the message, which goes
  // to the fresh log file either way.
  try {
    const fs::path log_path(m_path);
    const auto copies = get_files_by_mask(log_path.parent_path(),
                                          literal_pattern(log_path.filename().string()) + k_rotated_suffix_mask);
    if (copies.size() > max_rotate_) {
      // Newest first; among equal times the one listed later counts as newer.
      auto oldest_to_remove = copies.rbegin();
      std::advance(oldest_to_remove, static_cast<std::ptrdiff_t>(max_rotate_));
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
