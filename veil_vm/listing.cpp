// Listing and resource checks: the backup client's questions about the platform, answered
// without changing anything on it.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "common/kv_version.h"
#include "veil/curl_api.h"

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
  return 0;
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

  if (with_header) std::cout << k_header_line << '\n';
  for (const auto& domain : domains)
    std::cout << domain.id << '|' << domain.verbose_name << '|' << domain.status << '|' << domain.user_power_state
              << '\n';
  std::cout.flush();
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
  return curlAPI::domain_id_exists(domains, resource);
}
