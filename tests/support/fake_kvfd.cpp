// Test double of the data mover /opt/kelvanor/bin/kvfd. It accepts the backup, restore and
// listing command lines the module composes, keeps what it was asked in a record folder (named
// by KV_FAKE_KVFD_DIR) and behaves as the control file in that folder says, so end-to-end tests
// can check the exact command line and play a data mover that fails, blocks or talks a lot.
//
// Record folder:
//   calls/NNNN/argv   every argument of one run, argv[0] included, one per line
//   calls/NNNN/list   a byte copy of the file given with -c (backups)
//   store/ARCHIVE/    the bytes of every source of a backup, under its stored name
//   waiting           written (with the pid) when a run blocks; the run goes on once "go" exists
//   signals           one line per SIGTSTP, SIGCONT or SIGTERM received: TSTP, CONT, TERM
//   terminated        written (with the pid) when SIGTERM arrives; the run then dies of it
//   flood             the seconds the last flood of progress lines took to leave, set by the
//                     pace of the reader (the pipe holds little of it)
//   control           knobs, "key=value" lines; "backup.key", "restore.key" or "list.key" wins
//                     over "key" for that kind of run:
//     exit=N              exit status after the work (default 0)
//     block=1             block after the "KVFD PID: " line until "go" appears
//     progress_lines=N    print N extra "Packed: " lines as fast as possible
//     progress_width=N    pad each of those lines to N characters
//     stderr_lines=N      print N noise lines on standard error
//     line_end=lf|cr|crlf how every printed line ends (default lf)
//     pid_text=TEXT       print "KVFD PID: TEXT" instead of the pid
//     trailing=TEXT       print TEXT with no line end as the last output
//
// Usage errors (an unknown option, a missing or malformed value, a bad list file) exit with 2;
// a source, store or target that cannot be read or written exits with 1.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int k_failure = 1;
constexpr int k_usage_error = 2;
constexpr const char* k_list_header = "KVFD file list:";
constexpr const char* k_meta_header = "KVFD fake meta";

// [Start of variables touched by the signal handlers]
char g_signals_path[4096];
char g_terminated_path[4096];
// [End of variables touched by the signal handlers]

void append_signal_safe(const char* path, const char* text, int flags) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | flags, 0644);
  if (fd < 0) return;
  const ssize_t written = ::write(fd, text, std::strlen(text));
  (void)written;
  ::close(fd);
}

void on_term(int) {
  const int saved_errno = errno;
  append_signal_safe(g_signals_path, "TERM\n", O_APPEND);
  append_signal_safe(g_terminated_path, "terminated\n", O_TRUNC);
  // Die of the signal itself, as the real data mover does, so the parent sees the signal.
  ::signal(SIGTERM, SIG_DFL);
  ::raise(SIGTERM);
  errno = saved_errno;
}

void on_tstp(int) {
  const int saved_errno = errno;
  append_signal_safe(g_signals_path, "TSTP\n", O_APPEND);
  // The kernel ignores SIGTSTP in an orphaned process group, which a test's process tree can
  // easily be; SIGSTOP always stops.
  ::raise(SIGSTOP);
  errno = saved_errno;
}

void on_cont(int) {
  const int saved_errno = errno;
  append_signal_safe(g_signals_path, "CONT\n", O_APPEND);
  errno = saved_errno;
}

void install_handlers(const fs::path& record) {
  std::snprintf(g_signals_path, sizeof g_signals_path, "%s", (record / "signals").c_str());
  std::snprintf(g_terminated_path, sizeof g_terminated_path, "%s", (record / "terminated").c_str());
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = on_term;
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_tstp;
  sigaction(SIGTSTP, &action, nullptr);
  action.sa_handler = on_cont;
  sigaction(SIGCONT, &action, nullptr);
}

[[noreturn]] void fail(int status, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "kvfd: %s\n", message.c_str());
  std::fflush(stderr);
  std::exit(status);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) fail(k_failure, "can't write " + path.string());
}

bool is_number(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Copies every byte of `from` (a block device or a file) to `to`; returns the count.
uintmax_t copy_bytes(const fs::path& from, const fs::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY);
  if (in < 0) fail(k_failure, "can't open " + from.string() + ": " + std::strerror(errno));
  fs::create_directories(to.parent_path());
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) fail(k_failure, "can't create " + to.string() + ": " + std::strerror(errno));
  std::vector<char> buffer(1 << 20);
  uintmax_t total = 0;
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail(k_failure, "can't read " + from.string() + ": " + std::strerror(errno));
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) fail(k_failure, "can't write " + to.string() + ": " + std::strerror(errno));
      done += put;
    }
    total += static_cast<uintmax_t>(got);
  }
  ::close(in);
  if (::close(out) != 0) fail(k_failure, "can't close " + to.string());
  return total;
}

