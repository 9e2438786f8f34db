// Restores of the real program from backup records put straight into the data mover's store:
// the new disks, their content, the new VM, and what failures leave on the platform.
#include "tests/e2e/test_restore_fixture.h"

#include <boost/json.hpp>

#include <algorithm>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_record = "rec-2024-06";
constexpr const char* k_source_vm_id = "5c3b1e02-0000-4000-8000-000000000101";
constexpr const char* k_restore_vdisks_sig =
    "int KvModuleVeilVM::restore_vdisks(const domain_conf&, curlAPI*, std::vector<std::__cxx11::basic_string<char> "
    ">&, std::string&)";
constexpr const char* k_deployment_sig = "virtual bool KvModuleVeilVM::deployment(const bool&)";

std::string id_of(const boost::json::object& item) { return std::string(item.at("id").as_string()); }
std::string name_of(const boost::json::object& item) { return std::string(item.at("verbose_name").as_string()); }

// The source VM and its two disks still exist on the platform, as they do after a backup: every
// name the restore creates has to be made free.
class Restore : public ::testing::Test {
 protected:
  void SetUp() override {
    p.sandbox.use_fast_clock(k_waiting_clock_scale);
    p.controller.add_vm(TestController::make_vm(k_source_vm_id, "web"));
    for (const SavedDisk& disk : disks) {
      p.controller.add_vdisk(TestController::make_vdisk(disk.id, disk.name, k_source_vm_id, 0.1));
      original_vdisks.insert(disk.id);
    }
  }

  // The boot disk is the second of the list; both images are a few MiB, of different sizes.
  std::vector<SavedDisk> disks = {
      {"d15c0001-0000-4000-8000-000000000001", "web-data", "vdb", false, disk_content((3 << 20) + 17, 'a')},
      {"d15c0002-0000-4000-8000-000000000002", "web-system", "vdc", true, disk_content(2 << 20, 'q')}};
  std::set<std::string> original_vdisks;
  RestorePlatform p;
};

TEST_F(Restore, DeploysTheSavedVmOnNewDisksFilledWithTheImages) {
  const ::domain_conf saved = RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true);
  p.store_backup(k_record, saved, disks);
  // A disk of the module's VM already holds vdb: the new disks get other names than the saved ones.
  const std::string other = p.sandbox.scratch("other.img");
  write_file(other, disk_content(1 << 20, 'o'));
  p.devices.attach("other-disk", other);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  ASSERT_EQ(result.status, 0) << result.out << result.err << p.failure_context();

  // New disks under free names, each holding its image byte for byte; the other disk untouched.
  const auto created = p.new_vdisks(original_vdisks);
  ASSERT_EQ(created.size(), 2u);
  std::map<std::string, std::string> new_id_by_name;
  for (const auto& disk : created) new_id_by_name[name_of(disk)] = id_of(disk);
  const std::string data_id = new_id_by_name["web-data_2"];
  const std::string system_id = new_id_by_name["web-system_2"];
  EXPECT_TRUE(read_file(p.controller.vdisk_image(data_id)) == disks[0].content);
  EXPECT_TRUE(read_file(p.controller.vdisk_image(system_id)) == disks[1].content);
  EXPECT_TRUE(read_file(other) == disk_content(1 << 20, 'o'));

  // The VM under a free name, created with the boot disk, in a body that is valid JSON (the
  // saved description holds backslashes) and carries the description as the controller sent it.
  const auto creations = p.controller.requests_to("POST", "/api/domains/multi-create-domain/");
  ASSERT_EQ(creations.size(), 1u);
  boost::system::error_code error;
  const boost::json::value body = boost::json::parse(creations[0].body, error);
  ASSERT_FALSE(error) << creations[0].body;
  EXPECT_EQ(body.at("verbose_name").as_string(), "web_2");
  EXPECT_EQ(body.at("description"), TestController::make_vm(k_source_vm_id, "web").at("description"));
  EXPECT_TRUE(contains(saved.description, "\\")) << saved.description;
  ASSERT_EQ(body.at("vdisks").as_array().size(), 1u) << creations[0].body;
  EXPECT_EQ(body.at("vdisks").at(0).at("vdisk").as_string(), system_id);
  EXPECT_EQ(boost::json::serialize(body.at("boot").at("devices")), "[\"" + system_id + "\"]");

  std::string new_vm_id;
  for (const auto& vm : p.controller.vms())
    if (name_of(vm) == "web_2") new_vm_id = id_of(vm);
  ASSERT_FALSE(new_vm_id.empty());

  // The other disk attached to the new VM; a CD-ROM drive for it; nothing of the restore left on
  // the module VM.
  const auto attached = p.attachments_to(new_vm_id);
  ASSERT_EQ(attached.size(), 1u);
  EXPECT_EQ(attached[0].vdisk_id, data_id);
  EXPECT_EQ(attached[0].serial, "");
  const auto cdroms = p.controller.cdroms();
  ASSERT_EQ(cdroms.size(), 1u);
  EXPECT_EQ(cdroms[0].at("domain").as_string(), new_vm_id);
  EXPECT_TRUE(p.attachments_to(k_module_vm_id).empty());
  EXPECT_EQ(p.devices.attached(), (std::map<std::string, std::string>{{"vdb", "other-disk"}}));

  // Each disk was attached to the module VM with its serial, the first 18 characters of its id.
  std::vector<std::string> serials;
  for (const auto& request : p.controller.requests_to("POST", "/api/domains/" + std::string(k_module_vm_id) +
                                                                  "/attach-vdisk/"))
    serials.push_back(std::string(boost::json::parse(request.body).at("serial").as_string()));
  EXPECT_EQ(serials, (std::vector<std::string>{data_id.substr(0, 18), system_id.substr(0, 18)}));

  // dd flushed each image to the device of its new disk, from the restore directory that holds a blank.
  const std::string directory = p.restore_directory(k_record);
  EXPECT_EQ(p.dd_runs(), (std::vector<std::vector<std::string>>{
                             {"if=" + directory + "/vdb", "of=/dev/vdc", "bs=5M", "conv=fsync"},
                             {"if=" + directory + "/vdc", "of=/dev/vdd", "bs=5M", "conv=fsync"}}));
  EXPECT_FALSE(boost::filesystem::exists(directory));
  EXPECT_TRUE(boost::filesystem::is_directory(p.operation_directory()));
  EXPECT_TRUE(contains(p.sandbox.log(), "Domain 'web_2' was created successfully, domain ID: '" + new_vm_id + "'"));
  EXPECT_TRUE(contains(p.sandbox.log(), "Cdrom '" + id_of(cdroms[0]) + "' was created for VM '" + new_vm_id + "'"));
}

