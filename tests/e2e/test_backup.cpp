// Backups of a VeiL VM by the real program, from the backup client's command line to the archive
// file names on standard output: what the platform, the data mover and the client see.
#include "tests/e2e/backup_road.h"

#include "veil/saved_config.h"
#include "veil/vdisk.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <map>
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
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    for (const auto& prefix : prefixes)
      if (line.rfind(prefix, 0) == 0) {
        lines.push_back(line);
        break;
      }
    start = end + 1;
  }
  return lines;
}

// The data mover's command line of a local full backup with the defaults, argument by argument.
std::vector<std::string> full_backup_argv(const std::string& dir) {
  return {k_kvfd,
          "-a", "sha2", "-2", "-b", "16384",
          "-c", dir + "/NAME.kvfd.list",
          "-x", "/opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem",
          "-z", "None", "-M", "MEDIA", "-N", "NAME", "-T", "TASK",
          "-s", "/opt/kelvanor/var/tasks//task_secret_TASK",
          "-m", dir + "/NAME.snap_dir/NAME.meta"};
}

class Backup : public BackupRoad {
 protected:
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

  // Every disk that was attached has gone back and the run's files are gone.
  void expect_released() const {
    EXPECT_EQ(attached_to_module_vm(), std::vector<std::string>{});
    EXPECT_TRUE(devices.attached().empty());
    for (const auto& name : operation_files()) {
      EXPECT_FALSE(contains(name, ".config")) << name;
      EXPECT_FALSE(contains(name, ".kvfd.list")) << name;
    }
  }
};

TEST_F(Backup, FullBackupOfARunningVmWithTwoDisksAndACdrom) {
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
  EXPECT_EQ(calls[0].argv, full_backup_argv(dir));
  EXPECT_EQ(calls[0].list, list);
  EXPECT_TRUE(contains(sandbox.log(),
                       ":kvfd command: cd / && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -c " + dir +
                           "/NAME.kvfd.list -x /opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem"
                           " -z None -M MEDIA -N NAME -T TASK -s /opt/kelvanor/var/tasks//task_secret_TASK -m " +
                           dir + "/NAME.snap_dir/NAME.meta 2>&1\n"))
      << sandbox.log_tail();

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
  std::vector<std::string> serials;
  for (const Attachment& attachment : controller.attachments()) serials.push_back(attachment.serial);
  const auto attach_bodies = controller.requests_to("POST", std::string("/api/domains/") + k_module_vm + "/attach-vdisk/");
  ASSERT_EQ(attach_bodies.size(), 2u);
  const char* attached_ids[] = {k_disk_1, k_disk_2};
  for (size_t i = 0; i < 2; ++i) {
    const boost::json::object body = boost::json::parse(attach_bodies[i].body).as_object();
    EXPECT_EQ(body.at("vdisk").as_string(), attached_ids[i]);
    EXPECT_EQ(body.at("serial").as_string(), std::string(attached_ids[i]).substr(0, 18));
    EXPECT_EQ(body.at("serial").as_string().size(), 18u);
  }
  EXPECT_EQ(controller.requests_to("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/").size(), 2u);
  expect_released();
  EXPECT_EQ(operation_files(), std::vector<std::string>{"NAME.snap"});

  // The guest's default script ran around the attachments.
  const auto runs = controller.guest_runs();
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].path, "/usr/bin/test");
  EXPECT_EQ(runs[0].args, (std::vector<std::string>{"-f", k_default_script}));
  EXPECT_EQ(runs[1].path, k_default_script);
  EXPECT_EQ(runs[1].args, std::vector<std::string>{"before"});
  EXPECT_EQ(runs[2].path, k_default_script);
  EXPECT_EQ(runs[2].args, std::vector<std::string>{"after"});
}

}  // namespace
}  // namespace kv_test
