#pragma once

// The platform the end-to-end tests run the real program against: a test controller that knows
// the module's VM, the fake block devices that show every disk attached to that VM under the
// serial of its attach request, the fake data mover, and a recording /bin/dd in front of the
// real one.

#include "tests/support/fake_platform.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_controller.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kv_test {

constexpr const char* k_module_vm_id = "a0d1f00d-0000-4000-8000-00000000beef";
constexpr const char* k_module_vm_name = "kv-proxy";
constexpr const char* k_task_id = "task-7";
// The clock of runs that only wait (a second before each task poll, the block device's look-up)
// and race nothing the test controller does in real time: five times faster keeps the suite quick
// while a request time-out of 20 program seconds still leaves a loaded machine 4 real seconds.
inline constexpr int k_waiting_clock_scale = 5;

// Content of a few MiB that differs per seed and per block, so a swapped, shifted or truncated
// copy shows.
inline std::string disk_content(size_t size, char seed) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(seed + i * 13 + i / 65536);
  return content;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One disk of a saved VM.
struct SavedDisk {
  std::string id;          // the disk's id at backup time
  std::string name;        // its verbose_name
  std::string target_dev;  // the block device it had in the module VM, which names its image
  bool boot = false;
  std::string content;  // the image
};

class RestorePlatform {
 public:
  RestorePlatform() : devices(sandbox.scratch("platform")), kvfd(sandbox.install_fake_platform(devices)) {
    install_recording_dd();
    controller.start();
    // Tasks succeed at the first poll: the program's waits stay short.
    controller.set_task_schedule({std::string("SUCCESS")});
    boost::filesystem::create_directories(sandbox.scratch("images"));
    controller.set_image_directory(sandbox.scratch("images"));
    controller.add_vm(TestController::make_vm(k_module_vm_id, k_module_vm_name));
    controller.set_attach_listener([this](const std::string& vdisk_id, const std::string& vm_id,
                                          const std::string& serial) {
      if (vm_id != k_module_vm_id) return;
      std::string image = controller.vdisk_image(vdisk_id);
      if (image.empty()) image = sandbox.scratch("images/" + vdisk_id + ".img");
      devices.attach(serial, image);
    });
    controller.set_detach_listener([this](const std::string&, const std::string& vm_id, const std::string& serial) {
      if (vm_id != k_module_vm_id) return;
      const std::string name = devices.name_of(serial);
      if (!name.empty()) devices.detach(name);
    });
    write_file(sandbox.opt("etc/kv_logger.config"), "log_level Info\nlog_file_max_size 100\nlog_file_max_rotate 2\n");
    write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + controller.url() +
                                                              "\nusername kv-api\npassword kv-secret\ntimeout 20\n"
                                                              "kelvanor-vm-name " + k_module_vm_name + "\n");
    write_file(sandbox.opt("var/tasks/task_secret_" + std::string(k_task_id)), "task secret\n");
    boost::filesystem::create_directories(operation_directory());
  }

  // The operation directory the client names with -d.
  std::string operation_directory() const { return sandbox.scratch("op dir"); }
  std::string restore_directory(const std::string& record) const { return operation_directory() + "/" + record + ".rest"; }

  // A VM configuration as the backup saved it: the controller's record of a VM named `name`, with
  // the disks' ids, the boot disk first among the boot devices and a CD-ROM drive when asked.
  static ::domain_conf saved_vm(const std::string& id, const std::string& name, const std::vector<SavedDisk>& disks,
                                bool cdrom) {
    ::domain_conf domain;
    EXPECT_EQ(curlAPI::read_domain_config(boost::json::serialize(TestController::make_vm(id, name)), domain), 0);
    domain.boot_devices.clear();
    for (const SavedDisk& disk : disks) {
      domain.available_vdisks.push_back(disk.id);
      if (disk.boot) domain.boot_devices.push_back({disk.id, "vdisk", 0});
    }
    if (cdrom) domain.boot_devices.push_back({"c0c0c0c0-0000-4000-8000-000000000001", "cdrom", 0});
    return domain;
  }

  static vdisk saved_vdisk(const SavedDisk& disk, const std::string& vm_id) {
    vdisk record;
    EXPECT_EQ(curlAPI::read_vdisk_info(boost::json::serialize(TestController::make_vdisk(disk.id, disk.name, vm_id,
                                                                                          0.1)),
                                       record),
              0);
    record.target_dev = disk.target_dev;
    record.is_boot = disk.boot;
    return record;
  }

  // The VM `name` with its disks on the controller, each disk's image holding its content: what a
  // backup reads. The boot disk comes first among the boot devices, then a CD-ROM drive when
  // asked. The members of `changes` replace the VM's.
  void add_source_vm(const std::string& id, const std::string& name, const std::vector<SavedDisk>& disks,
                     bool cdrom, const boost::json::object& changes = {}) {
    boost::json::object vm = TestController::make_vm(id, name);
    for (const auto& member : changes) vm[member.key()] = member.value();
    boost::json::array boot_devices;
    for (const SavedDisk& disk : disks) {
      controller.add_vdisk(TestController::make_vdisk(disk.id, disk.name, id, 0.1));
      const std::string image = sandbox.scratch("source/" + disk.id + ".img");
      write_file(image, disk.content);
      controller.set_vdisk_image(disk.id, image);
      if (disk.boot) boot_devices.push_back(boost::json::object{{"id", disk.id}, {"entity_type", "vdisk"}});
    }
    if (cdrom)
      boot_devices.push_back(
          boost::json::object{{"id", "c0c0c0c0-0000-4000-8000-000000000001"}, {"entity_type", "cdrom"}});
    vm["boot_devices"] = std::move(boot_devices);
    controller.add_vm(std::move(vm));
  }

  // The command line of the client's full backup of `resource` into the archive `archive`.
  std::vector<std::string> backup_args(const std::string& resource, const std::string& archive) const {
    return {"-1", "-b", resource, "-d", operation_directory(), "-m", "media-1", "-T", k_task_id, "-n", archive};
  }

  // Puts a backup record into the data mover's store as the backup of that VM left it: the VM's
  // configuration, each disk's configuration and each image (unless `skip_image` names it).
  void store_backup(const std::string& record, const ::domain_conf& domain, const std::vector<SavedDisk>& disks,
                    const std::string& skip_image = "") const {
    write_file(kvfd.stored(record, "vm.config"), kv_veil::to_archive_text(domain));
    for (const SavedDisk& disk : disks) {
      write_file(kvfd.stored(record, disk.id + ".conf"), kv_veil::to_archive_text(saved_vdisk(disk, domain.id)));
      if (disk.target_dev != skip_image) write_file(kvfd.stored(record, disk.target_dev), disk.content);
    }
  }

  // The command line of the client's restore of `record`, the last of its chain.
  std::vector<std::string> restore_args(const std::string& record, const std::string& params = "last:true") const {
    return {"-r", record, "-m", "media-1", "-T", k_task_id, "-d", operation_directory(), "-e", params};
  }

  // Every disk the controller holds that is not one of `known`.
  std::vector<boost::json::object> new_vdisks(const std::set<std::string>& known) const {
    std::vector<boost::json::object> found;
    for (const auto& disk : controller.vdisks())
      if (!known.count(std::string(disk.at("id").as_string()))) found.push_back(disk);
    return found;
  }

  std::vector<Attachment> attachments_to(const std::string& vm_id) const {
    std::vector<Attachment> found;
    for (const Attachment& attachment : controller.attachments())
      if (attachment.vm_id == vm_id) found.push_back(attachment);
    return found;
  }

  // The arguments of every dd run, one list per run.
  std::vector<std::vector<std::string>> dd_runs() const {
    std::vector<std::vector<std::string>> runs;
    std::istringstream log(read_file(sandbox.scratch("dd.log")));
    std::string line;
    while (std::getline(log, line)) {
      std::vector<std::string> args;
      for (size_t open = line.find('['); open != std::string::npos; open = line.find('[', open)) {
        const size_t close = line.find("]\t", open);
        args.push_back(line.substr(open + 1, close - open - 1));
        open = close + 2;
      }
      runs.push_back(args);
    }
    return runs;
  }

  // The end of the program's log, for failure messages.
  std::string failure_context() const {
    const std::string log = sandbox.log();
    return "\n--- log ---\n" + log.substr(log.size() > 12000 ? log.size() - 12000 : 0);
  }

  TestController controller;
  ModuleSandbox sandbox;
  FakeBlockDevices devices;
  FakeKvfdRecord kvfd;

 private:
  // /bin/dd inside the sandbox records its arguments (each in brackets, tab after each) and then
  // runs a copy of the real dd.
  void install_recording_dd() {
    const std::string real = sandbox.root() + "/real-dd";
    boost::filesystem::copy_file(boost::filesystem::canonical("/bin/dd"), real,
                                 boost::filesystem::copy_options::overwrite_existing);
    const std::string log = sandbox.scratch("dd.log");
    write_file(sandbox.root() + "/recording-dd",
               "#!/bin/sh\n"
               "{ for a in \"$@\"; do printf '[%s]\\t' \"$a\"; done; echo; } >>'" + log + "'\n"
               "exec '" + real + "' \"$@\"\n",
               0755);
    sandbox.bind(sandbox.root() + "/recording-dd", "/bin/dd");
  }
};

}  // namespace kv_test
