// Test double of the data mover /opt/kelvanor/bin/kvfd. It accepts the backup, restore and
// listing command lines the module composes, keeps what it was asked in a record folder (named
// by KV_FAKE_KVFD_DIR) and behaves as the control file in that folder says.
//
// Record folder:
//   calls/NNNN/argv   every argument of one run, argv[0] included, one per line
//   calls/NNNN/list   a byte copy of the file given with -c (backups)
//   store/ARCHIVE/    the bytes of every source of a backup, under its stored name
//   waiting           written (with the pid) when a run blocks; the run goes on once "go" exists
//   flood             the seconds the last flood of progress lines took to leave
//   control           knobs, "key=value" lines; "backup.key", "restore.key" or "list.key" wins
//                     over "key" for that kind of run:
//     exit=N              exit status after the work (default 0)
//     block=1             block after the "KVFD PID: " line until "go" appears
//     progress_lines=N    print N extra "Packed: " lines as fast as the reader takes them
//
// Usage errors (an unknown option, a missing value or option, a bad list file) exit with 2; a
// source, store or target that cannot be read or written exits with 1.

#include <cerrno>
#include <chrono>
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

[[noreturn]] void fail(int status, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "kvfd: %s\n", message.c_str());
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

void out(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Copies every byte of `from` (a block device or a file) to `to`; returns the count.
uintmax_t copy_bytes(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) fail(k_failure, "can't open " + from.string() + ": " + std::strerror(errno));
  fs::create_directories(to.parent_path());
  std::ofstream copy(to, std::ios::binary | std::ios::trunc);
  if (in.peek() != std::ifstream::traits_type::eof()) copy << in.rdbuf();
  copy.close();
  if (!copy || in.bad()) fail(k_failure, "can't copy " + from.string() + " to " + to.string());
  return fs::file_size(to);
}

class Control {
 public:
  Control(const fs::path& file, const std::string& mode) : m_mode(mode) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
      if (const auto equals = line.find('='); equals != std::string::npos)
        m_values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  long number(const std::string& key) const {
    for (const std::string& name : {m_mode + "." + key, key})
      if (const auto found = m_values.find(name); found != m_values.end()) return std::stol(found->second);
    return 0;
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
  std::map<std::string, std::string> values;
  std::set<std::string> flags;

  bool has(const std::string& option) const { return values.count(option) || flags.count(option); }
  const std::string& get(const std::string& option) const { return values.at(option); }
  void require(const std::vector<std::string>& needed, const std::string& mode) const {
    for (const auto& option : needed)
      if (!has(option)) fail(k_usage_error, mode + " needs option " + option);
  }
  void one_of(const std::string& a, const std::string& b, const std::string& mode) const {
    if (has(a) == has(b)) fail(k_usage_error, mode + " needs exactly one of " + a + " and " + b);
  }
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (k_flag_options.count(arg)) {
      options.flags.insert(arg);
    } else if (k_value_options.count(arg) && i + 1 < argc) {
      options.values[arg] = argv[++i];
    } else {
      fail(k_usage_error, "unknown option, stray argument or missing value '" + arg + "'");
    }
  }
  return options;
}

std::string checked_key(const std::string& key) {
  if (key.empty() || key == "." || key == ".." || key.find('/') != std::string::npos)
    fail(k_usage_error, "bad archive name '" + key + "'");
  return key;
}

// What every backup and restore run does before its own work: the pid line, the blocking and
// the flood of progress lines, in the order a real data mover shows them.
void start_run(const Control& control, const fs::path& record) {
  out("KVFD PID: " + std::to_string(::getpid()));
  if (control.number("block") != 0) {
    write_text(record / "waiting", std::to_string(::getpid()) + "\n");
    const timespec pause{0, 10 * 1000 * 1000};
    while (!fs::exists(record / "go")) ::nanosleep(&pause, nullptr);
  }
  // Into the full stdout buffer: the reader, not this program, sets the pace.
  const long lines = control.number("progress_lines");
  const auto started = std::chrono::steady_clock::now();
  for (long i = 1; i <= lines; ++i) std::printf("Packed: %ld of %ld blocks\n", i, lines);
  std::fflush(stdout);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  if (lines > 0) write_text(record / "flood", std::to_string(took.count()));
}

