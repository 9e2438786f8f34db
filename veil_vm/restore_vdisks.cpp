// The new disks of a restore: each saved disk is created anew, attached to the module VM, filled
// from its restored image with dd and detached again.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "common/shell_quote.h"
#include "veil/curl_api.h"
#include "veil_vm/openstack.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cctype>
#include <exception>
#include <string>
#include <string_view>

namespace fs = boost::filesystem;

namespace {

constexpr std::string_view k_restore_vdisks_sig =
    "int KvModuleVeilVM::restore_vdisks(const domain_conf&, curlAPI*, std::vector<std::__cxx11::basic_string<char> "
    ">&, std::string&)";

constexpr int k_failed = 7;
constexpr int k_device_not_found = 6;
constexpr size_t k_serial_length = 18;

// Lets the shutdown of the program see the disks of a restore_vdisks under way, and forgets them
// when it returns, whichever way.
class RestoringVdisks {
 public:
  explicit RestoringVdisks(std::vector<std::string>& vdisks) : m_vdisks(vdisks) { m_vdisks.clear(); }
  RestoringVdisks(const RestoringVdisks&) = delete;
  RestoringVdisks& operator=(const RestoringVdisks&) = delete;
  ~RestoringVdisks() { m_vdisks.clear(); }

 private:
  std::vector<std::string>& m_vdisks;
};

// A saved disk configuration that is missing or does not load: the disk cannot be restored.
void log_unusable_disk_config(const std::string& saved_id) {
  KvLogStream(KvLogLvl::Error) << k_restore_vdisks_sig << ": unable to get vdisk info from '" << saved_id
                               << ".conf' file" << std::endl;
}

}  // namespace

bool KvModuleVeilVM::is_plain_device_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  });
}

std::string KvModuleVeilVM::copy_image_command(const std::string& image_path, const std::string& device,
                                               uint32_t block_size_mb) {
  using kelvanor_common::shell_quote;
  // conv=fsync: the disk is detached right after dd ends, so nothing may still sit in the
  // page cache then.
  return "/bin/dd if=" + shell_quote(image_path) + " of=" + shell_quote("/dev/" + device) +
         " bs=" + std::to_string(block_size_mb) + "M conv=fsync";
}

int KvModuleVeilVM::check_saved_vdisks(const ::domain_conf& domain) {
  // Every disk's saved configuration is loaded once before the restore creates anything, so that
  // an unusable one stops it before the disks listed before it are made and filled. Reported as
  // the creation of the disks reports it.
  for (const std::string& vdisk_id : domain.available_vdisks) {
    vdisk disk;
    if (fill_vdisk_config(vdisk_id, disk) != 0) {
      log_unusable_disk_config(vdisk_id);
      return k_failed;
    }
  }
  return 0;
}

