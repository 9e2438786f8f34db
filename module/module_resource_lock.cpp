// Resource locks. Until the lock files are in place no resource can be locked, so a module that
// allows one operation per resource refuses to work (status 2); the others run unlocked.

#include "module/module_resource_lock.h"

#include "common/kv_logger.h"
#include "common/kv_version.h"
#include "module/kv_modules_common.h"

#include <utility>

namespace kelvanor::module {

bool resource_file_lock::try_lock() { return false; }

void resource_file_lock::unlock() {}

void resource_file_lock::swap(resource_file_lock&) noexcept {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::accept_ownership_type) noexcept
    : m_lock(&lock), m_owns(true) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept
    : m_lock(std::exchange(other.m_lock, nullptr)), m_owns(std::exchange(other.m_owns, false)) {}

resource_file_scoped_lock& resource_file_scoped_lock::operator=(resource_file_scoped_lock&& other) noexcept {
  resource_file_scoped_lock(std::move(other)).swap(*this);
  return *this;
}

resource_file_scoped_lock::~resource_file_scoped_lock() {
  if (m_owns && m_lock != nullptr) m_lock->unlock();
}

void resource_file_scoped_lock::swap(resource_file_scoped_lock& other) noexcept {
  std::swap(m_lock, other.m_lock);
  std::swap(m_owns, other.m_owns);
}

}  // namespace kelvanor::module

bool KvModuleUniversal::reassign_resource_locker(const std::string& resource) {
  constexpr const char* k_signature = "bool KvModuleUniversal::reassign_resource_locker(const string&)";
  KvLogStream(KvLogLvl::Error) << k_signature << ": " << kelvanor::as_quoted(resource)
                               << " resource locking failed (resource lock files are not supported yet)!"
                               << std::endl;
  return false;
}
