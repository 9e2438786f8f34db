#include "tests/support/program_runner.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kv_test {
namespace fs = boost::filesystem;

namespace {

std::string sh_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace

ModuleSandbox::ModuleSandbox() {
  for (const char* dir : {"opt/kelvanor/etc", "opt/kelvanor/log", "opt/kelvanor/bin", "opt/kelvanor/scripts",
                          "opt/kelvanor/var/tasks", "opt/kelvanor/keys", "scratch"})
    fs::create_directories(m_dir / dir);
  m_env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8", "TZ=UTC"};
}

std::string ModuleSandbox::opt(const std::string& relative) const {
  return relative.empty() ? m_dir / "opt/kelvanor" : m_dir / ("opt/kelvanor/" + relative);
}

std::string ModuleSandbox::scratch(const std::string& relative) const {
  return relative.empty() ? m_dir / "scratch" : m_dir / ("scratch/" + relative);
}

void ModuleSandbox::bind(const std::string& host_path, const std::string& target) {
  m_mount_steps.push_back("mount --bind " + sh_quote(host_path) + " " + sh_quote(target));
}

void ModuleSandbox::set_env(const std::string& name, const std::string& value) {
  std::erase_if(m_env, [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
  m_env.push_back(name + "=" + value);
}

void ModuleSandbox::use_fast_clock(int scale) {
  set_env("LD_PRELOAD", KV_FAST_CLOCK_PRELOAD_PATH);
  // The preload comes before ASan's runtime in a sanitizer build.
  set_env("ASAN_OPTIONS", "verify_asan_link_order=0");
  set_env("KV_TEST_TIME_SCALE", std::to_string(scale));
}

FakeKvfdRecord ModuleSandbox::install_fake_platform(const FakeBlockDevices& devices) {
  // The tools are copied so that a source tree under /opt cannot hide them.
  const std::string tools = m_dir / "fake_tools";
  fs::create_directories(tools);
  for (const char* tool : {"lsblk", "udevadm"}) {
    fs::copy_file(fake_tools_folder() + "/" + tool, tools + "/" + tool, fs::copy_options::overwrite_existing);
    fs::permissions(tools + "/" + tool, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exe |
                                            fs::perms::others_read | fs::perms::others_exe);
  }
  // A host without one of the tools has no file to bind over: a read-only overlay of /usr/bin
  // then shows the fakes in front of the real folder.
  m_mount_steps.push_back("if [ -e /usr/bin/lsblk ] && [ -e /usr/bin/udevadm ]; then mount --bind " +
                          sh_quote(tools + "/lsblk") + " /usr/bin/lsblk; mount --bind " +
                          sh_quote(tools + "/udevadm") + " /usr/bin/udevadm; else mount -t overlay kv_fake_tools -o " +
                          sh_quote("lowerdir=" + tools + ":/usr/bin") + " /usr/bin; fi");

  // The device folder replaces /dev whole. The few real devices programs expect are bound onto
  // files in it first; --rbind then carries those binds along.
  const std::string& dev = devices.dev_folder();
  for (const char* device : {"null", "zero", "random", "urandom"}) {
    if (!fs::exists(dev + "/" + device)) write_file(dev + "/" + device, "");
    m_mount_steps.push_back("mount --bind /dev/" + std::string(device) + " " + sh_quote(dev + "/" + device));
  }
  fs::create_directories(dev + "/shm");
  m_mount_steps.push_back("mount -t tmpfs kv_shm " + sh_quote(dev + "/shm"));
  const std::pair<const char*, const char*> links[] = {
      {"fd", "/proc/self/fd"}, {"stdin", "/proc/self/fd/0"}, {"stdout", "/proc/self/fd/1"}, {"stderr", "/proc/self/fd/2"}};
  for (const auto& [link, target] : links)
    if (!fs::is_symlink(dev + "/" + link)) fs::create_symlink(target, dev + "/" + link);
  m_mount_steps.push_back("mount --rbind " + sh_quote(dev) + " /dev");

  set_env("KV_TEST_DEVICE_TABLE", devices.table_path());
  return install_fake_kvfd(*this);
}

std::string ModuleSandbox::program() const {
  std::string path = KV_PROGRAM_PATH;
  // A program that lives under /opt would vanish behind the bound folder: run a copy instead.
  if (path.rfind("/opt/", 0) == 0) {
    std::string copy = m_dir / "bin/kv_module_veil_vm";
    fs::create_directories(m_dir / "bin");
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    path = copy;
  }
  return path;
}

RunningProgram ModuleSandbox::start(const std::vector<std::string>& args) const {
  std::vector<std::string> command = {program()};
  command.insert(command.end(), args.begin(), args.end());
  return start_command(command);
}

ProgramResult ModuleSandbox::run_shell(const std::string& script, int timeout_seconds) const {
  return start_command({"/bin/sh", "-c", script}).wait(timeout_seconds);
}

RunningProgram ModuleSandbox::start_command(const std::vector<std::string>& command) const {
  const int run = ++m_runs;
  const std::string out_path = m_dir / ("stdout." + std::to_string(run));
  const std::string err_path = m_dir / ("stderr." + std::to_string(run));

  // unshare execs the shell and the shell execs the program, so the pid we get is the program's.
  std::string script = "set -e; mount --bind " + sh_quote(m_dir / "opt") + " /opt";
  for (const auto& step : m_mount_steps) script += "; " + step;
  script += "; exec \"$@\"";

  std::vector<std::string> argv_text = {"unshare", "-m", "--propagation", "private", "--", "/bin/sh", "-c", script,
                                        "sh"};
  argv_text.insert(argv_text.end(), command.begin(), command.end());
  std::vector<char*> argv;
  for (auto& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = m_env;
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec: the test process has threads.
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setpgid(0, 0);
    execve("/usr/bin/unshare", argv.data(), envp.data());
    _exit(127);
  }
  return RunningProgram(*this, pid, out_path, err_path);
}

ProgramResult ModuleSandbox::run(const std::vector<std::string>& args, int timeout_seconds) const {
  return start(args).wait(timeout_seconds);
}

std::string ModuleSandbox::log() const { return read_file(opt("log/kv_module_veil_vm.log")); }

std::string ModuleSandbox::log_tail(size_t lines) const {
  std::string text = log();
  if (text.empty()) return text;
  size_t start = text.size();
  for (size_t n = 0; n <= lines && start > 0; ++n) {
    size_t found = text.rfind('\n', start - 1);
    if (found == std::string::npos) return text;
    start = found;
  }
  return text.substr(start + 1);
}

RunningProgram::RunningProgram(const ModuleSandbox& sandbox, pid_t pid, std::string out_path, std::string err_path)
    : m_sandbox(&sandbox), m_pid(pid), m_out_path(std::move(out_path)), m_err_path(std::move(err_path)) {}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : m_sandbox(other.m_sandbox),
      m_pid(other.m_pid),
      m_out_path(std::move(other.m_out_path)),
      m_err_path(std::move(other.m_err_path)) {
  other.m_pid = 0;
}

RunningProgram::~RunningProgram() {
  if (m_pid > 0) {
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

void RunningProgram::send(int signal) const {
  if (m_pid > 0) ::kill(m_pid, signal);
}

std::string RunningProgram::output_so_far() const { return read_file(m_out_path); }

bool RunningProgram::wait_for_output(const std::string& text, int timeout_seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (output_so_far().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ProgramResult RunningProgram::wait(int timeout_seconds) {
  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  while (m_pid > 0) {
    pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-m_pid, SIGKILL);
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      result.err = "[program killed after " + std::to_string(timeout_seconds) + " s]\n";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  m_pid = 0;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  result.out = read_file(m_out_path);
  result.err += read_file(m_err_path);
  return result;
}

}  // namespace kv_test
