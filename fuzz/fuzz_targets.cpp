// libFuzzer targets, one per reader of outside input and one for the log lines outside text goes
// into. The build compiles this file once per target with KV_FUZZ_<target> defined. Readers may
// refuse an input, log it or throw a standard exception (the callers catch those); a sanitizer
// report, another exception or a hang is a fault.

#include "common/kv_logger.h"

#include <unistd.h>

#include <cstdint>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Readers that take a path read the input from this file in the working directory.
[[maybe_unused]] std::string as_file(const std::string& text) {
  const std::string path = "kv_fuzz_input." + std::to_string(::getpid());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

// Nothing is logged, and the logger configuration under /opt is neither read nor written.
[[maybe_unused]] const bool quiet = [] {
  KvLogStream::read_config_ = false;
  KvLogStream::m_logging_enabled = false;
  return true;
}();

}  // namespace

#if defined(KV_FUZZ_cmdline) || defined(KV_FUZZ_config) || defined(KV_FUZZ_lsblk) || \
    defined(KV_FUZZ_restrictions) || defined(KV_FUZZ_methods) || defined(KV_FUZZ_storage_json)
#include "common/config_file.h"
#include "module/client_storage.h"
#include "veil_vm/kv_module_veil_vm.h"

namespace {
// The module with the protected parts the readers need in reach.
struct module_probe : KvModuleVeilVM {
  module_probe() : KvModuleVeilVM(KvModuleOptions{}) {}
  using KvModuleVeilVM::load_module_config_from;
  using KvModuleVeilVM::options_;
  using KvModuleVeilVM::read_backup_parameters;
  using KvModuleVeilVM::read_dd_block_size;
};
}  // namespace
#endif

#if defined(KV_FUZZ_cmdline)
// One argument per line.
void fuzz(const std::string& input) {
  std::vector<std::string> words{"kv_module_veil_vm"};
  std::istringstream lines(input);
  for (std::string line; std::getline(lines, line);) words.push_back(line);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  module_probe module;
  if (!module.parse_module_options(static_cast<int>(words.size()), argv.data(), module.options_)) return;
  (void)module.read_backup_parameters();
  module.read_dd_block_size();
}

#elif defined(KV_FUZZ_config)
void fuzz(const std::string& input) {
  const std::string path = as_file(input);
  const kv_config::ConfigFile file(path);
  module_probe module;
  (void)module.get_merged_config(file, file, file);
  (void)module.load_module_config_from(path);
}

#elif defined(KV_FUZZ_logger_config)
void fuzz(const std::string& input) {
  KvLogStream::set_config_path_for_tests(as_file(input));
  (void)KvLogStream::load_properties();
}

#elif defined(KV_FUZZ_domain_conf)
#include "veil/curl_api.h"
void fuzz(const std::string& input) {
  domain_conf record;
  (void)curlAPI::read_domain_config(input, record);
}

#elif defined(KV_FUZZ_vdisk)
#include "veil/curl_api.h"
void fuzz(const std::string& input) {
  vdisk record;
  (void)curlAPI::read_vdisk_info(input, record);
}

#elif defined(KV_FUZZ_task)
#include "veil/curl_api.h"
void fuzz(const std::string& input) {
  curlAPI api(conf{});
  std::string entity;
  std::string task;
  (void)api.get_task_id(input, task);
  (void)api.get_entity_and_task_id(input, entity, task);
}

#elif defined(KV_FUZZ_controller)
// The readers that request their reply themselves get it from a loopback server: the first
// byte picks the reader, the second the HTTP status, the rest is the reply (login's too).
#include "veil/curl_api.h"
#include "veil_vm/lost_vdisk.h"

#include <httplib.h>

#include <mutex>
#include <thread>

std::mutex reply_mutex;
std::string reply_body;
int reply_status = 200;

