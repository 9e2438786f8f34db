// Archiving: the VM that was just backed up is deleted from the platform. The framework calls it
// only after a complete backup whose file names the client already has.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "veil/curl_api.h"

#include <exception>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view k_archiving_sig = "virtual void KvModuleVeilVM::make_archiving()";

}  // namespace

void KvModuleVeilVM::make_archiving() {
  const std::string_view sig = k_archiving_sig;
  KvLogStream(KvLogLvl::Info) << "Archive (delete) the domain: " << options_.resource << std::endl;
  try {
    curlAPI api(conf);
    if (api.login() != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to get status of domain " << domain_verbose_name << std::endl;
      return;
    }
    std::string task_id;
    if (api.delete_domain(options_.resource, task_id) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable delete: " << domain_verbose_name << std::endl;
      return;
    }
    if (api.wait_for_task_completion(task_id) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to delete domain '" << domain_verbose_name << "'" << std::endl;
      return;
    }
    KvLogStream(KvLogLvl::Info) << "Domain '" << domain_verbose_name << "' was deleted successfully," << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
  }
}
