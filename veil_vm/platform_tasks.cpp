#include "veil_vm/platform_tasks.h"

#include "common/kv_logger.h"
#include "veil/curl_signatures.h"
#include "veil/stop_points.h"
#include "veil_vm/lost_vdisk.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>

namespace {

constexpr std::string_view k_create_sig = kv_veil::k_create_vdisk_sig;
constexpr std::string_view k_operate_sig = kv_veil::k_operate_with_disk_sig;
constexpr std::string_view k_detach_sig = kv_veil::k_detach_vdisks_sig;
constexpr std::string_view k_remove_sig = kv_veil::k_detach_and_remove_sig;

// Requests per clean-up step: a refusal for another reason than a lock (a lost reply, an error
// of the moment) is tried again, but not for ever.
constexpr int k_attempts = 3;

// What guarded gives for a request that threw.
constexpr int k_threw = -1;

// A transport error of a change request (a time-out, say) leaves it open whether the controller
// took the request; judge() sorts it out.
template <typename Request>
int guarded(std::string_view sig, const Request& request) {
  try {
    return request();
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
  }
  return k_threw;
}

bool is_listed(const std::vector<std::string>& ids, const std::string& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Whether the disk's record shows it shareable (anything but false); nullopt when it does not read.
std::optional<bool> record_shareable(curlAPI& api, const std::string& vdisk_id) {
  vdisk disk;
  if (api.get_vdisk_info(vdisk_id, disk) != 0) return std::nullopt;
  return disk.shareable != "false";
}

}  // namespace

KvPlatformTasks::Change KvPlatformTasks::judge(const curlAPI& api, const std::string& vdisk_id, int result) {
  if (result == 0) return Change::accepted;
  const curlAPI::ChangeReply reply = api.last_change_reply();
  // 2: the request never went out (no free name, the CA check); otherwise the reply decides.
  if (result == 2 || reply == curlAPI::ChangeReply::refused || reply == curlAPI::ChangeReply::not_sent)
    return Change::refused;
  if (reply == curlAPI::ChangeReply::lost && !vdisk_id.empty())
    m_lost_replies[vdisk_id] = std::chrono::steady_clock::now();
  return Change::unknown;
}

KvPlatformTasks::Change KvPlatformTasks::attach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id,
                                                const std::string& serial, std::string& task_id) {
  const auto request = [&] { return api.operate_with_disk(vm_id, vdisk_id, "attach", task_id, serial); };
  const Change change = judge(api, vdisk_id, guarded(k_operate_sig, request));
  if (change == Change::accepted) m_open.push_back({task_id, vdisk_id});
  return change;
}

int KvPlatformTasks::create(curlAPI& api, vdisk& disk, std::string& task_id, std::string& new_id) {
  const int result = guarded(k_create_sig, [&] { return api.create_vdisk(disk, task_id); });
  if (result == 0) {
    new_id = disk.id;
    m_open.push_back({task_id, new_id});
  }
  if (judge(api, "", result) != Change::unknown) return result == k_threw ? 2 : result;
  // The request went out, so the name had been made free before. (A request that never went out
  // leaves the name as the saved record had it, which may well be the original disk's.) A
  // creation that got a reply, whatever it said, has landed; one whose reply was lost is given
  // one request time-out to land, and may land later still (find_lost_vdisk names it then).
  // Neither that wait nor the look-up is cut short by a stop, whose clean-up must know the disk.
  const curlAPI::StopHold hold(api);
  const bool reply_lost = api.last_change_reply() == curlAPI::ChangeReply::lost;
  // The stop's deadline may end this sleep early: the look-up then tells only what has landed.
  if (reply_lost) kv_veil::sleep_until(std::chrono::steady_clock::now() + api.late_change_bound(), true);
  new_id = find_lost_vdisk(api, disk, reply_lost);
  return 2;
}

KvPlatformTasks::Held KvPlatformTasks::attach_outcome(curlAPI& api, const std::string& vm_id,
                                                      const std::string& vdisk_id) {
  // The answer decides whether the disk is listed for the clean-up, so a stop waits for it.
  const curlAPI::StopHold hold(api);
  // An attach that got no reply may be carried out after any wait: the list then shows only that
  // it has not been yet.
  const bool reply_lost = m_lost_replies.contains(vdisk_id);
  await_late_change(api, vdisk_id, true);
  ::domain_conf vm;
  vm.id = vm_id;
  if (api.get_available_vdisks(vm) != 0) return Held::unknown;
  if (is_listed(vm.available_vdisks, vdisk_id)) return Held::attached;
  // An attach whose task still runs shows only once the task has ended.
  vdisk disk;
  if (api.get_vdisk_info(vdisk_id, disk) != 0) return Held::unknown;
  if (!disk.locked_by.empty() && disk.locked_by != "null") return Held::attached;
  return reply_lost ? Held::may_land_later : Held::not_attached;
}

