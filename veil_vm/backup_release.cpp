// Backup release: the disks the preparation attached go back to their VM and the run's list and
// configuration files are removed. The framework calls it after the data mover, whatever the
// data mover gave, and the shutdown of a stopped backup calls it at any point of the preparation.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "veil/curl_api.h"
#include "veil_vm/backup_steps.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <exception>
#include <string>
#include <vector>

using namespace veil_vm_backup;

namespace {

void remove_run_file(const std::string& path) {
  boost::system::error_code error;
  if (path.empty() || !boost::filesystem::exists(path, error)) return;
  if (boost::filesystem::remove(path, error) && !error)
    KvLogStream(KvLogLvl::Debug) << "Remove obsolete file: " << path << std::endl;
  else
    KvLogStream(KvLogLvl::Error) << k_release_sig << ": Unable to remove obsolete file: " << path << std::endl;
}

}  // namespace

bool KvModuleVeilVM::release_resource_after_backup() {
  // Nothing to ask of the controller: no request at all, so that a stop stays quick when the
  // controller does not answer. Every task in flight is an attach of a listed disk.
  if (attached_vdisks.empty() && !owed_after_script) return remove_run_files();
  curlAPI api(conf);
  if (clean_up_login(api) != 0) {
    KvLogStream(KvLogLvl::Error) << k_release_sig << ": unable to login to url: " << conf.url << std::endl;
    name_left_vdisks(k_release_sig, attached_vdisks, "attached to VM '" + conf.module_vm_id + "'");
    return false;
  }

  bool detached = false;
  try {
    // Only a preparation cut short by a stop leaves a script owed.
    if (owed_after_script) {
      const veil_vm_guest_script script = *owed_after_script;
      owed_after_script.reset();
      run_owed_script(api, script, k_release_sig);
    }
    detached = detach_each(platform_tasks, api, attached_vdisks, conf.module_vm_id);
  } catch (const boost::filesystem::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << k_release_sig << ": fs:" << error.what() << std::endl;
    return false;
  } catch (const std::exception& error) {
    if (dynamic_cast<const boost::system::system_error*>(&error))
      KvLogStream(KvLogLvl::Error) << k_release_sig << ": boost::json: " << error.what() << std::endl;
    else
      KvLogStream(KvLogLvl::Error) << k_release_sig << ": exception:" << error.what() << std::endl;
    // One more try for the disks still attached; the release fails unless it gives them all back.
    try {
      detached = detach_each(platform_tasks, api, attached_vdisks, conf.module_vm_id);
    } catch (const std::exception& retry_error) {
      KvLogStream(KvLogLvl::Error) << k_release_sig << ": exception:" << retry_error.what() << std::endl;
    }
  }
  if (!detached) return false;
  return remove_run_files();
}

bool KvModuleVeilVM::remove_run_files() {
  remove_run_file(options_.resource_list_file);
  remove_run_file(vm_config_path);
  for (const std::string& path : vdisk_config_paths) remove_run_file(path);

  KvLogStream(KvLogLvl::Info) << "The task to make " << options_.backup_type << " backup of VM '" << options_.resource
                              << "' completed successfully" << std::endl
                              << std::endl;
  return true;
}
