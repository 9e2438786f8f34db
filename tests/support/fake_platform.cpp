#include "tests/support/fake_platform.h"

#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kv_test {
namespace fs = boost::filesystem;

namespace {

// Readers (the fake tools, the fake data mover) run concurrently with the writers here: they
// must see either the old or the new file, never a half-written one.
void replace_file(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".new";
  write_file(temporary, content);
  fs::rename(temporary, path);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Kernel name of the n-th virtio disk: 0 vda, 1 vdb, ..., 25 vdz, 26 vdaa, ...
std::string virtio_disk_name(unsigned index) {
  // The kernel's own scheme: base-26 letters where "a" after the first place means one more.
  std::string suffix;
  unsigned rest = index;
  do {
    suffix.insert(suffix.begin(), static_cast<char>('a' + rest % 26));
    rest = rest / 26;
  } while (rest-- > 0);
  return "vd" + suffix;
}

}  // namespace

FakeBlockDevices::FakeBlockDevices(const std::string& folder)
    : m_dev_folder(folder + "/dev"), m_table_path(folder + "/device_table") {
  fs::create_directories(m_dev_folder);
  write_table();
}

std::string FakeBlockDevices::attach(const std::string& serial, const std::string& image_path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string name;
  for (unsigned index = 1; name.empty(); ++index) {
    const std::string candidate = virtio_disk_name(index);
    if (!m_serials.count(candidate)) name = candidate;
  }
  if (!fs::exists(image_path)) write_file(image_path, "");
  // The device file exists before the table lists it, so a listed disk can always be opened.
  const std::string device = path_of(name);
  fs::remove(device);
  boost::system::error_code link_error;
  fs::create_hard_link(image_path, device, link_error);
  // An image on another file system cannot be hard-linked; host paths outside /opt and /dev
  // look the same inside the namespace, so a symbolic link serves as well there.
  if (link_error) fs::create_symlink(fs::absolute(image_path), device);
  m_serials[name] = serial;
  write_table();
  return name;
}

bool FakeBlockDevices::detach(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_serials.erase(name)) return false;
  write_table();
  boost::system::error_code ignored;
  fs::remove(path_of(name), ignored);
  return true;
}

std::string FakeBlockDevices::name_of(const std::string& serial) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [name, disk_serial] : m_serials)
    if (disk_serial == serial) return name;
  return {};
}

std::string FakeBlockDevices::path_of(const std::string& name) const { return m_dev_folder + "/" + name; }

std::map<std::string, std::string> FakeBlockDevices::attached() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_serials;
}

void FakeBlockDevices::write_table() const {
  // Listed in kernel-index order, as lsblk lists disks (vdz before vdaa).
  std::vector<std::string> names;
  for (const auto& entry : m_serials) names.push_back(entry.first);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  std::string table;
  for (const auto& name : names) table += name + " " + m_serials.at(name) + "\n";
  replace_file(m_table_path, table);
}

std::string FakeKvfdCall::arguments() const {
  std::string text;
  for (size_t i = 1; i < argv.size(); ++i) text += (i > 1 ? " " : "") + argv[i];
  return text;
}

FakeKvfdRecord::FakeKvfdRecord(std::string dir) : m_dir(std::move(dir)) { fs::create_directories(m_dir); }

void FakeKvfdRecord::set(const std::string& key, const std::string& value) const {
  const std::string path = m_dir + "/control";
  std::string content;
  for (const auto& line : lines_of(read_file(path)))
    if (line.rfind(key + "=", 0) != 0) content += line + "\n";
  replace_file(path, content + key + "=" + value + "\n");
}

void FakeKvfdRecord::clear_control() const {
  boost::system::error_code ignored;
  fs::remove(m_dir + "/control", ignored);
}

std::vector<FakeKvfdCall> FakeKvfdRecord::calls() const {
  std::vector<std::string> folders;
  if (fs::is_directory(m_dir + "/calls"))
    for (const auto& entry : fs::directory_iterator(m_dir + "/calls")) folders.push_back(entry.path().string());
  std::sort(folders.begin(), folders.end());  // zero-padded numbers
  std::vector<FakeKvfdCall> calls;
  for (const auto& folder : folders) {
    FakeKvfdCall call;
    call.argv = lines_of(read_file(folder + "/argv"));
    call.list = read_file(folder + "/list");
    calls.push_back(std::move(call));
  }
  return calls;
}

std::string FakeKvfdRecord::stored(const std::string& archive, const std::string& name) const {
  return m_dir + "/store/" + archive + "/" + name;
}

bool FakeKvfdRecord::wait_until_waiting(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!file_exists(m_dir + "/waiting")) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string fake_kvfd_program() { return KV_FAKE_KVFD_PATH; }

std::string fake_tools_folder() { return std::string(KV_TEST_SOURCE_DIR) + "/support/fake_tools"; }

FakeKvfdRecord install_fake_kvfd(ModuleSandbox& sandbox) {
  fs::copy_file(fake_kvfd_program(), sandbox.opt("bin/kvfd"), fs::copy_options::overwrite_existing);
  fs::permissions(sandbox.opt("bin/kvfd"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exe |
                                                fs::perms::others_read | fs::perms::others_exe);
  FakeKvfdRecord record(sandbox.scratch("fake_kvfd"));
  sandbox.set_env("KV_FAKE_KVFD_DIR", record.dir());
  return record;
}

}  // namespace kv_test