conf controller() {
  static httplib::Server server;
  static const int port = [] {
    const auto answer = [](const httplib::Request&, httplib::Response& response) {
      const std::lock_guard<std::mutex> lock(reply_mutex);
      response.status = reply_status;
      response.set_content(reply_body, "application/json");
    };
    server.Get(".*", answer);
    server.Post(".*", answer);
    server.set_keep_alive_max_count(1);  // every request comes on a fresh handle
    const int bound = server.bind_to_any_port("127.0.0.1");
    std::thread([] { server.listen_after_bind(); }).detach();
    return bound;
  }();
  conf settings;
  settings.url = "http://127.0.0.1:" + std::to_string(port);
  settings.timeout = 10;
  return settings;
}

void fuzz(const std::string& input) {
  if (input.size() < 2) return;
  {
    const std::lock_guard<std::mutex> lock(reply_mutex);
    reply_body = input.substr(2);
    reply_status = input[1] == 0 ? 200 : 400 + static_cast<unsigned char>(input[1]) % 200;
  }
  curlAPI api(controller());
  std::vector<veil_vm_info> domains;
  domain_conf domain;
  std::string text = "vm1";
  unsigned int timeout = 5;
  // The disk a creation request whose reply was lost asked for: the list and the disk's record
  // both come from the one reply.
  vdisk requested;
  requested.verbose_name = "web-data_2";
  requested.datapool.id = "1f2e3d4c-0000-4000-8000-000000000007";
  requested.size = "0.1";
  requested.virtual_size = "21474836480";
  switch (input[0] % 6) {
    case 0: (void)api.get_domain_list(domains); break;
    case 1: (void)api.get_available_vdisks(domain); break;
    case 2: (void)api.get_free_instance_name("domain", text); break;
    case 3: (void)api.get_task_status("t1", text); break;
    case 4: (void)api.run_script_inside_vm("a1", "/s.sh", text, timeout); break;
    default: (void)find_lost_vdisk(api, requested); break;
  }
}

#elif defined(KV_FUZZ_saved_config)
// The first byte picks the record. What loads must save and load again unchanged.
#include "veil/saved_config.h"

#include <cctype>
template <class Record>
void load_and_compare(const std::string& text) {
  Record record;
  kv_veil::from_archive_text(text, record);
  Record again;
  kv_veil::from_archive_text(kv_veil::to_archive_text(record), again);
  if (!(again == record)) __builtin_trap();
}
void fuzz(const std::string& input) {
  if (input.empty()) return;
  if (input[0] % 2 == 0)
    load_and_compare<domain_conf>(input.substr(1));
  else
    load_and_compare<vdisk>(input.substr(1));
}

#elif defined(KV_FUZZ_creation_bodies)
// A saved record that loads and is accepted makes creation bodies of the shape their requests
// have. The first byte picks the record: a VM (with a boot disk, or without when it is a multiple
// of 4), or a disk, which is also the boot disk of an empty VM.
#include "fuzz/creation_body_shape.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"

template <class Record>
bool accepted(const std::string& text, Record& record) {
  try {
    kv_veil::from_archive_text(text, record);
  } catch (const std::exception&) {
    return false;
  }
  return kv_veil::unsound_json_member(record).empty();
}

void fuzz(const std::string& input) {
  if (input.empty()) return;
  const std::string text = input.substr(1);
  const std::string key = "0f0e0d0c-0b0a-4908-8706-050403020100";
  try {
    if (input[0] % 2 == 0) {
      domain_conf domain;
      if (!accepted(text, domain)) return;
      vdisk boot;
      if (input[0] % 4 != 0) {
        boot.id = "b0070000-0000-4000-8000-000000000010";
        boot.datapool.id = "1f2e3d4c-0000-4000-8000-000000000007";
        boot.shareable = "false";
      }
      body_shape::check_domain_body(curlAPI::create_domain_body(boot, domain, key), boot, domain);
    } else {
      vdisk disk;
      if (!accepted(text, disk)) return;
      body_shape::check_vdisk_body(curlAPI::create_vdisk_body(disk));
      const domain_conf empty;
      body_shape::check_domain_body(curlAPI::create_domain_body(disk, empty, key), disk, empty);
    }
  } catch (const std::exception&) {
    // A body is built from every record the restore accepts.
    __builtin_trap();
  }
}

