// Backups of a VeiL VM by the real program, from the backup client's command line to the archive
// file names on standard output: what the platform, the data mover and the client see.
#include "tests/e2e/backup_road.h"

#include "veil/saved_config.h"
#include "veil/vdisk.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_kvfd = "/opt/kelvanor/bin/kvfd";
constexpr const char* k_default_script = "/opt/kelvanor/scripts/veil_vm.sh";
constexpr const char* k_incomplete_warning =
    "The work of the module is completed without a guarantee of completeness and consistency of the data";

// The lines of `text` that start with one of the prefixes, in order.
std::vector<std::string> lines_starting_with(const std::string& text, const std::vector<std::string>& prefixes) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& p) { return line.rfind(p, 0) == 0; }))
      lines.push_back(line);
  return lines;
}

// The data mover's command line of a local backup with the defaults, argument by argument; a
// reference meta file makes it incremental or differential.
std::vector<std::string> backup_argv(const std::string& dir, const std::string& archive = k_archive,
                                     const std::string& reference_meta = "") {
  std::vector<std::string> argv = {k_kvfd, "-a", "sha2", "-2", "-b", "16384", "-c", dir + "/" + archive + ".kvfd.list",
                                   "-x", "/opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem"};
  if (!reference_meta.empty()) argv.insert(argv.end(), {"-S", reference_meta});
  argv.insert(argv.end(), {"-z", "None", "-M", "MEDIA", "-N", archive, "-T", "TASK", "-s",
                           "/opt/kelvanor/var/tasks//task_secret_TASK", "-m",
                           dir + "/" + archive + ".snap_dir/" + archive + ".meta"});
  return argv;
}

class Backup : public BackupRoad {
 protected:
  void SetUp() override {
    BackupRoad::SetUp();
    sandbox.use_fast_clock(k_waiting_clock_scale);
  }

  // The entries the preparation lists for the two disks (vdb, vdc in attachment order) and
  // the VM configuration, in the list's key order.
  std::map<std::string, std::string> expected_entries() const {
    const std::string prefix = operation_dir() + "/" + k_archive;
    return {{"/dev/vdb", "vdb"},
            {"/dev/vdc", "vdc"},
            {prefix + "_vdb.config", std::string(k_disk_1) + ".conf"},
            {prefix + "_vdc.config", std::string(k_disk_2) + ".conf"},
            {prefix + ".vm.config", "vm.config"}};
  }
};

TEST_F(Backup, FullBackupOfARunningVmWithTwoDisksAndACdrom) {
  // The controller lists the first disk twice: it is attached and saved once.
  controller.add_vdisk(TestController::make_vdisk(k_disk_1, "web-system", k_source_vm, 20.0));
  controller.add_guest_file(k_source_vm, k_default_script);
  controller.set_guest_program(k_default_script, GuestProgram{});
  RunningProgram run = sandbox.start(backup_args());
  const pid_t pid = run.pid();
  ProgramResult result = run.wait(120);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const std::string dir = operation_dir();

  // The client's protocol, in order.
  const std::vector<std::string> protocol = lines_starting_with(
      result.out, {"MODULE PID:", "KVFD PID: ", "Packed: ", "Transferred: ", "MAIN ", "CLIENT DEFINED"});
  const std::map<std::string, std::string> entries = expected_entries();
  ASSERT_EQ(protocol.size(), 3 + entries.size() + 3) << result.out;
  EXPECT_EQ(protocol[0], "MODULE PID:" + std::to_string(pid));
  EXPECT_EQ(protocol[1].rfind("KVFD PID: ", 0), 0u);
  size_t line = 2;
  for (const auto& [path, name] : entries) EXPECT_EQ(protocol[line++].rfind("Packed: " + name + " ", 0), 0u) << name;
  EXPECT_EQ(protocol[line++].rfind("Transferred: ", 0), 0u);
  EXPECT_EQ(protocol[line++], "MAIN ARCHIVE FILENAME:" + dir + "/NAME.snap");
  EXPECT_EQ(protocol[line++], "MAIN SNAPSHOT FILENAME:" + dir + "/NAME.snap");
  EXPECT_EQ(protocol[line++], "MAIN ARCHIVE SIGN FILENAME:" + dir + "/NAME.signature");

  std::string shown = "File list to backup: \n";
  std::string list = "KVFD file list:\n";
  for (const auto& [path, name] : entries) {
    shown += path + " : " + name + "\n";
    list += "   " + path + " : " + name + "\n";
  }
  EXPECT_TRUE(contains(result.out, shown)) << result.out;

  // The data mover got the command line of a local full backup and the list, byte for byte.
  const auto calls = kvfd.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, backup_argv(dir));
  EXPECT_EQ(calls[0].list, list);
  // What the data mover read: the disks' bytes and their saved configurations.
  EXPECT_EQ(read_file(kvfd.stored(k_archive, "vdb")), read_file(controller.vdisk_image(k_disk_1)));
  EXPECT_EQ(read_file(kvfd.stored(k_archive, "vdc")), read_file(controller.vdisk_image(k_disk_2)));
  const std::pair<const char*, const char*> saved_disks[] = {{k_disk_1, "vdb"}, {k_disk_2, "vdc"}};
  for (const auto& [id, device] : saved_disks) {
    vdisk disk;
    kv_veil::from_archive_text(read_file(kvfd.stored(k_archive, std::string(id) + ".conf")), disk);
    EXPECT_EQ(disk.id, id);
    EXPECT_EQ(disk.target_dev, device);
    EXPECT_EQ(disk.is_boot, std::string(id) == k_disk_1);
  }
  domain_conf vm;
  kv_veil::from_archive_text(read_file(kvfd.stored(k_archive, "vm.config")), vm);
  EXPECT_EQ(vm.id, k_source_vm);
  EXPECT_EQ(vm.available_vdisks, (std::vector<std::string>{k_disk_1, k_disk_2}));

  // Each disk of type "disk" was attached once, with the first 18 characters of its id.
  const auto attach_bodies = module_vm_requests("attach");
  ASSERT_EQ(attach_bodies.size(), 2u);
  const char* attached_ids[] = {k_disk_1, k_disk_2};
  for (size_t i = 0; i < 2; ++i) {
    const boost::json::object body = boost::json::parse(attach_bodies[i].body).as_object();
    EXPECT_EQ(body.at("vdisk").as_string(), attached_ids[i]);
    EXPECT_EQ(body.at("serial").as_string(), std::string(attached_ids[i]).substr(0, 18));
  }
  EXPECT_EQ(module_vm_requests("detach").size(), 2u);
  expect_released();
  EXPECT_EQ(operation_files(), std::vector<std::string>{"NAME.snap"});

  // The guest's default script ran around the attachments.
  std::vector<std::string> runs;
  for (const GuestRun& guest : controller.guest_runs()) runs.push_back(guest.path + " " + guest.args.back());
  EXPECT_EQ(runs, (std::vector<std::string>{"/usr/bin/test " + std::string(k_default_script),
                                            std::string(k_default_script) + " before",
                                            std::string(k_default_script) + " after"}));
}

