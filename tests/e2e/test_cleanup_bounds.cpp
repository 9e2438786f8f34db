// What the clean-up of the real program may touch and how long it may take: a refused attach
// detaches nothing, and a disk the module VM had before the run is never detached by it; a
// change the controller carries out after the program gave up on its reply is undone all the
// same; a stop ends the program within about one task poll bound, whatever the controller does.
// The tests of long waits run the program on a fast clock (KV_TEST_TIME_SCALE).
#include "tests/e2e/backup_road.h"

#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kv_test {
namespace {

using namespace std::chrono_literals;

constexpr const char* k_module_system_disk = "d15c0009-aaaa-4bbb-8ccc-999999999999";
constexpr const char* k_first_new_vdisk = "d15c0001-0001-4001-8000-000000000001";  // the controller's first new disk
constexpr int k_time_scale = 20;
// How long a stop may take on the fast clock: one task poll bound and a few requests.
constexpr auto k_stop_bound = std::chrono::seconds(360) / k_time_scale;

// Polls `done` for up to 30 seconds.
template <typename Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class CleanupBounds : public BackupRoad {
 protected:
  // The module's configuration with this request time-out.
  void set_timeout(int seconds) {
    write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + controller.url() +
                                                              "\nusername kv-api\npassword kv-secret\ntimeout " +
                                                              std::to_string(seconds) + "\nkelvanor-vm-name " +
                                                              k_module_vm_name + "\n");
  }
  void use_fast_clock() { sandbox.use_fast_clock(k_time_scale); }
  // The disks the program asked to attach ("attach") or detach ("detach") to the module VM, in order.
  std::vector<std::string> requested_vdisks(const std::string& operation) const {
    std::vector<std::string> ids;
    for (const auto& request : module_vm_requests(operation))
      ids.push_back(std::string(boost::json::parse(request.body).as_object().at("vdisk").as_string()));
    return ids;
  }
  std::vector<std::string> detach_requests() const { return requested_vdisks("detach"); }
  std::vector<std::string> attach_requests() const { return requested_vdisks("attach"); }
  // The fault plays on the second request to attach ("attach") or detach ("detach") a disk of
  // the module VM.
  void fault_the_second(const std::string& operation, Fault fault) {
    fault.after = 1;
    controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/" + operation + "-vdisk/", fault);
  }
  // Another run holds the second disk on the module VM until this run's first attach lands.
  void another_run_holds_disk_2_until_the_first_attach() {
    controller.add_attachment(k_disk_2, k_module_vm, "other-run");
    controller.set_attach_listener([this](const std::string& vdisk_id, const std::string& vm_id,
                                          const std::string& serial) {
      if (vm_id != k_module_vm) return;
      devices.attach(serial, controller.vdisk_image(vdisk_id));
      if (vdisk_id == k_disk_1) controller.remove_attachment(k_disk_2, k_module_vm);
    });
  }
  // Stops the run with SIGTERM and waits for its end; the result and how long it ran on after the
  // stop.
  static std::pair<ProgramResult, std::chrono::steady_clock::duration> stop(RunningProgram& run) {
    const auto sent = std::chrono::steady_clock::now();
    run.send(SIGTERM);
    ProgramResult result = run.wait(120);
    return {std::move(result), std::chrono::steady_clock::now() - sent};
  }
  std::set<std::string> vdisk_ids() const {
    std::set<std::string> ids;
    for (const auto& disk : controller.vdisks()) ids.insert(std::string(disk.at("id").as_string()));
    return ids;
  }
  bool asked_to_detach(const std::string& vdisk_id) const { return detaches_of(vdisk_id) > 0; }
  // Only these disks are attached to the module VM.
  bool only_attached(const std::vector<std::string>& vdisk_ids) const {
    std::vector<std::string> attached;
    for (const Attachment& attachment : attachments_to(k_module_vm)) attached.push_back(attachment.vdisk_id);
    return attached == vdisk_ids;
  }
  // Two saved disks of a backup record "rec-2": a restore of it makes two new disks.
  void store_two_disk_backup() {
    const std::vector<SavedDisk> disks = {
        {"d15c0081-0000-4000-8000-000000000081", "web-data", "vdb", false, disk_content(1 << 20, 'p')},
        {"d15c0082-0000-4000-8000-000000000082", "web-system", "vdc", true, disk_content(1 << 20, 'q')}};
    store_backup("rec-2", saved_vm(k_source_vm, "web", disks, false), disks);
  }
  void make_shareable(const std::string& vdisk_id) {
    boost::json::object shared = *controller.vdisk(vdisk_id);
    shared["shareable"] = true;
    controller.add_vdisk(shared);
  }
  // Every disk attached from now on, a restore's new disk included, is shareable.
  void new_disks_become_shareable() {
    controller.set_attach_listener([this](const std::string& vdisk_id, const std::string&, const std::string& serial) {
      make_shareable(vdisk_id);
      devices.attach(serial, controller.vdisk_image(vdisk_id));
    });
  }
  // The first detach of `vdisk_id` lands, and another run then attaches the disk to the module VM
  // under the same serial.
  void another_run_takes_after_the_first_detach_of(const std::string& vdisk_id) {
    // Shared: the controller calls a copy of the listener for each detach.
    const auto taken = std::make_shared<bool>(false);
    controller.set_detach_listener([this, vdisk_id, taken](const std::string& detached, const std::string&,
                                                           const std::string& serial) {
      devices.detach(devices.name_of(serial));
      if (detached == vdisk_id && !std::exchange(*taken, true)) controller.add_attachment(vdisk_id, k_module_vm, serial);
    });
  }
  // A gateway's 503 for a request it passed on, sent when its connection to the controller broke.
  static Fault upstream_reset() {
    Fault reset{Fault::Kind::passed_on};
    reset.times = 1;
    reset.status = 503;
    reset.body = "upstream connect error or disconnect/reset before headers. reset reason: connection termination";
    return reset;
  }
  size_t detaches_of(const std::string& vdisk_id) const {
    const std::vector<std::string> ids = detach_requests();
    return static_cast<size_t>(std::count(ids.begin(), ids.end(), vdisk_id));
  }
  std::string domain_of(const std::string& vdisk_id) const {
    const std::optional<boost::json::object> disk = controller.vdisk(vdisk_id);
    const boost::json::value* domain = disk ? disk->if_contains("domain") : nullptr;
    return domain && domain->is_object() ? std::string(domain->as_object().at("id").as_string()) : std::string();
  }
};