// The entries of a list file, or the single path given with -c when it is not one.
std::vector<std::pair<fs::path, fs::path>> sources_of(const fs::path& source) {
  std::vector<std::pair<fs::path, fs::path>> sources;
  std::ifstream in(source, std::ios::binary);
  std::string line;
  if (!fs::is_regular_file(source) || !std::getline(in, line) || line != k_list_header) {
    sources.emplace_back(source, source.filename());
    return sources;
  }
  while (std::getline(in, line)) {
    const auto separator = line.rfind(" : ");
    const fs::path name = separator == std::string::npos ? "" : line.substr(separator + 3);
    if (line.rfind("   ", 0) != 0 || separator < 3 || name.empty() || name.is_absolute() ||
        name.lexically_normal().string().rfind("..", 0) == 0)
      fail(k_usage_error, "malformed list line '" + line + "'");
    sources.emplace_back(line.substr(3, separator - 3), name);
  }
  return sources;
}

void backup(const Options& options, const Control& control, const fs::path& record, const fs::path& call) {
  options.require({"-a", "-b", "-c", "-m", "-x"}, "backup");
  options.one_of("-2", "-5", "backup");
  options.one_of("-n", "-N", "backup");
  if (options.has("-N")) options.require({"-M", "-T", "-s"}, "backup");
  const fs::path source = options.get("-c");
  if (fs::is_regular_file(source)) fs::copy_file(source, call / "list", fs::copy_options::overwrite_existing);
  const std::string key =
      checked_key(options.has("-N") ? options.get("-N") : fs::path(options.get("-n")).filename().string());
  const auto sources = sources_of(source);

  start_run(control, record);
  if (options.has("-S") && ::access(options.get("-S").c_str(), R_OK) != 0)
    fail(k_failure, "can't read reference meta file " + options.get("-S"));
  const fs::path store = record / "store" / key;
  fs::remove_all(store);
  std::string meta = std::string(k_meta_header) + "\narchive: " + key + "\n";
  uintmax_t total = 0;
  for (const auto& [from, name] : sources) {
    const uintmax_t size = copy_bytes(from, store / name);
    total += size;
    meta += "file: " + std::to_string(size) + " " + name.string() + "\n";
    out("Packed: " + name.string() + " " + std::to_string(size) + " bytes");
  }
  write_text(options.get("-m"), meta);
  if (options.has("-n")) write_text(options.get("-n"), "KVFD fake archive\narchive: " + key + "\n");
  out("Transferred: " + std::to_string(total) + " bytes");
}

void restore(const Options& options, const Control& control, const fs::path& record) {
  options.require({"-a", "-b", "-d"}, "restore");
  options.one_of("-2", "-5", "restore");
  options.one_of("-r", "-R", "restore");
  if (options.has("-R")) options.require({"-M", "-T", "-s", "-m"}, "restore");

  start_run(control, record);
  // A record id is the archive name in these tests; when it is not, the meta file names it.
  std::string key = options.has("-R") ? options.get("-R") : fs::path(options.get("-r")).filename().string();
  if (!fs::is_directory(record / "store" / key) && options.has("-m")) {
    std::istringstream meta(read_text(options.get("-m")));
    for (std::string line; std::getline(meta, line);)
      if (line.rfind("archive: ", 0) == 0) key = line.substr(9);
  }
  const fs::path store = record / "store" / checked_key(key);
  if (!fs::is_directory(store)) fail(k_failure, "no archive " + key + " in the store");
  const fs::path target = options.get("-d");
  if (!fs::is_directory(target)) fail(k_failure, "restore directory " + target.string() + " doesn't exist");
  for (const auto& entry : fs::recursive_directory_iterator(store))
    if (entry.is_regular_file()) {
      const fs::path name = fs::relative(entry.path(), store);
      out("Unpacked: " + name.string() + " " + std::to_string(copy_bytes(entry.path(), target / name)) + " bytes");
    }
}

void listing(const Options& options) {
  options.require({"-l", "-v"}, "listing");
  const std::string meta = read_text(options.get("-l"));
  if (meta.rfind(k_meta_header, 0) != 0) fail(k_failure, "not a meta file: " + options.get("-l"));
  std::istringstream in(meta);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("file: ", 0) == 0) out(line.substr(6));
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
    const fs::path call = record_call(record, argc, argv);
    const Options options = parse(argc, argv);
    const char* mode = options.has("-l") ? "list" : options.has("-r") || options.has("-R") ? "restore" : "backup";
    const Control control(record / "control", mode);
    if (options.has("-l"))
      listing(options);
    else if (options.has("-r") || options.has("-R"))
      restore(options, control, record);
    else if (options.has("-c"))
      backup(options, control, record, call);
    else
      fail(k_usage_error, "neither a backup (-c), a restore (-r, -R) nor a listing (-l)");
    std::fflush(stdout);
    return static_cast<int>(control.number("exit"));
  } catch (const std::exception& error) {
    fail(k_failure, error.what());
  }
}
