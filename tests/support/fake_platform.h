#pragma once

// Test doubles for the platform pieces a test machine cannot have: the disks the controller
// attaches to the module's VM (files shown as /dev/<name> inside the sandbox, with lsblk and
// udevadm answering from a device table) and the data mover /opt/kelvanor/bin/kvfd.
//
// Environment of the sandboxed program (set by the installers below):
//   KV_TEST_DEVICE_TABLE  the device table, one "<kernel name> <serial>" line per attached disk
//   KV_FAKE_KVFD_DIR      the data mover's record folder (layout and control keys: fake_kvfd.cpp)

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kv_test {

class ModuleSandbox;

// The disks attached to the module's VM. attach and detach may be called from any thread (the
// test controller serves requests on its own) while the program runs.
class FakeBlockDevices {
 public:
  // Keeps its device folder and table under `folder`, which is created.
  explicit FakeBlockDevices(const std::string& folder);
  FakeBlockDevices(const FakeBlockDevices&) = delete;
  FakeBlockDevices& operator=(const FakeBlockDevices&) = delete;

  // Shows the image (created empty when missing) as /dev/<name> under the lowest free kernel
  // name (vdb, vdc, ..., vdz, vdaa, ...) and lists it with its serial. The device file is a hard
  // link to the image (a symbolic link when the image is on another file system), so whatever the
  // program writes to /dev/<name> lands in the image. Returns the kernel name.
  std::string attach(const std::string& serial, const std::string& image_path);
  // Unlists the disk and removes its device file; false when no disk has that name.
  bool detach(const std::string& name);

  // Kernel name of the attached disk with that serial, or empty.
  std::string name_of(const std::string& serial) const;
  // Host path of /dev/<name> (the device file itself).
  std::string path_of(const std::string& name) const;
  // Kernel name -> serial of every attached disk.
  std::map<std::string, std::string> attached() const;

  // The folder bound over /dev, and the table the fake lsblk and udevadm read.
  const std::string& dev_folder() const { return m_dev_folder; }
  const std::string& table_path() const { return m_table_path; }

 private:
  void write_table() const;  // callers hold m_mutex

  std::string m_dev_folder;
  std::string m_table_path;
  mutable std::mutex m_mutex;
  std::map<std::string, std::string> m_serials;  // kernel name -> serial
};

// One run of the fake data mover as it recorded it.
struct FakeKvfdCall {
  std::vector<std::string> argv;  // argv[0] included
  std::string list;               // the file given with -c, byte for byte; empty when none

  // The arguments after argv[0] joined by single blanks.
  std::string arguments() const;
};

// The record folder of the fake data mover: what it was asked, and its knobs.
class FakeKvfdRecord {
 public:
  explicit FakeKvfdRecord(std::string dir);

  const std::string& dir() const { return m_dir; }

  // Sets one control key (see fake_kvfd.cpp), e.g. set("exit", "100") or set("backup.block", "1").
  void set(const std::string& key, const std::string& value) const;
  void clear_control() const;

  // Every run so far, oldest first.
  std::vector<FakeKvfdCall> calls() const;
  // Host path of a file a backup stored under archive `archive` and name `name`.
  std::string stored(const std::string& archive, const std::string& name) const;

  // Waits until a blocked run wrote its "waiting" marker; false after the time-out.
  bool wait_until_waiting(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  std::string m_dir;
};

// Path of the built fake data mover and of the folder holding the fake lsblk and udevadm.
std::string fake_kvfd_program();
std::string fake_tools_folder();

// Copies the fake data mover to /opt/kelvanor/bin/kvfd of the sandbox and gives it a record
// folder under the sandbox's scratch folder (KV_FAKE_KVFD_DIR).
FakeKvfdRecord install_fake_kvfd(ModuleSandbox& sandbox);

}  // namespace kv_test
