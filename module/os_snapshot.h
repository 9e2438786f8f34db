#pragma once

// Point-in-time snapshots of host block devices (LVM, dattobd) behind one abstract provider.

#include <cstdint>
#include <memory>
#include <string>

class Snapshot {
 public:
  Snapshot() = default;
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  [[nodiscard]] virtual bool check(const std::string& device) = 0;
  [[nodiscard]] virtual bool create(const std::string& device, const std::string& lsblk_name,
                                    const std::string& mount_point, const std::string& name_suffix,
                                    uintmax_t size, std::string& snapshot_device) = 0;
  [[nodiscard]] virtual bool remove(const std::string& device) = 0;
  virtual ~Snapshot() = default;
};

// One snapshot of the "multiple" variant.
struct OsSnapshot {
  std::unique_ptr<Snapshot> snapshot;  // the provider that made it and removes it
  std::string mount_dir;               // where it is mounted, empty when not mounted
  std::string block_device;            // the origin device
};
