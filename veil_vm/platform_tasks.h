#pragma once

// The controller's tasks that this run started and has not yet seen end, with the disk each one
// changes. The controller refuses to detach or remove a disk while a task on it runs, and a task
// that completes after its clean-up was refused undoes that clean-up (an attach that ends after
// its detach was turned down leaves the disk attached). So every clean-up, on a failure or on a
// stop, lets the tasks on a disk end before it detaches or removes the disk, and a refusal while
// the disk is still locked by a task (one whose reply was lost to a time-out, say) is retried
// once that task has ended.
//
// Five rules bound what the clean-up believes and how long it waits:
// 1. A change request whose reply was refused (the controller's own error form, or a 4xx), or
//    that never went out (a refused connection, a name that does not resolve, a failed TLS
//    set-up), changed nothing. One that got another reply of the controller's own (a 500, one
//    that does not read) has landed: the controller's state tells at once what it did. One that
//    got no reply at all (a time-out, a transport error, a stop), or a gateway's 502, 503 or 504,
//    may still be carried out late, and nothing bounds how late: the clean-up waits one more
//    request time-out since the run gave up on the reply (curlAPI::late_change_bound) before it
//    looks, and what the controller's state shows then has landed, but what it does not show may
//    land later still. So a creation or an attach not seen then is named as possibly made later.
//    A disk counts as done only on the controller's positive word: its task seen to succeed, the
//    VM's list of disks without it, its record "not found" in the controller's own error form.
// 2. Each task is waited for at most once per run to the poll bound (curlAPI::k_max_task_polls
//    status requests in all, over every wait for it); a task that reached it is not waited for
//    again.
// 3. A disk locked by such a task cannot be shown to be free of this run's changes: the
//    clean-up leaves it as it is and names it and the task in an Error line.
// 4. A stop's deadline (veil/stop_points.h) ends waiting, never the clean-up: past it every disk
//    still gets its request, whose task is then not waited for, and a disk not seen done is named.
// 5. A disk that may be shared is detached by the run once: after a detach that got no reply it
//    may be attached again by another run (under the same serial), whose attachment a second
//    detach would take. From that moment until the disk's record has been read, every detach of
//    it, a stop's clean-up in the middle of the run's own judging included, reads the record
//    first: only "shareable": false lets the detach go out again. Otherwise the disk is named,
//    and no later clean-up of the run detaches it; one whose record could not be read is named
//    the same, and a later clean-up reads the record again.