TEST_F(CleanupBounds, AModuleVmBackingItselfUpKeepsItsOwnDisk) {
  controller.add_vdisk(TestController::make_vdisk(k_module_system_disk, "kv-proxy-system", k_module_vm, 20.0));
  std::vector<std::string> args = backup_args();
  args[1] = k_module_vm;
  const ProgramResult result = sandbox.run(args);
  EXPECT_EQ(result.status, 6) << result.out << result.err;
  EXPECT_EQ(module_vm_requests("attach").size(), 1u);
  EXPECT_TRUE(detach_requests().empty());
  EXPECT_EQ(domain_of(k_module_system_disk), k_module_vm);
}

// The second disk is shared with a VM that another run backs up: it is attached to the module VM
// already, and the controller refuses to attach it again, or its refusal is lost; or it is
// attached to another VM, and the controller refuses to attach it.
struct Shared {
  const char* vm;
  bool reply_lost;
};
class SharedDisk : public CleanupBounds, public ::testing::WithParamInterface<Shared> {};

TEST_P(SharedDisk, AttachedElsewhereStaysAttached) {
  const auto [vm, reply_lost] = GetParam();
  controller.add_attachment(k_disk_2, vm, "other-run");
  if (reply_lost) {
    set_timeout(1);
    fault_the_second("attach", Fault{Fault::Kind::slow, 2000ms, 1});
  }
  const ProgramResult result = sandbox.run(backup_args());
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 6) << result.out << result.err;
  EXPECT_EQ(detach_requests(), std::vector<std::string>{k_disk_1});
  const std::vector<Attachment> left = attachments_to(vm);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].vdisk_id, k_disk_2);
  EXPECT_EQ(left[0].serial, "other-run");
  EXPECT_EQ(attachments_to(k_module_vm).size(), std::string(vm) == k_module_vm ? 1u : 0u);
}

// The second disk is shared: another run holds it on the module VM when the program reads the
// module VM's disks, and detaches it before the program attaches it. The program's accepted
// attach made the disk its own, so the release detaches it.
TEST_F(CleanupBounds, ASharedDiskDetachedByAnotherRunBeforeTheAttachIsDetachedAtRelease) {
  another_run_holds_disk_2_until_the_first_attach();
  const ProgramResult result = sandbox.run(backup_args());
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(attach_requests(), (std::vector<std::string>{k_disk_1, k_disk_2}));
  expect_released();
}

// A detach answered with an HTML 500 has landed, whatever it did: the program reads the disk's
// state at once instead of waiting as for a lost reply, which with no request time-out would be
// the whole stop grace.
TEST_F(CleanupBounds, ADetachAnsweredWithA500IsJudgedAsSoonAsOneRefused) {
  set_timeout(0);
  const auto backup_with_first_detach = [&](Fault::Kind kind, const std::string& archive) {
    controller.clear_faults();
    controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/", Fault{kind, 0ms, 1});
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult result = sandbox.run(backup_args({}, archive));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    expect_released();
    return took;
  };
  const auto refused = backup_with_first_detach(Fault::Kind::errors_reply, "REFUSED");
  const auto failed = backup_with_first_detach(Fault::Kind::html_500, "FAILED");
  EXPECT_LT(failed, refused + 10s);
}

