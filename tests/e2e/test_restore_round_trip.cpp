// A VM backed up by the real program and restored from that backup as a new VM.
#include "tests/e2e/test_restore_fixture.h"

#include <boost/json.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_source_vm_id = "5c3b1e02-0000-4000-8000-000000000201";
constexpr const char* k_archive = "web_full_20240601";

std::string id_of(const boost::json::object& item) { return std::string(item.at("id").as_string()); }
std::string name_of(const boost::json::object& item) { return std::string(item.at("verbose_name").as_string()); }

// The value that follows `key` on a line of the output, or empty.
std::string line_value(const std::string& output, const std::string& key) {
  const size_t start = output.find(key);
  if (start == std::string::npos) return {};
  const size_t end = output.find('\n', start);
  return output.substr(start + key.size(), end == std::string::npos ? std::string::npos : end - start - key.size());
}

TEST(RestoreRoundTrip, ABackedUpVmComesBackAsANewVmWithTheSameDiskContent) {
  RestorePlatform p;
  p.sandbox.use_fast_clock(k_waiting_clock_scale);
  // The boot disk is the second of the list; both disks hold a few MiB of different content.
  // Texts the controller escapes in its replies come back exactly.
  const std::vector<SavedDisk> disks = {
      {"d15c0011-0000-4000-8000-000000000011", "web\\data", "", false, disk_content((3 << 20) + 17, 'k')},
      {"d15c0012-0000-4000-8000-000000000012", "web-system", "", true, disk_content((2 << 20) + 3, 'x')}};
  const boost::json::object texts{{"description", "first line\nsecond line"}, {"graphics_password", "pa\\ss"}};
  p.add_source_vm(k_source_vm_id, "web", disks, true, texts);
  std::set<std::string> original_vdisks;
  for (const auto& disk : p.controller.vdisks()) original_vdisks.insert(id_of(disk));

  const ProgramResult backup = p.sandbox.run(p.backup_args(k_source_vm_id, k_archive));
  ASSERT_EQ(backup.status, 0) << backup.out << backup.err << p.failure_context();
  const std::string snapshot = line_value(backup.out, "MAIN SNAPSHOT FILENAME:");
  ASSERT_FALSE(snapshot.empty()) << backup.out;
  ASSERT_TRUE(p.attachments_to(k_module_vm_id).empty());

  // The client restores the record by its own id, naming the backup's snapshot file.
  std::vector<std::string> args = p.restore_args("record-5501");
  args.insert(args.end(), {"-M", snapshot});
  const ProgramResult restore = p.sandbox.run(args);
  ASSERT_EQ(restore.status, 0) << restore.out << restore.err << p.failure_context();

  const auto created = p.new_vdisks(original_vdisks);
  ASSERT_EQ(created.size(), 2u);
  std::map<std::string, std::string> new_id_by_name;
  for (const auto& disk : created) new_id_by_name[name_of(disk)] = id_of(disk);
  const std::string data_id = new_id_by_name["web\\data_2"];
  const std::string system_id = new_id_by_name["web-system_2"];
  EXPECT_TRUE(read_file(p.controller.vdisk_image(data_id)) == disks[0].content);
  EXPECT_TRUE(read_file(p.controller.vdisk_image(system_id)) == disks[1].content);

  std::string new_vm_id;
  for (const auto& vm : p.controller.vms())
    if (name_of(vm) == "web_2") new_vm_id = id_of(vm);
  ASSERT_FALSE(new_vm_id.empty());
  for (const auto& [key, value] : texts) EXPECT_EQ(p.controller.vm(new_vm_id)->at(key), value) << key;
  // Every disk attached to the module VM, by the backup or the restore, was detached again.
  EXPECT_TRUE(p.attachments_to(k_module_vm_id).empty());
  EXPECT_TRUE(p.devices.attached().empty());
  EXPECT_EQ(p.controller.requests_to("POST", "/api/domains/" + std::string(k_module_vm_id) + "/detach-vdisk/").size(),
            4u);
  EXPECT_FALSE(boost::filesystem::exists(p.restore_directory("record-5501")));
  // The source VM and its disks are untouched.
  EXPECT_TRUE(p.controller.vm(k_source_vm_id).has_value());
  EXPECT_TRUE(read_file(p.controller.vdisk_image(disks[1].id)) == disks[1].content);
}

}  // namespace
}  // namespace kv_test