TEST_F(Restore, WithoutABootDiskEveryNewDiskIsAttachedAfterTheVmAndNoCdromWithoutOne) {
  for (SavedDisk& disk : disks) disk.boot = false;
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, false), disks);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  ASSERT_EQ(result.status, 0) << result.out << result.err << p.failure_context();

  const auto creations = p.controller.requests_to("POST", "/api/domains/multi-create-domain/");
  ASSERT_EQ(creations.size(), 1u);
  const boost::json::value body = boost::json::parse(creations[0].body);
  EXPECT_TRUE(body.at("vdisks").as_array().empty());
  EXPECT_FALSE(body.as_object().contains("datapool"));
  std::string new_vm_id;
  for (const auto& vm : p.controller.vms())
    if (name_of(vm) == "web_2") new_vm_id = id_of(vm);
  EXPECT_EQ(p.attachments_to(new_vm_id).size(), 2u);
  EXPECT_TRUE(p.controller.cdroms().empty());
  EXPECT_TRUE(p.attachments_to(k_module_vm_id).empty());
}

// Members as another writer may space them load, and so does one that no request carries; each
// is pasted into its body as one JSON value.
TEST_F(Restore, SavedMembersSpacedOverTwoLinesAreRestoredIntoJsonBodies) {
  ::domain_conf saved = RestorePlatform::saved_vm(k_source_vm_id, "web", disks, false);
  saved.tpm_device = "{\"model\": \"tpm-tis\",\n \"limits\": [Infinity]}";
  saved.user_power_state = "{\"a\": 1}";
  p.store_backup(k_record, saved, disks);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  ASSERT_EQ(result.status, 0) << result.out << result.err << p.failure_context();
  for (const auto& request : p.controller.requests()) {
    if (request.method != "POST") continue;
    EXPECT_NO_THROW((void)boost::json::parse(request.body)) << request.body;
  }
  const auto creations = p.controller.requests_to("POST", "/api/domains/multi-create-domain/");
  ASSERT_EQ(creations.size(), 1u);
  EXPECT_EQ(boost::json::parse(creations[0].body).at("tpm_device"),
            boost::json::parse(R"({"model": "tpm-tis", "limits": [1e99999]})"));
}