class Control {
 public:
  Control(const fs::path& file, std::string mode) : m_mode(std::move(mode)) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      const auto equals = line.find('=');
      if (equals != std::string::npos) m_values[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  std::string text(const std::string& key, const std::string& fallback = "") const {
    for (const std::string& name : {m_mode + "." + key, key}) {
      const auto found = m_values.find(name);
      if (found != m_values.end()) return found->second;
    }
    return fallback;
  }
  long number(const std::string& key) const {
    const std::string value = text(key, "0");
    if (!is_number(value) && !(value.size() > 1 && value[0] == '-' && is_number(value.substr(1))))
      fail(k_usage_error, "control value " + key + "=" + value + " is not a number");
    return std::stol(value);
  }

 private:
  std::string m_mode;
  std::map<std::string, std::string> m_values;
};

// Options that take a value, and bare flags. The last occurrence of an option wins.
const std::set<std::string> k_value_options = {
    "-a", "-b", "-c", "-p", "-e", "-x", "-S", "-z", "--memory-threshold", "-M", "-N", "-T", "-s", "-m",
    "-n", "-g", "--passin", "--sign", "-X", "-C", "-k", "-r", "-R", "-d", "-f", "-l", "-v"};
const std::set<std::string> k_flag_options = {"-2", "-5", "--numeric-owner", "-E", "--set-to-numeric"};

struct Options {
  std::map<std::string, std::string> values;  // option -> value
  std::set<std::string> flags;                // flags that were given

  bool has(const std::string& option) const { return values.count(option) || flags.count(option); }
  const std::string& get(const std::string& option) const { return values.at(option); }
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (k_flag_options.count(arg)) {
      options.flags.insert(arg);
    } else if (k_value_options.count(arg)) {
      if (i + 1 >= argc) fail(k_usage_error, "option " + arg + " needs a value");
      options.values[arg] = argv[++i];
    } else {
      fail(k_usage_error, "unknown option or stray argument '" + arg + "'");
    }
  }
  return options;
}

void require(const Options& options, const std::vector<std::string>& needed, const std::string& mode) {
  for (const auto& option : needed)
    if (!options.has(option)) fail(k_usage_error, mode + " needs option " + option);
}

void check_common(const Options& options, const std::string& mode) {
  require(options, {"-a", "-b"}, mode);
  if (options.has("-2") == options.has("-5")) fail(k_usage_error, mode + " needs exactly one of -2 and -5");
  if (!is_number(options.get("-b"))) fail(k_usage_error, "block size is not a number: " + options.get("-b"));
  if (options.has("-p") && !is_number(options.get("-p")))
    fail(k_usage_error, "parallelism is not a number: " + options.get("-p"));
  if (options.has("-C")) {
    require(options, {"-k"}, mode);
    if (::access(options.get("-k").c_str(), R_OK) != 0) fail(k_failure, "can't read key file " + options.get("-k"));
  }
}

std::string checked_key(const std::string& key) {
  if (key.empty() || key == "." || key == ".." || key.find('/') != std::string::npos)
    fail(k_usage_error, "bad archive name '" + key + "'");
  return key;
}

fs::path checked_stored_name(const std::string& name) {
  const fs::path path(name);
  if (name.empty() || path.is_absolute()) fail(k_usage_error, "bad stored name '" + name + "'");
  for (const auto& part : path)
    if (part == "..") fail(k_usage_error, "bad stored name '" + name + "'");
  return path;
}

// The printed lines, all ended the way the control file asks.
class Printer {
 public:
  explicit Printer(const Control& control) {
    const std::string end = control.text("line_end", "lf");
    if (end == "lf") m_end = "\n";
    else if (end == "cr") m_end = "\r";
    else if (end == "crlf") m_end = "\r\n";
    else fail(k_usage_error, "control value line_end=" + end + " is not lf, cr or crlf");
  }
  const std::string& end() const { return m_end; }
  void out(const std::string& text) const {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fwrite(m_end.data(), 1, m_end.size(), stdout);
    std::fflush(stdout);
  }
  void err(const std::string& text) const {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fwrite(m_end.data(), 1, m_end.size(), stderr);
  }

 private:
  std::string m_end;
};

