// Archiving by the real program: a full backup with -a deletes the backed-up VM once the client
// has the archive's file names, and only then.
#include "tests/e2e/test_restore_fixture.h"

#include <boost/json.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_source_vm_id = "5c3b1e02-0000-4000-8000-000000000301";
constexpr const char* k_archive = "web_full_20240602";
constexpr const char* k_archiving_sig = "virtual void KvModuleVeilVM::make_archiving()";

class Archiving : public ::testing::Test {
 protected:
  void SetUp() override {
    p.sandbox.use_fast_clock(k_waiting_clock_scale);
    p.add_source_vm(k_source_vm_id, "web", disks, false);
    args = p.backup_args(k_source_vm_id, k_archive);
    args.push_back("-a");
  }

  std::vector<RecordedRequest> removals() const {
    return p.controller.requests_to("POST", "/api/domains/" + std::string(k_source_vm_id) + "/remove/");
  }

  std::vector<SavedDisk> disks = {
      {"d15c0021-0000-4000-8000-000000000021", "web-system", "", true, disk_content(1 << 20, 'w')}};
  RestorePlatform p;
  std::vector<std::string> args;
};

TEST_F(Archiving, TheBackedUpVmIsDeletedAfterTheArchiveNamesArePrinted) {
  // The removal is held for a while, so the output can be looked at while it is under way.
  p.controller.add_fault("POST", "/api/domains/" + std::string(k_source_vm_id) + "/remove/",
                         Fault{Fault::Kind::slow, std::chrono::milliseconds(1500), 1});
  RunningProgram run = p.sandbox.start(args);
  for (int waited = 0; removals().empty() && waited < 60000; waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(removals().size(), 1u) << p.failure_context();
  const std::string before_removal = run.output_so_far();
  for (const char* line : {"MAIN ARCHIVE FILENAME:", "MAIN SNAPSHOT FILENAME:", "MAIN ARCHIVE SIGN FILENAME:"})
    EXPECT_TRUE(contains(before_removal, line)) << line << "\n" << before_removal;

  const ProgramResult result = run.wait(120);
  EXPECT_EQ(result.status, 0) << result.out << result.err << p.failure_context();
  EXPECT_FALSE(p.controller.vm(k_source_vm_id).has_value());
  EXPECT_EQ(boost::json::parse(removals()[0].body).at("full").as_string(), "true");
  const std::string log = p.sandbox.log();
  EXPECT_TRUE(contains(log, "Archive (delete) the domain: " + std::string(k_source_vm_id)));
  EXPECT_TRUE(contains(log, "Domain 'web' was deleted successfully,"));
  EXPECT_FALSE(contains(result.err, k_archiving_sig)) << result.err;
}

TEST_F(Archiving, AFailedDeletionIsOnlyLoggedAndAVmWhoseBackupIsIncompleteIsKept) {
  p.controller.add_fault("POST", "/api/domains/" + std::string(k_source_vm_id) + "/remove/", Fault{});
  ProgramResult result = p.sandbox.run(args);
  EXPECT_EQ(result.status, 0) << result.out << result.err << p.failure_context();
  EXPECT_TRUE(contains(result.err, std::string(k_archiving_sig) + ": unable delete: web")) << result.err;
  EXPECT_TRUE(p.controller.vm(k_source_vm_id).has_value());

  p.controller.clear_requests();
  p.kvfd.set("backup.exit", "100");
  result = p.sandbox.run(args);
  EXPECT_EQ(result.status, 100) << result.out << result.err << p.failure_context();
  EXPECT_TRUE(removals().empty());
  EXPECT_TRUE(contains(result.err, "bool KvModuleUniversal::close_backup(const bool&): the data of the backup is "
                                    "incomplete, archiving skipped: the VM \"" + std::string(k_source_vm_id) +
                                    "\" was kept"))
      << result.err;
}

}  // namespace
}  // namespace kv_test
