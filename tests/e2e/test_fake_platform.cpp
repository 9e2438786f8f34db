// The test doubles of the platform, checked inside the private namespace the way the program
// meets them: through /usr/bin/lsblk, /usr/bin/udevadm, /dev/<name> and /opt/kelvanor/bin/kvfd.
#include "tests/support/fake_platform.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>

namespace kv_test {
namespace {

constexpr const char* k_kvfd = "/opt/kelvanor/bin/kvfd";

class FakePlatform : public ::testing::Test {
 protected:
  FakePlatform() : devices(sandbox.scratch("platform")), kvfd(sandbox.install_fake_platform(devices)) {}

  // An image of `size` bytes of a pattern that differs per seed, so swapped disks show.
  std::string make_image(const std::string& name, size_t size, char seed) const {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(seed + i * 7 + i / 4096);
    write_file(sandbox.scratch(name), content);
    return sandbox.scratch(name);
  }

  ProgramResult shell(const std::string& script) const { return sandbox.run_shell(script); }

  ModuleSandbox sandbox;
  FakeBlockDevices devices;
  FakeKvfdRecord kvfd;
};

TEST(VirtioDiskName, FollowsTheKernelsLetters) {
  const std::pair<unsigned, const char*> cases[] = {
      {0, "vda"}, {1, "vdb"}, {25, "vdz"}, {26, "vdaa"}, {27, "vdab"}, {701, "vdzz"}, {702, "vdaaa"}};
  for (const auto& [index, name] : cases) EXPECT_EQ(virtio_disk_name(index), name) << index;
}

TEST(FakeBlockDevicesTable, ReusesTheLowestFreeNameAndKeepsKernelOrder) {
  TempDir dir;
  FakeBlockDevices devices(dir.path());
  EXPECT_EQ(read_file(devices.table_path()), "");
  EXPECT_EQ(devices.attach("serial-one", dir / "one.img"), "vdb");
  EXPECT_EQ(devices.attach("serial-two", dir / "two.img"), "vdc");
  EXPECT_EQ(devices.attach("", dir / "three.img"), "vdd");
  EXPECT_TRUE(devices.detach("vdc"));
  EXPECT_FALSE(devices.detach("vdc"));
  EXPECT_FALSE(file_exists(devices.path_of("vdc")));
  EXPECT_EQ(devices.attach("serial-four", dir / "four.img"), "vdc");
  EXPECT_EQ(devices.name_of("serial-four"), "vdc");
  EXPECT_EQ(devices.name_of("serial-two"), "");
  EXPECT_EQ(read_file(devices.table_path()), "vdb serial-one\nvdc serial-four\nvdd \n");
  EXPECT_EQ(devices.path_of("vdb"), devices.dev_folder() + "/vdb");
}

TEST(FakeBlockDevicesTable, ShowsAnImageOnAnotherFileSystemThroughALink) {
  TempDir dir;
  std::string other = "/dev/shm/kvtest-image.XXXXXX";
  struct stat here {}, there {};
  if (!mkdtemp(other.data())) GTEST_SKIP() << "no /dev/shm here";
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat(other.c_str(), &there) != 0 || here.st_dev == there.st_dev) {
    boost::filesystem::remove_all(other);
    GTEST_SKIP() << "/dev/shm is on the file system of the temp folder";
  }
  FakeBlockDevices devices(dir.path());
  const std::string name = devices.attach("serial", other + "/disk.img");
  write_file(devices.path_of(name), "written through /dev");
  EXPECT_EQ(read_file(other + "/disk.img"), "written through /dev");
  boost::filesystem::remove_all(other);
}

TEST(FakeBlockDevicesTable, AttachesFromManyThreadsWithoutLosingADisk) {
  TempDir dir;
  FakeBlockDevices devices(dir.path());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string serial = "s" + std::to_string(t) + "-" + std::to_string(i);
        const std::string name = devices.attach(serial, dir / (serial + ".img"));
        if (i % 2) devices.detach(name);
      }
    });
  for (auto& thread : threads) thread.join();
  const auto attached = devices.attached();
  EXPECT_EQ(attached.size(), 20u);
  std::string table = read_file(devices.table_path());
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 20);
  for (const auto& [name, serial] : attached) {
    EXPECT_NE(table.find(name + " " + serial + "\n"), std::string::npos) << name;
    EXPECT_TRUE(file_exists(devices.path_of(name))) << name;
  }
}