// A missing disk configuration stops the restore before anything is made, reported as the
// creation of the disks reports it.
TEST_F(Restore, AMissingDiskConfigurationIsReportedAsTheDisksRestore) {
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks);
  boost::filesystem::remove(p.kvfd.stored(k_record, disks[1].id + ".conf"));
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_EQ(result.status, 7);
  EXPECT_TRUE(contains(result.err, std::string(k_restore_vdisks_sig) + ": unable to get vdisk info from '" +
                                       disks[1].id + ".conf' file"))
      << result.err;
  EXPECT_TRUE(contains(result.err, std::string(k_deployment_sig) + ": failed to restore vdisks")) << result.err;
  EXPECT_FALSE(contains(result.err, "vm.config")) << result.err;
  EXPECT_TRUE(p.controller.requests_to("POST", "/api/vdisks/").empty());
}

// Runs one restore with a dd_block_size on a platform of its own; the platforms run side by side.
struct BlockSizeRun {
  std::string value;
  std::string block_size;  // the bs argument dd gets
  std::string warning;     // the warning line's text after the signature, or empty for none
};

TEST(RestoreBlockSize, ValuesOutsideOneToAHundredLogTheRejectionAndUseFive) {
  const std::vector<BlockSizeRun> runs = {
      {"0", "bs=5M", ": Invalid dd_block_size value: 0, using default dd_block_size value:5"},
      {"101", "bs=5M", ": Invalid dd_block_size value: 101, using default dd_block_size value:5"},
      {"large", "bs=5M", ": Invalid dd_block_size value: 0, using default dd_block_size value:5"},
      {"100", "bs=100M", ""},
      {"1", "bs=1M", ""},
  };
  const std::vector<SavedDisk> disks = {
      {"d15c0003-0000-4000-8000-000000000003", "solo", "vdb", true, disk_content((1 << 20) + 5, 's')}};

  std::vector<std::unique_ptr<RestorePlatform>> platforms;
  std::vector<RunningProgram> programs;
  for (const BlockSizeRun& run : runs) {
    platforms.push_back(std::make_unique<RestorePlatform>());
    RestorePlatform& p = *platforms.back();
    p.sandbox.use_fast_clock(k_waiting_clock_scale);
    p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "solo", disks, false), disks);
    programs.push_back(p.sandbox.start(p.restore_args(k_record, "last:true,dd_block_size:" + run.value)));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const RestorePlatform& p = *platforms[i];
    const ProgramResult result = programs[i].wait(120);
    ASSERT_EQ(result.status, 0) << runs[i].value << "\n" << result.out << result.err << p.failure_context();
    const auto dd = p.dd_runs();
    ASSERT_EQ(dd.size(), 1u) << runs[i].value;
    EXPECT_EQ(dd[0].at(2), runs[i].block_size) << runs[i].value;
    const std::string log = p.sandbox.log();
    if (runs[i].warning.empty()) {
      EXPECT_FALSE(contains(log, "Invalid dd_block_size")) << runs[i].value;
    } else {
      EXPECT_TRUE(contains(log, std::string("Warning: ") + k_deployment_sig + runs[i].warning))
          << runs[i].value << p.failure_context();
    }
  }
}

// A failure with the second disk, after the first was created and filled: the first disk is
// detached and removed again, nothing else is made.
void expect_only_the_first_disk_made_and_removed(const RestorePlatform& p, const ProgramResult& result,
                                                 const std::set<std::string>& original_vdisks) {
  EXPECT_EQ(result.status, 7) << result.out << result.err << p.failure_context();
  EXPECT_EQ(p.controller.requests_to("POST", "/api/vdisks/").size(), 1u);
  EXPECT_EQ(p.dd_runs().size(), 1u);
  EXPECT_TRUE(p.new_vdisks(original_vdisks).empty());
  EXPECT_EQ(p.controller.requests_to("POST", "/api/domains/" + std::string(k_module_vm_id) + "/detach-vdisk/").size(),
            1u);
  EXPECT_TRUE(p.attachments_to(k_module_vm_id).empty());
  EXPECT_TRUE(p.devices.attached().empty());
  EXPECT_TRUE(p.controller.requests_to("POST", "/api/domains/multi-create-domain/").empty());
  EXPECT_FALSE(boost::filesystem::exists(p.restore_directory(k_record)));
}

