// Backup preparation: the VM's disks attached to the module VM and found there as block
// devices, the configurations of the disks and of the VM saved in the operation directory, the
// guest scripts run around it, and the data mover's list written.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"
#include "veil_vm/backup_steps.h"
#include "veil_vm/openstack.h"

#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <exception>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace veil_vm_backup;

namespace {

constexpr const char* k_default_script = "/opt/kelvanor/scripts/veil_vm.sh";
constexpr const char* k_probe_program = "/usr/bin/test";
constexpr const char* k_list_file_suffix = "kvfd.list";
constexpr size_t k_serial_length = 18;

// The disk the VM boots from: the last boot device that is a vdisk; empty when there is none.
std::string boot_disk_id(const domain_conf& domain) {
  std::string id;
  for (const boot_device& device : domain.boot_devices)
    if (device.entity_type == "vdisk") id = device.id;
  return id;
}

// Saves one record as a text archive; false after an Error line naming what the file holds.
template <typename Record>
bool save_record(const std::string& path, const Record& record, const std::string& what) {
  switch (save_text_file(path, kv_veil::to_archive_text(record))) {
    case saved_file::written:
      return true;
    case saved_file::not_created:
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to create " << what << " config file" << std::endl;
      return false;
    case saved_file::not_written:
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to write " << what << " config file: " << path
                                   << std::endl;
      return false;
  }
  return false;
}

// What the walk over the VM's disks works on: the module's lists, which grow as it goes, and
// the entries it collects for the data mover.
struct disk_walk {
  curlAPI& api;
  KvPlatformTasks& tasks;
  const std::string& module_vm_id;
  const std::string& file_prefix;  // operation directory + "/" + archive name
  bool replica;
  std::string boot_id;
  std::set<std::string> on_module_vm;      // disks on the module VM when the walk began
  std::vector<std::string>& attached;      // the module's attached_vdisks
  std::vector<std::string>& config_paths;  // the module's vdisk_config_paths
  std::map<std::string, std::string>& files;
};

// Attaches one disk of type "disk", finds its block device and saves its configuration; false
// after an Error line. The disk is listed as attached once the controller took its request, or
// when the request's outcome is unknown (its reply was lost, or a stop came first) and the module
// VM shows it attached by this run, so that any way out, a stop of the program included, detaches
// it again. A refused request attached nothing, and a disk the module VM had before is never this
// run's to detach.
bool attach_and_save(disk_walk& walk, vdisk& disk) {
  const std::string& id = disk.id;
  const std::string serial = id.substr(0, k_serial_length);
  std::string task_id;
  // No stop point lies between the request and the listing: a stop is carried out after both.
  const KvPlatformTasks::Change change = walk.tasks.attach(walk.api, walk.module_vm_id, id, serial, task_id);
  // A refused request attached nothing. An accepted one made the disk this run's, unless the
  // disk's own record, read just before the request, shows it on the module VM already (the
  // module VM backing itself up keeps its system disk).
  const bool record_on_module_vm = disk.domain.id == walk.module_vm_id;
  if (change == KvPlatformTasks::Change::accepted && !record_on_module_vm) walk.attached.push_back(id);
  // For an outcome that is unknown, only the module VM's disks as they stand once the attach has
  // had time to land tell: the list read before the walk may show another run's attachment that
  // has gone since.
  const KvPlatformTasks::Held held = change == KvPlatformTasks::Change::unknown && !record_on_module_vm
                                         ? walk.tasks.attach_outcome(walk.api, walk.module_vm_id, id)
                                         : KvPlatformTasks::Held::not_attached;
  if (held == KvPlatformTasks::Held::may_land_later) {
    // Not attached now, and nothing to detach; the controller may still carry the attach out.
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": vdisk '" << id << "' may be attached to VM '"
                                 << walk.module_vm_id << "' later: its attach got no reply, and the controller "
                                 << "may still carry it out" << std::endl;
  } else if (held != KvPlatformTasks::Held::not_attached) {
    if (!walk.on_module_vm.contains(id)) {
      walk.attached.push_back(id);
    } else {
      // Another run had it there before; whose attachment it is now cannot be told.
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": vdisk '" << id << "' may be left attached to VM '"
                                   << walk.module_vm_id << "': its attach got no reply, and another run held it "
                                   << "there before, so whose attachment it is cannot be told" << std::endl;
    }
  }
  if (change != KvPlatformTasks::Change::accepted) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to attach the disk '" << id << "("
                                 << disk.verbose_name << ")" << "' to VM '"
                                 << walk.module_vm_id << "'" << std::endl;
    if (record_on_module_vm)
      KvLogStream(KvLogLvl::Info) << "Disk '" << id << "' was attached to VM '" << walk.module_vm_id
                                  << "' before this backup: it stays there" << std::endl;
    return false;
  }
  if (walk.tasks.wait(walk.api, task_id) != 0) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to attach vdisk '" << id << "' to VM '"
                                 << walk.module_vm_id << "'" << std::endl;
    return false;
  }

  disk.target_dev.clear();
  if (openstack::get_attached_block_device_name(serial, walk.module_vm_id, disk.target_dev) != 0) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to get name of " << "block device after the disk '"
                                 << id << "' attachment" << std::endl;
    return false;
  }
  KvLogStream(KvLogLvl::Info) << "Disk '" << id << "' was attached to VM '" << walk.module_vm_id
                              << "' as block device '" << disk.target_dev << "'" << std::endl;

  const std::string path = walk.file_prefix + "_" + disk.target_dev + ".config";
  // Listed before it is written: whatever happens next, the release knows the file.
  walk.config_paths.push_back(path);
  if (!save_record(path, disk, "vdisk")) return false;

  if (walk.replica) {
    KvLogStream(KvLogLvl::Info) << "Do not save vdisk configuration for the replica" << std::endl;
    return true;
  }
  KvLogStream(KvLogLvl::Info) << "Configuration of vdisk '" << id << "' was captured here: " << path << std::endl;
  walk.files.emplace(path, id + ".conf");
  walk.files.emplace("/dev/" + disk.target_dev, disk.target_dev);
  return true;
}

}  // namespace

