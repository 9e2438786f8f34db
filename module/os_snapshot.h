#pragma once

// Point-in-time snapshots of host block devices (LVM, dattobd) behind one abstract provider.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Runs a shell command with standard error joined and gives its exit code.
using SnapshotCommandRunner = std::function<int(const std::string& command, std::string& output)>;

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

class SnapshotLVM : public Snapshot {
 public:
  // An empty runner runs the commands with kv_utils_common::execute_command.
  explicit SnapshotLVM(SnapshotCommandRunner runner = {});

  [[nodiscard]] bool check(const std::string& device) override;
  [[nodiscard]] bool create(const std::string& device, const std::string& lsblk_name, const std::string& mount_point,
                            const std::string& name_suffix, uintmax_t size, std::string& snapshot_device) override;
  [[nodiscard]] bool remove(const std::string& device) override;

  std::string path;  // the snapshot volume, empty until created

 private:
  SnapshotCommandRunner m_run;
};

class SnapshotDattobd : public Snapshot {
 public:
  explicit SnapshotDattobd(SnapshotCommandRunner runner = {});

  [[nodiscard]] bool check(const std::string& device) override;
  [[nodiscard]] bool create(const std::string& device, const std::string& lsblk_name, const std::string& mount_point,
                            const std::string& name_suffix, uintmax_t size, std::string& snapshot_device) override;
  [[nodiscard]] bool remove(const std::string& device) override;

  // Queries of the dattobd state table, public for the tests of its reading.
  [[nodiscard]] bool is_ready() const;
  [[nodiscard]] bool snapshot_exists(const std::string& device, bool& exists, std::string& found_minor) const;
  [[nodiscard]] bool free_minor(std::string& found_minor) const;

  std::string minor;  // decimal text; the free minor found by check, used by create

 private:
  SnapshotCommandRunner m_run;
};

class SnapshotFactory {
 public:
  // The provider for a device of lsblk type `block_device_type`; empty when it cannot serve it.
  [[nodiscard]] static std::unique_ptr<Snapshot> createSnapshot(const std::string& block_device_type,
                                                                const std::string& snapshot_type,
                                                                SnapshotCommandRunner runner = {});
};

namespace kelvanor::module {

// The only folder from which snapshot scripts run.
[[nodiscard]] std::string snapshot_scripts_directory();
// Tests point it at their own folder; an empty text restores the fixed one.
void set_snapshot_scripts_directory_for_tests(const std::string& directory);

}  // namespace kelvanor::module