// What every backup and restore run does before its own work: the pid line, the noise, the
// blocking and the flood of progress lines, in the order a real data mover shows them.
void start_run(const Control& control, const Printer& printer, const fs::path& record) {
  const std::string pid_text = control.text("pid_text", std::to_string(::getpid()));
  printer.out("KVFD PID: " + pid_text);
  for (long i = 1; i <= control.number("stderr_lines"); ++i)
    printer.err("kvfd: note " + std::to_string(i) + ": nothing to worry about");
  std::fflush(stderr);
  if (control.number("block") != 0) {
    write_text(record / "waiting", std::to_string(::getpid()) + "\n");
    const timespec pause{0, 10 * 1000 * 1000};
    while (!fs::exists(record / "go")) ::nanosleep(&pause, nullptr);
  }
  // The flood is built in large chunks so that the reader, not this program, sets the pace.
  const long lines = control.number("progress_lines");
  const size_t width = static_cast<size_t>(control.number("progress_width"));
  const std::string total = " of " + std::to_string(lines) + " blocks";
  const std::string& end = printer.end();
  std::vector<char> chunk(1 << 20);
  const auto started = std::chrono::steady_clock::now();
  const size_t longest = 8 + 24 + total.size() + width + end.size();
  size_t used = 0;
  for (long i = 1; i <= lines; ++i) {
    if (chunk.size() - used < longest) {
      std::fwrite(chunk.data(), 1, used, stdout);
      used = 0;
    }
    char* const line = chunk.data() + used;
    char* next = line;
    std::memcpy(next, "Packed: ", 8);
    next = std::to_chars(next + 8, next + 32, i).ptr;
    std::memcpy(next, total.data(), total.size());
    next += total.size();
    if (static_cast<size_t>(next - line) < width) {
      std::memset(next, ' ', width - static_cast<size_t>(next - line));
      next = line + width;
    }
    std::memcpy(next, end.data(), end.size());
    used += static_cast<size_t>(next - line) + end.size();
  }
  std::fwrite(chunk.data(), 1, used, stdout);
  std::fflush(stdout);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  if (lines > 0) write_text(record / "flood", std::to_string(took.count()));
}

void finish_run(const Control& control) {
  const std::string trailing = control.text("trailing");
  std::fwrite(trailing.data(), 1, trailing.size(), stdout);
  std::fflush(stdout);
  std::exit(static_cast<int>(control.number("exit")));
}

// The entries of a list file, or the single path given with -c when it is not one.
std::vector<std::pair<fs::path, fs::path>> sources_of(const fs::path& source) {
  std::vector<std::pair<fs::path, fs::path>> sources;
  std::ifstream in(source, std::ios::binary);
  std::string line;
  if (!fs::is_regular_file(source) || !std::getline(in, line) || line != k_list_header) {
    if (fs::is_directory(source)) fail(k_usage_error, "directory sources are not supported: " + source.string());
    sources.emplace_back(source, source.filename());
    return sources;
  }
  while (std::getline(in, line)) {
    const auto separator = line.rfind(" : ");
    if (line.rfind("   ", 0) != 0 || separator == std::string::npos || separator < 3)
      fail(k_usage_error, "malformed list line '" + line + "'");
    sources.emplace_back(line.substr(3, separator - 3), checked_stored_name(line.substr(separator + 3)));
  }
  return sources;
}

void backup(const Options& options, const Control& control, const fs::path& record, const fs::path& call) {
  check_common(options, "backup");
  require(options, {"-c", "-m", "-x"}, "backup");
  if (options.has("-n") == options.has("-N")) fail(k_usage_error, "backup needs exactly one of -n and -N");
  if (options.has("-N")) require(options, {"-M", "-T", "-s"}, "backup");
  if (options.has("-g")) require(options, {"--passin", "--sign"}, "backup");
  if (options.has("-z")) {
    static const std::set<std::string> k_compressions = {"None", "fast", "optimal", "best"};
    if (!k_compressions.count(options.get("-z"))) fail(k_usage_error, "unknown compression " + options.get("-z"));
  }
  if (options.has("--memory-threshold") && !is_number(options.get("--memory-threshold")))
    fail(k_usage_error, "memory threshold is not a number: " + options.get("--memory-threshold"));

  const fs::path source = options.get("-c");
  if (fs::is_regular_file(source)) fs::copy_file(source, call / "list", fs::copy_options::overwrite_existing);
  const std::string key =
      checked_key(options.has("-N") ? options.get("-N") : fs::path(options.get("-n")).filename().string());
  const auto sources = sources_of(source);

  const Printer printer(control);
  start_run(control, printer, record);
  if (options.has("-S") && ::access(options.get("-S").c_str(), R_OK) != 0)
    fail(k_failure, "can't read reference meta file " + options.get("-S"));

  const fs::path store = record / "store" / key;
  fs::remove_all(store);
  fs::create_directories(store);
  std::string meta = std::string(k_meta_header) + "\narchive: " + key + "\n";
  uintmax_t total = 0;
  for (const auto& [from, name] : sources) {
    const uintmax_t size = copy_bytes(from, store / name);
    total += size;
    meta += "file: " + std::to_string(size) + " " + name.string() + "\n";
    printer.out("Packed: " + name.string() + " " + std::to_string(size) + " bytes");
  }
  write_text(options.get("-m"), meta);
  if (options.has("-n")) write_text(options.get("-n"), "KVFD fake archive\narchive: " + key + "\n");
  if (options.has("-g")) write_text(options.get("-g"), "KVFD fake signature\narchive: " + key + "\n");
  printer.out("Transferred: " + std::to_string(total) + " bytes");
  finish_run(control);
}