INSTANTIATE_TEST_SUITE_P(Refusal, SharedDisk,
                         ::testing::Values(Shared{k_module_vm, false}, Shared{k_module_vm, true},
                                           Shared{"another-vm", false}));

// The controller carries out the first attach, or a restore's first disk creation, a second after
// the program gave up waiting for its reply; or the creation gets a gateway's 504, or the attach
// its 502, at once and is carried out a second later; or either is carried out and a gateway then
// answers 503.
struct Late {
  bool creation;
  Fault::Kind kind;
  int status = 0;  // of a gateway_504
};
void PrintTo(const Late& late, std::ostream* out) {
  *out << (late.creation ? "creation, fault " : "attach, fault ") << static_cast<int>(late.kind) << " " << late.status;
}
class LateChange : public CleanupBounds, public ::testing::WithParamInterface<Late> {};

TEST_P(LateChange, IsUndoneByTheCleanUp) {
  const auto [creation, kind, status] = GetParam();
  set_timeout(2);
  controller.set_task_duration(300ms);
  const std::string path = creation ? "/api/vdisks/" : std::string("/api/domains/") + k_module_vm + "/attach-vdisk/";
  Fault fault = kind == Fault::Kind::passed_on ? upstream_reset()
                                               : Fault{kind, kind == Fault::Kind::late ? 3000ms : 1000ms, 1};
  if (status != 0) fault.status = status;
  controller.add_fault("POST", path, fault);
  const std::set<std::string> known = vdisk_ids();
  const std::vector<SavedDisk> disks = {{"d15c0071-0000-4000-8000-000000000071", "web-data", "vdb", true,
                                         disk_content(1 << 20, 'l')}};
  if (creation) store_backup("rec-late", saved_vm(k_source_vm, "web", disks, false), disks);
  const ProgramResult result = sandbox.run(creation ? restore_args("rec-late") : backup_args());
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, creation ? 7 : 6) << result.out << result.err << failure_context();
  EXPECT_EQ(controller.requests_to("POST", path).size(), 1u);
  EXPECT_TRUE(new_vdisks(known).empty()) << failure_context();
  EXPECT_TRUE(attachments_to(k_module_vm).empty()) << failure_context();
  EXPECT_TRUE(devices.attached().empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, LateChange,
                         ::testing::Values(Late{false, Fault::Kind::late}, Late{true, Fault::Kind::late},
                                           Late{true, Fault::Kind::gateway_504},
                                           Late{false, Fault::Kind::gateway_504, 502}, Late{false, Fault::Kind::passed_on},
                                           Late{true, Fault::Kind::passed_on}));

// Every detach is refused, and the module VM's disk list then comes without its member: that
// shows no disk detached.
TEST_F(CleanupBounds, ADiskListWithoutItsMemberShowsNoDiskDetached) {
  use_fast_clock();
  kvfd.set("block", "1");
  RunningProgram run = sandbox.start(backup_args());
  ASSERT_TRUE(kvfd.wait_until_waiting(60s)) << sandbox.log_tail();
  controller.set_reply("GET", std::string("/api/domains/") + k_module_vm + "/snapshots-info/", 200,
                       R"({"snapshots": []})");
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/", Fault{});
  write_file(kvfd.dir() + "/go", "");
  const ProgramResult result = run.wait(60);
  EXPECT_NE(result.status, 0) << result.out << result.err;
  for (const char* disk : {k_disk_1, k_disk_2})
    EXPECT_TRUE(contains(sandbox.log(), std::string("unable to detach vdisk '") + disk + "'")) << sandbox.log_tail();
}

// The new disk's removal is carried out after the program gave up on its reply (a failed attach
// sends the restore to its clean-up): the disk's record then reads "not found", and nothing is
// named left nor asked again.
TEST_F(CleanupBounds, ARemovalThatLandedWithoutAReplyIsDone) {
  set_timeout(1);
  controller.set_task_duration(300ms);
  controller.fail_task("task-2");
  controller.add_fault("POST", "*/remove/", Fault{Fault::Kind::late, 1500ms, 1});
  const std::vector<SavedDisk> disks = {{"d15c0072-0000-4000-8000-000000000072", "web-data", "vdb", true,
                                         disk_content(1 << 20, 'm')}};
  store_backup("rec-gone", saved_vm(k_source_vm, "web", disks, false), disks);
  const std::set<std::string> known = vdisk_ids();
  const ProgramResult result = sandbox.run(restore_args("rec-gone"));
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 7) << result.out << result.err;
  EXPECT_TRUE(new_vdisks(known).empty()) << failure_context();
  EXPECT_FALSE(contains(sandbox.log(), "unable to remove vdisk")) << sandbox.log_tail();
  EXPECT_FALSE(contains(sandbox.log(), "left on the platform")) << sandbox.log_tail();
}