int KvModuleVeilVM::restore_vdisks(const ::domain_conf& domain, curlAPI* api, std::vector<std::string>& created,
                                   std::string& boot_id) {
  const std::string_view sig = k_restore_vdisks_sig;
  if (api == nullptr) {
    KvLogStream(KvLogLvl::Error) << sig << ": curlAPI object is empty" << std::endl;
    return k_failed;
  }
  const std::string& module_vm_id = conf.module_vm_id;
  const RestoringVdisks restoring(m_restoring_vdisks);
  // Every disk created so far, the failing one included, is detached and removed, whatever the
  // failure. The disks stay known to the shutdown meanwhile: a stop during the clean-up still
  // removes them.
  const auto clean_up = [&](int result) {
    try {
      remove_restored_vdisks(*api, created);
    } catch (const std::exception& error) {
      KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
    }
    return result;
  };

  try {
    for (const std::string& saved_id : domain.available_vdisks) {
      vdisk disk;
      if (fill_vdisk_config(saved_id, disk) != 0) {
        log_unusable_disk_config(saved_id);
        return clean_up(k_failed);
      }
      if (!is_plain_device_name(disk.target_dev)) {
        KvLogStream(KvLogLvl::Error) << sig << ": the saved block device name '"
                                     << disk.target_dev << "' of the disk '" << saved_id
                                     << "' is not a device name" << std::endl;
        return clean_up(k_failed);
      }
      const std::string image_path = options_.tmp_operation_directory + "/" + disk.target_dev;
      if (!fs::exists(image_path)) {
        KvLogStream(KvLogLvl::Error) << sig << ": restored device '" << image_path << "' doesn't exist" << std::endl;
        return clean_up(k_failed);
      }

      KvLogStream(KvLogLvl::Info) << "Creating a copy of disk '" << saved_id << "' ..." << std::endl;
      std::string task_id;
      std::string new_id;
      const int creation = platform_tasks.create(*api, disk, task_id, new_id);
      // Kept before the wait, so that a disk whose creation task fails is removed too, and so is
      // one whose creation reply was lost.
      if (!new_id.empty()) {
        created.push_back(new_id);
        m_restoring_vdisks.push_back(new_id);
      }
      if (creation != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to create a disk to restore original one: '" << saved_id
                                     << "'" << std::endl;
        return clean_up(k_failed);
      }
      if (platform_tasks.wait(*api, task_id) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to create a disk to restore original one: '" << saved_id
                                     << "'" << std::endl;
        return clean_up(k_failed);
      }
      KvLogStream(KvLogLvl::Info) << "The following disk was created: '" << disk.id << "'" << std::endl;
      if (disk.is_boot) boot_id = disk.id;

      const std::string serial = disk.id.substr(0, k_serial_length);
      task_id.clear();
      // A new disk stays on the created list whatever becomes of its attach: the clean-up
      // detaches it if need be and removes it.
      if (platform_tasks.attach(*api, module_vm_id, disk.id, serial, task_id) != KvPlatformTasks::Change::accepted) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to attach the disk '" << disk.id << "("
                                     << disk.verbose_name << ")" << "' to VM '"
                                     << module_vm_id << "'" << std::endl;
        return clean_up(k_failed);
      }
      if (platform_tasks.wait(*api, task_id) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to attach vdisk '" << disk.id << "' to VM '" << module_vm_id
                                     << "'" << std::endl;
        return clean_up(k_failed);
      }

      disk.target_dev.clear();
      if (openstack::get_attached_block_device_name(serial, module_vm_id, disk.target_dev) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to get name of block device after the disk '" << disk.id
                                     << "'attachment" << std::endl;
        return clean_up(k_device_not_found);
      }
      KvLogStream(KvLogLvl::Info) << "Disk '" << disk.id << "' was attached to VM '" << module_vm_id
                                  << "' as block device '" << disk.target_dev << "'" << std::endl;

      std::string output;
      const int code =
          kv_utils_common::execute_command(copy_image_command(image_path, disk.target_dev, dd_block_size), output);
      if (code != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to copy archive to block device: " << code << std::endl;
        return clean_up(k_failed);
      }
    }

    bool detached = true;
    for (const std::string& id : created) detached = platform_tasks.detach(*api, module_vm_id, id) && detached;
    if (!detached) return clean_up(k_failed);
    KvLogStream(KvLogLvl::Info) << "The following vdisks are now available after the restore:" << std::endl;
    for (const std::string& id : created) KvLogStream(KvLogLvl::Info) << "vdisk ID: " << id << std::endl;
    return 0;
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": fs:" << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
  }
  return clean_up(k_failed);
}

void KvModuleVeilVM::remove_restored_vdisks(curlAPI& api, const std::vector<std::string>& vdisks) {
  // All detached first, each in turn whatever became of the one before, as the controller keeps
  // an attached disk; only a disk seen detached is removed.
  std::vector<std::string> detached;
  std::vector<std::string> left;
  for (const std::string& id : vdisks)
    (platform_tasks.detach(api, conf.module_vm_id, id) ? detached : left).push_back(id);
  for (const std::string& id : detached)
    if (!platform_tasks.remove(api, id)) left.push_back(id);
  name_left_vdisks(k_restore_vdisks_sig, left, "on the platform");
}