TEST_F(FakePlatform, LsblkListsTheSystemDiskAndEveryAttachedDisk) {
  devices.attach("0123456789abcdef01", make_image("b.img", 1 << 20, 'b'));
  devices.attach("", make_image("c.img", 3000, 'c'));
  ProgramResult result = shell("/usr/bin/lsblk --json");
  ASSERT_EQ(result.status, 0) << result.err;

  const boost::json::value listing = boost::json::parse(result.out);
  const boost::json::array& disks = listing.as_object().at("blockdevices").as_array();
  ASSERT_EQ(disks.size(), 3u) << result.out;
  const std::pair<const char*, const char*> expected[] = {{"vda", "20G"}, {"vdb", "1M"}, {"vdc", "3000B"}};
  for (size_t i = 0; i < disks.size(); ++i) {
    const auto& disk = disks[i].as_object();
    EXPECT_EQ(disk.at("name").as_string(), expected[i].first);
    EXPECT_EQ(disk.at("type").as_string(), "disk");
    EXPECT_EQ(disk.at("size").as_string(), expected[i].second);
  }
  const auto& children = disks[0].as_object().at("children").as_array();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].as_object().at("name").as_string(), "vda1");
  EXPECT_EQ(children[0].as_object().at("type").as_string(), "part");

  EXPECT_NE(shell("/usr/bin/lsblk -b").status, 0);
  boost::filesystem::remove(devices.table_path());
  EXPECT_NE(shell("/usr/bin/lsblk --json").status, 0);
}

TEST_F(FakePlatform, UdevadmGivesTheSerialOfAKnownDisk) {
  devices.attach("0123456789abcdef01", make_image("b.img", 4096, 'b'));
  devices.attach("", make_image("c.img", 4096, 'c'));
  const struct {
    const char* script;
    int status;
    const char* out;
  } cases[] = {
      {"/usr/bin/udevadm info --name=vdb | grep ID_SERIAL", 0,
       "E: ID_SERIAL=0123456789abcdef01\nE: ID_SERIAL_SHORT=0123456789abcdef01\n"},
      {"/usr/bin/udevadm info --name=/dev/vdb | grep ID_SERIAL=", 0, "E: ID_SERIAL=0123456789abcdef01\n"},
      {"/usr/bin/udevadm info --name=vdc | grep ID_SERIAL", 1, ""},
      {"/usr/bin/udevadm info --name=vda | grep ID_SERIAL", 1, ""},
      {"/usr/bin/udevadm info --name=vda | grep DEVNAME", 0, "E: DEVNAME=/dev/vda\n"},
      {"/usr/bin/udevadm info --name=vdq 2>&1", 1, "Unknown device \"/dev/vdq\": No such device\n"},
  };
  for (const auto& c : cases) {
    ProgramResult result = sandbox.run_shell(c.script);
    EXPECT_EQ(result.status, c.status) << c.script;
    EXPECT_EQ(result.out, c.out) << c.script;
  }
}

TEST_F(FakePlatform, DisksAttachedDuringARunShowUpAndGo) {
  RunningProgram run = sandbox.start_shell(
      "while [ ! -e /dev/vdb ]; do sleep 0.01; done; /usr/bin/lsblk --json | grep -c '\"name\": \"vdb\"'; "
      "echo attached; while [ -e /dev/vdb ]; do sleep 0.01; done; /usr/bin/lsblk --json | grep -c vdb");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread controller([&] { devices.attach("late-serial", make_image("b.img", 512, 'b')); });
  controller.join();
  ASSERT_TRUE(run.wait_for_output("attached"));
  devices.detach("vdb");
  ProgramResult result = run.wait(20);
  EXPECT_EQ(result.out, "1\nattached\n0\n") << result.err;
}

TEST_F(FakePlatform, WritesToTheDeviceLandInTheImageAndRealDevicesStillWork) {
  const std::string image = make_image("b.img", 8192, 'b');
  const std::string name = devices.attach("serial", image);
  std::string expected = read_file(image);
  expected.replace(4096, 5, "hello");

  ProgramResult result = shell("printf hello | dd of=/dev/" + name +
                               " bs=4096 seek=1 conv=notrunc,fsync 2>/dev/null && echo written >/dev/null && "
                               "head -c 10 /dev/zero | wc -c && head -c 16 /dev/urandom | wc -c && "
                               "wc -c </dev/null && head -c 4 /dev/" + name);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "10\n16\n0\n" + expected.substr(0, 4));
  EXPECT_EQ(read_file(image), expected);
  EXPECT_EQ(read_file(devices.path_of(name)), expected);
}