#include "veil/curl_api.h"

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class KvPlatformTasks {
 public:
  // What became of a change request.
  enum class Change {
    accepted,  // the controller took it; its task is recorded
    refused,   // nothing was changed: the controller refused it, or it never went out
    unknown,   // no usable reply: it may have been carried out, or still be
  };

  // Asks the controller to attach the disk to the VM. A transport error is logged, not thrown.
  [[nodiscard]] Change attach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id,
                              const std::string& serial, std::string& task_id);
  // As create_vdisk, but a transport error of the request is logged and gives 2. `new_id` names
  // the disk the controller made: also when the reply was lost (a time-out), since the
  // controller may have made the disk all the same; once a late creation has had time to land
  // (rule 1) it is looked up (find_lost_vdisk) and named only when it is surely the request's. A
  // stop cuts neither that wait nor the look-up short; its deadline does. After a lost reply a
  // look-up that finds nothing names the requested name in an Error line: it may be made later.
  [[nodiscard]] int create(curlAPI& api, vdisk& disk, std::string& task_id, std::string& new_id);
  // As wait_for_task_completion within the task's poll bound (rule 2); the task is forgotten once
  // the controller reported its end.
  [[nodiscard]] int wait(curlAPI& api, const std::string& task_id);

  // What the VM's disks show, once it has had time to land (rule 1), about an attach of the disk
  // whose outcome is unknown. A stop waits for the answer.
  enum class Held {
    attached,        // the VM lists the disk, or a task on the disk still runs
    not_attached,    // the VM's list holds no such disk, and no task locks it
    may_land_later,  // as not_attached, but the attach got no reply: it may still be carried out
    unknown,         // the VM's disks could not be read
  };
  [[nodiscard]] Held attach_outcome(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id);

  // Detaches the disk from the VM once its tasks have ended. A disk that the VM's list shows not
  // attached counts as detached. After a lost reply a disk that may be shared is not asked for
  // again (rule 5), in this call or any later one (a stop's clean-up, during the release or after
  // it), unless a read of its record finds it not shareable. True when the disk is off the VM.
  [[nodiscard]] bool detach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id);
  // Removes the disk from the platform once its tasks have ended; true when it is removed, or its
  // record reads "not found".
  [[nodiscard]] bool remove(curlAPI& api, const std::string& vdisk_id);

 private:
  struct open_task {
    std::string task_id;
    std::string vdisk_id;
  };
  // How a change of a disk ended.
  enum class Outcome {
    done,        // its request's task was seen to succeed
    found_done,  // the disk's state shows the change made already
    failed,      // neither, within the attempts (or the stop's time)
  };
  // What stands in the way of a change of a disk.
  enum class Lock {
    none,    // no task locks it
    waited,  // a task locked it and has been waited for (it may or may not have ended)
    stuck,   // a task that reached its poll bound locks it: the disk is left as it is
  };

  // Sorts the outcome of a change request the client made (result as curlAPI gives it).
  [[nodiscard]] Change judge(const curlAPI& api, const std::string& vdisk_id, int result);
  // Waits for every recorded task on the disk.
  void settle(curlAPI& api, const std::string& vdisk_id);
  // Waits until a change of the disk whose reply was lost has had time to land (rule 1).
  void await_late_change(const curlAPI& api, const std::string& vdisk_id, bool hold_stop);
  // After a refused or failed change of the disk: waits for the task that locks it, if any.
  [[nodiscard]] Lock wait_for_lock(curlAPI& api, const std::string& vdisk_id);
  // Requests the change of the disk (request fills the task id and gives curlAPI's result) once
  // the disk's tasks have ended, until its task is seen done or done_already (may be empty) finds
  // it made, within a few attempts; a refusal while a task locks the disk waits for that task.
  // After a request that got no reply, may_repeat_lost (may be empty: always) says whether the
  // request may go out again; until it has, the disk is in m_lost_detaches.
  [[nodiscard]] Outcome change_disk(curlAPI& api, const std::string& vdisk_id, std::string_view sig,
                                    const std::function<int(std::string& task_id)>& request,
                                    const std::function<bool()>& done_already,
                                    const std::function<bool()>& may_repeat_lost);
  // Judges a disk whose detach got no reply (rule 5) by its record, read now: true when it shows
  // the disk not shareable. Otherwise the disk is named; it stays in m_lost_detaches when the
  // record did not read, and goes to m_left_as_shared when it shows the disk shareable.
  [[nodiscard]] bool may_detach_again(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id);
  // The Error line of rule 3 when a task locks the disk for good, or a task of this run on it
  // has not been seen to end.
  void name_unended_task(std::string_view sig, const std::string& vdisk_id) const;

  std::vector<open_task> m_open;
  std::map<std::string, int> m_polls_left;  // task id -> status requests still allowed this run
  // vdisk id -> when the run last gave up on the reply to a change of it.
  std::map<std::string, std::chrono::steady_clock::time_point> m_lost_replies;
  std::map<std::string, std::string> m_stuck;  // vdisk id -> the task that locks it for good
  std::set<std::string> m_left_as_shared;  // disks named after a lost detach: never asked again
  // Disks whose detach got no reply and that no read of their record has judged yet (rule 5): a
  // disk stays here while its record is read, so that a stop's clean-up in the middle of that
  // read judges it too.
  std::set<std::string> m_lost_detaches;
};

// Logs in for a clean-up (a backup's release, a stop's): a login that fails is tried again, a
// few times, a second apart, while the stop's time (if any) lasts, so that one lost or refused
// reply does not leave every disk where it is. 0, or 2 when the last try failed too.
[[nodiscard]] int clean_up_login(curlAPI& api);

// One Error line under `sig` naming by id each disk the clean-up leaves `where` ("attached to
// VM 'x'", "on the platform"); nothing for an empty list.
void name_left_vdisks(std::string_view sig, const std::vector<std::string>& vdisk_ids, std::string_view where);
