// The host snapshot service of the framework: a snapshot of the file system that holds a
// resource, operator scripts around it, a read-only mount under the operation directory and the
// removal afterwards. The single variant keeps its provider in one member, the multiple variant
// a list of snapshots.

#include "module/os_snapshot.h"

#include "common/kv_logger.h"
#include "module/host_block_devices.h"
#include "module/kv_modules_common.h"

#include <boost/filesystem/operations.hpp>

#include <cmath>
#include <filesystem>

namespace kelvanor::module {

namespace {

constexpr const char* k_scripts_directory = "/opt/kelvanor/scripts";

std::string& scripts_directory_override() {
  static std::string directory;
  return directory;
}

}  // namespace

std::string snapshot_scripts_directory() {
  const std::string& directory = scripts_directory_override();
  return directory.empty() ? k_scripts_directory : directory;
}

void set_snapshot_scripts_directory_for_tests(const std::string& directory) { scripts_directory_override() = directory; }

}  // namespace kelvanor::module

namespace {

constexpr const char* k_create_signature =
    "bool KvModuleUniversal::create_OS_snapshot(std::string&, bool, std::string&, std::string&)";
constexpr const char* k_create_multiple_signature =
    "bool KvModuleUniversal::create_OS_snapshot_multiple(const string&, std::string&, bool, std::string&, "
    "std::string&)";
constexpr const char* k_mount_signature =
    "bool KvModuleUniversal::mount_OS_snapshot(const string&, std::string&, const string&) const";
constexpr const char* k_mount_multiple_signature =
    "bool KvModuleUniversal::mount_OS_snapshot_multiple(const string&, std::string&, const string&) const";
constexpr const char* k_snapshot_size_signature =
    "uintmax_t KvModuleUniversal::calculate_OS_snapshot_size(uintmax_t) const";
constexpr const char* k_umount_signature = "bool KvModuleUniversal::umount_OS_snapshot() const";
constexpr const char* k_umount_multiple_signature =
    "bool KvModuleUniversal::umount_OS_snapshot_multiple(const string&) const";

}  // namespace

std::unique_ptr<Snapshot> SnapshotFactory::createSnapshot(const std::string& block_device_type,
                                                          const std::string& snapshot_type,
                                                          SnapshotCommandRunner runner) {
  if (snapshot_type == "lvm") {
    if (block_device_type == "lvm") return std::make_unique<SnapshotLVM>(std::move(runner));
    KvLogStream(KvLogLvl::Warning) << "Unable to use LVM snapshot for non-LVM volume: " << block_device_type
                                   << ", skip" << std::endl;
    KvLogStream(KvLogLvl::Warning) << "SnapshotFactory:: it is impossible to determine the snapshot type. "
                                   << "Block device type: " << block_device_type
                                   << ", snapshot type: " << snapshot_type << std::endl;
    return {};
  }
  if (snapshot_type == "dattobd") return std::make_unique<SnapshotDattobd>(std::move(runner));
  KvLogStream(KvLogLvl::Error) << "SnapshotFactory:: wrong value of OS snapshot type: " << snapshot_type << std::endl;
  return {};
}

uintmax_t KvModuleUniversal::calculate_OS_snapshot_size(uintmax_t device_size) const {
  const double share = std::round(snapshot_size * static_cast<double>(device_size) / 100.0);
  const double size = std::round(share / 512.0) * 512;
  // Beyond the 64-bit range (or below zero) the conversion is undefined; no such snapshot can be
  // made anyway, and 0 makes the creation refuse it.
  constexpr double k_beyond_range = 18446744073709551616.0;  // 2^64
  if (!(size >= 0 && size < k_beyond_range)) {
    KvLogStream(KvLogLvl::Error) << k_snapshot_size_signature << ": snapshot size out of range: " << snapshot_size
                                 << "% of " << device_size << " bytes" << std::endl;
    return 0;
  }
  return static_cast<uintmax_t>(size);
}