int KvPlatformTasks::wait(curlAPI& api, const std::string& task_id) {
  int& polls_left = m_polls_left.try_emplace(task_id, curlAPI::k_max_task_polls).first->second;
  if (polls_left <= 0) {
    KvLogStream(KvLogLvl::Info) << "The task '" << task_id << "' has been waited for to its bound already" << std::endl;
    return 1;
  }
  // Past the stop's deadline nothing is waited for; the task stays open, and the clean-up names it.
  if (kv_veil::stop_time_over()) return 1;
  const int result = api.wait_for_task(task_id, polls_left);
  // A failed wait may only mean the status was out of reach: the task has ended when the
  // controller names a state other than "IN_PROGRESS". One that used up its polls did not.
  std::string status;
  if (result == 0 ||
      (polls_left > 0 && !kv_veil::stop_time_over() && api.get_task_status(task_id, status) == 0 && !status.empty() &&
       status != "IN_PROGRESS"))
    std::erase_if(m_open, [&](const open_task& task) { return task.task_id == task_id; });
  return result;
}

void KvPlatformTasks::settle(curlAPI& api, const std::string& vdisk_id) {
  std::vector<std::string> ids;
  for (const open_task& task : m_open)
    if (task.vdisk_id == vdisk_id) ids.push_back(task.task_id);
  for (const std::string& id : ids) (void)wait(api, id);
}

void KvPlatformTasks::await_late_change(const curlAPI& api, const std::string& vdisk_id, bool hold_stop) {
  const auto lost = m_lost_replies.find(vdisk_id);
  if (lost == m_lost_replies.end()) return;
  const auto landed = lost->second + api.late_change_bound();
  kv_veil::sleep_until(landed, hold_stop);
  if (std::chrono::steady_clock::now() >= landed) m_lost_replies.erase(lost);
}

KvPlatformTasks::Lock KvPlatformTasks::wait_for_lock(curlAPI& api, const std::string& vdisk_id) {
  vdisk disk;
  if (api.get_vdisk_info(vdisk_id, disk) != 0 || disk.locked_by.empty() || disk.locked_by == "null") return Lock::none;
  if (wait(api, disk.locked_by) == 0 || m_polls_left[disk.locked_by] > 0) return Lock::waited;
  m_stuck[vdisk_id] = disk.locked_by;
  return Lock::stuck;
}

void KvPlatformTasks::name_unended_task(std::string_view sig, const std::string& vdisk_id) const {
  std::string task;
  if (const auto stuck = m_stuck.find(vdisk_id); stuck != m_stuck.end()) task = stuck->second;
  for (const open_task& open : m_open)
    if (task.empty() && open.vdisk_id == vdisk_id) task = open.task_id;
  if (task.empty()) return;
  KvLogStream(KvLogLvl::Error) << sig << ": vdisk '" << vdisk_id << "' is left as it is: the task '" << task
                               << "' on it has not ended" << std::endl;
}

KvPlatformTasks::Outcome KvPlatformTasks::change_disk(curlAPI& api, const std::string& vdisk_id, std::string_view sig,
                                                      const std::function<int(std::string& task_id)>& request,
                                                      const std::function<bool()>& done_already,
                                                      const std::function<bool()>& may_repeat_lost) {
  settle(api, vdisk_id);
  // Past the stop's deadline the loop still makes its first request: the deadline ends waiting,
  // not the clean-up of the disks after this one.
  for (int attempt = 0; attempt < k_attempts; ++attempt) {
    // Only once a lost change of the disk has had time to land does its state tell.
    await_late_change(api, vdisk_id, false);
    std::string task_id;
    const Change change = judge(api, vdisk_id, guarded(sig, [&] { return request(task_id); }));
    const bool lost = api.last_change_reply() == curlAPI::ChangeReply::lost;
    // A lost request that must be judged before it goes out again is marked from here on, before
    // the next wait, where a stop's clean-up may run.
    if (lost && may_repeat_lost) m_lost_detaches.insert(vdisk_id);
    if (change == Change::accepted) {
      m_open.push_back({task_id, vdisk_id});
      if (wait(api, task_id) == 0) return Outcome::done;
    }
    // Past the deadline a task under way or a request that got no reply is not waited for, so
    // the disk's state would tell nothing more.
    if (kv_veil::stop_time_over() && (change == Change::accepted || lost)) break;
    // Refused, not seen done, or without a usable reply: then the disk's state tells, once a
    // lost request has had time to land.
    if (change == Change::unknown) await_late_change(api, vdisk_id, false);
    Lock lock = wait_for_lock(api, vdisk_id);
    // Once the task that locked it has ended, the disk's state tells.
    if (lock == Lock::waited) lock = wait_for_lock(api, vdisk_id);
    if (lock == Lock::stuck) break;
    if (lock == Lock::none && done_already && done_already()) return Outcome::found_done;
    if (lost && may_repeat_lost && !may_repeat_lost()) break;
    if (kv_veil::stop_time_over()) break;
    if (lock == Lock::waited) continue;
    if (!kv_veil::pause_one_second()) break;
  }
  name_unended_task(sig, vdisk_id);
  return Outcome::failed;
}