// The controller goes away after a restore's second attach: every later request is refused a
// connection, never sent, and nothing waits for it to land. The new disks are named.
TEST_F(CleanupBounds, ARequestThatNeverLeftIsNotWaitedFor) {
  use_fast_clock();
  constexpr int k_timeout = 200;  // program seconds; on the fast clock 10 real seconds
  set_timeout(k_timeout);
  fault_the_second("attach", Fault{Fault::Kind::gone});
  store_two_disk_backup();
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = sandbox.run(restore_args("rec-2"));
  EXPECT_EQ(result.status, 7) << result.out << result.err;
  // A wait of one request time-out for each disk at least, were the refused detaches taken for
  // lost replies.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(k_timeout) / k_time_scale)
      << sandbox.log_tail();
  const std::vector<std::string> made = attach_requests();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_TRUE(contains(sandbox.log(), "left on the platform: vdisk '" + made[0] + "', vdisk '" + made[1] + "'"))
      << sandbox.log_tail();
}

// The second disk's attach gets no reply and lands; another run held that disk on the module VM
// when the program read its disks, and gave it back meanwhile. The program detaches the disk or
// names it, and never claims it stays there as another's.
TEST_F(CleanupBounds, AnUnknownAttachIsJudgedFromTheModuleVmsDisksAfresh) {
  set_timeout(1);
  controller.set_task_duration(300ms);
  another_run_holds_disk_2_until_the_first_attach();
  fault_the_second("attach", Fault{Fault::Kind::late, 1500ms, 1});
  const ProgramResult result = sandbox.run(backup_args());
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 6) << result.out << result.err;
  const std::string log = sandbox.log();
  EXPECT_TRUE(only_attached({}) ||
              contains(log, std::string("vdisk '") + k_disk_2 + "' may be left attached to VM '" + k_module_vm))
      << log;
  EXPECT_FALSE(contains(log, "it stays there")) << log;
}

// The release's detach of a shareable disk lands, but its reply is lost, or a gateway answers 503;
// another run then attaches the disk to the module VM under the same serial. The program does not
// detach it again.
class LostDetach : public CleanupBounds, public ::testing::WithParamInterface<bool> {};

TEST_P(LostDetach, OfAShareableDiskIsNotSentAgain) {
  const bool gateway = GetParam();
  set_timeout(1);
  controller.set_task_duration(300ms);
  make_shareable(k_disk_2);
  another_run_takes_after_the_first_detach_of(k_disk_2);
  fault_the_second("detach", gateway ? upstream_reset() : Fault{Fault::Kind::late, 1500ms, 1});
  const ProgramResult result = sandbox.run(backup_args());
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 6) << result.out << result.err;
  EXPECT_EQ(detach_requests(), (std::vector<std::string>{k_disk_1, k_disk_2}));
  EXPECT_TRUE(only_attached({k_disk_2})) << sandbox.log_tail();
  EXPECT_TRUE(contains(sandbox.log(), std::string("vdisk '") + k_disk_2 + "' may be left attached")) << sandbox.log_tail();
}

INSTANTIATE_TEST_SUITE_P(Replies, LostDetach, ::testing::Values(false, true));

// As above for the first disk; a stop then comes while the release detaches the second. The
// stop's own release leaves the named disk alone.
TEST_F(CleanupBounds, AStopDuringTheReleaseDoesNotDetachANamedSharedDiskAgain) {
  set_timeout(1);
  controller.set_task_duration(300ms);
  make_shareable(k_disk_1);
  another_run_takes_after_the_first_detach_of(k_disk_1);
  const std::string detach = std::string("/api/domains/") + k_module_vm + "/detach-vdisk/";
  controller.add_fault("POST", detach, Fault{Fault::Kind::late, 1500ms, 1});
  controller.add_fault("POST", detach, Fault{Fault::Kind::slow, 3000ms, 1});
  RunningProgram run = sandbox.start(backup_args());
  const std::string named = std::string("vdisk '") + k_disk_1 + "' may be left attached";
  ASSERT_TRUE(eventually([&] { return contains(sandbox.log(), named); })) << sandbox.log_tail();
  const auto [result, took] = stop(run);
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  EXPECT_EQ(detaches_of(k_disk_1), 1u) << sandbox.log_tail();
  EXPECT_TRUE(only_attached({k_disk_1})) << sandbox.log_tail();
}

