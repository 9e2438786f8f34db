#pragma once

// The platform of the end-to-end backups: the module's VM and a running source VM with two disks
// and a CD-ROM drive, whose attachments to the module's VM show up as block devices.

#include "tests/e2e/test_restore_fixture.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <string>
#include <vector>

namespace kv_test {

inline constexpr const char* k_module_vm = k_module_vm_id;
inline constexpr const char* k_source_vm = "5c3b1e02-1111-4222-8333-000000000002";
// Ids longer than a serial, so that the serial is a true prefix.
inline constexpr const char* k_disk_1 = "d15c0001-aaaa-4bbb-8ccc-111111111111";
inline constexpr const char* k_cdrom = "cd000002-aaaa-4bbb-8ccc-222222222222";
inline constexpr const char* k_disk_2 = "d15c0003-aaaa-4bbb-8ccc-333333333333";
inline constexpr const char* k_archive = "NAME";

class BackupRoad : public ::testing::Test, public RestorePlatform {
 protected:
  void SetUp() override {
    boost::json::object source = TestController::make_vm(k_source_vm, "web server");
    source["user_power_state"] = source_power_state;
    source["boot_devices"] = boost::json::array{boost::json::object{{"id", k_cdrom}, {"entity_type", "cdrom"}},
                                                boost::json::object{{"id", k_disk_1}, {"entity_type", "vdisk"}}};
    controller.add_vm(std::move(source));
    add_disk(k_disk_1, "web-system", 'a', 3 << 20);
    boost::json::object cdrom = TestController::make_vdisk(k_cdrom, "web-install-iso", k_source_vm, 0.5);
    cdrom["device"] = "cdrom";
    controller.add_vdisk(std::move(cdrom));
    add_disk(k_disk_2, "web-data", 'b', (1 << 20) + 123);
    boost::filesystem::create_directories(operation_dir());
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "log tail:\n" << sandbox.log_tail(60) << std::endl;
  }

  void add_disk(const std::string& id, const std::string& name, char seed, size_t size) {
    controller.add_vdisk(TestController::make_vdisk(id, name, k_source_vm, 20.0));
    const std::string image = sandbox.scratch(id + ".img");
    write_file(image, disk_content(size, seed));
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

  std::vector<RecordedRequest> module_vm_requests(const std::string& change) const {
    return controller.requests_to("POST", std::string("/api/domains/") + k_module_vm + "/" + change + "-vdisk/");
  }

  // What the program left in the operation directory.
  std::vector<std::string> operation_files() const {
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(operation_dir()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every disk that was attached has gone back and the run's files are gone.
  void expect_released() const {
    EXPECT_TRUE(attachments_to(k_module_vm).empty());
    EXPECT_TRUE(devices.attached().empty());
    for (const auto& name : operation_files()) EXPECT_FALSE(contains(name, ".config") || contains(name, ".list")) << name;
  }

  int source_power_state = 3;  // a fixture of a stopped VM changes it before SetUp

 private:
  std::string m_operation_name = "op";
};

}  // namespace kv_test
