#include "module/module_resource_lock.h"

#include "common/kv_logger.h"
#include "common/kv_version.h"
#include "module/kv_modules_common.h"
#include "module/resource_hash.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/interprocess/exceptions.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace fs = boost::filesystem;

namespace kelvanor::module {

resource_lock_file_handler::resource_lock_file_handler(std::string module_name, std::string resource_name)
    : m_module_name(std::move(module_name)),
      m_resource_name(std::move(resource_name)),
      m_path(make_lock_file_path(make_lock_file_name(m_module_name, m_resource_name))) {
  create();
}

std::string resource_lock_file_handler::make_lock_file_name(const std::string& module_name,
                                                            const std::string& resource_name) {
  const std::string hash = kelvanor::hash::to_string(kelvanor::hash::sha::make_hash(module_name + resource_name));
  KvLogStream(KvLogLvl::Debug) << "module " << kelvanor::as_quoted(module_name) << " resource "
                               << kelvanor::as_quoted(resource_name) << " hash string is " << hash << "."
                               << " will be truncated to " << hash_substr_length << " characters at begin."
                               << std::endl;
  return k_file_name_prefix + hash.substr(0, hash_substr_length);
}

fs::path resource_lock_file_handler::make_lock_files_dir_path() {
  return fs::path("/opt/kelvanor") / "var" / "kelvanor-modules";
}

fs::path resource_lock_file_handler::make_lock_file_path(const std::string& file_name) {
  return make_lock_files_dir_path() / file_name;
}

void resource_lock_file_handler::create() const {
  boost::system::error_code error;
  if (fs::exists(m_path, error)) return;

  const fs::path parent = m_path.parent_path();
  if (!fs::exists(parent, error)) {
    // Another process may create the directory at the same moment: only a directory that is
    // still missing afterwards is a failure.
    const bool created = fs::create_directories(parent, error);
    if (!created && !fs::is_directory(parent, error)) {
      KvLogStream(KvLogLvl::Error) << "lock file parent directories creation at " << parent.string() << " fails!"
                                   << std::endl;
      throw std::runtime_error("unable to prepare resources lock file parent directories");
    }
  }

  // Appending never truncates a file another process created and locked meanwhile.
  std::ofstream file(m_path.string(), std::ios::out | std::ios::app);
  if (!file.is_open()) {
    KvLogStream(KvLogLvl::Error) << "lock file " << m_path.string() << " for module "
                                 << kelvanor::as_quoted(m_module_name) << " with resource "
                                 << kelvanor::as_quoted(m_resource_name) << " creation fails!" << std::endl;
    throw std::runtime_error("unable to create lock file");
  }
}

bool resource_lock_file_handler::remove() const {
  if (m_path.empty()) return true;
  boost::system::error_code error;
  if (fs::remove(m_path, error) && !error) return true;
  try {
    KvLogStream(KvLogLvl::Error) << "unable to remove lock file " << m_path.string() << " for module "
                                 << kelvanor::as_quoted(m_module_name) << " with resource "
                                 << kelvanor::as_quoted(m_resource_name) << " (" << error.category().name() << ":"
                                 << error.value() << ")!" << std::endl;
  } catch (...) {
  }
  return false;
}

void resource_lock_file_handler::swap(resource_lock_file_handler& other) noexcept {
  m_module_name.swap(other.m_module_name);
  m_resource_name.swap(other.m_resource_name);
  m_path.swap(other.m_path);
}

resource_file_lock::resource_file_lock(std::string module_name, std::string resource_name)
    : resource_lock_file_handler(std::move(module_name), std::move(resource_name)) {
  open();
}

resource_file_lock::resource_file_lock(resource_file_lock&& other) noexcept { swap(other); }

resource_file_lock& resource_file_lock::operator=(resource_file_lock&& other) noexcept {
  swap(other);
  return *this;
}

resource_file_lock::~resource_file_lock() {
  release();
  if (m_fd >= 0) ::close(m_fd);
}

void resource_file_lock::release() noexcept {
  try {
    if (resource_name().empty() || module_name().empty() || resource_lock_file_path().empty()) return;
    // Free for this process means no other process holds it: this is the last holder.
    if (!try_lock()) return;
    KvLogStream(KvLogLvl::Debug) << "resource_file_lock dtor:"
                                 << " module " << kelvanor::as_quoted(module_name()) << ", resource "
                                 << kelvanor::as_quoted(resource_name()) << ", file lock path "
                                 << resource_lock_file_path().string() << " -> try remove..." << std::endl;
    (void)remove();
    unlock();
  } catch (const std::exception& error) {
    try {
      KvLogStream(KvLogLvl::Error) << "file lock releasing fails (" << error.what() << ")!" << std::endl;
    } catch (...) {
    }
  } catch (...) {
  }
}

void resource_file_lock::open() {
  // The descriptor is opened before the lock's own one, and kept. A file, once removed from the
  // path, never comes back to it, and the open descriptor keeps its inode number from being
  // reused. So while the path still names the descriptor's file, the lock's descriptor, opened
  // by the path later, is on that same file: is_file_at_path compares the two by fstat and stat.
  constexpr int k_attempts = 16;
  for (int attempt = 1;; ++attempt) {
    int fd = ::open(resource_lock_file_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("unable to open lock file");
    try {
      boost::interprocess::file_lock opened(resource_lock_file_path().c_str());
      m_file_lock.swap(opened);
      std::swap(m_fd, fd);
      if (fd >= 0) ::close(fd);
      return;
    } catch (const boost::interprocess::interprocess_exception& error) {
      ::close(fd);
      // Removed by its last holder between the two opens: the next attempt creates it again.
      if (error.get_native_error() != ENOENT || attempt == k_attempts) throw;
    }
  }
}

bool resource_file_lock::is_file_at_path() const {
  struct stat held {};
  struct stat at_path {};
  return ::fstat(m_fd, &held) == 0 && ::stat(resource_lock_file_path().c_str(), &at_path) == 0 &&
         held.st_dev == at_path.st_dev && held.st_ino == at_path.st_ino;
}

bool resource_file_lock::try_lock() {
  if (m_fd < 0) return m_file_lock.try_lock();
  // The last holder removes the file once it finds it free. A process that opened the file just
  // before that would lock a file no longer at the path, while the next process creates and
  // locks a new one there: both would go on. So a lock counts only on the file at the path.
  // Every retry follows a removal by another holder, so a few attempts are plenty.
  constexpr int k_attempts = 16;
  for (int attempt = 0; attempt < k_attempts; ++attempt) {
    if (!m_file_lock.try_lock()) return false;
    if (is_file_at_path()) return true;
    m_file_lock.unlock();
    open();
  }
  return false;
}

void resource_file_lock::unlock() { m_file_lock.unlock(); }

void resource_file_lock::swap(resource_file_lock& other) noexcept {
  resource_lock_file_handler::swap(other);
  std::swap(m_fd, other.m_fd);
  m_file_lock.swap(other.m_file_lock);
}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock)
    : m_lock(lock.m_file_lock), m_guarded(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::defer_lock_type) noexcept
    : m_lock(lock.m_file_lock, boost::interprocess::defer_lock), m_guarded(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::accept_ownership_type) noexcept
    : m_lock(lock.m_file_lock, boost::interprocess::accept_ownership), m_guarded(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::try_to_lock_type)
    : m_lock(lock.m_file_lock, boost::interprocess::try_to_lock), m_guarded(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept
    : m_lock(boost::move(other.m_lock)), m_guarded(std::exchange(other.m_guarded, nullptr)) {}

resource_file_scoped_lock& resource_file_scoped_lock::operator=(resource_file_scoped_lock&& other) noexcept {
  resource_file_scoped_lock(std::move(other)).swap(*this);
  return *this;
}

void resource_file_scoped_lock::swap(resource_file_scoped_lock& other) noexcept {
  m_lock.swap(other.m_lock);
  std::swap(m_guarded, other.m_guarded);
}

}  // namespace kelvanor::module

bool KvModuleUniversal::reassign_resource_locker(const std::string& resource) {
  constexpr const char* k_signature = "bool KvModuleUniversal::reassign_resource_locker(const string&)";
  try {
    const std::string module = boost::filesystem::path(options_.program_path).filename().string();
    const std::string& old_module = resource_file_lock.module_name();
    const std::string& old_resource = resource_file_lock.resource_name();
    if (!old_module.empty() && !old_resource.empty() && old_module != module && old_resource != resource) {
      KvLogStream(KvLogLvl::Warning)
          << boost::format("lock resource changes for [ module, resource ] pair { %1%, %2% } -> { %3%, %4% }!") %
                 kelvanor::as_quoted(old_module) % kelvanor::as_quoted(old_resource) % kelvanor::as_quoted(module) %
                 kelvanor::as_quoted(resource)
          << std::endl;
    }
    // Destroying a lock of the same pair would remove the very file the new one has just opened.
    if (old_module == module && old_resource == resource) return true;
    kelvanor::module::resource_file_lock replacement(module, resource);
    // The old lock goes with `replacement` at the end of this scope.
    resource_file_lock.swap(replacement);
    return true;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_signature << ": "
                                 << boost::format("%1% resource locking failed (%2%)!") % kelvanor::as_quoted(resource) %
                                        error.what()
                                 << std::endl;
  }
  return false;
}