#elif defined(KV_FUZZ_meta_listing)
// tar's listing of a snapshot file: the members picked are unpacked by name, so each is a meta
// file at the top and one word for the shell.
#include "common/shell_quote.h"
#include "module/operation_files.h"
void fuzz(const std::string& input) {
  for (const std::string& member : kelvanor::module::top_level_meta_members(input)) {
    const std::string name = member.rfind("./", 0) == 0 ? member.substr(2) : member;
    if (name.empty() || name.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
        !name.ends_with(".meta"))
      __builtin_trap();
    (void)kelvanor_common::shell_quote(member);
  }
}

#elif defined(KV_FUZZ_ps_listing)
// The listing of a process's children: the listing's own shell, on the first line, is never one.
#include "common/kv_utils_common.h"
void fuzz(const std::string& input) {
  const std::vector<int> children = kv_utils_common::children_in_listing(input);
  const int helper = std::stoi(input.substr(0, input.find('\n')));
  for (const int child : children)
    if (child == helper) __builtin_trap();
}

#elif defined(KV_FUZZ_kvfd_output)
#include "module/kvfd_output.h"
// The output is fed in pieces of the size the first byte gives; the lines must be those of the
// output fed whole.
std::vector<std::string> split(std::string_view output, size_t piece) {
  kelvanor::module::kvfd_line_splitter splitter;
  std::vector<std::string> lines;
  for (size_t at = 0; at < output.size(); at += piece) {
    splitter.feed(output.substr(at, piece));
    while (auto line = splitter.next()) {
      (void)kelvanor::module::classify_kvfd_line(*line);
      lines.emplace_back(*line);
    }
  }
  return lines;
}
void fuzz(const std::string& input) {
  if (input.empty()) return;
  const std::string_view output = std::string_view(input).substr(1);
  if (split(output, static_cast<unsigned char>(input[0]) % 16 + 1) != split(output, output.size() + 1))
    __builtin_trap();
}

#elif defined(KV_FUZZ_lsblk)
// lsblk on the host and in the module VM.
#include "veil_vm/openstack.h"
void fuzz(const std::string& input) {
  module_probe module;
  module.set_command_runner([&input](const std::string&, std::string& output) {
    output = input;
    return 0;
  });
  KvModuleUniversal::block_device_info info;
  (void)module.get_block_device_info("/dev/sda", info);
  std::vector<std::string> names;
  (void)openstack::parse_block_devices(input, names);
}

#elif defined(KV_FUZZ_udevadm)
#include "veil_vm/openstack.h"
void fuzz(const std::string& input) {
  std::string serial;
  (void)openstack::parse_disk_serial(input, serial);
}

#elif defined(KV_FUZZ_mounts)
#include "module/host_block_devices.h"
void fuzz(const std::string& input) {
  std::istringstream mounts(input);
  std::string device;
  (void)kelvanor::module::find_mounted_device(mounts, "/mnt/my disk", device);
}

#elif defined(KV_FUZZ_dattobd)
#include "module/os_snapshot.h"
void fuzz(const std::string& input) {
  const SnapshotDattobd snapshot([&input](const std::string&, std::string& output) {
    output = input;
    return 0;
  });
  bool exists = false;
  std::string minor;
  (void)snapshot.snapshot_exists("/dev/sda1", exists, minor);
  (void)snapshot.free_minor(minor);
}

#elif defined(KV_FUZZ_restrictions)
// The same text as a resource list (-B) and as the local restriction list.
void fuzz(const std::string& input) {
  const std::string path = as_file(input);
  module_probe module;
  (void)module.options_.resource_list.parse_json_file(path);
  module.options_.restriction_list_path = path;
  (void)module.options_.resource_list.check_local_restrictions(module.read_local_restrictions());
  (void)module.check_local_restrictions();
}

