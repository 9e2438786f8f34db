#include "common/kv_utils_general.h"

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"

#include <boost/algorithm/string/trim_all.hpp>

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace kv_utils_common {

namespace {

constexpr const char* k_size_units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};

// Closes the descriptor on every path out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// Opening must not wait: a FIFO opened for reading would block until some writer comes.
int open_for_size(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

// The bytes an unprivileged user may still write on the file system of `path`.
bool free_space(const std::string& path, uint64_t& bytes) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) {
    std::perror(("Can't call statfs for: " + path).c_str());
    return false;
  }
  bytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_bsize);
  return true;
}

void append_hex(std::string& text, unsigned char byte) {
  static const char k_digits[] = "0123456789abcdef";
  text += k_digits[byte >> 4];
  text += k_digits[byte & 0x0f];
}

}  // namespace

std::string get_loginname() {
  if (const char* name = ::getlogin(); name != nullptr) return name;
  if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_name != nullptr) return user->pw_name;
  return {};
}

std::string get_logfile() { return get_logfile(k_product_config_file); }

std::string get_logfile(const std::string& config_path) {
  std::ifstream config(config_path);
  if (!config.is_open()) {
    std::cerr << "Can't open config file: " << config_path << std::endl;
    std::exit(1);
  }
  static const std::string k_key = "logfile ";
  std::string logfile;
  std::string line;
  while (std::getline(config, line)) {
    std::replace(line.begin(), line.end(), '\t', ' ');
    boost::algorithm::trim_all(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.starts_with(k_key)) logfile = line.substr(k_key.size());
  }
  return logfile.empty() ? k_default_main_log_file : logfile;
}

bool check_free_space(const std::string& path, uint64_t needed) {
  try {
    uint64_t available = 0;
    return free_space(path, available) && available >= needed;
  } catch (const std::exception& e) {
    std::cerr << "kv_utils_common::check_free_space: " << e.what() << std::endl;
    return false;
  }
}

bool check_free_space(const std::string& directory, const std::string& file) {
  try {
    uint64_t available = 0;
    if (!free_space(directory, available)) return false;
    const FileDescriptor fd(open_for_size(file));
    if (fd.get() < 0) {
      std::perror(("Can't open: " + file).c_str());
      return false;
    }
    const off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size < 0) {
      std::perror(("Can't lseek: " + file).c_str());
      return false;
    }
    return available >= static_cast<uint64_t>(size);
  } catch (const std::exception& e) {
    std::cerr << "kv_utils_common::check_free_space: " << e.what() << std::endl;
    return false;
  }
}

bool get_hw_platform(std::string& output) {
  constexpr const char* k_signature = "bool kv_utils_common::get_hw_platform(std::string&)";
  if (execute_command(k_hw_platform_command, output) != 0) {
    KvLogStream(KvLogLvl::Error) << k_signature << ": the following command produced an error: "
                                 << k_hw_platform_command << "\n";
    KvLogStream(KvLogLvl::Error) << "command output: " << output;
    return false;
  }
  return true;
}

uint64_t get_file_size(const std::string& path) {
  const FileDescriptor fd(open_for_size(path));
  if (fd.get() < 0) {
    std::perror(("get_file_size: open input_file: " + path + ": ").c_str());
    return 0;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    std::perror(("get_file_size: stat: " + path).c_str());
    return 0;
  }
  if (S_ISBLK(info.st_mode)) {
    unsigned long sectors = 0;
    if (::ioctl(fd.get(), BLKGETSIZE, &sectors) != 0) {
      std::perror(("get_file_size: BLKGETSIZE: " + path).c_str());
      return 0;
    }
    return static_cast<uint64_t>(sectors) * 512;
  }
  if (S_ISREG(info.st_mode)) return static_cast<uint64_t>(info.st_size);
  std::cerr << "get_file_size: wrong input file type" << path << std::endl;
  return 0;
}

uint64_t get_symlink_size(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) return static_cast<uint64_t>(info.st_size);
  std::cerr << "get_symlink_size: wrong input file type" << path << " is not a link!" << std::endl;
  return 0;
}

std::string size_to_human(float size, unsigned int precision) {
  size_t steps = 0;
  while (size >= 1024.0f) {
    size /= 1024.0f;
    ++steps;
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(static_cast<int>(precision)) << size;
  std::string number = text.str();
  if (precision > 0) {
    const std::string zeros = "." + std::string(precision, '0');
    if (const size_t at = number.find(zeros); at != std::string::npos) number.erase(at, zeros.size());
  }
  constexpr size_t k_units = sizeof(k_size_units) / sizeof(k_size_units[0]);
  return number + " " + (steps < k_units ? k_size_units[steps] : "Unknown");
}

void print_digest(const unsigned char* digest, size_t length_in_bits) {
  std::string text;
  for (size_t i = 0; i < length_in_bits / 8; ++i) {
    append_hex(text, digest[i]);
    text += ' ';
  }
  std::cout << text << std::endl;
}

std::string digest_as_string(const unsigned char* digest, size_t length_in_bytes) {
  std::string text;
  text.reserve(length_in_bytes * 2);
  for (size_t i = 0; i < length_in_bytes; ++i) append_hex(text, digest[i]);
  return text;
}

}  // namespace kv_utils_common