TEST_F(FakePlatform, TheProgramStillStartsWithTheFakeDevices) {
  ProgramResult result = sandbox.run({});
  EXPECT_EQ(result.status, 14) << result.out << result.err;
}

class FakeKvfdRoundTrip : public FakePlatform {
 protected:
  // A list file with two disks and a configuration file, as the backup preparation writes it.
  std::string make_list() {
    disk_b = make_image("b.img", (3 << 20) + 17, 'b');
    disk_c = make_image("c.img", 2 << 20, 'c');
    devices.attach("serial-b", disk_b);
    devices.attach("serial-c", disk_c);
    write_file(sandbox.scratch("op dir/NAME.vm.config"), "saved configuration\n");
    const std::string list = "KVFD file list:\n   /dev/vdb : vdb\n   /dev/vdc : vdc\n   " +
                             sandbox.scratch("op dir/NAME.vm.config") + " : vm.config\n";
    write_file(sandbox.scratch("op dir/NAME.kvfd.list"), list);
    boost::filesystem::create_directories(sandbox.scratch("op dir/NAME.snap_dir"));
    return list;
  }

  // With `exec`, the data mover replaces the shell, so the run's pid is the data mover's.
  std::string backup_command(bool exec = false) const {
    return std::string(exec ? "cd / && exec " : "cd / && ") + k_kvfd + " -a sha2 -2  -b 16384 -c '" + sandbox.scratch("op dir/NAME.kvfd.list") +
           "' -x /opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem -z None -M MEDIA -N NAME -T TASK"
           " -s /opt/kelvanor/var/tasks//task_secret_TASK -m '" + meta() + "' 2>&1";
  }
  std::string restore_command(const std::string& directory) const {
    return std::string(k_kvfd) + " -a sha2 -2  -b 16384 -R NAME -M MEDIA -T TASK"
           " -s /opt/kelvanor/var/tasks//task_secret_TASK -m '" + meta() + "' -d '" + directory + "' 2>&1";
  }
  std::string meta() const { return sandbox.scratch("op dir/NAME.snap_dir/NAME.meta"); }

  std::string disk_b;
  std::string disk_c;
};

TEST_F(FakeKvfdRoundTrip, BacksUpTheListAndRestoresItByteForByte) {
  const std::string list = make_list();
  ProgramResult backup = shell(backup_command());
  ASSERT_EQ(backup.status, 0) << backup.out;
  EXPECT_EQ(backup.out.rfind("KVFD PID: ", 0), 0u) << backup.out;
  EXPECT_NE(backup.out.find("\nPacked: vdb 3145745 bytes\nPacked: vdc 2097152 bytes\nPacked: vm.config 20 bytes\n"
                            "Transferred: 5242917 bytes\n"),
            std::string::npos)
      << backup.out;

  const auto calls = kvfd.calls();
  ASSERT_EQ(calls.size(), 1u);
  const std::vector<std::string> expected_argv = {k_kvfd, "-a", "sha2", "-2", "-b", "16384", "-c",
                                                  sandbox.scratch("op dir/NAME.kvfd.list"), "-x",
                                                  "/opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem",
                                                  "-z", "None", "-M", "MEDIA", "-N", "NAME", "-T", "TASK", "-s",
                                                  "/opt/kelvanor/var/tasks//task_secret_TASK", "-m", meta()};
  EXPECT_EQ(calls[0].argv, expected_argv);
  EXPECT_EQ(calls[0].list, list);
  EXPECT_EQ(calls[0].value_of("-N"), "NAME");
  EXPECT_TRUE(calls[0].has("-2"));
  EXPECT_EQ(read_file(kvfd.stored("NAME", "vdb")), read_file(disk_b));
  EXPECT_TRUE(file_exists(meta()));

  // The listing reads the meta file alone.
  ProgramResult listing = shell(std::string(k_kvfd) + " -l '" + meta() + "' -v 1");
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(listing.out, "3145745 vdb\n2097152 vdc\n20 vm.config\n");

  boost::filesystem::create_directories(sandbox.scratch("op dir/NAME.rest"));
  ProgramResult restore = shell(restore_command(sandbox.scratch("op dir/NAME.rest")));
  ASSERT_EQ(restore.status, 0) << restore.out;
  EXPECT_NE(restore.out.find("\nUnpacked: vdb 3145745 bytes\nUnpacked: vdc 2097152 bytes\n"), std::string::npos)
      << restore.out;
  EXPECT_EQ(read_file(sandbox.scratch("op dir/NAME.rest/vdb")), read_file(disk_b));
  EXPECT_EQ(read_file(sandbox.scratch("op dir/NAME.rest/vdc")), read_file(disk_c));
  EXPECT_EQ(read_file(sandbox.scratch("op dir/NAME.rest/vm.config")), "saved configuration\n");
  EXPECT_EQ(kvfd.calls().size(), 3u);
}

