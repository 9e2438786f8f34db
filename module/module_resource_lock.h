#pragma once

// Inter-process locks that keep two processes of one module off the same resource. Every pair
// of module name and resource name has one lock file, named after a keyed digest of the pair,
// in one directory; the lock is advisory and taken without waiting.

#include <boost/filesystem/path.hpp>
#include <boost/interprocess/sync/file_lock.hpp>
#include <boost/interprocess/sync/lock_options.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include <cstddef>
#include <string>

namespace kelvanor::module {

// Names the lock file of a pair and makes sure it exists.
class resource_lock_file_handler {
 public:
  static constexpr const char* k_file_name_prefix = "Kelvanor_MOD_mutex_";
  // Hex digits of the digest kept in the file name.
  static constexpr std::size_t hash_substr_length = 8;

  // Names nothing and creates nothing.
  resource_lock_file_handler() = default;
  // Creates the lock file (and its directory) when missing; throws when it cannot.
  resource_lock_file_handler(std::string module_name, std::string resource_name);

  // The module name and the resource name are joined with nothing between them before hashing.
  [[nodiscard]] static std::string make_lock_file_name(const std::string& module_name,
                                                       const std::string& resource_name);
  [[nodiscard]] static boost::filesystem::path make_lock_files_dir_path();
  [[nodiscard]] static boost::filesystem::path make_lock_file_path(const std::string& file_name);

  // Makes sure the lock file exists; throws std::runtime_error when it cannot be made.
  void create() const;
  // Removes the lock file without throwing; true when it is gone (or nothing was named).
  [[nodiscard]] bool remove() const;

  [[nodiscard]] const std::string& module_name() const noexcept { return m_module_name; }
  [[nodiscard]] const std::string& resource_name() const noexcept { return m_resource_name; }
  [[nodiscard]] const boost::filesystem::path& resource_lock_file_path() const noexcept { return m_path; }

 protected:
  void swap(resource_lock_file_handler& other) noexcept;

 private:
  std::string m_module_name;
  std::string m_resource_name;
  boost::filesystem::path m_path;  // empty when no pair is named
};

// The lock of one pair: its file and an advisory lock on the whole file. The last holder
// removes the file when it goes; a process that ends by a signal leaves it for the next one.
class resource_file_lock : public resource_lock_file_handler {
 public:
  resource_file_lock() = default;
  // Creates the file when missing, then opens the lock on it; throws when either fails.
  resource_file_lock(std::string module_name, std::string resource_name);
  resource_file_lock(const resource_file_lock&) = delete;
  resource_file_lock& operator=(const resource_file_lock&) = delete;
  resource_file_lock(resource_file_lock&& other) noexcept;
  resource_file_lock& operator=(resource_file_lock&& other) noexcept;
  ~resource_file_lock();

  // One attempt; never waits. Within one process the lock is always free (it is a lock between
  // processes). A lock taken on a file that the last holder removed meanwhile is not kept: the
  // attempt goes on with the file now at the path.
  [[nodiscard]] bool try_lock();
  void unlock();
  void swap(resource_file_lock& other) noexcept;

 private:
  friend class resource_file_scoped_lock;

  // The last holder removes the file; the destructor's work, which never throws.
  void release() noexcept;
  // Opens the file at the path (created when missing), then the lock, also by the path.
  void open();
  // Whether the file this object locks is still the one at the path (see open).
  [[nodiscard]] bool is_file_at_path() const;

  int m_fd = -1;                               // the lock file, to tell it from a newer one
  boost::interprocess::file_lock m_file_lock;  // holds an open descriptor of the same file
};

// Keeps a resource_file_lock locked for a scope and unlocks it when the scope ends.
class resource_file_scoped_lock {
 public:
  resource_file_scoped_lock() = default;
  // Waits until the lock is taken.
  explicit resource_file_scoped_lock(resource_file_lock& lock);
  // Does not lock.
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::defer_lock_type) noexcept;
  // Takes over a lock the caller already holds, without locking again.
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::accept_ownership_type) noexcept;
  // One attempt; owns() tells whether it succeeded.
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::try_to_lock_type);
  resource_file_scoped_lock(const resource_file_scoped_lock&) = delete;
  resource_file_scoped_lock& operator=(const resource_file_scoped_lock&) = delete;
  resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept;
  resource_file_scoped_lock& operator=(resource_file_scoped_lock&& other) noexcept;
  // Unlocks when it owns the lock; an unlock failure is swallowed.
  ~resource_file_scoped_lock() = default;

  [[nodiscard]] bool owns() const noexcept { return m_lock.owns(); }
  [[nodiscard]] resource_file_lock* guarded() const noexcept { return m_guarded; }
  void swap(resource_file_scoped_lock& other) noexcept;

 private:
  boost::interprocess::scoped_lock<boost::interprocess::file_lock> m_lock;
  resource_file_lock* m_guarded = nullptr;  // none when default-constructed
};

}  // namespace kelvanor::module