// A restore's new disk gets a gateway's 504 for its detach (not passed on), and its record does
// not read when the program asks whether it is shared: the disk is named, and the clean-up reads
// the record again. A disk that is not shareable is detached then and removed, unless its record
// does not read then either; a shareable one is not asked again and stays, named.
struct Unread {
  bool shareable;
  int failed_reads;  // of the record, from the one that judges the detach on
};
void PrintTo(const Unread& unread, std::ostream* out) {
  *out << (unread.shareable ? "shareable, " : "not shareable, ") << unread.failed_reads << " failed reads";
}
class UnreadRecord : public CleanupBounds, public ::testing::WithParamInterface<Unread> {};

TEST_P(UnreadRecord, AfterALostDetachIsReadAgainByTheCleanUp) {
  const auto [shareable_disk, failed_reads] = GetParam();
  const bool left = shareable_disk || failed_reads > 1;
  set_timeout(1);
  const std::string made = k_first_new_vdisk;
  if (shareable_disk) new_disks_become_shareable();
  const Fault lost{Fault::Kind::gateway_504, 0ms, 1};  // never passed on
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/", lost);
  controller.add_fault("GET", "/api/vdisks/" + made + "/", Fault{Fault::Kind::html_500, 0ms, failed_reads, 1});
  const std::vector<SavedDisk> disks = {{"d15c0076-0000-4000-8000-000000000076", "web-data", "vdb", true,
                                         disk_content(1 << 20, 'u')}};
  store_backup("rec-unread", saved_vm(k_source_vm, "web", disks, false), disks);
  const std::set<std::string> known = vdisk_ids();
  const ProgramResult result = sandbox.run(restore_args("rec-unread"));
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 7) << result.out << result.err;
  EXPECT_EQ(detaches_of(made), left ? 1u : 2u) << sandbox.log_tail();
  EXPECT_EQ(only_attached({made}), left) << failure_context();
  EXPECT_EQ(new_vdisks(known).empty(), !left) << failure_context();
  EXPECT_EQ(contains(sandbox.log(), "left on the platform: vdisk '" + made + "'"), left) << sandbox.log_tail();
}

INSTANTIATE_TEST_SUITE_P(Disks, UnreadRecord, ::testing::Values(Unread{false, 1}, Unread{true, 1}, Unread{false, 2}));

// A stop comes while the run still judges a detach that got no reply; the detach lands, and
// another run then attaches the disk to the module VM. The stop's clean-up reads the disk's record
// before it asks again: a shareable disk is named and left with the other run, never detached a
// second time (nor removed); one that is not shareable is detached.
enum class Judging {
  late_landing,  // a backup waits for what its lost detach may still do
  record_read,   // a restore reads the record of its new disk to judge its lost detach
  record_reread, // that read failed, and the restore's clean-up reads the record again
  not_shareable, // as late_landing, the disk not shareable and its detach never carried out
};
void PrintTo(Judging moment, std::ostream* out) {
  constexpr const char* k_names[] = {"late landing", "record read", "record read again", "not shareable"};
  *out << k_names[static_cast<int>(moment)];
}
class StopWhileALostDetach : public CleanupBounds, public ::testing::WithParamInterface<Judging> {};