TEST_F(Backup, IncrementalAndDifferentialStartFromTheReferenceSnapshot) {
  ASSERT_EQ(sandbox.run(backup_args(), 120).status, 0) << sandbox.log_tail();
  const std::string dir = operation_dir();
  for (const std::string flag : {"-2", "-3"}) {
    SCOPED_TRACE(flag);
    // The client keeps the snapshot file of the full backup under a name of its own.
    const std::string reference = dir + "/REF" + flag + ".snap";
    boost::filesystem::copy_file(dir + "/NAME.snap", reference);
    const std::string archive = "NEXT" + flag;
    ProgramResult result = sandbox.run(backup_args({flag, "-s", reference}, archive), 120);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(kvfd.calls().back().argv, backup_argv(dir, archive, dir + "/REF" + flag + ".snap_dir/NAME.meta"));
    EXPECT_TRUE(contains(result.out, "MAIN SNAPSHOT FILENAME:" + dir + "/" + archive + ".snap\n")) << result.out;
    EXPECT_FALSE(file_exists(reference));
    EXPECT_FALSE(file_exists(dir + "/REF" + flag + ".snap_dir"));
    expect_released();
  }
}

TEST_F(Backup, IncrementalWithoutReferenceFailsBeforeTheDataMoverAndDetaches) {
  ProgramResult result = sandbox.run(backup_args({"-2"}), 120);
  EXPECT_EQ(result.status, 6);
  EXPECT_TRUE(contains(result.err, "bool KvModuleUniversal::make_backup_cmd_common(std::string&): you must define "
                                   "reference snapshot name (-s option)"))
      << result.err;
  EXPECT_TRUE(kvfd.calls().empty());
  EXPECT_EQ(module_vm_requests("attach").size(), 2u);
  expect_released();
  EXPECT_FALSE(contains(result.out, "MAIN ARCHIVE FILENAME:"));
}

struct DataMoverEnd {
  const char* key;  // a control key of the data mover
  const char* value;
  std::vector<std::string> extra;  // more of the command line
  bool refuse_detach;              // the controller refuses to give the disks back
  int status;
  bool closed;  // the archive's files were announced
};

TEST_F(Backup, TheDataMoverAndTheReleaseDecideTheStatusAndTheDisksAlwaysGoBack) {
  for (const DataMoverEnd& c : {DataMoverEnd{"exit", "1", {}, false, 6, false},
                                DataMoverEnd{"exit", "100", {}, false, 100, true},
                                DataMoverEnd{"list.exit", "1", {"-e", "file_list:true"}, false, 6, true},
                                DataMoverEnd{"exit", "0", {}, true, 6, false}}) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    kvfd.clear_control();
    kvfd.set(c.key, c.value);
    if (c.refuse_detach)
      controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/", Fault{});
    const size_t detaches_before = module_vm_requests("detach").size();
    ProgramResult result = sandbox.run(backup_args(c.extra), 120);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_EQ(contains(result.out, "MAIN ARCHIVE FILENAME:" + operation_dir() + "/NAME.snap\n"), c.closed);
    EXPECT_EQ(contains(result.out, std::string("Warning: ") + k_incomplete_warning), c.status == 100) << result.out;
    if (c.refuse_detach) continue;
    EXPECT_EQ(module_vm_requests("detach").size(), detaches_before + 2);
    expect_released();
  }
}

