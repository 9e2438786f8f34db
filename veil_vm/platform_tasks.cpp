#include "veil_vm/platform_tasks.h"

#include "common/kv_logger.h"
#include "veil/curl_signatures.h"
#include "veil/stop_points.h"
#include "veil_vm/lost_vdisk.h"

#include <algorithm>
#include <exception>
#include <string_view>

namespace {

constexpr std::string_view k_create_sig = kv_veil::k_create_vdisk_sig;
constexpr std::string_view k_detach_sig = kv_veil::k_detach_vdisks_sig;
constexpr std::string_view k_remove_sig = kv_veil::k_detach_and_remove_sig;

// Requests per clean-up step: a refusal for another reason than a lock (a lost reply, an error
// of the moment) is tried again, but not for ever.
constexpr int k_attempts = 3;

// A transport error of a change request (a time-out, say) leaves it open whether the controller
// took the request; the state of the disk tells afterwards, so it counts as a refusal here.
template <typename Request>
int guarded(std::string_view sig, const Request& request) {
  try {
    return request();
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
  }
  return 2;
}

bool is_listed(const std::vector<std::string>& ids, const std::string& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

int KvPlatformTasks::attach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id,
                            const std::string& serial, std::string& task_id) {
  const int result = api.operate_with_disk(vm_id, vdisk_id, "attach", task_id, serial);
  if (result == 0) m_open.push_back({task_id, vdisk_id});
  return result;
}

int KvPlatformTasks::create(curlAPI& api, [[maybe_unused]] const std::string& url, vdisk& disk, std::string& task_id,
                            std::string& new_id) {
  try {
    const int result = api.create_vdisk(disk, task_id);
    if (result == 0) {
      new_id = disk.id;
      m_open.push_back({task_id, new_id});
    }
    return result;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_create_sig << ": exception:" << error.what() << std::endl;
  }
  // Only the request itself throws, so the name had been made free before it went out. (Any
  // other failure leaves the name as the saved record had it, which may well be the original
  // disk's.)
  new_id = find_lost_vdisk(api, disk);
  return 2;
}

int KvPlatformTasks::wait(curlAPI& api, const std::string& task_id) {
  const int result = api.wait_for_task_completion(task_id);
  // A failed wait may only mean the status was out of reach: the task has ended when the
  // controller names a state other than "IN_PROGRESS".
  std::string status;
  if (result == 0 || (api.get_task_status(task_id, status) == 0 && !status.empty() && status != "IN_PROGRESS"))
    std::erase_if(m_open, [&](const open_task& task) { return task.task_id == task_id; });
  return result;
}

void KvPlatformTasks::settle(curlAPI& api, const std::string& vdisk_id) {
  std::vector<std::string> ids;
  for (const open_task& task : m_open)
    if (task.vdisk_id == vdisk_id) ids.push_back(task.task_id);
  for (const std::string& id : ids) (void)wait(api, id);
}

bool KvPlatformTasks::wait_for_lock(curlAPI& api, const std::string& vdisk_id) {
  vdisk disk;
  if (api.get_vdisk_info(vdisk_id, disk) != 0 || disk.locked_by.empty() || disk.locked_by == "null") return false;
  (void)wait(api, disk.locked_by);
  return true;
}

bool KvPlatformTasks::detach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id) {
  settle(api, vdisk_id);
  for (int attempt = 0; attempt < k_attempts; ++attempt) {
    std::string task_id;
    if (guarded(k_detach_sig, [&] { return api.operate_with_disk(vm_id, vdisk_id, "detach", task_id, ""); }) == 0) {
      m_open.push_back({task_id, vdisk_id});
      if (wait(api, task_id) == 0) {
        KvLogStream(KvLogLvl::Info) << "Disk '" << vdisk_id << "' was detached from VM '" << vm_id << "'"
                                    << std::endl;
        return true;
      }
    }
    if (wait_for_lock(api, vdisk_id)) continue;
    domain_conf vm;
    vm.id = vm_id;
    if (api.get_available_vdisks(vm) == 0 && !is_listed(vm.available_vdisks, vdisk_id)) {
      KvLogStream(KvLogLvl::Info) << "Disk '" << vdisk_id << "' is not attached to VM '" << vm_id << "'" << std::endl;
      return true;
    }
    if (!kv_veil::pause_one_second()) break;
  }
  KvLogStream(KvLogLvl::Error) << k_detach_sig << ": unable to detach vdisk '" << vdisk_id << "' from VM '" << vm_id
                               << "'" << std::endl;
  return false;
}

bool KvPlatformTasks::remove(curlAPI& api, const std::string& vdisk_id) {
  settle(api, vdisk_id);
  for (int attempt = 0; attempt < k_attempts; ++attempt) {
    std::string task_id;
    if (guarded(k_remove_sig, [&] { return api.remove_vdisk(vdisk_id, task_id); }) == 0) {
      m_open.push_back({task_id, vdisk_id});
      if (wait(api, task_id) == 0) return true;
    }
    if (!wait_for_lock(api, vdisk_id) && !kv_veil::pause_one_second()) break;
  }
  KvLogStream(KvLogLvl::Error) << k_remove_sig << ": unable to remove vdisk '" << vdisk_id << "'" << std::endl;
  return false;
}
