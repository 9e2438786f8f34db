// Backups and restores disturbed once at a random moment: a SIGTERM, one controller request
// that fails or times out, one controller task that fails, a gateway's 504 for a request that the
// controller carries out a second later, or the controller gone for a while after one request
// (its connections refused); and, in fixed runs, a change request that the controller carries out
// after the program gave up on its reply, or a stop while a task never ends. Whatever the moment,
// once the controller's tasks have ended no disk is left attached to the module's VM and no disk
// of an unfinished restore is left on the platform, but the disk of a task that never ends and,
// while the controller was gone, a disk that the log names in an Error line of a failed run. The
// controller's tasks take time and end whether polled or not, as a real controller's do. Fixed
// runs come first, then random ones: each prints its seed, KV_SOAK_SEED replays one, KV_SOAK_RUNS
// sets how many are made. The backed-up VM's own disks are never touched.
#include "tests/e2e/test_restore_fixture.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_source_vm_id = "5c3b1e02-0000-4000-8000-000000000601";
constexpr const char* k_record = "rec-soak";

// The disturbance of one run.
struct Disturbance {
  bool restore = false;
  int kind = 0;  // 0: SIGTERM, 1: a request refused, 2: a request timing out, 3: a task failing, 4: a request
                 // carried out late, after its reply timed out, 5: a 504 for a request carried out a
                 // second later, 6: the controller gone for two seconds after a request
  int stop_after_ms = 0;     // for kind 0
  int request = 0;           // for kinds 1, 2, 4, 5 and 6: how many requests pass first; for kind 3: the task's
                             // number
  int task_ms = 0;           // how long each controller task runs
  std::string method = "*";  // for kinds 1, 2, 4, 5 and 6: the requests counted
  std::string path = "*";
  int hang = 0;  // for kind 0, in fixed runs: the number of a task that never ends (0: none); the
                 // program then runs on a fast clock, so that its stop's deadline comes soon
};

constexpr int k_time_scale = 20;

// The kinds that disturb one controller request: the fault played on it, and how it is described.
struct RequestFault {
  int kind;
  Fault::Kind fault;
  std::chrono::milliseconds delay;
  const char* text;
};
constexpr RequestFault k_request_faults[] = {
    {1, Fault::Kind::errors_reply, std::chrono::milliseconds(3000), "refused"},
    {2, Fault::Kind::slow, std::chrono::milliseconds(3000), "timed-out"},
    {4, Fault::Kind::late, std::chrono::milliseconds(3000), "late"},
    {5, Fault::Kind::gateway_504, std::chrono::milliseconds(1000), "504 for a"},
    {6, Fault::Kind::gone, std::chrono::milliseconds(2000), "gone after a"},
};

// The request fault of a disturbance's kind, or null for a SIGTERM or a failing task.
const RequestFault* request_fault(const Disturbance& d) {
  for (const RequestFault& fault : k_request_faults)
    if (fault.kind == d.kind) return &fault;
  return nullptr;
}

Disturbance draw(unsigned seed) {
  std::mt19937 random(seed);
  const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  Disturbance d;
  d.restore = pick(0, 1) == 1;
  constexpr int k_kinds[] = {0, 1, 2, 3, 5, 6};
  d.kind = k_kinds[pick(0, 5)];
  d.stop_after_ms = pick(0, d.restore ? 12000 : 8000);
  d.request = d.kind == 3 ? pick(1, d.restore ? 12 : 6) : pick(0, d.restore ? 60 : 40);
  d.task_ms = pick(200, 1500);
  return d;
}

std::string describe(const Disturbance& d) {
  const RequestFault* fault = request_fault(d);
  return std::string(d.restore ? "restore" : "backup") + ", " +
         (fault        ? std::string(fault->text) + " " + d.method + " " + d.path + " request after " +
                             std::to_string(d.request)
          : d.kind == 0 ? "SIGTERM after " + std::to_string(d.stop_after_ms) + " ms"
                        : "failing task " + std::to_string(d.request)) +
         ", tasks of " + std::to_string(d.task_ms) + " ms" +
         (d.hang ? ", task " + std::to_string(d.hang) + " never ends" : "");
}

void PrintTo(const Disturbance& d, std::ostream* out) { *out << describe(d); }