bool KvModuleUniversal::run_script(const std::string& script, const std::string& argument) {
  try {
    namespace fs = boost::filesystem;
    const std::string directory = kelvanor::module::snapshot_scripts_directory();
    fs::path path(script);
    if (path.parent_path() != fs::path(directory)) {
      KvLogStream(KvLogLvl::Warning) << "Change script path to: " << directory << std::endl;
      path = fs::path(directory) / path.filename();
    }
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
      KvLogStream(KvLogLvl::Error) << "Script doesn't exist: " << path.string() << std::endl;
      return false;
    }
    if (!fs::is_regular_file(status)) {
      KvLogStream(KvLogLvl::Error) << path.string() << " is not a regular file" << std::endl;
      return false;
    }
    KvLogStream(KvLogLvl::Info) << "Run script. Script name: " << path.string() << " " << argument << std::endl;
    std::string output;
    const int code = run_host_command(kelvanor_common::shell_quote(path.string()) + " " + argument, output);
    KvLogStream(KvLogLvl::Info) << output << std::endl;
    KvLogStream(KvLogLvl::Info) << "Script returned code: " << code << std::endl;
    if (code != 0) {
      KvLogStream(KvLogLvl::Warning) << "Script returns code is not NULL" << std::endl;
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << "bool KvModuleUniversal::run_script(const string&, const string&)" << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::create_OS_snapshot(std::string& device, bool mount, std::string& mount_dir,
                                           std::string& mount_point) {
  return create_OS_snapshot_common(k_create_signature, options_.resource, false, device, mount, mount_dir,
                                   mount_point);
}

bool KvModuleUniversal::create_OS_snapshot_multiple(const std::string& path, std::string& device, bool mount,
                                                    std::string& mount_dir, std::string& mount_point) {
  return create_OS_snapshot_common(k_create_multiple_signature, path, true, device, mount, mount_dir, mount_point);
}

bool KvModuleUniversal::create_OS_snapshot_common(const char* signature, const std::string& resource, bool multiple,
                                                  std::string& device, bool mount, std::string& mount_dir,
                                                  std::string& mount_point) {
  if (!use_snapshot) {
    KvLogStream(KvLogLvl::Info) << "Snapshots are not used " << std::endl;
    return false;
  }
  data_incomplete = true;

  std::string resource_mount_point = mount_point;
  if (device.empty()) {
    resource_mount_point = get_mountpoint(resource);
    device = get_block_device(resource_mount_point, true);
  }
  KvLogStream(KvLogLvl::Info) << "Resource mountpoint: " << resource_mount_point << std::endl;
  KvLogStream(KvLogLvl::Info) << "Resource is located at the block device: " << device << std::endl;

  block_device_info info;
  if (!get_block_device_info(device, info)) {
    KvLogStream(KvLogLvl::Error) << "Can't get block device info: " << device << std::endl;
    return false;
  }
  const uintmax_t size = calculate_OS_snapshot_size(info.size);
  KvLogStream(KvLogLvl::Info) << "Block device " << device << ", name: " << info.name << ", size: " << info.size
                              << " bytes" << std::endl;
  KvLogStream(KvLogLvl::Info) << "Expected OS snapshot size: " << size << " bytes" << std::endl;
  KvLogStream(KvLogLvl::Info) << "Try to use snapshot to make a backup: " << snapshot_type << std::endl;
  if (size == 0) {
    KvLogStream(KvLogLvl::Error) << signature << ": unable to create a snapshot with a size of zero" << std::endl;
    return false;
  }

  std::unique_ptr<Snapshot> provider = SnapshotFactory::createSnapshot(
      info.type, snapshot_type,
      [this](const std::string& command, std::string& output) { return run_host_command(command, output); });
  // A provider is kept only for a snapshot it made: a refused check may have found another
  // task's dattobd snapshot of the device, which a later removal must not destroy.
  if (!multiple) os_snapshot.reset();
  if (!provider || !provider->check(device)) return false;

  if (!script_before_snapshot_.empty()) {
    KvLogStream(KvLogLvl::Info) << "Run script '" << script_before_snapshot_ << "' before snapshot creation"
                                << std::endl;
    if (!run_script(script_before_snapshot_, "before")) return false;
  }

  const std::string origin = device;
  if (!provider->create(origin, info.name, resource_mount_point, options_.task_id, size, device)) {
    if (!script_error_snapshot_.empty()) {
      KvLogStream(KvLogLvl::Info) << "Run script '" << script_error_snapshot_ << "' after snapshot creation failed"
                                  << std::endl;
      (void)run_script(script_error_snapshot_, "error");
    }
    return false;
  }
  // From here on the snapshot exists on the host; it is recorded at once so that the removal
  // routines take it away even when a later step fails.
  if (multiple)
    os_snapshots.push_back(OsSnapshot{std::move(provider), {}, origin});
  else
    os_snapshot = std::move(provider);

  if (mount) {
    std::string options = "-o ro,norecovery";
    if (info.fstype == "xfs") options += ",nouuid";
    const bool mounted =
        multiple ? mount_OS_snapshot_multiple(device, mount_dir, options) : mount_OS_snapshot(device, mount_dir, options);
    if (!mounted) return false;
    if (multiple) os_snapshots.back().mount_dir = mount_dir;
  }
  if (!script_after_snapshot_.empty()) {
    KvLogStream(KvLogLvl::Info) << "Run script '" << script_after_snapshot_ << "' after snapshot creation"
                                << std::endl;
    if (!run_script(script_after_snapshot_, "after")) return false;
  }
  mount_point = resource_mount_point;
  data_incomplete = false;
  return true;
}

bool KvModuleUniversal::mount_OS_snapshot(const std::string& device, std::string& mount_dir,
                                          const std::string& options) const {
  try {
    using kelvanor_common::shell_quote;
    mount_dir = options_.tmp_operation_directory + "/" + options_.task_id;
    boost::system::error_code ignored;  // a directory that cannot be made fails the mount below
    boost::filesystem::create_directory(mount_dir, ignored);
    const std::string command = "mount " + options + " " + shell_quote(device) + " " + shell_quote(mount_dir);
    std::string output;
    if (run_host_command(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << k_mount_signature << ": command: " << command << std::endl;
      KvLogStream(KvLogLvl::Error) << output << std::endl;
      return false;
    }
    KvLogStream(KvLogLvl::Info) << "Mount: " << mount_dir << ", block device: " << device << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_mount_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::mount_OS_snapshot_multiple(const std::string& device, std::string& mount_dir,
                                                   const std::string& options) const {
  try {
    using kelvanor_common::shell_quote;
    if (mount_dir.empty()) mount_dir = options_.tmp_operation_directory + "/" + options_.task_id;
    boost::system::error_code error;
    if (!boost::filesystem::create_directories(mount_dir, error)) {
      KvLogStream(KvLogLvl::Error) << k_mount_multiple_signature << ": Create directory failed: " << mount_dir
                                   << std::endl;
      return false;
    }
    const std::string command = "mount " + options + " " + shell_quote(device) + " " + shell_quote(mount_dir);
    std::string output;
    if (run_host_command(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << k_mount_multiple_signature << ": command: " << command << "; result: " << output
                                   << std::endl;
      return false;
    }
    KvLogStream(KvLogLvl::Info) << "Mount: " << mount_dir << ", block device: " << device << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_mount_multiple_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::umount_snapshot_directory(const char* signature, const std::string& mount_dir) const {
  try {
    if (!boost::filesystem::exists(mount_dir)) return true;
    // /proc/mounts names the mount point by its canonical path; a trailing slash or a symbolic
    // link in the operation directory would otherwise hide a snapshot that is still mounted.
    const std::string device = get_block_device(std::filesystem::canonical(mount_dir).string(), true);
    if (device.empty()) return true;
    const std::string command = "umount -lf " + kelvanor_common::shell_quote(device);
    std::string output;
    if (run_host_command(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << signature << ": command: " << command << "; result: " << output << std::endl;
      return false;
    }
    boost::filesystem::remove_all(mount_dir);
    KvLogStream(KvLogLvl::Info) << "Unmount successful: " << mount_dir << ", block device: " << device
                                << "; remove obsoleted: " << mount_dir << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::umount_OS_snapshot() const {
  return umount_snapshot_directory(k_umount_signature, options_.tmp_operation_directory + "/" + options_.task_id);
}

bool KvModuleUniversal::umount_OS_snapshot_multiple(const std::string& mount_dir) const {
  return umount_snapshot_directory(k_umount_multiple_signature, mount_dir);
}

bool KvModuleUniversal::remove_OS_snapshot() {
  if (!use_snapshot) return true;
  // A snapshot still mounted would make the removal fail or leave a stale mount, so a failed
  // unmount is a failure even when the removal itself goes through.
  const bool unmounted = umount_OS_snapshot();
  if (!os_snapshot) return unmounted;
  const std::string origin = get_block_device(get_mountpoint(options_.resource), true);
  const bool removed = os_snapshot->remove(origin);
  return unmounted && removed;
}

bool KvModuleUniversal::remove_all_OS_snapshots() {
  bool result = true;
  if (os_snapshot) result = remove_OS_snapshot();
  if (!use_snapshot) return true;
  for (const auto& snapshot : os_snapshots) {
    if (!umount_OS_snapshot_multiple(snapshot.mount_dir)) result = false;
    if (snapshot.snapshot && !snapshot.snapshot->remove(snapshot.block_device)) result = false;
  }
  return result;
}
