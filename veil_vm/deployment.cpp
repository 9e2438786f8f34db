// Deployment, the last step of a restore: the saved disks are recreated and filled, and a new VM
// is built on them from the saved configuration.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "veil/curl_api.h"

#include <boost/filesystem/exception.hpp>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view k_deployment_sig = "virtual bool KvModuleVeilVM::deployment(const bool&)";
constexpr std::string_view k_deploy_vm_sig = "static int KvModuleVeilVM::deploy_vm(const string&, curlAPI*, domain_conf&)";

constexpr const char* k_dd_block_size = "dd_block_size";
constexpr uint32_t k_default_dd_block_size = 5;
constexpr uint32_t k_max_dd_block_size = 100;
constexpr int k_failed = 7;

bool has_cdrom(const ::domain_conf& domain) {
  return std::any_of(domain.boot_devices.begin(), domain.boot_devices.end(),
                     [](const boot_device& device) { return device.entity_type == "cdrom"; });
}

}  // namespace

void KvModuleVeilVM::read_dd_block_size() {
  std::string text;
  if (!find_special_param(k_dd_block_size, text)) return;
  // As atoi reads it, without its undefined overflow: a negative number wraps to a large one,
  // which the range check refuses.
  const uint32_t value = static_cast<uint32_t>(std::strtoll(text.c_str(), nullptr, 10));
  if (value != 0 && value <= k_max_dd_block_size) {
    dd_block_size = value;
    return;
  }
  KvLogStream(KvLogLvl::Warning) << k_deployment_sig << ": Invalid " << k_dd_block_size << " value: " << value
                                 << ", using default " << k_dd_block_size << " value:" << k_default_dd_block_size
                                 << std::endl;
  dd_block_size = k_default_dd_block_size;
}

bool KvModuleVeilVM::deployment(const bool&) {
  const std::string_view sig = k_deployment_sig;
  try {
    read_dd_block_size();
    // The saved configuration is read and checked before anything is asked of the controller.
    ::domain_conf domain;
    if (fill_domain_config(domain) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to get domain info" << " from vm.config file" << std::endl;
      return false;
    }
    if (check_saved_vdisks(domain) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": failed to restore vdisks" << std::endl;
      return false;
    }
    if (check_resource("") != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to get status of VM" << std::endl;
      return false;
    }
    curlAPI api(conf);
    if (api.login() != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to login to url: " << conf.url << std::endl;
      return false;
    }

    std::vector<std::string> created;
    std::string boot_id;
    if (restore_vdisks(domain, &api, created, boot_id) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": failed to restore vdisks" << std::endl;
      return false;
    }
    // The boot disk goes in with the VM's creation; the others are attached afterwards.
    if (!boot_id.empty()) {
      const auto boot = std::find(created.begin(), created.end(), boot_id);
      if (boot != created.end()) created.erase(boot);
    }
    if (deploy_vm(boot_id, &api, domain) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": failed to deploy VM: " << domain.verbose_name << std::endl;
      return false;
    }

    for (const std::string& vdisk_id : created) {
      std::string task_id;
      if (api.operate_with_disk(domain.id, vdisk_id, "attach", task_id, "") != 0 ||
          api.wait_for_task_completion(task_id) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to attach vdisk '" << vdisk_id << "' to domain '"
                                     << domain.verbose_name << "'" << std::endl;
        return false;
      }
      KvLogStream(KvLogLvl::Info) << "Disk '" << vdisk_id << "' was attached to VM '" << domain.id << "'"
                                  << std::endl;
    }

    if (has_cdrom(domain)) {
      KvLogStream(KvLogLvl::Info) << sig << ": creating a cdrom for domain'" << domain.verbose_name << "' ..."
                                  << std::endl;
      std::string cdrom_id;
      std::string task_id;
      if (api.create_cdrom(domain.id, cdrom_id, task_id) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to create cdrom for domain '"
                                     << domain.verbose_name << "'" << std::endl;
        return false;
      }
      if (api.wait_for_task_completion(task_id) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to create cdrom for domain'"
                                     << domain.verbose_name << "'" << std::endl;
        return false;
      }
      KvLogStream(KvLogLvl::Info) << "Cdrom '" << cdrom_id << "' was created for VM '" << domain.id << "'"
                                  << std::endl;
    }
    return true;
  } catch (const boost::filesystem::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": fs:" << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
  }
  return false;
}

int KvModuleVeilVM::deploy_vm(const std::string& boot_id, curlAPI* api, ::domain_conf& domain) {
  const std::string_view sig = k_deploy_vm_sig;
  if (api == nullptr) {
    KvLogStream(KvLogLvl::Error) << sig << ": curlAPI object is empty" << std::endl;
    return k_failed;
  }
  if (api->get_free_instance_name("domain", domain.verbose_name) != 0) return k_failed;

  vdisk boot_disk;
  if (!boot_id.empty() && api->get_vdisk_info(boot_id, boot_disk) != 0) {
    KvLogStream(KvLogLvl::Error) << sig << ": unable to get info for vdisk '" << boot_id << "'" << std::endl;
    return k_failed;
  }
  std::string task_id;
  if (api->create_domain(boot_disk, domain, task_id) != 0 || api->wait_for_task_completion(task_id) != 0) {
    KvLogStream(KvLogLvl::Error) << sig << ": unable to create domain '" << domain.verbose_name << "'"
                                 << std::endl;
    return k_failed;
  }
  KvLogStream(KvLogLvl::Info) << "Domain '" << domain.verbose_name << "' was created successfully,"
                              << " domain ID: '" << domain.id << "'" << std::endl;
  return 0;
}
