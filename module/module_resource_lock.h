#pragma once

// Inter-process locks that keep two processes of one module off the same resource.

#include <boost/interprocess/sync/lock_options.hpp>

namespace kelvanor::module {

class resource_file_lock {
 public:
  resource_file_lock() = default;
  resource_file_lock(const resource_file_lock&) = delete;
  resource_file_lock& operator=(const resource_file_lock&) = delete;
  resource_file_lock(resource_file_lock&&) noexcept = default;
  resource_file_lock& operator=(resource_file_lock&&) noexcept = default;
  ~resource_file_lock() = default;

  // One attempt; never waits.
  [[nodiscard]] bool try_lock();
  void unlock();
  void swap(resource_file_lock& other) noexcept;
};

// Keeps a resource_file_lock locked for a scope and unlocks it when the scope ends.
class resource_file_scoped_lock {
 public:
  resource_file_scoped_lock() = default;
  // Takes over a lock the caller already holds, without locking again.
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::accept_ownership_type) noexcept;
  resource_file_scoped_lock(const resource_file_scoped_lock&) = delete;
  resource_file_scoped_lock& operator=(const resource_file_scoped_lock&) = delete;
  resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept;
  resource_file_scoped_lock& operator=(resource_file_scoped_lock&& other) noexcept;
  ~resource_file_scoped_lock();

  [[nodiscard]] bool owns() const noexcept { return m_owns; }
  void swap(resource_file_scoped_lock& other) noexcept;

 private:
  resource_file_lock* m_lock = nullptr;  // the lock guarded, none when default-constructed
  bool m_owns = false;                   // whether this scope unlocks it
};

}  // namespace kelvanor::module