TEST_F(FakeKvfdRoundTrip, AutonomousArchiveIsFoundByItsFileName) {
  make_list();
  const std::string archive = sandbox.scratch("op dir/NAME.kvfd");
  ProgramResult backup = shell(std::string("cd / && ") + k_kvfd + " -a sha2 -5  -b 4096 -c '" +
                               sandbox.scratch("op dir/NAME.kvfd.list") + "' -x /k -n '" + archive + "' -m '" +
                               meta() + "' -g '" + sandbox.scratch("op dir/NAME.sign") +
                               "' --passin /k --sign /s 2>&1");
  ASSERT_EQ(backup.status, 0) << backup.out;
  EXPECT_TRUE(file_exists(archive));
  EXPECT_TRUE(file_exists(sandbox.scratch("op dir/NAME.sign")));
  EXPECT_EQ(read_file(kvfd.stored("NAME.kvfd", "vdc")), read_file(disk_c));

  const std::string target = sandbox.scratch("restored");
  boost::filesystem::create_directories(target);
  ProgramResult restore = shell(std::string(k_kvfd) + " -a sha2 -5 -b 4096 -r '" + archive + "' -d " + target);
  ASSERT_EQ(restore.status, 0) << restore.out;
  EXPECT_EQ(read_file(target + "/vdb"), read_file(disk_b));
}

TEST_F(FakeKvfdRoundTrip, ExitsAsTheControlFileSays) {
  make_list();
  boost::filesystem::create_directories(sandbox.scratch("op dir/NAME.rest"));
  const struct {
    const char* key;
    const char* value;
    int backup_status;
    int restore_status;
  } cases[] = {
      {"exit", "0", 0, 0},          {"exit", "1", 1, 1},         {"exit", "100", 100, 100},
      {"exit", "101", 101, 101},    {"backup.exit", "100", 100, 0}, {"restore.exit", "1", 0, 1},
  };
  for (const auto& c : cases) {
    kvfd.clear_control();
    kvfd.set(c.key, c.value);
    EXPECT_EQ(shell(backup_command()).status, c.backup_status) << c.key << "=" << c.value;
    EXPECT_EQ(shell(restore_command(sandbox.scratch("op dir/NAME.rest"))).status, c.restore_status)
        << c.key << "=" << c.value;
  }
}