// The archive a meta file written by a backup names, or empty.
std::string archive_of_meta(const fs::path& meta) {
  std::istringstream in(read_text(meta));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("archive: ", 0) == 0) return line.substr(9);
  return {};
}

void restore(const Options& options, const Control& control, const fs::path& record) {
  check_common(options, "restore");
  require(options, {"-d"}, "restore");
  if (options.has("-r") == options.has("-R")) fail(k_usage_error, "restore needs exactly one of -r and -R");
  if (options.has("-R")) require(options, {"-M", "-T", "-s", "-m"}, "restore");

  const Printer printer(control);
  start_run(control, printer, record);
  // A record id is the archive name in these tests; when it is not, the meta file names it.
  std::string key = options.has("-R") ? options.get("-R") : fs::path(options.get("-r")).filename().string();
  if (!fs::is_directory(record / "store" / key) && options.has("-m")) {
    const std::string named = archive_of_meta(options.get("-m"));
    if (!named.empty()) key = named;
  }
  const fs::path store = record / "store" / checked_key(key);
  if (!fs::is_directory(store)) fail(k_failure, "no archive " + key + " in the store");
  const fs::path target = options.get("-d");
  if (!fs::is_directory(target)) fail(k_failure, "restore directory " + target.string() + " doesn't exist");

  std::vector<fs::path> names;
  for (const auto& entry : fs::recursive_directory_iterator(store))
    if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), store));
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    const uintmax_t size = copy_bytes(store / name, target / name);
    printer.out("Unpacked: " + name.string() + " " + std::to_string(size) + " bytes");
  }
  finish_run(control);
}

void listing(const Options& options, const Control& control) {
  require(options, {"-l", "-v"}, "listing");
  const std::string meta = read_text(options.get("-l"));
  if (meta.rfind(k_meta_header, 0) != 0) fail(k_failure, "not a meta file: " + options.get("-l"));
  std::istringstream in(meta);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("file: ", 0) == 0) std::printf("%s\n", line.substr(6).c_str());
  finish_run(control);
}

// Keeps the arguments of this run in a fresh calls/NNNN folder and returns that folder.
fs::path record_call(const fs::path& record, int argc, char** argv) {
  fs::create_directories(record / "calls");
  for (int number = 1;; ++number) {
    char name[16];
    std::snprintf(name, sizeof name, "%04d", number);
    const fs::path call = record / "calls" / name;
    if (::mkdir(call.c_str(), 0755) == 0) {
      std::string text;
      for (int i = 0; i < argc; ++i) text += std::string(argv[i]) + "\n";
      write_text(call / "argv", text);
      return call;
    }
    if (errno != EEXIST) fail(k_failure, "can't create " + call.string() + ": " + std::strerror(errno));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* record_env = std::getenv("KV_FAKE_KVFD_DIR");
  if (!record_env || !*record_env) fail(k_usage_error, "KV_FAKE_KVFD_DIR is not set");
  const fs::path record = record_env;
  static char out_buffer[1 << 20];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  try {
    install_handlers(record);
    const fs::path call = record_call(record, argc, argv);
    const Options options = parse(argc, argv);
    if (options.has("-l")) listing(options, Control(record / "control", "list"));
    if (options.has("-r") || options.has("-R")) restore(options, Control(record / "control", "restore"), record);
    if (options.has("-c")) backup(options, Control(record / "control", "backup"), record, call);
    fail(k_usage_error, "neither a backup (-c), a restore (-r, -R) nor a listing (-l)");
  } catch (const std::exception& error) {
    fail(k_failure, error.what());
  }
}
