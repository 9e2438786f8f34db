// A demo for newcomers: one full backup of a demo VM by the real program, against the test
// controller and the fake data mover (test doubles, not a VeiL installation and not the real
// kvfd), inside a private mount namespace. It prints what the backup client would see on the
// program's standard output, then what the doubles saw. Needs root, as the end-to-end tests do.

#include "tests/support/fake_platform.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_controller.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <exception>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* k_module_vm = "0c0ffee0-aaaa-4bbb-8ccc-000000000001";
constexpr const char* k_demo_vm = "de30de30-1111-4222-8333-000000000002";

struct DemoDisk {
  const char* id;
  const char* name;
  const char* device;  // "disk" or "cdrom"
  size_t size;         // bytes of the demo image
};

constexpr DemoDisk k_disks[] = {
    {"d15c0001-aaaa-4bbb-8ccc-111111111111", "demo-system", "disk", 4 << 20},
    {"cd000002-aaaa-4bbb-8ccc-222222222222", "demo-install-iso", "cdrom", 0},
    {"d15c0003-aaaa-4bbb-8ccc-333333333333", "demo-data", "disk", 2 << 20},
};

int run_demo() {
  using namespace kv_test;
  TestController controller;
  controller.start();
  ModuleSandbox sandbox;
  FakeBlockDevices devices(sandbox.scratch("platform"));
  FakeKvfdRecord kvfd = sandbox.install_fake_platform(devices);

  write_file(sandbox.opt("etc/kv_logger.config"), "log_level Info\nlog_file_max_size 10\nlog_file_max_rotate 2\n");
  write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + controller.url() +
                                                            "\nusername kv-api\npassword kv-secret\ntimeout 10\n"
                                                            "kelvanor-vm-name kv-proxy\n");
  controller.add_vm(TestController::make_vm(k_module_vm, "kv-proxy"));
  boost::json::object vm = TestController::make_vm(k_demo_vm, "demo web server");
  vm["boot_devices"] = boost::json::array{boost::json::object{{"id", k_disks[0].id}, {"entity_type", "vdisk"}}};
  controller.add_vm(std::move(vm));
  for (const DemoDisk& disk : k_disks) {
    boost::json::object record = TestController::make_vdisk(disk.id, disk.name, k_demo_vm, 20.0);
    record["device"] = disk.device;
    controller.add_vdisk(std::move(record));
    if (disk.size == 0) continue;
    const std::string image = sandbox.scratch(std::string(disk.name) + ".img");
    write_file(image, std::string(disk.size, disk.name[5]));
    controller.set_vdisk_image(disk.id, image);
  }
  // A disk the controller attaches to the module's VM shows up there as a block device.
  controller.set_attach_listener([&](const std::string& vdisk_id, const std::string& vm_id, const std::string& serial) {
    if (vm_id == k_module_vm) devices.attach(serial, controller.vdisk_image(vdisk_id));
  });
  controller.set_detach_listener([&](const std::string&, const std::string& vm_id, const std::string& serial) {
    if (vm_id == k_module_vm) devices.detach(devices.name_of(serial));
  });
  controller.set_task_schedule({std::string("SUCCESS")});

  const std::string operation_dir = sandbox.scratch("operation");
  boost::filesystem::create_directories(operation_dir);
  const std::vector<std::string> args = {"-b", k_demo_vm, "-d", operation_dir, "-n", "demo-archive",
                                         "-T", "DEMO-TASK", "-m", "media.example"};
  std::cout << "== The backup client starts:\n   kv_module_veil_vm";
  for (const auto& arg : args) std::cout << " " << arg;
  std::cout << "\n   (test controller at " << controller.url() << ", fake data mover as /opt/kelvanor/bin/kvfd)\n"
            << "== Its standard output (protocol lines and log lines at Info):\n"
            << std::flush;

  ProgramResult result = sandbox.run(args, 300);
  std::cout << result.out;
  std::cout << "== Exit status: " << result.status << "\n";
  // Expected there: the probe for a default guest script the demo VM does not have, and the
  // module VM's own system disk, which has no serial, passed over while the disks are looked for.
  if (!result.err.empty()) std::cout << "== Standard error (the Error lines of the log):\n" << result.err;

  const auto calls = kvfd.calls();
  if (!calls.empty()) {
    std::cout << "== The fake data mover was started as:\n   " << calls.front().argv.front() << " "
              << calls.front().arguments() << "\n== with this list file:\n"
              << calls.front().list;
  }
  std::cout << "== Disks still attached to the module's VM afterwards: " << devices.attached().size() << "\n";
  return result.status == 0 ? 0 : 1;
}

}  // namespace

int main() {
  try {
    return run_demo();
  } catch (const std::exception& error) {
    std::cerr << "demo failed: " << error.what() << std::endl;
    return 1;
  }
}
