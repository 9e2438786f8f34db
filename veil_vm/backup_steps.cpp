#include "veil_vm/backup_steps.h"

#include "common/kv_logger.h"

#include <algorithm>
#include <fstream>

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
  std::ofstream file(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!file.is_open()) return saved_file::not_created;
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  // Buffered data reaches the disk at the latest in close(), so only the state after the close
  // tells whether the whole text was written.
  file.close();
  return file.fail() ? saved_file::not_written : saved_file::written;
}

}  // namespace veil_vm_backup
