// A backup stopped by SIGTERM at each of its waits: the program ends with status 17 and gives
// back every disk it attached to the module's VM, also the ones whose attachment is not complete.
#include "tests/e2e/backup_road.h"

#include <boost/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace kv_test {
namespace {

// Polls `done` for up to 30 seconds.
template <typename Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class StoppedBackup : public BackupRoad {
 protected:
  std::vector<std::string> detach_requests() const {
    std::vector<std::string> ids;
    for (const auto& request : module_vm_requests("detach"))
      ids.push_back(std::string(boost::json::parse(request.body).as_object().at("vdisk").as_string()));
    return ids;
  }

  // Stops the run with SIGTERM and checks that it ended at once with 17 and nothing attached.
  void stop_and_check(RunningProgram& run) {
    const auto sent = std::chrono::steady_clock::now();
    run.send(SIGTERM);
    ProgramResult result = run.wait(60);
    EXPECT_EQ(result.status, 17) << result.out << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(20));
    EXPECT_TRUE(attachments_to(k_module_vm).empty());
    EXPECT_TRUE(devices.attached().empty());
    EXPECT_FALSE(contains(result.out, "MAIN ARCHIVE FILENAME:"));
  }
};

TEST_F(StoppedBackup, WhileTheDataMoverRuns) {
  kvfd.set("block", "1");
  RunningProgram run = sandbox.start(backup_args());
  ASSERT_TRUE(kvfd.wait_until_waiting(std::chrono::seconds(60))) << sandbox.log_tail();
  ASSERT_EQ(devices.attached().size(), 2u);
  const pid_t mover = std::stoi(read_file(kvfd.dir() + "/waiting"));
  // The client sees the data mover's lines while it still works, not when it ends.
  EXPECT_TRUE(run.wait_for_output("KVFD PID: " + std::to_string(mover)));
  stop_and_check(run);
  // The data mover no longer reads the disks given back.
  EXPECT_TRUE(eventually([&] { return ::kill(mover, 0) != 0 || read_file("/proc/" + std::to_string(mover) + "/stat")
                                                                      .find(") Z ") != std::string::npos; }));
  EXPECT_EQ(detach_requests(), (std::vector<std::string>{k_disk_1, k_disk_2}));
}

TEST_F(StoppedBackup, AfterTheLastStopPoint) {
  // The program is held while it logs the backup's last line, past its last wait.
  const std::string gate = sandbox.scratch("gate");
  boost::filesystem::create_directories(gate);
  sandbox.set_env("LD_PRELOAD", KV_GATE_PRELOAD_PATH);
  sandbox.set_env("ASAN_OPTIONS", "verify_asan_link_order=0");
  sandbox.set_env("KV_TEST_GATE", gate);
  sandbox.set_env("KV_TEST_GATE_TEXT", " backup of resource '");
  RunningProgram run = sandbox.start(backup_args());
  ASSERT_TRUE(eventually([&] { return boost::filesystem::exists(gate + "/held"); })) << sandbox.log_tail();
  run.send(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  write_file(gate + "/go", "");
  ProgramResult result = run.wait(60);
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  EXPECT_TRUE(contains(sandbox.log(), "Module was terminated. PID: "));
  EXPECT_TRUE(attachments_to(k_module_vm).empty());
}

TEST_F(StoppedBackup, AgainstAControllerThatDoesNotAnswerIsQuickWithNothingAttached) {
  controller.add_fault("*", "*", Fault{Fault::Kind::slow, std::chrono::milliseconds(30000)});
  RunningProgram run = sandbox.start(backup_args());
  ASSERT_TRUE(eventually([&] { return !controller.requests().empty(); })) << sandbox.log_tail();
  const size_t requests = controller.requests().size();
  const auto sent = std::chrono::steady_clock::now();
  stop_and_check(run);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
  EXPECT_EQ(controller.requests().size(), requests);
}

TEST_F(StoppedBackup, WhileLookingForTheBlockDevice) {
  // The controller attaches the second disk, but no block device shows up for it.
  std::atomic<bool> second_attached{false};
  controller.set_attach_listener([this, &second_attached](const std::string& vdisk_id, const std::string& vm_id,
                                                          const std::string& serial) {
    if (vm_id != k_module_vm) return;
    if (vdisk_id == k_disk_2)
      second_attached = true;
    else
      devices.attach(serial, controller.vdisk_image(vdisk_id));
  });
  RunningProgram run = sandbox.start(backup_args());
  ASSERT_TRUE(eventually([&] { return second_attached.load(); })) << sandbox.log_tail();
  // Then at least one listing of the block devices without it.
  ASSERT_TRUE(eventually([&] { return contains(sandbox.log(), "The task 'task-2' has succeeded."); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  stop_and_check(run);
  EXPECT_EQ(detach_requests(), (std::vector<std::string>{k_disk_1, k_disk_2}));
}

TEST_F(StoppedBackup, WhileTheBeforeScriptRunsThawsTheGuest) {
  GuestProgram freeze;
  freeze.delay = std::chrono::seconds(30);
  controller.set_guest_program("/srv/freeze.sh", freeze);
  controller.set_guest_program("/srv/thaw.sh", GuestProgram{});
  RunningProgram run =
      sandbox.start(backup_args({"-e", "script_before_snapshot:/srv/freeze.sh,script_after_snapshot:/srv/thaw.sh"}));
  ASSERT_TRUE(eventually([&] { return !controller.guest_runs().empty(); })) << sandbox.log_tail();
  stop_and_check(run);
  const auto runs = controller.guest_runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].path, "/srv/thaw.sh");
  EXPECT_EQ(runs[1].args, std::vector<std::string>{"after"});
  EXPECT_EQ(module_vm_requests("attach").size(), 0u);
}

}  // namespace
}  // namespace kv_test
