#include "veil_vm/backup_steps.h"

#include "common/kv_logger.h"
#include "common/private_file.h"

#include <algorithm>

namespace veil_vm_backup {

bool detach_each(KvPlatformTasks& tasks, curlAPI& api, std::vector<std::string>& ids, const std::string& vm_id) {
  // The disks already detached are known when a later one fails or the transport breaks.
  const std::vector<std::string> to_detach = ids;
  for (const std::string& id : to_detach) {
    if (!tasks.detach(api, vm_id, id)) continue;
    ids.erase(std::find(ids.begin(), ids.end(), id));
  }
  return ids.empty();
}

void run_owed_script(curlAPI& api, const veil_vm_guest_script& script, std::string_view sig) {
  std::string argument = "after";
  unsigned int timeout = script.timeout;
  if (api.run_script_inside_vm(script.vm_id, script.path, argument, timeout) != 0)
    KvLogStream(KvLogLvl::Error) << sig << ": unable to run the script '" << script.path << "' with '" << argument
                                 << "' inside VM '" << script.vm_id << "'" << std::endl;
}

saved_file save_text_file(const std::string& path, const std::string& text) {
  using kv_utils_common::private_write;
  switch (kv_utils_common::write_private_file(path, text)) {
    case private_write::written:
      return saved_file::written;
    case private_write::name_taken:
      KvLogStream(KvLogLvl::Error) << k_prepare_sig << ": " << path << ": " << kv_utils_common::k_name_taken_text
                                   << std::endl;
      return saved_file::not_created;
    case private_write::not_created:
      return saved_file::not_created;
    case private_write::not_written:
      return saved_file::not_written;
  }
  return saved_file::not_written;
}

}  // namespace veil_vm_backup