TEST_P(StopWhileALostDetach, IsJudgedLeavesASharedDiskToTheOtherRun) {
  const Judging moment = GetParam();
  set_timeout(2);
  controller.set_task_duration(300ms);
  const bool restore = moment == Judging::record_read || moment == Judging::record_reread;
  const std::string made = k_first_new_vdisk;
  const std::string disk = restore ? made : k_disk_2;
  const std::string vdisk_path = "/api/vdisks/" + disk + "/";
  const bool shareable = moment != Judging::not_shareable;
  if (!restore && shareable) make_shareable(disk);
  if (restore) new_disks_become_shareable();
  if (shareable) another_run_takes_after_the_first_detach_of(disk);
  if (moment == Judging::late_landing) fault_the_second("detach", Fault{Fault::Kind::late, 2500ms, 1});
  if (moment == Judging::not_shareable) fault_the_second("detach", Fault{Fault::Kind::gateway_504, 0ms, 1});
  // A restore's detach lands at the next request. The new disk's record is read while that
  // detach's task locks it, once after, and then to judge the detach: that read is slow and the
  // stop comes during it, or it fails and the clean-up's read after it is the slow one.
  const size_t reads_before_stop = moment == Judging::record_read ? 3 : 4;
  if (restore) {
    const std::string detach = std::string("/api/domains/") + k_module_vm + "/detach-vdisk/";
    controller.add_fault("POST", detach, Fault{Fault::Kind::gateway_504, 200ms, 1});
    if (moment == Judging::record_reread)
      controller.add_fault("GET", vdisk_path, Fault{Fault::Kind::html_500, 0ms, 1, 2});
    const int reads_before_slow = moment == Judging::record_read ? 2 : 0;
    controller.add_fault("GET", vdisk_path, Fault{Fault::Kind::slow, 1500ms, 1, reads_before_slow});
    const std::vector<SavedDisk> disks = {{"d15c0077-0000-4000-8000-000000000077", "web-data", "vdb", true,
                                           disk_content(1 << 20, 'j')}};
    store_backup("rec-judged", saved_vm(k_source_vm, "web", disks, false), disks);
  }
  RunningProgram run = sandbox.start(restore ? restore_args("rec-judged") : backup_args());
  if (restore) {
    ASSERT_TRUE(eventually([&] { return controller.requests_to("GET", vdisk_path).size() >= reads_before_stop; }))
        << sandbox.log_tail();
  } else {
    // What the detach may still do is waited for one request time-out from when its reply came,
    // or was given up on.
    ASSERT_TRUE(eventually([&] { return detaches_of(disk) == 1; })) << sandbox.log_tail();
    if (shareable) controller.wait_for_tasks();  // the detach lands, and the other run attaches the disk
    else std::this_thread::sleep_for(1s);
  }
  const ProgramResult result = stop(run).first;
  controller.wait_for_tasks();
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  EXPECT_EQ(detaches_of(disk), shareable ? 1u : 2u) << sandbox.log_tail();
  EXPECT_TRUE(only_attached(shareable ? std::vector<std::string>{disk} : std::vector<std::string>{}))
      << sandbox.log_tail();
  EXPECT_TRUE(!restore || controller.vdisk(disk).has_value());
  EXPECT_EQ(contains(sandbox.log(), "vdisk '" + disk + "' may be left attached"), shareable) << sandbox.log_tail();
}

INSTANTIATE_TEST_SUITE_P(Moments, StopWhileALostDetach,
                         ::testing::Values(Judging::late_landing, Judging::record_read, Judging::record_reread,
                                           Judging::not_shareable));

// The controller refuses a shareable disk's first detach in its own error form, with a 503: that
// changed nothing, so the detach is sent again, and the backup gives every disk back.
TEST_F(CleanupBounds, ADetachRefusedInTheControllersOwnFormWithA503IsSentAgain) {
  make_shareable(k_disk_2);
  Fault unavailable{Fault::Kind::gateway};
  unavailable.times = 1;
  unavailable.status = 503;
  unavailable.body = R"({"errors": [{"detail": "Service is temporarily unavailable."}]})";
  fault_the_second("detach", unavailable);
  const ProgramResult result = sandbox.run(backup_args());
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(detaches_of(k_disk_2), 2u);
  expect_released();
}

// A gateway in front of the controller answers the removal of a restore's new disk, and its
// record, with a JSON 404 of its own: that is not the controller's word, so the disk is named.
TEST_F(CleanupBounds, AGatewaysJson404DoesNotShowADiskRemoved) {
  controller.set_task_duration(300ms);
  controller.fail_task("task-2");  // the new disk's attach: the restore cleans up
  Fault no_route{Fault::Kind::gateway};
  no_route.status = 404;
  no_route.body = R"({"message": "no Route matched with those values"})";
  const std::string made = k_first_new_vdisk;
  controller.add_fault("POST", "*/remove/", no_route);
  controller.add_fault("GET", "/api/vdisks/" + made + "/", no_route);
  const std::vector<SavedDisk> disks = {{"d15c0074-0000-4000-8000-000000000074", "web-data", "vdb", true,
                                         disk_content(1 << 20, 'o')}};
  store_backup("rec-route", saved_vm(k_source_vm, "web", disks, false), disks);
  const ProgramResult result = sandbox.run(restore_args("rec-route"));
  EXPECT_EQ(result.status, 7) << result.out << result.err;
  EXPECT_TRUE(controller.vdisk(made).has_value());
  EXPECT_TRUE(contains(sandbox.log(), "left on the platform: vdisk '" + made + "'")) << sandbox.log_tail();
}

// The controller carries out a restore's disk creation, or a backup's first attach, answered by a
// gateway's 504, only long after the program's wait for a late landing: finding nothing then
// proves nothing, and the disk is named as possibly made or attached later.
class LandsAfterTheWait : public CleanupBounds, public ::testing::WithParamInterface<bool> {};

