// Figures of the backup road, measured on the real program against the test controller and the
// fake data mover inside a private mount namespace (needs root):
//   (a) a backup of a VM with two disks, every task done at its first poll: the wall time minus
//       the one-second waits the program must make (before each task poll and each listing of
//       the block devices); target at most 0.3 s;
//   (b) the data mover printing 1,000,000 progress lines: the relay's throughput, from the extra
//       time and the extra standard output against the same backup without them; target at
//       least 100 MB/s;
//   (c) the program's peak resident memory during a backup (VmHWM, read from /proc while it
//       runs); target under 20 MB.
// Prints one line per figure and exits 1 when one misses its target.

#include "tests/support/fake_platform.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_controller.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace kv_test;
using clock_type = std::chrono::steady_clock;

constexpr const char* k_module_vm = "0c0ffee0-aaaa-4bbb-8ccc-000000000001";
constexpr const char* k_vm = "be0cbe0c-1111-4222-8333-000000000002";
constexpr const char* k_disks[] = {"d15c0001-aaaa-4bbb-8ccc-111111111111", "d15c0003-aaaa-4bbb-8ccc-333333333333"};
constexpr size_t k_disk_size = 8 << 20;
constexpr long k_progress_lines = 1000000;

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++found;
  return found;
}

// The platform of one run: a fresh controller, sandbox and devices, so runs do not share state.
class Platform {
 public:
  Platform() : m_devices(m_sandbox.scratch("platform")), m_kvfd(m_sandbox.install_fake_platform(m_devices)) {
    m_controller.start();
    write_file(m_sandbox.opt("etc/kv_logger.config"),
               "log_level Debug\nlog_file_max_size 100\nlog_file_max_rotate 2\n");
    write_file(m_sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + m_controller.url() +
                                                                "\nusername kv-api\npassword kv-secret\ntimeout 10\n"
                                                                "kelvanor-vm-name kv-proxy\n");
    m_controller.add_vm(TestController::make_vm(k_module_vm, "kv-proxy"));
    m_controller.add_vm(TestController::make_vm(k_vm, "bench"));
    for (const char* id : k_disks) {
      m_controller.add_vdisk(TestController::make_vdisk(id, std::string("disk-") + id, k_vm, 20.0));
      const std::string image = m_sandbox.scratch(std::string(id) + ".img");
      write_file(image, std::string(k_disk_size, 'x'));
      m_controller.set_vdisk_image(id, image);
    }
    m_controller.set_attach_listener([this](const std::string& vdisk, const std::string& vm,
                                            const std::string& serial) {
      if (vm == k_module_vm) m_devices.attach(serial, m_controller.vdisk_image(vdisk));
    });
    m_controller.set_detach_listener([this](const std::string&, const std::string& vm, const std::string& serial) {
      if (vm == k_module_vm) m_devices.detach(m_devices.name_of(serial));
    });
    m_controller.set_task_schedule({std::string("SUCCESS")});
    boost::filesystem::create_directories(m_sandbox.scratch("op"));
  }

  void set_kvfd(const std::string& key, const std::string& value) const { m_kvfd.set(key, value); }

  struct Run {
    ProgramResult result;
    double seconds = 0;
    size_t waits = 0;       // one-second waits the program had to make
    long peak_kib = 0;      // VmHWM of the program
  };

  Run backup() {
    Run run;
    const auto start = clock_type::now();
    RunningProgram program = m_sandbox.start({"-b", k_vm, "-d", m_sandbox.scratch("op"), "-n", "BENCH", "-T", "TASK",
                                              "-m", "MEDIA"});
    run.peak_kib = watch_peak(program.pid());
    run.result = program.wait(600);
    run.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    // Every task poll waits one second first; so does every listing of the block devices, and
    // each listing names the module VM's own system disk, which has no serial, once.
    size_t polls = 0;
    for (const auto& request : m_controller.requests())
      if (request.method == "GET" && request.path.rfind("/api/tasks/", 0) == 0) ++polls;
    run.waits = polls + count(m_sandbox.log(), "unable to get serial number of block device 'vda'");
    return run;
  }

 private:
  // The highest VmHWM of the process while it is the module program (before that it is the
  // namespace's shell), read until it has exited.
  static long watch_peak(pid_t pid) {
    long peak = 0;
    const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    for (;;) {
      const std::string status = read_file(status_path);
      const auto hwm = status.find("VmHWM:");
      if (hwm == std::string::npos) return peak;  // gone, or a zombie without memory
      if (status.find("Name:\tkv_module_veil") != std::string::npos)
        peak = std::max(peak, std::stol(status.substr(hwm + 6)));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  TestController m_controller;
  ModuleSandbox m_sandbox;
  FakeBlockDevices m_devices;
  FakeKvfdRecord m_kvfd;
};

bool report(const char* name, double value, const char* unit, const std::string& detail, bool met,
            const char* target) {
  std::printf("%-44s %10.3f %-5s %s  (target %s: %s)\n", name, value, unit, detail.c_str(), target,
              met ? "met" : "MISSED");
  return met;
}

int run_bench() {
  bool all_met = true;

  Platform plain_platform;
  const Platform::Run plain = plain_platform.backup();
  if (plain.result.status != 0) {
    std::cerr << "the backup failed with " << plain.result.status << ":\n" << plain.result.err;
    return 2;
  }
  const double remainder = plain.seconds - static_cast<double>(plain.waits);
  all_met &= report("(a) two-disk backup, minus mandated waits", remainder, "s",
                    "wall " + std::to_string(plain.seconds) + " s, " + std::to_string(plain.waits) + " waits",
                    remainder <= 0.3, "<= 0.3 s");

  Platform flood_platform;
  flood_platform.set_kvfd("backup.progress_lines", std::to_string(k_progress_lines));
  const Platform::Run flood = flood_platform.backup();
  const size_t relayed = count(flood.result.out, " blocks\n");
  if (flood.result.status != 0 || relayed != static_cast<size_t>(k_progress_lines)) {
    std::cerr << "the backup with progress lines failed (" << flood.result.status << ", " << relayed
              << " lines relayed)\n";
    return 2;
  }
  const double extra_bytes = static_cast<double>(flood.result.out.size() - plain.result.out.size());
  const double extra_seconds = (flood.seconds - static_cast<double>(flood.waits)) - remainder;
  const double mb_per_second = extra_bytes / 1e6 / std::max(extra_seconds, 1e-6);
  all_met &= report("(b) relay of 1,000,000 progress lines", mb_per_second, "MB/s",
                    std::to_string(extra_bytes / 1e6) + " MB in " + std::to_string(extra_seconds) + " s",
                    mb_per_second >= 100, ">= 100 MB/s");

  const long peak = std::max(plain.peak_kib, flood.peak_kib);
  all_met &= report("(c) peak resident memory of a backup run", static_cast<double>(peak) * 1024 / 1e6, "MB",
                    "plain run " + std::to_string(plain.peak_kib) + " KiB, with progress lines " +
                        std::to_string(flood.peak_kib) + " KiB",
                    peak * 1024 < 20000000, "< 20 MB");
  return all_met ? 0 : 1;
}

}  // namespace

int main() {
  try {
    return run_bench();
  } catch (const std::exception& error) {
    std::cerr << "backup_bench failed: " << error.what() << std::endl;
    return 2;
  }
}