void run_once(const Disturbance& d, const std::string& name) {
  const std::string trace = name + ": " + describe(d);
  std::cout << "soak " << trace << std::endl;
  SCOPED_TRACE(trace);

  RestorePlatform p;
  write_file(p.sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + p.controller.url() +
                                                              "\nusername kv-api\npassword kv-secret\ntimeout 2\n"
                                                              "kelvanor-vm-name " + k_module_vm_name + "\n");
  const std::vector<SavedDisk> disks = {
      {"d15c0061-0000-4000-8000-000000000061", "web-data", "vdb", false, disk_content(1 << 20, 'd')},
      {"d15c0062-0000-4000-8000-000000000062", "web-system", "vdc", true, disk_content(1 << 20, 's')}};
  p.add_source_vm(k_source_vm_id, "web", disks, true);
  if (d.restore) p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks);
  std::set<std::string> known;
  for (const auto& disk : p.controller.vdisks()) known.insert(std::string(disk.at("id").as_string()));

  p.controller.set_task_duration(std::chrono::milliseconds(d.task_ms));
  if (d.kind == 3) p.controller.fail_task("task-" + std::to_string(d.request));
  const std::string hung_task = "task-" + std::to_string(d.hang);
  if (d.hang) {
    p.controller.hang_task(hung_task);
    p.sandbox.use_fast_clock(k_time_scale);
  }
  if (const RequestFault* played = request_fault(d)) {
    Fault fault{played->fault, played->delay, 1};
    fault.after = d.request;
    p.controller.add_fault(d.method, d.path, fault);
  }
  RunningProgram run =
      p.sandbox.start(d.restore ? p.restore_args(k_record) : p.backup_args(k_source_vm_id, "web_full"));
  if (d.kind == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(d.stop_after_ms));
    run.send(SIGTERM);
  }
  const auto sent = std::chrono::steady_clock::now();
  const ProgramResult result = run.wait(120);
  const auto stop_took = std::chrono::steady_clock::now() - sent;
  p.controller.wait_for_tasks();

  // A stop that comes after the end finds nothing to stop.
  const std::set<int> allowed = d.kind == 0   ? std::set<int>{0, 17}
                                : d.restore ? std::set<int>{0, 2, 7}
                                            : std::set<int>{0, 2, 6};
  EXPECT_TRUE(allowed.count(result.status)) << result.status << p.failure_context();
  if (result.status == 17) {
    EXPECT_LT(stop_took, std::chrono::seconds(20));
    EXPECT_FALSE(d.restore && boost::filesystem::exists(p.restore_directory(k_record)));
  }
  const std::string log = p.sandbox.log();
  for (const std::string& id : known) EXPECT_TRUE(p.controller.vdisk(id)) << "the original disk " << id << " is gone";
  // While the controller was gone a disk may stay, named in an Error line of a failed run.
  const auto named = [&](const std::string& id) {
    if (d.kind != 6 || result.status == 0) return false;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
      if (contains(line, "Error") && contains(line, "'" + id + "'")) return true;
    return false;
  };
  // Only the disk of a task that never ends may stay attached, and the log names it.
  const std::vector<Attachment> left = p.attachments_to(k_module_vm_id);
  for (const Attachment& attachment : left)
    EXPECT_TRUE(named(attachment.vdisk_id) ||
                (d.hang && contains(log, "vdisk '" + attachment.vdisk_id + "' is left as it is: the task '" +
                                             hung_task + "'")))
        << attachment.vdisk_id << p.failure_context();
  EXPECT_EQ(p.devices.attached().size(), left.size()) << p.failure_context();
  // The new disks stay only once they were all filled and given back.
  if (d.restore && !contains(log, "The following vdisks are now available after the restore:")) {
    for (const auto& disk : p.new_vdisks(known))
      EXPECT_TRUE(named(std::string(disk.at("id").as_string()))) << disk << p.failure_context();
  }
}

// Fixed runs: the second disk creation's reply is lost; the list that frees the first disk's name
// is refused (the saved name is then still the original disk's); the first attach's reply is
// lost; the wait for a backup's first task and for a restore's second task breaks off while the
// task still runs; the first attach, and the second disk creation, are carried out a second after
// their replies timed out; a stop comes while the release waits for the first detach, whose task
// never ends; the second disk creation gets a gateway's 504 and is carried out a second later;
// the controller goes away for two seconds after the second attach of a restore. Each is a test
// of its own, so that they run side by side.
const std::string k_attach = std::string("/api/domains/") + k_module_vm_id + "/attach-vdisk/";

class FixedRun : public ::testing::TestWithParam<Disturbance> {};

TEST_P(FixedRun, LeavesNothingAttachedOrBehind) { run_once(GetParam(), "fixed run"); }

INSTANTIATE_TEST_SUITE_P(CleanupSoak, FixedRun,
                         ::testing::Values(Disturbance{true, 2, 0, 1, 500, "POST", "/api/vdisks/"},
                                           Disturbance{true, 1, 0, 0, 500, "GET", "/api/vdisks/"},
                                           Disturbance{false, 2, 0, 0, 500, "POST", k_attach},
                                           Disturbance{false, 2, 0, 0, 2500, "GET", "/api/tasks/task-1/"},
                                           Disturbance{true, 2, 0, 0, 2500, "GET", "/api/tasks/task-2/"},
                                           Disturbance{false, 4, 0, 0, 500, "POST", k_attach},
                                           Disturbance{true, 4, 0, 1, 500, "POST", "/api/vdisks/"},
                                           Disturbance{false, 0, 4000, 0, 500, "*", "*", 3},
                                           Disturbance{true, 5, 0, 1, 500, "POST", "/api/vdisks/"},
                                           Disturbance{true, 6, 0, 1, 500, "POST", k_attach}));

// Random runs, KV_SOAK_RUNS of them (3 by default), or the one run of KV_SOAK_SEED.
int random_runs() {
  if (std::getenv("KV_SOAK_SEED")) return 1;
  const char* runs = std::getenv("KV_SOAK_RUNS");
  return runs ? std::stoi(runs) : 3;
}

class RandomRun : public ::testing::TestWithParam<int> {};

TEST_P(RandomRun, LeavesNothingAttachedOrBehind) {
  const char* replay = std::getenv("KV_SOAK_SEED");
  const unsigned seed = replay ? static_cast<unsigned>(std::stoul(replay)) : std::random_device{}();
  run_once(draw(seed), "seed " + std::to_string(seed) + " (replay with KV_SOAK_SEED=" + std::to_string(seed) + ")");
}

INSTANTIATE_TEST_SUITE_P(CleanupSoak, RandomRun, ::testing::Range(0, random_runs()));

}  // namespace
}  // namespace kv_test