TEST_P(LandsAfterTheWait, IsNamedAsPossiblyMadeLater) {
  const bool creation = GetParam();
  set_timeout(1);
  const std::string path = creation ? "/api/vdisks/" : std::string("/api/domains/") + k_module_vm + "/attach-vdisk/";
  controller.add_fault("POST", path, Fault{Fault::Kind::gateway_504, 8000ms, 1});
  const std::vector<SavedDisk> disks = {{"d15c0075-0000-4000-8000-000000000075", "web-late", "vdb", true,
                                         disk_content(1 << 20, 'k')}};
  if (creation) store_backup("rec-later", saved_vm(k_source_vm, "web", disks, false), disks);
  const ProgramResult result = sandbox.run(creation ? restore_args("rec-later") : backup_args());
  EXPECT_EQ(result.status, creation ? 7 : 6) << result.out << result.err;
  const std::string named =
      creation ? std::string("the vdisk \"web-late\" of a creation request whose reply was lost may still be made")
               : std::string("vdisk '") + k_disk_1 + "' may be attached to VM '" + k_module_vm + "' later";
  EXPECT_TRUE(contains(result.err, named)) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Changes, LandsAfterTheWait, ::testing::Values(true, false));

// The release's login gets no answer in time, a gateway's 504, or a refusal, once: it is tried
// again, and the backup ends as it would have without the fault.
class ReleaseLogin : public CleanupBounds, public ::testing::WithParamInterface<Fault::Kind> {};

TEST_P(ReleaseLogin, FailedOnceIsTriedAgainAndEveryDiskGoesBack) {
  set_timeout(1);
  Fault fault{GetParam(), 2000ms, 1};
  fault.after = 3;  // the resource checks' two and the preparation's
  controller.add_fault("POST", "/auth/", fault);
  const ProgramResult result = sandbox.run(backup_args());
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(controller.requests_to("POST", "/auth/").size(), 5u);
  expect_released();
}

INSTANTIATE_TEST_SUITE_P(Faults, ReleaseLogin,
                         ::testing::Values(Fault::Kind::slow, Fault::Kind::gateway_504, Fault::Kind::errors_reply),
                         [](const ::testing::TestParamInfo<Fault::Kind>& row) {
                           return row.param == Fault::Kind::slow          ? "TimedOut"
                                  : row.param == Fault::Kind::gateway_504 ? "Gateway504"
                                                                          : "Refused";
                         });

// The controller stops answering, with no request time-out, while the program waits for the reply
// to an attach or while the data mover runs: a stop still ends the program, and a second SIGTERM
// changes nothing.
class StalledController : public CleanupBounds, public ::testing::WithParamInterface<bool> {};

TEST_P(StalledController, DoesNotHoldAStopWithNoTimeOut) {
  const bool data_mover = GetParam();
  use_fast_clock();
  set_timeout(0);
  const Fault stall{Fault::Kind::late, 600s};
  if (data_mover)
    kvfd.set("block", "1");
  else
    controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/attach-vdisk/", stall);
  RunningProgram run = sandbox.start(backup_args());
  if (data_mover)
    ASSERT_TRUE(kvfd.wait_until_waiting(60s)) << sandbox.log_tail();
  else
    ASSERT_TRUE(eventually([&] { return !module_vm_requests("attach").empty(); })) << sandbox.log_tail();
  controller.add_fault("*", "*", stall);
  const auto sent = std::chrono::steady_clock::now();
  run.send(SIGTERM);
  std::this_thread::sleep_for(200ms);
  run.send(SIGTERM);
  const ProgramResult result = run.wait(60);
  const auto took = std::chrono::steady_clock::now() - sent;
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  // One poll bound and a few requests of the program's time.
  EXPECT_LT(took, k_stop_bound) << sandbox.log_tail();
  EXPECT_TRUE(contains(sandbox.log(), "release_resource_after_backup(): unable to login to url")) << sandbox.log_tail();
}

INSTANTIATE_TEST_SUITE_P(Moments, StalledController, ::testing::Values(false, true));

// The first attach's task never ends; the program is stopped while it waits for it. The stop's
// clean-up waits for the task no longer than what is left of its poll bound and of the stop's
// time, then leaves the disk as it is and names it and the task.
TEST_F(CleanupBounds, AStopEndsTheRunWhenATaskNeverEnds) {
  use_fast_clock();
  controller.hang_task("task-1");
  RunningProgram run = sandbox.start(backup_args());
  ASSERT_TRUE(eventually([&] { return controller.task_polls("task-1") >= 3; })) << sandbox.log_tail();
  const auto [result, took] = stop(run);
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  EXPECT_LT(took, k_stop_bound) << sandbox.log_tail();
  EXPECT_LE(controller.task_polls("task-1"), 300);
  const std::string log = sandbox.log();
  const std::string left =
      std::string("vdisk '") + k_disk_1 + "' is left as it is: the task 'task-1' on it has not ended";
  EXPECT_TRUE(contains(log, left)) << sandbox.log_tail();
}

