#pragma once

// The controller's tasks that this run started and has not yet seen end, with the disk each one
// changes. The controller refuses to detach or remove a disk while a task on it runs, and a task
// that completes after its clean-up was refused undoes that clean-up (an attach that ends after
// its detach was turned down leaves the disk attached). So every clean-up, on a failure or on a
// stop, lets the tasks on a disk end before it detaches or removes the disk, and a refusal while
// the disk is still locked by a task (one whose reply was lost to a time-out, say) is retried
// once that task has ended.

#include "veil/curl_api.h"

#include <string>
#include <vector>

class KvPlatformTasks {
 public:
  // Started tasks are recorded as soon as their reply is read; the results are curlAPI's.
  [[nodiscard]] int attach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id,
                           const std::string& serial, std::string& task_id);
  // As create_vdisk, but a transport error of the request is logged and gives 2. `new_id` names
  // the disk the controller made: also when the reply was lost (a time-out), since the
  // controller may have made the disk all the same; it is then looked up (find_lost_vdisk) and
  // named only when it is surely the request's. `url` is not used.
  [[nodiscard]] int create(curlAPI& api, const std::string& url, vdisk& disk, std::string& task_id,
                           std::string& new_id);
  // As wait_for_task_completion; the task is forgotten once the controller reported its end.
  [[nodiscard]] int wait(curlAPI& api, const std::string& task_id);

  // Detaches the disk from the VM once its tasks have ended. A disk that turns out not to be
  // attached to the VM counts as detached. True when the disk is off the VM.
  [[nodiscard]] bool detach(curlAPI& api, const std::string& vm_id, const std::string& vdisk_id);
  // Removes the disk from the platform once its tasks have ended; true when it is removed.
  [[nodiscard]] bool remove(curlAPI& api, const std::string& vdisk_id);

 private:
  struct open_task {
    std::string task_id;
    std::string vdisk_id;
  };
  // Waits for every recorded task on the disk.
  void settle(curlAPI& api, const std::string& vdisk_id);
  // After a refused or failed change of the disk: waits for the task that locks it, if any.
  // False when nothing locks it.
  bool wait_for_lock(curlAPI& api, const std::string& vdisk_id);

  std::vector<open_task> m_open;
};
