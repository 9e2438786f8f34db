#pragma once

// A VeiL installation for end-to-end backups of the real program: the test controller with the
// module's VM and a source VM, disks whose attachment to the module's VM makes them show up as
// block devices in the program's namespace, and the fake data mover.

#include "tests/support/fake_platform.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_controller.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kv_test {

inline constexpr const char* k_module_vm = "0c0ffee0-aaaa-4bbb-8ccc-000000000001";
inline constexpr const char* k_source_vm = "5c3b1e02-1111-4222-8333-000000000002";
// Ids longer than a serial, so that the serial is a true prefix.
inline constexpr const char* k_disk_1 = "d15c0001-aaaa-4bbb-8ccc-111111111111";
inline constexpr const char* k_cdrom = "cd000002-aaaa-4bbb-8ccc-222222222222";
inline constexpr const char* k_disk_2 = "d15c0003-aaaa-4bbb-8ccc-333333333333";
inline constexpr const char* k_archive = "NAME";

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class BackupRoad : public ::testing::Test {
 protected:
  BackupRoad() : devices(sandbox.scratch("platform")), kvfd(sandbox.install_fake_platform(devices)) {}

  void SetUp() override {
    controller.start();
    write_file(sandbox.opt("etc/kv_logger.config"), "log_level Debug\nlog_file_max_size 10\nlog_file_max_rotate 2\n");
    write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + controller.url() +
                                                              "\nusername kv-api\npassword kv-secret\ntimeout 10\n"
                                                              "kelvanor-vm-name kv-proxy\n");
    controller.add_vm(TestController::make_vm(k_module_vm, "kv-proxy"));
    boost::json::object source = TestController::make_vm(k_source_vm, "web server");
    source["status"] = source_status;
    source["user_power_state"] = source_power_state;
    source["boot_devices"] = boost::json::array{boost::json::object{{"id", k_cdrom}, {"entity_type", "cdrom"}},
                                                boost::json::object{{"id", k_disk_1}, {"entity_type", "vdisk"}}};
    controller.add_vm(std::move(source));
    add_disk(k_disk_1, "web-system", 'a', 3 << 20);
    boost::json::object cdrom = TestController::make_vdisk(k_cdrom, "web-install-iso", k_source_vm, 0.5);
    cdrom["device"] = "cdrom";
    controller.add_vdisk(std::move(cdrom));
    add_disk(k_disk_2, "web-data", 'b', (1 << 20) + 123);

    // The controller's attachments to the module's VM are what the program sees as disks.
    controller.set_attach_listener([this](const std::string& vdisk_id, const std::string& vm_id,
                                          const std::string& serial) {
      if (vm_id == k_module_vm) devices.attach(serial, controller.vdisk_image(vdisk_id));
    });
    controller.set_detach_listener([this](const std::string&, const std::string& vm_id, const std::string& serial) {
      if (vm_id == k_module_vm) devices.detach(devices.name_of(serial));
    });
    controller.set_task_schedule({std::string("SUCCESS")});
    boost::filesystem::create_directories(operation_dir());
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "log tail:\n" << sandbox.log_tail(60) << std::endl;
  }

  // A disk of the source VM backed by an image of `size` bytes of a pattern that differs per seed.
  void add_disk(const std::string& id, const std::string& name, char seed, size_t size) {
    controller.add_vdisk(TestController::make_vdisk(id, name, k_source_vm, 20.0));
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(seed + i * 13 + i / 512);
    const std::string image = sandbox.scratch(id + ".img");
    write_file(image, content);
    controller.set_vdisk_image(id, image);
  }

  std::string operation_dir() const { return sandbox.scratch(m_operation_name); }
  void set_operation_name(const std::string& name) {
    m_operation_name = name;
    boost::filesystem::create_directories(operation_dir());
  }

  // The command line of a backup as the backup client gives it.
  std::vector<std::string> backup_args(const std::vector<std::string>& extra = {},
                                       const std::string& archive = k_archive) const {
    std::vector<std::string> args = {"-b", k_source_vm, "-d", operation_dir(), "-n", archive,
                                     "-T", "TASK",      "-m", "MEDIA"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Disks the controller still has attached to the module's VM.
  std::vector<std::string> attached_to_module_vm() const {
    std::vector<std::string> ids;
    for (const Attachment& attachment : controller.attachments())
      if (attachment.vm_id == k_module_vm) ids.push_back(attachment.vdisk_id);
    return ids;
  }
  size_t attach_requests() const {
    return controller.requests_to("POST", std::string("/api/domains/") + k_module_vm + "/attach-vdisk/").size();
  }

  // What the program left in the operation directory, the folders of the snapshot excluded.
  std::vector<std::string> operation_files() const {
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(operation_dir()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The source VM's state; a fixture for a stopped VM changes them before SetUp.
  std::string source_status = "ACTIVE";
  int source_power_state = 3;

  ModuleSandbox sandbox;
  FakeBlockDevices devices;
  FakeKvfdRecord kvfd;
  TestController controller;

 private:
  std::string m_operation_name = "op";
};

}  // namespace kv_test