#elif defined(KV_FUZZ_methods)
// The task's methods file, enciphered with its secret as the backup client leaves it.
#include <boost/filesystem/operations.hpp>
void fuzz(const std::string& input) {
  static const std::string directory = [] {
    const std::string path = "kv_fuzz_tasks." + std::to_string(::getpid());
    boost::filesystem::create_directories(path);
    kelvanor::module::set_tasks_directory_for_tests(path);
    std::ofstream(kelvanor::module::task_secret_path("1")) << "task-secret\n";
    return path;
  }();
  std::ofstream(kelvanor::module::client_defined_storages_path("1"), std::ios::binary | std::ios::trunc)
      << kelvanor::module::client_defined_storages_cipher(input, "task-secret");
  module_probe module;
  module.options_.task_id = "1";
  (void)module.load_client_defined_storages();
}

#elif defined(KV_FUZZ_storage_json)
// The storage JSON of a deletion, the signature JSON and an archive name with its storage.
void fuzz(const std::string& input) {
  module_probe module;
  std::vector<std::pair<int, std::string>> entries;
  (void)module.parse_json_of_client_defined_storage(input, entries);
  std::string name, archive_sign, snapshot_sign;
  (void)module.parse_esign_json(input, name, archive_sign, snapshot_sign);
  KvModuleUniversal::ClientDefinedArchiveInfo archive;
  (void)module.split_client_defined_archive_name(input, archive);
}

#elif defined(KV_FUZZ_base64)
// Whatever decodes must encode to a text that decodes to the same bytes.
#include "common/base64.h"
void fuzz(const std::string& input) {
  const std::string bytes = kv_utils_common::base64_decode(input);
  if (kv_utils_common::base64_decode(kv_utils_common::base64_encode(bytes)) != bytes) __builtin_trap();
}

#elif defined(KV_FUZZ_version)
#include "module/kv_modules_common.h"
void fuzz(const std::string& input) {
  std::string major_minor, patch, build;
  (void)split_full_version(input, major_minor, patch, build);
}

#elif defined(KV_FUZZ_log_lines)
// Whatever text from outside goes into a message, in whatever form, the written line holds no
// control character but its final line break, nor a C1 control: it can neither start a line of
// its own on standard output or in the log, nor steer a terminal. The program's secret filter
// runs over it as in a real run.
#include "veil/secret_mask.h"

#include <boost/filesystem/path.hpp>
#include <boost/json/value.hpp>

#include <memory>
#include <string_view>

namespace {
class line_recorder : public KvDestination::KvLogger {
 public:
  explicit line_recorder(std::string& written) : m_written(written) {}

 protected:
  int write_log_impl(const std::string& text) override {
    m_written += text;
    return 0;
  }

 private:
  std::string& m_written;
};
}  // namespace

void fuzz(const std::string& input) {
  static const bool ready = [] {
    KvLogStream::m_logging_enabled = true;
    KvLogStream::global_log_level_ = KvLogLvl::InfoMask;
    kv_veil::mask_everywhere("kv-secret\tpass");
    return true;
  }();
  (void)ready;
  std::string written;
  const char first = input.empty() ? 'x' : input.front();
  KvLogStream(KvLogLvl::Info, std::make_unique<line_recorder>(written))
      << "text " << input << " pointer " << input.c_str() << " view " << std::string_view(input) << " char "
      << first << " json " << boost::json::value(input) << " path " << boost::filesystem::path(input) << std::endl;
  if (written.empty() || written.back() != '\n') __builtin_trap();
  for (size_t i = 0; i + 1 < written.size(); ++i) {
    const auto byte = static_cast<unsigned char>(written[i]);
    const auto next = static_cast<unsigned char>(written[i + 1]);
    if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f)) __builtin_trap();
  }
}

#else
#error "no fuzz target chosen"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    fuzz(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
  }
  return 0;
}
