// kv_test_module: a backup module built on the real framework whose hooks wait in the ways the
// program waits, so that end-to-end tests can lock resources and send signals to a real
// process at a known point. It starts like the VeiL program (same loggers, same log path rule,
// one resource at a time) and is driven by environment variables:
//
//   KV_TEST_HOLD_UNTIL  load_module_config prints "holding" and waits, a second at a time,
//                       until this file exists; then it fails, as a missing configuration does.
//   KV_TEST_PLAN        what prepare_resource_before_backup does:
//                         sleep    prints "tick <n>" after every one-second polling pause
//                         command  runs KV_TEST_COMMAND through execute_command
//                         kvfd     starts KV_TEST_COMMAND as the data mover: its first line is
//                                  "KVFD PID: <pid>", every later character is relayed to
//                                  standard output as the data mover runner reads it
//                         rest     logs in to KV_TEST_CONTROLLER and lists the VMs
//   KV_TEST_RECORD      file the release appends "release begin" and "release end" to
//   KV_TEST_RELEASE_SECONDS  polling pauses the release waits between the two lines
//
// Every plan prints "ready" just before it starts waiting.

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "common/stop_point.h"
#include "module/kv_modules_common.h"
#include "veil/curl_api.h"
#include "veil/stop_points.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void record(const std::string& line) {
  const std::string path = env("KV_TEST_RECORD");
  if (path.empty()) return;
  std::ofstream(path, std::ios::app) << line << std::endl;
}

void say(const std::string& line) { std::cout << line << std::endl; }

class KvTestModule : public KvModuleUniversal {
 public:
  using KvModuleUniversal::KvModuleUniversal;

  bool load_module_config() override {
    const std::string gate = env("KV_TEST_HOLD_UNTIL");
    if (gate.empty()) return true;
    say("holding");
    while (!boost::filesystem::exists(gate))
      if (!kv_veil::pause_one_second()) return false;
    return false;
  }

  bool prepare_resource_before_backup(const bool&) override {
    const std::string plan = env("KV_TEST_PLAN");
    if (plan == "sleep") return sleep_forever();
    if (plan == "command") return run_command();
    if (plan == "kvfd") return run_data_mover();
    if (plan == "rest") return list_vms();
    return false;
  }

  bool release_resource_after_backup() override {
    record("release begin");
    const std::string seconds = env("KV_TEST_RELEASE_SECONDS");
    for (int n = seconds.empty() ? 0 : std::stoi(seconds); n > 0; --n) (void)kv_veil::pause_one_second();
    if (env("KV_TEST_PLAN") == "rest") record("release lists VMs: " + std::to_string(list_vms_once()));
    record("release end");
    return true;
  }

  bool resource_exists() override { return true; }
  void usage_custom() override {}
  int check_client(const bool&) override { return 0; }
  std::string get_full_module_version() override { return "2.1.0.test"; }
  int list_header_labels() override { return 0; }
  int list_all_resources() override { return 0; }
  int list_all_resources_with_header_labels() override { return 0; }
  bool before_restore() override { return true; }
  bool after_restore() override { return true; }
  bool after_restore_last_file() override { return true; }
  bool deployment(const bool&) override { return true; }
  void autonomous_options() override {}
  void make_archiving() override {}

 private:
  static bool sleep_forever() {
    say("ready");
    for (int tick = 1; kv_veil::pause_one_second(); ++tick) say("tick " + std::to_string(tick));
    return false;
  }

  static bool run_command() {
    say("ready");
    std::string output;
    const int code = kv_utils_common::execute_command(env("KV_TEST_COMMAND"), output);
    say("command ended with " + std::to_string(code));
    return false;
  }

  // Reads the child as the data mover runner does: one character at a time, every read a
  // stop point, the data mover's pid taken from its first line.
  bool run_data_mover() {
    std::FILE* pipe = ::popen(env("KV_TEST_COMMAND").c_str(), "r");
    if (pipe == nullptr) return false;
    kv_utils_common::stop_aware_reader reader(pipe);
    std::string first_line;
    int c = 0;
    while ((c = reader.getc()) != EOF && c != '\n') first_line += static_cast<char>(c);
    const std::string prefix = "KVFD PID: ";
    if (first_line.rfind(prefix, 0) == 0) kvfd_pid = std::stoi(first_line.substr(prefix.size()));
    say("ready");
    while ((c = reader.getc()) != EOF) std::cout.put(static_cast<char>(c)).flush();
    kvfd_pid = 0;
    ::pclose(pipe);
    return false;
  }

  static int list_vms_once() {
    conf settings;
    settings.url = env("KV_TEST_CONTROLLER");
    settings.username = "kv-api";
    settings.password = "kv-secret";
    settings.timeout = 0;
    curlAPI api(settings);
    std::vector<veil_vm_info> domains;
    return api.get_domain_list(domains);
  }

  static bool list_vms() {
    say("ready");
    say("listing ended with " + std::to_string(list_vms_once()));
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? boost::filesystem::path(argv[0]).filename().string() : "";
  const std::string log_path = "/opt/kelvanor/log/" + program + ".log";
  KvLogStream::set_default_loggers(KvDestination::File(log_path), KvDestination::Stdout());
  KvLogStream::set_log_level_logger(KvLogLvl::Error, KvDestination::File(log_path), KvDestination::Stderr());
  KvLogStream::set_global_log_level(KvLogLvl::Debug);

  KvModuleOptions options;
  options.one_resource_at_a_time = true;
  KvTestModule module(options);
  if (!module.init(argc, argv)) return 14;
  return static_cast<int>(module.run());
}
