// Concurrent runs on one resource, and the signals the backup client sends, against real
// processes in the private namespace of the end-to-end runner. A run that must hold a lock or
// wait at a known point is the test module (kv_test_module: the real framework with hooks that
// wait on request), bound over the program's path so that it carries the program's name and
// therefore its lock files and log.
#include "module/module_resource_lock.h"
#include "tests/support/process_helpers.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_controller.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace kv_test {
namespace {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string k_program_name = "kv_module_veil_vm";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

bool has_module_pid_line(const std::string& out) {
  return std::regex_search(out, std::regex("(^|\n)MODULE PID:[0-9]+\n"));
}

// Polls until `done` holds; false after the time-out.
template <typename Condition>
bool eventually(Condition done, milliseconds timeout = milliseconds(10000)) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

std::vector<std::string> lock_files(const ModuleSandbox& sandbox) {
  std::vector<std::string> names;
  const fs::path dir = sandbox.opt("var/kelvanor-modules");
  if (!fs::is_directory(dir)) return names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  return names;
}

std::string expected_lock_name(const std::string& resource) {
  return kelvanor::module::resource_lock_file_handler::make_lock_file_name(k_program_name, resource);
}

// A sandbox whose program is the test module.
class TestModuleSandbox : public ModuleSandbox {
 public:
  TestModuleSandbox() {
    bind(KV_TEST_MODULE_PATH, program());
    set_env("KV_TEST_RECORD", record_path());
  }
  std::string record_path() const { return scratch("record"); }
  std::string record() const { return file_exists(record_path()) ? read_file(record_path()) : ""; }
  std::vector<std::string> backup_args(const std::string& resource = "vm-1") const {
    return {"-1", "-b", resource, "-d", scratch("operation"), "-n", "arch"};
  }
};

char process_state(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto name_end = text.rfind(')');
  return name_end == std::string::npos || name_end + 2 >= text.size() ? '?' : text[name_end + 2];
}

// --- Locks ---

void log_debug_lines(const ModuleSandbox& sandbox) {
  write_file(sandbox.opt("etc/kv_logger.config"), "log_level Debug\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
}

TEST(ResourceLock, FirstUseCreatesTheDirectoryAndTheRunRemovesItsFileWhenItEnds) {
  ModuleSandbox sandbox;
  log_debug_lines(sandbox);
  ASSERT_FALSE(fs::exists(sandbox.opt("var/kelvanor-modules")));
  // The real program locks, then fails on its missing configuration.
  ProgramResult result = sandbox.run({"-1", "-b", "vm-1", "-d", sandbox.scratch("operation"), "-n", "arch"});
  EXPECT_EQ(result.status, 2) << result.out << result.err << sandbox.log_tail();
  EXPECT_TRUE(has_module_pid_line(result.out)) << result.out;
  EXPECT_TRUE(contains(result.err, "Unable to load configuration from config file.")) << result.err;

  const std::string log = sandbox.log();
  const std::smatch digest = [&] {
    std::smatch match;
    std::regex_search(log, match,
                      std::regex("module \"kv_module_veil_vm\" resource \"vm-1\" hash string is ([0-9a-f]{64})\\. will "
                                 "be truncated to 8 characters at begin\\."));
    return match;
  }();
  ASSERT_FALSE(digest.empty()) << sandbox.log_tail();
  const std::string name = "Kelvanor_MOD_mutex_" + digest[1].str().substr(0, 8);
  EXPECT_EQ(name, expected_lock_name("vm-1"));
  EXPECT_TRUE(contains(log, "resource\"vm-1\" locked."));
  EXPECT_TRUE(contains(log, "resource_file_lock dtor: module \"kv_module_veil_vm\", resource \"vm-1\", file lock path "
                            "/opt/kelvanor/var/kelvanor-modules/" + name + " -> try remove..."));
  EXPECT_TRUE(fs::is_directory(sandbox.opt("var/kelvanor-modules")));
  EXPECT_TRUE(lock_files(sandbox).empty());
}

TEST(ResourceLock, SecondRunOnAHeldResourceExitsTwoAtOnceAndTheLastHolderRemovesTheFile) {
  TestModuleSandbox holder_box;
  holder_box.set_env("KV_TEST_HOLD_UNTIL", holder_box.scratch("gate"));
  RunningProgram holder = holder_box.start(holder_box.backup_args());
  ASSERT_TRUE(holder.wait_for_output("holding")) << holder.output_so_far() << holder_box.log_tail();

  const std::vector<std::string> held = lock_files(holder_box);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_TRUE(std::regex_match(held[0], std::regex("Kelvanor_MOD_mutex_[0-9a-f]{8}"))) << held[0];
  EXPECT_EQ(held[0], expected_lock_name("vm-1"));

  // The real program, seeing the holder's /opt/kelvanor.
  ModuleSandbox second_box;
  second_box.bind(holder_box.opt(), "/opt/kelvanor");
  const auto start = Clock::now();
  ProgramResult second = second_box.run({"-1", "-b", "vm-1", "-d", second_box.scratch("operation"), "-n", "arch"});
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(has_module_pid_line(second.out)) << second.out;
  EXPECT_TRUE(contains(second.err, "resource \"vm-1\" is busy by another process!")) << second.err;
  EXPECT_FALSE(contains(second.err, "Unable to load configuration")) << second.err;
  EXPECT_EQ(lock_files(holder_box), held);

  // Another resource is not held.
  ProgramResult other = second_box.run({"-1", "-b", "vm-2", "-d", second_box.scratch("operation"), "-n", "arch"});
  EXPECT_EQ(other.status, 2);
  EXPECT_FALSE(contains(other.err, "is busy by another process!")) << other.err;
  EXPECT_TRUE(contains(other.err, "Unable to load configuration from config file.")) << other.err;

  write_file(holder_box.scratch("gate"), "");
  ProgramResult first = holder.wait(10);
  EXPECT_EQ(first.status, 2) << first.out << first.err << holder_box.log_tail();
  EXPECT_TRUE(lock_files(holder_box).empty());
}

TEST(ResourceLock, RunEndedByASignalLeavesItsFileForTheNextRun) {
  TestModuleSandbox holder_box;
  holder_box.set_env("KV_TEST_HOLD_UNTIL", holder_box.scratch("gate"));
  RunningProgram holder = holder_box.start(holder_box.backup_args());
  ASSERT_TRUE(holder.wait_for_output("holding")) << holder_box.log_tail();
  holder.send(SIGTERM);
  EXPECT_EQ(holder.wait(10).status, 17);
  EXPECT_EQ(lock_files(holder_box), std::vector<std::string>{expected_lock_name("vm-1")});

  ModuleSandbox next_box;
  next_box.bind(holder_box.opt(), "/opt/kelvanor");
  ProgramResult next = next_box.run({"-1", "-b", "vm-1", "-d", next_box.scratch("operation"), "-n", "arch"});
  EXPECT_EQ(next.status, 2);
  EXPECT_FALSE(contains(next.err, "is busy by another process!")) << next.err;
  EXPECT_TRUE(lock_files(holder_box).empty());
}

// --- Stop ---

// SIGTERM or SIGINT in the one-second polling pause.
class StopWhileSleeping : public ::testing::TestWithParam<int> {};

TEST_P(StopWhileSleeping, RunsTheShutdownHookOnceLogsAndExitsSeventeenWithinASecond) {
  TestModuleSandbox sandbox;
  sandbox.set_env("KV_TEST_PLAN", "sleep");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(program.wait_for_output("tick 1")) << sandbox.log_tail();
  const std::string pid = std::to_string(program.pid());
  const auto start = Clock::now();
  program.send(GetParam());
  ProgramResult result = program.wait(10);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(result.status, 17) << result.out << result.err << sandbox.log_tail();
  EXPECT_EQ(sandbox.record(), "release begin\nrelease end\n");
  EXPECT_EQ(count(sandbox.log(), "Module was terminated. PID: " + pid + "\n"), 1u)
      << sandbox.log_tail();
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, StopWhileSleeping, ::testing::Values(SIGTERM, SIGINT));

TEST(Stop, WhileReadingAChildsOutputTerminatesTheChildFirst) {
  TestModuleSandbox sandbox;
  const std::string signals = sandbox.scratch("child.signals");
  const std::string pid_file = sandbox.scratch("child.pid");
  // A child that reports the signals it receives and otherwise prints nothing.
  sandbox.set_env("KV_TEST_PLAN", "command");
  sandbox.set_env("KV_TEST_COMMAND", "echo $$ > " + pid_file + "; trap 'echo TERM >> " + signals +
                                         "; exit 143' TERM; trap 'echo INT >> " + signals +
                                         "; exit 130' INT; while :; do sleep 1 & wait $!; done");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(eventually([&] { return file_exists(pid_file) && !read_file(pid_file).empty(); }));
  const int child = std::stoi(read_file(pid_file));
  const std::string pid = std::to_string(program.pid());
  program.send(SIGTERM);
  ProgramResult result = program.wait(15);
  EXPECT_EQ(result.status, 17) << result.out << result.err << sandbox.log_tail();
  EXPECT_FALSE(contains(result.out, "command ended")) << result.out;
  EXPECT_EQ(read_file(signals), "TERM\n");
  EXPECT_TRUE(wait_until_ended(child, milliseconds(2000)));
  EXPECT_EQ(sandbox.record(), "release begin\nrelease end\n");
  EXPECT_TRUE(contains(sandbox.log(), "Module was terminated. PID: " + pid + "\n"));
}

TEST(Stop, SecondSignalDuringTheShutdownHookNeitherRepeatsNorCutsItShort) {
  TestModuleSandbox sandbox;
  sandbox.set_env("KV_TEST_PLAN", "sleep");
  sandbox.set_env("KV_TEST_RELEASE_SECONDS", "2");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(program.wait_for_output("tick 1")) << sandbox.log_tail();
  const auto start = Clock::now();
  program.send(SIGTERM);
  ASSERT_TRUE(eventually([&] { return contains(sandbox.record(), "release begin"); }));
  program.send(SIGTERM);
  program.send(SIGINT);
  ProgramResult result = program.wait(15);
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(result.status, 17) << result.out << result.err << sandbox.log_tail();
  EXPECT_EQ(sandbox.record(), "release begin\nrelease end\n");
  EXPECT_EQ(count(sandbox.log(), "Module was terminated. PID: "), 1u);
}

TEST(Stop, SigsegvStopsTheSameWay) {
  TestModuleSandbox sandbox;
  sandbox.set_env("KV_TEST_PLAN", "sleep");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(program.wait_for_output("tick 1")) << sandbox.log_tail();
  const std::string pid = std::to_string(program.pid());
  program.send(SIGSEGV);
  ProgramResult result = program.wait(10);
  EXPECT_EQ(result.status, 17) << result.out << result.err << sandbox.log_tail();
  EXPECT_EQ(sandbox.record(), "release begin\nrelease end\n");
  EXPECT_TRUE(contains(sandbox.log(), "Module was terminated. PID: " + pid + "\n"));
}

TEST(Stop, WhileTheControllerIsSlowToReplyEndsWithinASecond) {
  TestController controller;
  controller.start();
  // Only the first listing is slow: the release lists the VMs again, during the stop.
  controller.add_fault("GET", "/api/domains/", Fault{Fault::Kind::slow, milliseconds(20000), 1});
  TestModuleSandbox sandbox;
  sandbox.set_env("KV_TEST_PLAN", "rest");
  sandbox.set_env("KV_TEST_CONTROLLER", controller.url());
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(eventually([&] { return !controller.requests_to("GET", "/api/domains/").empty(); }))
      << program.output_so_far() << sandbox.log_tail();
  const auto start = Clock::now();
  program.send(SIGTERM);
  ProgramResult result = program.wait(15);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_EQ(result.status, 17) << result.out << result.err << sandbox.log_tail();
  EXPECT_FALSE(contains(result.out, "listing ended")) << result.out;
  // The release's own requests are not cut short by the stop.
  EXPECT_EQ(sandbox.record(), "release begin\nrelease lists VMs: 0\nrelease end\n");
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").size(), 2u);
}

// --- Pause and resume ---

TEST(Pause, StopsTheDataMoverTooAndResumeStartsBothWithinASecond) {
  TestModuleSandbox sandbox;
  const std::string signals = sandbox.scratch("mover.signals");
  const std::string mover_pid = sandbox.scratch("mover.pid");
  sandbox.set_env("KV_TEST_PLAN", "kvfd");
  sandbox.set_env("KV_TEST_COMMAND", "exec /bin/sh -c 'echo \"KVFD PID: $$\"; echo $$ > " + mover_pid + "; trap \"echo CONT >> " + signals +
                                         "\" CONT; trap \"echo TERM >> " + signals +
                                         "; exit 143\" TERM; n=0; while :; do n=$((n+1)); echo \"mover tick $n\"; "
                                         "sleep 0.1; done' 2>&1");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(program.wait_for_output("mover tick 2")) << program.output_so_far() << sandbox.log_tail();
  const std::string pid_text = std::to_string(program.pid());
  const int mover = std::stoi(read_file(mover_pid));

  program.send(SIGTSTP);
  EXPECT_TRUE(eventually([&] { return process_state(mover) == 'T'; }, milliseconds(1000)));
  EXPECT_TRUE(eventually([&] { return contains(sandbox.log(), "Module pid: " + pid_text + " put on pause"); }));
  EXPECT_TRUE(contains(program.output_so_far(), "sent signal 20 to the process: " + std::to_string(mover)));
  // Both hold still: nothing more reaches the program's output.
  const size_t paused_output = program.output_so_far().size();
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_EQ(program.output_so_far().size(), paused_output);

  const auto resumed_at = Clock::now();
  program.send(SIGCONT);
  EXPECT_TRUE(eventually([&] { return process_state(mover) != 'T'; }, milliseconds(1000)));
  EXPECT_TRUE(eventually([&] { return program.output_so_far().size() > paused_output + 40; }, milliseconds(1000)));
  EXPECT_LT(Clock::now() - resumed_at, std::chrono::seconds(1));
  EXPECT_TRUE(contains(sandbox.log(), "Module pid: " + pid_text + " continue working"));
  EXPECT_TRUE(eventually([&] { return file_exists(signals) && contains(read_file(signals), "CONT"); }));

  program.send(SIGTERM);
  ProgramResult result = program.wait(15);
  EXPECT_EQ(result.status, 17) << sandbox.log_tail();
  EXPECT_TRUE(contains(read_file(signals), "TERM"));
  EXPECT_TRUE(wait_until_ended(mover, milliseconds(2000)));
  EXPECT_EQ(sandbox.record(), "release begin\nrelease end\n");
}

TEST(Pause, WithoutADataMoverHoldsTheModuleUntilTheResume) {
  TestModuleSandbox sandbox;
  sandbox.set_env("KV_TEST_PLAN", "sleep");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(program.wait_for_output("tick 1")) << sandbox.log_tail();
  program.send(SIGTSTP);
  ASSERT_TRUE(eventually([&] { return contains(sandbox.log(), " put on pause"); }));
  const std::string during = program.output_so_far();
  std::this_thread::sleep_for(milliseconds(2200));
  EXPECT_EQ(count(program.output_so_far(), "tick "), count(during, "tick "))
      << "during:\n" << during << "now:\n" << program.output_so_far() << sandbox.log_tail();
  program.send(SIGCONT);
  const size_t ticks = count(program.output_so_far(), "tick ");
  EXPECT_TRUE(eventually([&] { return count(program.output_so_far(), "tick ") > ticks; }, milliseconds(2200)));
  EXPECT_TRUE(contains(sandbox.log(), " continue working"));
  program.send(SIGTERM);
  EXPECT_EQ(program.wait(10).status, 17);
}

TEST(Signals, SigpipeHasNoEffect) {
  TestModuleSandbox sandbox;
  sandbox.set_env("KV_TEST_PLAN", "sleep");
  RunningProgram program = sandbox.start(sandbox.backup_args());
  ASSERT_TRUE(program.wait_for_output("tick 1")) << sandbox.log_tail();
  program.send(SIGPIPE);
  EXPECT_TRUE(program.wait_for_output("tick 3", 5)) << program.output_so_far();
  EXPECT_EQ(sandbox.record(), "");
  program.send(SIGTERM);
  EXPECT_EQ(program.wait(10).status, 17);
}

}  // namespace
}  // namespace kv_test
