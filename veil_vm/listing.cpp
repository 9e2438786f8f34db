// Listing and resource checks: the backup client's questions about the platform, answered
// without changing anything on it.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "common/kv_version.h"
#include "common/log_text.h"
#include "veil/curl_api.h"
#include "veil/reply_ids.h"

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view k_check_resource_sig = "int KvModuleVeilVM::check_resource(const string&)";
constexpr std::string_view k_list_sig = "int KvModuleVeilVM::list_all_resources(bool)";
constexpr std::string_view k_exists_sig = "virtual bool KvModuleVeilVM::resource_exists()";

constexpr const char* k_header_line = "ID|Name|Status|Power State";

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

}  // namespace

int KvModuleVeilVM::check_resource(const std::string& name) {
  curlAPI api(conf);
  if (api.login() != 0) {
    KvLogStream(KvLogLvl::Error) << k_check_resource_sig << ": unable login to url: " << conf.url << std::endl;
    return 2;
  }
  std::vector<veil_vm_info> domains;
  if (api.get_domain_list(domains) != 0) {
    KvLogStream(KvLogLvl::Error) << k_check_resource_sig << ": unable to get list of domains" << std::endl;
    return 2;
  }

  std::vector<std::string> module_vm_ids;
  for (const auto& domain : domains)
    if (domain.verbose_name == conf.module_vm_name) module_vm_ids.push_back(domain.id);
  if (module_vm_ids.empty()) {
    KvLogStream(KvLogLvl::Error) << k_check_resource_sig << ": the VM '" << conf.module_vm_name << "' does not exist"
                                 << std::endl;
    return 2;
  }
  // The backup attaches the source VM's disks to the module VM: guessing among namesakes could
  // hand them to an unrelated VM.
  if (module_vm_ids.size() > 1) {
    KvLogStream(KvLogLvl::Error) << k_check_resource_sig << ": more than one VM is named '" << conf.module_vm_name
                                 << "': " << joined(module_vm_ids) << std::endl;
    return 2;
  }
  // The module VM's id goes into the URLs of every attachment; the other rows' ids go nowhere.
  if (!kv_veil::check_reply_id(k_check_resource_sig, "id of the module VM", module_vm_ids.front())) return 2;
  conf.module_vm_id = module_vm_ids.front();

  if (name.empty()) return 0;

  bool found = false;
  for (const auto& domain : domains) {
    if (domain.id != name) continue;
    resource_info = domain;
    found = true;
  }
  if (!found) {
    KvLogStream(KvLogLvl::Error) << k_check_resource_sig << ": there is no such VM: '" << name << "'" << std::endl;
    return 2;
  }
  return kv_veil::check_reply_id(k_check_resource_sig, "VM id", name) ? 0 : 2;
}

int KvModuleVeilVM::check_client(const bool& print_version) {
  // Before the controller is asked, so the client sees the version even when the check fails.
  if (print_version) std::cout << "Module version: " << kelvanor::version_current_string << std::endl;
  return check_resource("");
}

int KvModuleVeilVM::list_all_resources(bool with_header) {
  curlAPI api(conf);
  if (api.login() != 0) {
    KvLogStream(KvLogLvl::Error) << k_list_sig << ": unable login to url: " << conf.url << std::endl;
    return 2;
  }
  std::vector<veil_vm_info> domains;
  if (api.get_domain_list(domains) != 0) {
    KvLogStream(KvLogLvl::Error) << k_list_sig << ": unable to get list of domains" << std::endl;
    return 2;
  }

  // A VM whose id could not go into a request cannot be backed up: its row is left out, the
  // others are listed. The texts are the controller's: none may start a line of its own.
  using kelvanor_common::log_text;
  std::string rows = with_header ? std::string(k_header_line) + '\n' : std::string();
  for (const auto& domain : domains) {
    if (!kv_veil::is_usable_id(domain.id)) {
      KvLogStream(KvLogLvl::Warning) << k_list_sig << ": the VM '" << domain.verbose_name
                                     << "' is not listed: its id '" << domain.id << "' is unusable"
                                     << std::endl;
      continue;
    }
    rows += domain.id + '|' + log_text(domain.verbose_name) + '|' + log_text(domain.status) + '|' +
            log_text(domain.user_power_state) + '\n';
  }
  std::cout << rows << std::flush;
  return 0;
}

int KvModuleVeilVM::list_all_resources() { return list_all_resources(false); }

int KvModuleVeilVM::list_all_resources_with_header_labels() { return list_all_resources(true); }

int KvModuleVeilVM::list_header_labels() {
  std::cout << k_header_line << std::endl;
  return 0;
}

bool KvModuleVeilVM::resource_exists() {
  const std::string& resource = options_.resource;
  if (resource.empty()) {
    KvLogStream(KvLogLvl::Error) << k_exists_sig << ": resource is empty" << std::endl;
    return false;
  }
  // No login of its own: the client logs in with its first request.
  curlAPI api(conf);
  std::vector<veil_vm_info> domains;
  if (api.get_domain_list(domains) != 0) return false;
  if (!curlAPI::domain_id_exists(domains, resource)) return false;
  // The id goes into the URLs of the backup.
  return kv_veil::check_reply_id(k_exists_sig, "VM id", resource);
}