TEST_F(Restore, AMissingSecondImageRemovesTheFirstFilledDisk) {
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks, "vdc");
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_TRUE(contains(result.err, std::string(k_restore_vdisks_sig) + ": restored device '" +
                                       p.restore_directory(k_record) + "/vdc' doesn't exist"))
      << result.err;
  expect_only_the_first_disk_made_and_removed(p, result, original_vdisks);
}

TEST_F(Restore, AnExceptionWithTheSecondDiskRemovesTheFirstFilledDisk) {
  // A plain device name too long for the file system: looking for its image throws.
  disks[1].target_dev = std::string(300, 'x');
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks, disks[1].target_dev);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_TRUE(contains(result.err, std::string(k_restore_vdisks_sig) + ": fs:")) << result.err;
  expect_only_the_first_disk_made_and_removed(p, result, original_vdisks);
}

TEST_F(Restore, AFailedVmCreationKeepsTheFilledDisksDetached) {
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks);
  p.controller.add_fault("POST", "/api/domains/multi-create-domain/", Fault{});
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_EQ(result.status, 7) << result.out << result.err << p.failure_context();
  EXPECT_TRUE(contains(result.err, std::string(k_deployment_sig) + ": failed to deploy VM: web_2")) << result.err;

  const auto created = p.new_vdisks(original_vdisks);
  ASSERT_EQ(created.size(), 2u);
  for (const auto& disk : created) {
    EXPECT_TRUE(disk.at("domain").is_null()) << id_of(disk);
    const std::string content = read_file(p.controller.vdisk_image(id_of(disk)));
    EXPECT_TRUE(content == disks[0].content || content == disks[1].content) << id_of(disk);
  }
  EXPECT_TRUE(p.controller.attachments().empty());
  EXPECT_TRUE(p.devices.attached().empty());
  EXPECT_EQ(p.controller.vms().size(), 2u);
  EXPECT_TRUE(p.controller.cdroms().empty());
}

TEST_F(Restore, WithoutDeploymentOnlyTheFilesAreRestored) {
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record, "last:true,without_deployment_restore:yes"));
  ASSERT_EQ(result.status, 0) << result.out << result.err << p.failure_context();

  for (const auto& request : p.controller.requests()) EXPECT_NE(request.method, "POST") << request.path;
  EXPECT_TRUE(p.new_vdisks(original_vdisks).empty());
  EXPECT_TRUE(p.dd_runs().empty());
  EXPECT_EQ(read_file(p.restore_directory(k_record) + "/vdb"), disks[0].content);
  EXPECT_TRUE(file_exists(p.restore_directory(k_record) + "/vm.config"));
}

// The saved name comes from the archive: it never brings a line of its own onto standard output,
// where the client reads the protocol.
TEST_F(Restore, ASavedNameWithALineBreakStaysOnItsLogLine) {
  ::domain_conf saved = RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true);
  saved.verbose_name = "web\nMAIN ARCHIVE FILENAME:/etc/shadow";
  p.store_backup(k_record, saved, disks);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  ASSERT_EQ(result.status, 0) << result.out << result.err << p.failure_context();
  EXPECT_FALSE(contains(result.out + result.err + p.sandbox.log(), "\nMAIN ARCHIVE")) << result.out;
  EXPECT_TRUE(contains(result.out, "Domain 'web\\nMAIN ARCHIVE FILENAME:/etc/shadow' was created")) << result.out;
}

// A name comes back with exactly its characters, and a second restore of the same archive sees
// the name the first one took. The platform still holds a VM and a disk of the saved names.
TEST_F(Restore, NamesWithQuotesAndBackslashesComeBackUnderTheNextFreeName) {
  const std::string vm_name = "vm \"q\" a\\b";
  disks[0].name = "disk \"q\"";
  p.controller.add_vm(TestController::make_vm("5c3b1e02-0000-4000-8000-000000000102", vm_name));
  p.controller.add_vdisk(TestController::make_vdisk("d15c0003-0000-4000-8000-000000000003", disks[0].name, "", 0.1));
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, vm_name, disks, false), disks);
  const auto named = [](const std::vector<boost::json::object>& items, const std::string& name) {
    return std::any_of(items.begin(), items.end(), [&](const auto& item) { return name_of(item) == name; });
  };
  for (const std::string suffix : {"_2", "_3"}) {
    const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
    ASSERT_EQ(result.status, 0) << suffix << result.out << result.err << p.failure_context();
    EXPECT_TRUE(named(p.controller.vms(), vm_name + suffix)) << suffix;
    EXPECT_TRUE(named(p.controller.vdisks(), disks[0].name + suffix)) << suffix;
  }
}