bool KvPlatformTasks::may_detach_again(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id) {
  const std::optional<bool> shareable = record_shareable(api, vdisk_id);
  if (shareable.has_value()) m_lost_detaches.erase(vdisk_id);
  if (shareable == false) return true;
  if (shareable.has_value()) m_left_as_shared.insert(vdisk_id);
  KvLogStream(KvLogLvl::Error) << k_detach_sig << ": vdisk '" << vdisk_id << "' may be left attached to VM '" << vm_id
                               << "': its detach got no reply, and the disk may be shared, so the "
                               << "attachment may now be another run's" << std::endl;
  return false;
}

bool KvPlatformTasks::detach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id) {
  // Named already: the attachment may be another run's by now. A disk whose detach got no reply
  // and that is not judged yet (this very run may be judging it, cut short by a stop) is asked
  // again only once its record shows it not shareable.
  if (m_left_as_shared.contains(vdisk_id)) return false;
  if (m_lost_detaches.contains(vdisk_id) && !may_detach_again(api, vm_id, vdisk_id)) return false;
  const auto request = [&](std::string& task_id) {
    return api.operate_with_disk(vm_id, vdisk_id, "detach", task_id, "");
  };
  const auto not_attached = [&] {
    domain_conf vm;
    vm.id = vm_id;
    if (api.get_available_vdisks(vm) != 0 || is_listed(vm.available_vdisks, vdisk_id)) return false;
    KvLogStream(KvLogLvl::Info) << "Disk '" << vdisk_id << "' is not attached to VM '" << vm_id << "'" << std::endl;
    return true;
  };
  // A shareable disk may belong to another VM too, whose backup attaches it to the module VM
  // under the same serial: once a lost detach has landed, the disk may be that run's, and a second
  // detach would take its attachment.
  const auto may_repeat = [&] { return may_detach_again(api, vm_id, vdisk_id); };
  const Outcome outcome = change_disk(api, vdisk_id, k_detach_sig, request, not_attached, may_repeat);
  if (outcome != Outcome::failed) m_lost_detaches.erase(vdisk_id);
  if (outcome == Outcome::found_done) return true;
  if (outcome == Outcome::done) {
    KvLogStream(KvLogLvl::Info) << "Disk '" << vdisk_id << "' was detached from VM '" << vm_id << "'" << std::endl;
    return true;
  }
  KvLogStream(KvLogLvl::Error) << k_detach_sig << ": unable to detach vdisk '" << vdisk_id << "' from VM '" << vm_id
                               << "'" << std::endl;
  return false;
}

bool KvPlatformTasks::remove(curlAPI& api, const std::string& vdisk_id) {
  const auto request = [&](std::string& task_id) { return api.remove_vdisk(vdisk_id, task_id); };
  // A removal that landed with its reply lost, or before this run asked, shows as a record that
  // the controller no longer knows.
  const auto gone = [&] {
    if (!api.vdisk_gone(vdisk_id)) return false;
    KvLogStream(KvLogLvl::Info) << "Disk '" << vdisk_id << "' is not on the platform" << std::endl;
    return true;
  };
  if (change_disk(api, vdisk_id, k_remove_sig, request, gone, {}) != Outcome::failed) return true;
  KvLogStream(KvLogLvl::Error) << k_remove_sig << ": unable to remove vdisk '" << vdisk_id << "'" << std::endl;
  return false;
}

int clean_up_login(curlAPI& api) {
  for (int attempt = 1;; ++attempt) {
    if (api.login() == 0) return 0;
    if (attempt == k_attempts || kv_veil::stop_time_over()) return 2;
    KvLogStream(KvLogLvl::Info) << "The login failed; trying again (" << attempt + 1 << " of " << k_attempts << ")"
                                << std::endl;
    if (!kv_veil::pause_one_second()) return 2;
  }
}

void name_left_vdisks(std::string_view sig, const std::vector<std::string>& vdisk_ids, std::string_view where) {
  if (vdisk_ids.empty()) return;
  KvLogStream line(KvLogLvl::Error);
  line << sig << ": left " << where << ":";
  for (size_t i = 0; i < vdisk_ids.size(); ++i) line << (i == 0 ? " " : ", ") << "vdisk '" << vdisk_ids[i] << "'";
  line << std::endl;
}
