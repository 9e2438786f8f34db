// LVM snapshots of a logical volume.

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "module/host_block_devices.h"
#include "module/os_snapshot.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

constexpr const char* k_create_signature =
    "virtual bool SnapshotLVM::create(const string&, const string&, const string&, const string&, uintmax_t, "
    "std::string&)";

}  // namespace

SnapshotLVM::SnapshotLVM(SnapshotCommandRunner runner) : m_run(std::move(runner)) {
  if (!m_run) m_run = [](const std::string& command, std::string& output) {
    return kv_utils_common::execute_command(command, output);
  };
}

// Any logical volume can take a snapshot as long as its volume group has room, which only
// lvcreate can tell.
bool SnapshotLVM::check(const std::string&) { return true; }

bool SnapshotLVM::create(const std::string& device, const std::string& lsblk_name, const std::string&,
                         const std::string& name_suffix, uintmax_t size, std::string& snapshot_device) {
  try {
    using kelvanor_common::shell_quote;
    const std::string snapshot_path = "/dev/mapper/" + lsblk_name + "--kv--snap--" + name_suffix;
    const std::string command = "/sbin/lvcreate --size=" + std::to_string(size) + "B --snapshot --name " +
                                kelvanor_common::shell_single_quote(snapshot_path) + " " +
                                shell_quote("/dev/mapper/" + lsblk_name);
    std::string output;
    if (m_run(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << k_create_signature << ": Unable create LVM snapshot for " << device << std::endl;
      KvLogStream(KvLogLvl::Error) << "Command: " << command << std::endl;
      KvLogStream(KvLogLvl::Error) << output << std::endl;
      KvLogStream(KvLogLvl::Warning) << "LVM snapshot wasn't created" << std::endl;
      return false;
    }
    path = snapshot_path;
    KvLogStream(KvLogLvl::Info) << "The snapshot was created: " << path << std::endl;
    snapshot_device = path;
    // A snapshot that overflowed or failed to activate cannot be read; better no snapshot at all.
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
      const int error = errno;
      KvLogStream(KvLogLvl::Error) << k_create_signature << ": Unable to read LVM snapshot: " << path
                                   << ". Error: " << std::strerror(error) << std::endl;
      if (remove(device)) KvLogStream(KvLogLvl::Warning) << "LVM snapshot has been deleted" << std::endl;
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_create_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool SnapshotLVM::remove(const std::string&) {
  try {
    if (path.empty()) {
      KvLogStream(KvLogLvl::Error) << "SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot"
                                   << std::endl;
      return false;
    }
    const std::string command = "/sbin/lvremove -y " + kelvanor_common::shell_quote(path);
    std::string output;
    if (m_run(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << "SnapshotLVM: command: " << command << std::endl;
      KvLogStream(KvLogLvl::Error) << output << std::endl;
      return false;
    }
    KvLogStream(KvLogLvl::Info) << "LVM snapshot was removed: " << path << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << "SnapshotLVM" << ": " << e.what() << std::endl;
    return false;
  }
}