// The stop comes while the program waits for the first disk's detach (a backup's release, or the
// last step of a restore's new disks), and that task never ends. The stop's deadline ends the
// wait, not the clean-up: the second disk still gets its detach, the first is named, and the
// program ends within about one poll bound.
class StopWithATaskThatNeverEnds : public CleanupBounds, public ::testing::WithParamInterface<bool> {};

TEST_P(StopWithATaskThatNeverEnds, StillDetachesTheOtherDisk) {
  const bool restore = GetParam();
  use_fast_clock();
  controller.set_task_duration(100ms);
  // The tasks before it: two attaches, or two creations and two attaches.
  const std::string stuck_task = restore ? "task-5" : "task-3";
  controller.hang_task(stuck_task);
  if (restore) store_two_disk_backup();
  RunningProgram run = sandbox.start(restore ? restore_args("rec-2") : backup_args());
  ASSERT_TRUE(eventually([&] { return controller.task_polls(stuck_task) >= 3; })) << sandbox.log_tail();
  const auto [result, took] = stop(run);
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  EXPECT_LT(took, k_stop_bound) << sandbox.log_tail();

  const std::vector<std::string> disks = attach_requests();
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_TRUE(asked_to_detach(disks[1]));
  controller.wait_for_tasks();
  EXPECT_TRUE(only_attached({disks[0]})) << sandbox.log_tail();
  const std::string log = sandbox.log();
  EXPECT_TRUE(contains(log, "vdisk '" + disks[0] + "' is left as it is: the task '" + stuck_task + "'")) << log;
  if (restore) {
    EXPECT_TRUE(contains(log, "left on the platform: vdisk '" + disks[0] + "', vdisk '" + disks[1] + "'")) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, StopWithATaskThatNeverEnds, ::testing::Values(false, true));

// A stopped restore whose clean-up cannot log in names the new disk it leaves on the platform.
TEST_F(CleanupBounds, AStoppedRestoreThatCannotLogInNamesItsNewDisk) {
  controller.set_task_duration(2000ms);
  store_two_disk_backup();
  const std::set<std::string> known = vdisk_ids();
  RunningProgram run = sandbox.start(restore_args("rec-2"));
  ASSERT_TRUE(eventually([&] { return !controller.requests_to("POST", "/api/vdisks/").empty(); }));
  controller.add_fault("POST", "/auth/", Fault{});
  run.send(SIGTERM);
  const ProgramResult result = run.wait(60);
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  const std::vector<boost::json::object> made = new_vdisks(known);
  ASSERT_EQ(made.size(), 1u);
  const std::string id(made[0].at("id").as_string());
  EXPECT_TRUE(contains(sandbox.log(), "left on the platform: vdisk '" + id + "'")) << sandbox.log_tail();
}

// A stop comes while a restore waits for a lost disk creation to land. The stop's clock starts
// then, not at the next request: the removal of the disk, whose task never ends, is waited for
// only until one poll bound after the stop.
TEST_F(CleanupBounds, AStopDuringTheWaitForALostCreationStartsTheStopsClock) {
  use_fast_clock();
  constexpr int k_timeout = 250;  // program seconds: the request time-out and the wait for a late landing
  set_timeout(k_timeout);
  const auto timeout = std::chrono::seconds(k_timeout) / k_time_scale;
  controller.add_fault("POST", "/api/vdisks/", Fault{Fault::Kind::slow, 3 * timeout, 1});
  controller.hang_task("task-2");  // the removal of the disk the lost creation made
  const std::vector<SavedDisk> disks = {
      {"d15c0091-0000-4000-8000-000000000091", "web-data", "vdb", true, disk_content(1 << 20, 'r')}};
  store_backup("rec-lost", saved_vm(k_source_vm, "web", disks, false), disks);
  RunningProgram run = sandbox.start(restore_args("rec-lost"));
  ASSERT_TRUE(eventually([&] { return !controller.requests_to("POST", "/api/vdisks/").empty(); }));
  std::this_thread::sleep_for(timeout + timeout / 5);
  const auto [result, took] = stop(run);
  EXPECT_EQ(result.status, 17) << result.out << result.err;
  EXPECT_LT(took, k_stop_bound) << sandbox.log_tail();
  EXPECT_EQ(controller.requests_to("POST", "/api/vdisks/").size(), 1u);
  EXPECT_TRUE(contains(sandbox.log(), "was made by the creation request whose reply was lost")) << sandbox.log_tail();
}

}  // namespace
}  // namespace kv_test
