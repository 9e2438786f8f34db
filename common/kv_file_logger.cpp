#include "common/kv_file_logger.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>

#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = boost::filesystem;

namespace KvDestination {
namespace {

// Rotated copies: the log file's name, then ".year-month-dayHhour-minute-second".
constexpr const char* k_rotated_suffix_mask = "\\.[0-9]+\\-[0-9]+\\-[0-9]+H[0-9]+\\-[0-9]+\\-[0-9]+";

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
  boost::system::error_code ec;
  fs::rename(m_path, rotated, ec);
  if (ec) return ec.value();

  // The copy is made; trouble with pruning the old ones must not lose the message, which goes
  // to the fresh log file either way.
  try {
    const fs::path log_path(m_path);
    const auto copies = get_files_by_mask(log_path.parent_path(), log_path.filename().string() + k_rotated_suffix_mask);
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
