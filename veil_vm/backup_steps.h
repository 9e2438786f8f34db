#pragma once

// Steps the backup preparation and the backup release of the VeiL module share: giving the
// disks back to the platform, running an owed guest script, and writing the saved
// configuration files.

#include "veil/curl_api.h"
#include "veil_vm/kv_module_veil_vm.h"

#include <string>
#include <string_view>
#include <vector>

namespace veil_vm_backup {

inline constexpr std::string_view k_prepare_sig =
    "virtual bool KvModuleVeilVM::prepare_resource_before_backup(const bool&)";
inline constexpr std::string_view k_release_sig = "virtual bool KvModuleVeilVM::release_resource_after_backup()";

// Detaches the disks of `ids` from the VM `vm_id`, each once its tasks have ended, and drops
// every disk that was detached from `ids`, so that a later call (a stop arriving during the
// release, for instance) does not ask the controller to detach it twice. True when no disk is
// left. A transport error outside the detach requests themselves is thrown as the REST client
// throws it; the disks detached before it are already dropped.
[[nodiscard]] bool detach_each(KvPlatformTasks& tasks, curlAPI& api, std::vector<std::string>& ids,
                               const std::string& vm_id);

// Runs an owed after-script on the way out of a backup that did not get to its regular run:
// best effort, a failure is logged under `sig` and not returned.
void run_owed_script(curlAPI& api, const veil_vm_guest_script& script, std::string_view sig);

enum class saved_file {
  written,      // the whole text is in the file
  not_created,  // the file could not be opened for writing
  not_written,  // a write or the close failed: the file may be cut short
};

// Writes `text` as a new file of the owner's alone (it may hold the VM's graphics password),
// replacing one an earlier run left; a name held by anything else (a link, another user's file)
// is left as it is, with an Error line naming it, and gives not_created. Every write and the
// close are checked: on a full disk a configuration file cut short must not be backed up as if
// it were whole.
[[nodiscard]] saved_file save_text_file(const std::string& path, const std::string& text);

}  // namespace veil_vm_backup