TEST_F(FakeKvfdRoundTrip, RejectsCommandLinesItWasNotBuiltFor) {
  make_list();
  const std::string list = sandbox.scratch("op dir/NAME.kvfd.list");
  const std::string common = std::string(k_kvfd) + " -a sha2 -2 -b 16384 -x /k -M M -T T -s S ";
  const struct {
    std::string arguments;
    int status;
    const char* message;
  } cases[] = {
      {"-c '" + list + "' -N NAME -m '" + meta() + "' -q", 2, "unknown option or stray argument '-q'"},
      {"-c '" + list + "' -N NAME", 2, "backup needs option -m"},
      {"-c '" + list + "' -N NAME -n X -m '" + meta() + "'", 2, "exactly one of -n and -N"},
      {"-c '" + list + "' -N NAME -z fastest -m '" + meta() + "'", 2, "unknown compression fastest"},
      {"-c '" + list + "' -N NAME -S /missing.meta -m '" + meta() + "'", 1, "can't read reference meta file"},
      {"-c '" + list + "' -N NAME -m /missing/dir/NAME.meta", 1, "can't write /missing/dir/NAME.meta"},
      {"-R OTHER -m /missing.meta -d /tmp", 1, "no archive OTHER in the store"},
      {"-R NAME -m '" + meta() + "' -d /missing", 1, "restore directory /missing doesn't exist"},
      {"-N NAME -m '" + meta() + "'", 2, "neither a backup"},
  };
  for (const auto& c : cases) {
    ProgramResult result = sandbox.run_shell(common + c.arguments + " 2>&1");
    EXPECT_EQ(result.status, c.status) << c.arguments << "\n" << result.out;
    EXPECT_NE(result.out.find(c.message), std::string::npos) << c.arguments << "\n" << result.out;
  }
  write_file(list, "KVFD file list:\n/dev/vdb : vdb\n");
  ProgramResult result = sandbox.run_shell(common + "-c '" + list + "' -N NAME -m '" + meta() + "' 2>&1");
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.out.find("malformed list line '/dev/vdb : vdb'"), std::string::npos) << result.out;
  write_file(list, "KVFD file list:\n   /dev/vdq : vdq\n");
  EXPECT_EQ(sandbox.run_shell(common + "-c '" + list + "' -N NAME -m '" + meta() + "'").status, 1);
}

TEST_F(FakeKvfdRoundTrip, ShapesItsOutputAsAsked) {
  make_list();
  kvfd.set("line_end", "crlf");
  kvfd.set("pid_text", "12x");
  kvfd.set("stderr_lines", "2");
  kvfd.set("trailing", "Transferred: unterminated");
  kvfd.set("backup.progress_lines", "1000");
  kvfd.set("progress_width", "40");
  ProgramResult result = sandbox.run_shell(backup_command());
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out.rfind("KVFD PID: 12x\r\nkvfd: note 1: nothing to worry about\r\nkvfd: note 2", 0), 0u)
      << result.out.substr(0, 200);
  EXPECT_NE(result.out.find("\r\nPacked: 1000 of 1000 blocks" + std::string(13, ' ') + "\r\n"), std::string::npos);
  EXPECT_EQ(result.out.substr(result.out.size() - 25), "Transferred: unterminated");
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1 + 2 + 1000 + 3 + 1);
}

// /proc/<pid>/stat gives the state after the command name in parentheses.
char process_state(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

bool wait_for_state(pid_t pid, bool stopped) {
  for (int i = 0; i < 1000; ++i) {
    if ((process_state(pid) == 'T') == stopped) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(FakeKvfdRoundTrip, BlocksStopsContinuesAndGoesOn) {
  make_list();
  kvfd.set("backup.block", "1");
  RunningProgram run = sandbox.start_shell(backup_command(true));
  ASSERT_TRUE(kvfd.wait_until_waiting());
  ASSERT_TRUE(run.wait_for_output("KVFD PID: " + std::to_string(run.pid())));
  EXPECT_EQ(read_file(kvfd.dir() + "/waiting"), std::to_string(run.pid()) + "\n");

  run.send(SIGTSTP);
  EXPECT_TRUE(wait_for_state(run.pid(), true));
  run.send(SIGCONT);
  EXPECT_TRUE(wait_for_state(run.pid(), false));
  EXPECT_EQ(run.output_so_far().find("Packed:"), std::string::npos);
  kvfd.let_go();
  ProgramResult result = run.wait(20);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("Transferred: "), std::string::npos);
  EXPECT_EQ(kvfd.signals(), (std::vector<std::string>{"TSTP", "CONT"}));
  EXPECT_FALSE(kvfd.terminated());
}

TEST_F(FakeKvfdRoundTrip, RecordsATerminationAndDiesOfIt) {
  make_list();
  kvfd.set("block", "1");
  RunningProgram run = sandbox.start_shell(backup_command(true));
  ASSERT_TRUE(kvfd.wait_until_waiting());
  run.send(SIGTERM);
  ProgramResult result = run.wait(20);
  EXPECT_EQ(result.term_signal, SIGTERM);
  EXPECT_TRUE(kvfd.terminated());
  EXPECT_EQ(kvfd.signals(), std::vector<std::string>{"TERM"});
  EXPECT_FALSE(file_exists(kvfd.stored("NAME", "vdb")));
}

}  // namespace
}  // namespace kv_test