bool KvModuleVeilVM::prepare_resource_before_backup(const bool& replica) {
  const std::string& resource = options_.resource;
  KvLogStream(KvLogLvl::Info) << "\nGot a task to make " << backup_kind_text(options_.backup_type)
                              << " backup of VM '" << resource << "'" << std::endl;
  KvLogStream(KvLogLvl::Info) << "Copy name: " << options_.archive_name << std::endl;

  if (check_resource(resource) != 0) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to get status of VM" << std::endl;
    return false;
  }
  const bool online = resource_info.status == "ACTIVE" && resource_info.user_power_state == "3";
  const veil_vm_module_conf params = read_backup_parameters();
  if (!online && !params.backup_if_shutdown) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": Can't backup an offline VM: '" << resource << "'" << std::endl;
    return false;
  }

  curlAPI api(conf);
  if (api.login() != 0) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to login to url: " << conf.url << std::endl;
    return false;
  }

  // Every way out from here gives the guest its owed after-script and the module VM back the
  // disks attached so far.
  const auto fail = [&]() {
    if (owed_after_script) {
      const veil_vm_guest_script script = *owed_after_script;
      owed_after_script.reset();
      run_owed_script(api, script, k_prepare_sig);
    }
    (void)detach_each(platform_tasks, api, attached_vdisks, conf.module_vm_id);
    return false;
  };

  try {
    if (api.get_domain_config(resource_info.id, domain_conf) != 0) {
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to get configuration of VM: '" << resource << "'"
                                   << std::endl;
      return fail();
    }

    const std::string& vm_id = resource_info.id;
    unsigned int script_timeout = params.execution_script_timeout;
    std::string after_script;  // run once the configuration is saved
    if (online) {
      after_script = params.script_after_snapshot;
      std::string before_script = params.script_before_snapshot;
      if (before_script.empty()) {
        std::string probe_argument = std::string("-f ") + k_default_script;
        unsigned int probe_timeout = 1;
        if (api.run_script_inside_vm(vm_id, k_probe_program, probe_argument, probe_timeout) == 0) {
          KvLogStream(KvLogLvl::Info) << "Default script exists in VM: " << k_default_script << std::endl;
          before_script = k_default_script;
          if (after_script.empty()) after_script = k_default_script;
        }
      }
      if (!before_script.empty()) {
        // Owed from the moment the before-script starts: one that failed half way may still
        // have frozen part of the guest.
        if (!after_script.empty()) owed_after_script = veil_vm_guest_script{vm_id, after_script, script_timeout};
        std::string argument = "before";
        if (api.run_script_inside_vm(vm_id, before_script, argument, script_timeout) != 0) return fail();
      }
    }

    if (api.get_available_vdisks(domain_conf) != 0) {
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to get vdisks attached to VM: '" << resource << "'"
                                   << std::endl;
      return fail();
    }

    // What the module VM holds before this run attaches anything is not this run's to detach.
    ::domain_conf module_vm;
    module_vm.id = conf.module_vm_id;
    if (!domain_conf.available_vdisks.empty() && api.get_available_vdisks(module_vm) != 0) {
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to get vdisks attached to the module VM: '"
                                   << conf.module_vm_id << "'" << std::endl;
      return fail();
    }

    const std::string file_prefix = options_.tmp_operation_directory + "/" + options_.archive_name;
    std::map<std::string, std::string> files;
    disk_walk walk{api,
                   platform_tasks,
                   conf.module_vm_id,
                   file_prefix,
                   replica,
                   boot_disk_id(domain_conf),
                   {module_vm.available_vdisks.begin(), module_vm.available_vdisks.end()},
                   attached_vdisks,
                   vdisk_config_paths,
                   files};
    // A disk the controller lists twice is attached and saved once: a restore would create it
    // twice otherwise.
    std::set<std::string> seen;
    std::erase_if(domain_conf.available_vdisks, [&](const std::string& id) { return !seen.insert(id).second; });
    const std::vector<std::string> disk_ids = domain_conf.available_vdisks;
    for (const std::string& id : disk_ids) {
      vdisk disk;
      if (api.get_vdisk_info(id, disk) != 0) {
        KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": unable to get info for vdisk '" << id << "'" << std::endl;
        return fail();
      }
      if (disk.device != "disk") {
        KvLogStream(KvLogLvl::Info) << "Disk '" << id << "'" << " is not of type 'disk'" << " - it wont be backed up"
                                    << std::endl;
        // The saved VM configuration names only the disks saved with it.
        std::erase(domain_conf.available_vdisks, id);
        continue;
      }
      disk.is_boot = id == walk.boot_id;
      if (!attach_and_save(walk, disk)) return fail();
    }

    vm_config_path = file_prefix + ".vm.config";
    if (!save_record(vm_config_path, domain_conf, "virtual machine")) return fail();
    if (replica) {
      KvLogStream(KvLogLvl::Info) << "Do not save VM configuration for the replica" << std::endl;
    } else {
      KvLogStream(KvLogLvl::Info) << "VM configuration was captured here: " << vm_config_path << std::endl;
      files.emplace(vm_config_path, "vm.config");
    }

    if (!after_script.empty()) {
      owed_after_script.reset();
      std::string argument = "after";
      if (api.run_script_inside_vm(vm_id, after_script, argument, script_timeout) != 0) return fail();
    }

    std::cout << "File list to backup: " << std::endl;
    for (const auto& [path, stored_name] : files) std::cout << path << " : " << stored_name << std::endl;

    options_.resource_list_file = file_prefix + "." + k_list_file_suffix;
    if (!add_to_kvfd_list_file(options_.resource_list_file, files, false)) return fail();

    domain_verbose_name = domain_conf.verbose_name;
    return true;
  } catch (const boost::filesystem::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": fs:" << error.what() << std::endl;
  } catch (const boost::system::system_error& error) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": boost::json: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": exception:" << error.what() << std::endl;
  }
  try {
    return fail();
  } catch (const std::exception& error) {
    // The controller is out of reach: the disks still listed stay for the release of a stop.
    KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": exception:" << error.what() << std::endl;
  }
  return false;
}