TEST_F(Restore, AMissingDirectoryToPatchCreatesNothing) {
  p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks);
  std::vector<std::string> args = p.restore_args(k_record);
  args.insert(args.end(), {"-i", "no-such-archive"});
  const ProgramResult result = p.sandbox.run(args);
  EXPECT_EQ(result.status, 7) << result.out << result.err << p.failure_context();

  EXPECT_TRUE(p.kvfd.calls().empty());
  EXPECT_TRUE(p.controller.requests().empty());
  EXPECT_FALSE(boost::filesystem::exists(p.operation_directory() + "/no-such-archive.rest"));
  EXPECT_FALSE(boost::filesystem::exists(p.restore_directory(k_record)));
}

TEST_F(Restore, ASavedDeviceNameThatIsNotAPlainNameIsRefusedBeforeAnythingIsCreated) {
  const std::vector<std::string> names = {"../../../../../../../../../../etc/hostname", "vdb;touch pwned", ""};
  for (const std::string& name : names) {
    std::vector<SavedDisk> crafted = {disks[0]};
    crafted[0].target_dev = name;
    // An image file under the crafted name, where the data mover can put one.
    const bool storable = !name.empty() && name.find('/') == std::string::npos;
    p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", crafted, false), crafted,
                   storable ? "" : name);
    const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
    EXPECT_EQ(result.status, 7) << name << "\n" << result.out << result.err;
    EXPECT_TRUE(contains(result.err, std::string(k_restore_vdisks_sig) + ": the saved block device name '" + name +
                                         "' of the disk '" + disks[0].id + "' is not a device name"))
        << result.err;
    EXPECT_TRUE(p.controller.requests_to("POST", "/api/vdisks/").empty()) << name;
    EXPECT_TRUE(p.dd_runs().empty()) << name;
    boost::filesystem::remove_all(p.kvfd.stored(k_record, ""));
  }
}

// A saved member that holds more than one JSON value would add members to a creation request.
// The second disk's configuration is forged: the first disk is not made either.
TEST_F(Restore, ASavedMemberThatIsNotOneJsonValueIsRefusedBeforeAnythingIsCreated) {
  struct Forged {
    decltype(&::domain_conf::tpm_device) vm_member;  // or the second disk's:
    decltype(&vdisk::size) disk_member;
    std::string name;
    std::string text;
  };
  const Forged rows[] = {
      {&::domain_conf::tpm_device, nullptr, "tpm_device", R"(null, "pci_devices": [{"id": "host-gpu-1"}])"},
      {nullptr, &vdisk::size, "size", R"(2.5, "datapool": "attacker-pool")"},
  };
  for (const Forged& row : rows) {
    ::domain_conf vm = RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true);
    if (row.vm_member) vm.*row.vm_member = row.text;
    p.store_backup(k_record, vm, disks);
    std::string file = "vm.config";
    std::string sig = "int KvModuleVeilVM::fill_domain_config(domain_conf&)";
    if (row.disk_member) {
      vdisk disk = RestorePlatform::saved_vdisk(disks[1], k_source_vm_id);
      disk.*row.disk_member = row.text;
      file = disks[1].id + ".conf";
      sig = "int KvModuleVeilVM::fill_vdisk_config(const string&, vdisk&)";
      write_file(p.kvfd.stored(k_record, file), kv_veil::to_archive_text(disk));
    }
    const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
    EXPECT_EQ(result.status, 7) << row.name << "\n" << result.out << result.err << p.failure_context();
    EXPECT_TRUE(contains(result.err, sig + ": the saved member '" + row.name + "' of " + p.restore_directory(k_record) +
                                         "/" + file + " is not exactly one JSON value"))
        << result.err;
    EXPECT_TRUE(p.controller.requests_to("POST", "/api/vdisks/").empty()) << row.name;
    EXPECT_TRUE(p.controller.requests_to("POST", "/api/domains/multi-create-domain/").empty()) << row.name;
    boost::filesystem::remove_all(p.kvfd.stored(k_record, ""));
  }
}

}  // namespace
}  // namespace kv_test