TEST_F(Backup, RestrictedResourceIsRefusedWithoutTouchingThePlatform) {
  write_file(sandbox.opt("etc/kelvanor_restriction.list.veil_vm"), std::string("other-vm\n") + k_source_vm + "\n");
  ProgramResult result = sandbox.run(backup_args({"-j"}));
  EXPECT_EQ(result.status, 11);
  EXPECT_TRUE(contains(result.err, std::string("Backup module: Unable to backup this resource \"") + k_source_vm +
                                       "\". Local restriction."))
      << result.err;
  EXPECT_EQ(module_vm_requests("attach").size(), 0u);
  EXPECT_TRUE(kvfd.calls().empty());
}

TEST_F(Backup, AnOperationDirectoryWithShellCharactersReachesTheDataMoverIntact) {
  set_operation_name("op dir'x;y");
  ProgramResult result = sandbox.run(backup_args(), 120);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const std::string dir = operation_dir();
  const auto calls = kvfd.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, backup_argv(dir));
  EXPECT_TRUE(contains(calls[0].list, "   " + dir + "/NAME.vm.config : vm.config\n")) << calls[0].list;
  EXPECT_TRUE(contains(result.out, "MAIN SNAPSHOT FILENAME:" + dir + "/NAME.snap\n"));
  EXPECT_EQ(operation_files(), std::vector<std::string>{"NAME.snap"});
  expect_released();
}

// Info lines go to standard output, where the client reads the protocol: an id with a line break
// would bring a protocol line of the controller's making there.
TEST_F(Backup, ATaskIdWithALineBreakFailsTheAttachAndNeverReachesStandardOutput) {
  controller.set_reply("POST", std::string("/api/domains/") + k_module_vm + "/attach-vdisk/", 200,
                       R"({"_task": {"id": "task-1\nMAIN ARCHIVE FILENAME:/etc/shadow"}})");
  // The attach may still land: the release gives it one request time-out, shortened here.
  std::string config = read_file(sandbox.opt("etc/kv_module_veil_vm.conf"));
  write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), config.replace(config.find("timeout 20"), 10, "timeout 2"));
  ProgramResult result = sandbox.run(backup_args(), 120);
  EXPECT_EQ(result.status, 6);
  EXPECT_TRUE(lines_starting_with(result.out, {"MAIN ARCHIVE FILENAME:"}).empty()) << result.out;
  EXPECT_TRUE(contains(result.err, "int curlAPI::get_task_id(const string&, std::string&): the reply holds an "
                                   "unusable task id: 'task-1\\nMAIN ARCHIVE FILENAME:/etc/shadow'"))
      << result.err;
  EXPECT_TRUE(kvfd.calls().empty());
}

// Somebody else's VM whose id could go into no URL leaves out its own row, not the list: the
// lists, the client check and a backup of another VM go on. The texts of a row are escaped.
TEST_F(Backup, AForeignVmWithAnUnusableIdFailsNeitherTheListsNorABackupOfAnother) {
  controller.add_vm(TestController::make_vm("legacy vm #1", "legacy"));
  controller.add_vm(TestController::make_vm("5c3b1e02-1111-4222-8333-000000000009", "old\xc2\x85one"));
  const ProgramResult listed = sandbox.run({"-L"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_TRUE(contains(listed.out, std::string(k_source_vm) + "|web server|")) << listed.out;
  EXPECT_TRUE(contains(listed.out, "5c3b1e02-1111-4222-8333-000000000009|old\\u0085one|")) << listed.out;
  EXPECT_FALSE(contains(listed.out, "legacy vm #1|")) << listed.out;
  EXPECT_EQ(sandbox.run({"-t"}).status, 0) << sandbox.log_tail();
  const ProgramResult result = sandbox.run(backup_args(), 120);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  expect_released();
}

class StoppedVmBackup : public Backup {
 protected:
  StoppedVmBackup() { source_power_state = 1; }
};

TEST_F(StoppedVmBackup, IsRefusedWhenTheParametersSaySoAndOtherwiseBackedUpWithoutGuestScripts) {
  controller.add_guest_file(k_source_vm, k_default_script);
  ProgramResult result = sandbox.run(backup_args({"-e", "backup_if_shutdown:no"}));
  EXPECT_EQ(result.status, 6);
  EXPECT_TRUE(contains(result.err, std::string(": Can't backup an offline VM: '") + k_source_vm + "'")) << result.err;
  EXPECT_EQ(module_vm_requests("attach").size(), 0u);
  EXPECT_TRUE(kvfd.calls().empty());
  result = sandbox.run(backup_args(), 120);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(controller.guest_runs().empty());
  EXPECT_EQ(module_vm_requests("attach").size(), 2u);
  expect_released();
}

}  // namespace
}  // namespace kv_test
