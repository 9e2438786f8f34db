#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <filesystem>
#include <mutex>
#include <regex>

namespace {

namespace json = boost::json;
using kv_test::Attachment;
using kv_test::TestController;
using kv_veil_test::FastPolling;
using kv_veil_test::LogCapture;

constexpr const char* k_create_vdisk_sig = "int curlAPI::create_vdisk(vdisk&, std::string&)";
constexpr const char* k_remove_sig = "int curlAPI::remove_vdisk(const string&, std::string&)";
constexpr const char* k_operate_sig =
    "int curlAPI::operate_with_disk(const string&, const string&, const string&, std::string&, const string&)";
constexpr const char* k_cdrom_sig = "int curlAPI::create_cdrom(const string&, std::string&, std::string&)";
constexpr const char* k_delete_sig = "int curlAPI::delete_domain(const string&, std::string&)";
constexpr const char* k_detach_sig =
    "int curlAPI::detach_vdisks(const std::vector<std::__cxx11::basic_string<char> >&, const string&)";
constexpr const char* k_detach_remove_sig =
    "void curlAPI::detach_and_remove_vdisks(const std::vector<std::__cxx11::basic_string<char> >&, const string&)";
constexpr const char* k_datapool = "1f2e3d4c-0000-4000-8000-000000000007";
constexpr const char* k_module_vm = "e0d1c2b3-0000-4000-8000-0000000000aa";

json::value parsed(const std::string& body) {
  boost::system::error_code ec;
  json::value value = json::parse(body, ec);
  EXPECT_FALSE(ec) << body;
  return value;
}

// A disk as a restore holds it: loaded from a backup, with the original's id.
vdisk saved_disk(const std::string& name) {
  vdisk disk;
  disk.id = "0ld0d15c-0000-4000-8000-000000000001";
  disk.verbose_name = name;
  disk.datapool.id = k_datapool;
  disk.size = "20.0";
  disk.virtual_size = "21474836480";
  return disk;
}

class Disks : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    controller.add_vm(TestController::make_vm(k_module_vm, "kelvanor"));
  }
  curlAPI client() { return curlAPI(kv_veil_test::settings_for(controller)); }
  void add_disk(const std::string& id, const std::string& vm_id = "") {
    controller.add_vdisk(TestController::make_vdisk(id, "disk-" + id, vm_id, 10.0));
  }
  // Attaches through the client and waits, as the backup does.
  void attach(curlAPI& api, const std::string& id, const std::string& serial = "") {
    std::string task;
    ASSERT_EQ(api.operate_with_disk(k_module_vm, id, "attach", task, serial), 0);
    ASSERT_EQ(api.wait_for_task_completion(task), 0);
  }
  FastPolling fast;
  TestController controller;
};

TEST_F(Disks, CreateVdiskSendsTheExactBodyUnderAFreeNameAndTakesTheNewId) {
  add_disk("d1");
  controller.add_vdisk(TestController::make_vdisk("d2", "data", "", 10.0));
  curlAPI api = client();
  vdisk disk = saved_disk("data");
  std::string task_id;
  ASSERT_EQ(api.create_vdisk(disk, task_id), 0);
  EXPECT_EQ(disk.verbose_name, "data_2");
  EXPECT_NE(disk.id, "0ld0d15c-0000-4000-8000-000000000001");
  const auto created = controller.vdisk(disk.id);
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->at("verbose_name").as_string(), "data_2");

  const auto posts = controller.requests_to("POST", "/api/vdisks/");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].target, "/api/vdisks/?async=1");
  EXPECT_EQ(posts[0].body,
            R"({"description": "", "verbose_name": "data_2", "preallocation": false, )"
            R"("datapool": "1f2e3d4c-0000-4000-8000-000000000007", "size": 20.0, "virtual_size": 21474836480, )"
            R"("preallocation_type": "falloc"})");
  (void)parsed(posts[0].body);
  EXPECT_EQ(api.wait_for_task_completion(task_id), 0);
}

TEST_F(Disks, CreateVdiskSendsQuoteStrippedTextBackAsTheControllerSentIt) {
  curlAPI api = client();
  vdisk disk = saved_disk("say \"x\" a\\ b");  // a quote and a backslash that starts no escape
  disk.description = "l1\\nl2 \\\\ end";     // quote-stripped "l1\nl2 \\ end": a line break, a backslash
  disk.virtual_size.clear();                   // missing from an old saved file
  std::string task_id;
  ASSERT_EQ(api.create_vdisk(disk, task_id), 0);
  const json::value body = parsed(controller.requests_to("POST", "/api/vdisks/").at(0).body);
  EXPECT_EQ(body.at("verbose_name").as_string(), "say \"x\" a\\ b");
  EXPECT_EQ(body.at("description").as_string(), "l1\nl2 \\ end");
  EXPECT_TRUE(body.at("virtual_size").is_null());
}

TEST_F(Disks, CreateVdiskFailures) {
  curlAPI api = client();
  {  // the free-name list cannot be read: nothing is sent
    controller.add_fault("GET", "/api/vdisks/", kv_test::Fault{kv_test::Fault::Kind::html_500, {}, 1});
    vdisk disk = saved_disk("data");
    std::string task_id;
    LogCapture log;
    EXPECT_EQ(api.create_vdisk(disk, task_id), 2);
    EXPECT_TRUE(controller.requests_to("POST", "/api/vdisks/").empty());
  }
  {  // refused: the name has already been made free, the id stays
    controller.add_fault("POST", "/api/vdisks/", kv_test::Fault{kv_test::Fault::Kind::errors_reply, {}, 1});
    controller.add_vdisk(TestController::make_vdisk("d2", "data", "", 10.0));
    vdisk disk = saved_disk("data");
    std::string task_id;
    LogCapture log;
    EXPECT_EQ(api.create_vdisk(disk, task_id), 7);
    EXPECT_EQ(disk.verbose_name, "data_2");
    EXPECT_EQ(disk.id, "0ld0d15c-0000-4000-8000-000000000001");
    EXPECT_TRUE(log.contains(std::string(k_create_vdisk_sig) +
                             ": the following POST request produced an error: '{\"description\": \"\", "
                             "\"verbose_name\": \"data_2\", "))
        << log.text();
  }
  {  // accepted without an entity: the original's id must not pass for the new disk's
    controller.set_reply("POST", "/api/vdisks/", 200, R"({"_task": {"id": "task-77"}})");
    vdisk disk = saved_disk("other");
    std::string task_id;
    LogCapture log;
    EXPECT_EQ(api.create_vdisk(disk, task_id), 7);
    EXPECT_EQ(disk.id, "0ld0d15c-0000-4000-8000-000000000001");
    EXPECT_TRUE(task_id.empty());
  }
}

TEST_F(Disks, AttachWithASerialShowsTheDiskOnTheVmAndTellsTheListener) {
  add_disk("d1");
  std::mutex mutex;
  std::vector<Attachment> heard_attach;
  std::vector<Attachment> heard_detach;
  controller.set_attach_listener([&](const std::string& disk, const std::string& vm, const std::string& serial) {
    // The listener may ask the controller, e.g. for the disk's image.
    EXPECT_EQ(controller.vdisk_image(disk), "/images/d1.img");
    std::lock_guard<std::mutex> lock(mutex);
    heard_attach.push_back({disk, vm, serial});
  });
  controller.set_detach_listener([&](const std::string& disk, const std::string& vm, const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    heard_detach.push_back({disk, vm, serial});
  });
  controller.set_vdisk_image("d1", "/images/d1.img");
  curlAPI api = client();

  std::string task;
  LogCapture log;
  ASSERT_EQ(api.operate_with_disk(k_module_vm, "d1", "attach", task, "d1-serial"), 0);
  EXPECT_TRUE(controller.attachments().empty());  // only when the task is done
  ASSERT_EQ(api.wait_for_task_completion(task), 0);
  ASSERT_EQ(controller.attachments().size(), 1u);
  EXPECT_EQ(controller.attachments()[0].serial, "d1-serial");
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(heard_attach.size(), 1u);
    EXPECT_EQ(heard_attach[0].vm_id, k_module_vm);
    EXPECT_EQ(heard_attach[0].serial, "d1-serial");
  }

  ASSERT_EQ(api.operate_with_disk(k_module_vm, "d1", "detach", task, ""), 0);
  ASSERT_EQ(api.wait_for_task_completion(task), 0);
  EXPECT_TRUE(controller.attachments().empty());
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(heard_detach.size(), 1u);
    EXPECT_EQ(heard_detach[0].serial, "d1-serial");
  }

  const auto attaches = controller.requests_to("POST", "/api/domains/" + std::string(k_module_vm) + "/attach-vdisk/");
  ASSERT_EQ(attaches.size(), 1u);
  EXPECT_EQ(attaches[0].target, "/api/domains/" + std::string(k_module_vm) + "/attach-vdisk/?async=1");
  EXPECT_EQ(attaches[0].body, R"({"vdisk": "d1", "serial": "d1-serial"})");
  const auto detaches = controller.requests_to("POST", "/api/domains/" + std::string(k_module_vm) + "/detach-vdisk/");
  ASSERT_EQ(detaches.size(), 1u);
  EXPECT_EQ(detaches[0].body, R"({"vdisk": "d1"})");
  EXPECT_TRUE(log.contains("attaching the disk 'd1' to VM '" + std::string(k_module_vm) + "' ..."));
  EXPECT_TRUE(log.contains("detaching the disk 'd1' to VM '" + std::string(k_module_vm) + "' ..."));
}

TEST_F(Disks, ARefusedOrUnreadableDiskReplyGivesSixAndKeepsNoTask) {
  curlAPI api = client();
  std::string task = "earlier-task";
  {
    LogCapture log;
    EXPECT_EQ(api.operate_with_disk(k_module_vm, "missing", "attach", task, "s"), 6);
    EXPECT_TRUE(log.contains(std::string(k_operate_sig) +
                             ": the following POST request produced an error: '{\"vdisk\": \"missing\", "
                             "\"serial\": \"s\"}'"));
    EXPECT_EQ(task, "earlier-task");  // never mistaken for this request's task
  }
  controller.add_fault("POST", "*", kv_test::Fault{kv_test::Fault::Kind::html_500, {}, 1});
  LogCapture log;
  EXPECT_EQ(api.operate_with_disk(k_module_vm, "missing", "detach", task, ""), 6);
  EXPECT_TRUE(log.contains("json parsing failed"));
}

TEST_F(Disks, RemoveVdiskSendsTheFixedBodyAndTheDiskIsGone) {
  add_disk("d1");
  curlAPI api = client();
  std::string task;
  ASSERT_EQ(api.remove_vdisk("d1", task), 0);
  const auto posts = controller.requests_to("POST", "/api/vdisks/d1/remove/");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].target, "/api/vdisks/d1/remove/?async=1");
  EXPECT_EQ(posts[0].body, R"({"force": false, "guaranteed": false, "clean_type": "zero", "clean_count": 1})");
  EXPECT_TRUE(controller.vdisk("d1").has_value());
  ASSERT_EQ(api.wait_for_task_completion(task), 0);
  EXPECT_FALSE(controller.vdisk("d1").has_value());

  LogCapture log;
  EXPECT_EQ(api.remove_vdisk("d1", task), 6);
  EXPECT_TRUE(log.contains(std::string(k_remove_sig) + ": the following POST request produced an error: '"));
}

TEST_F(Disks, CreateCdromIsNamedAfterTheVmIdAndMadeFree) {
  controller.add_vm(TestController::make_vm("vm1", "short"));
  controller.add_cdrom("c0", "cdrom-e0d1c2b3", "other");
  curlAPI api = client();
  struct Case {
    const char* vm_id;
    const char* name;
  };
  for (const Case& c : {Case{k_module_vm, "cdrom-e0d1c2b3_2"}, Case{"vm1", "cdrom-vm1"}}) {
    std::string cdrom_id;
    std::string task;
    ASSERT_EQ(api.create_cdrom(c.vm_id, cdrom_id, task), 0) << c.vm_id;
    EXPECT_FALSE(cdrom_id.empty());
    EXPECT_EQ(controller.requests_to("POST", "/api/cdroms/").back().body,
              std::string(R"({"verbose_name": ")") + c.name + R"(", "domain": ")" + c.vm_id + "\"}");
    EXPECT_EQ(controller.requests_to("POST", "/api/cdroms/").back().target, "/api/cdroms/?async=1");
    EXPECT_EQ(controller.cdroms().back().at("id").as_string(), cdrom_id);
  }
  std::string cdrom_id;
  std::string task;
  LogCapture log;
  EXPECT_EQ(api.create_cdrom("no-such-vm", cdrom_id, task), 7);
  EXPECT_TRUE(log.contains(std::string(k_cdrom_sig) + ": the following POST request produced an error: '"));
  EXPECT_TRUE(cdrom_id.empty());
}

TEST_F(Disks, DeleteDomainSendsItsOddSpacingAndANewKeyEachTime) {
  controller.add_vm(TestController::make_vm("vm-x", "x"));
  add_disk("dx", "vm-x");
  curlAPI api = client();
  std::string first_task;
  std::string second_task;
  ASSERT_EQ(api.delete_domain("vm-x", first_task), 0);
  ASSERT_EQ(api.delete_domain("vm-x", second_task), 0);
  const auto posts = controller.requests_to("POST", "/api/domains/vm-x/remove/");
  ASSERT_EQ(posts.size(), 2u);
  const std::regex shape(R"(\{"full":"true", "force" :"false", "idempotency_key":")"
                         R"([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"\})");
  for (const auto& post : posts) {
    EXPECT_TRUE(std::regex_match(post.body, shape)) << post.body;
    EXPECT_EQ(post.target, "/api/domains/vm-x/remove/?async=1");
    (void)parsed(post.body);
  }
  EXPECT_NE(posts[0].body, posts[1].body);
  EXPECT_NE(first_task, second_task);
  ASSERT_EQ(api.wait_for_task_completion(first_task), 0);
  EXPECT_FALSE(controller.vm("vm-x").has_value());
  EXPECT_FALSE(controller.vdisk("dx").has_value());  // "full" takes its disks too

  std::string task;
  LogCapture log;
  EXPECT_EQ(api.delete_domain("vm-x", task), 7);
  EXPECT_TRUE(log.contains(std::string(k_delete_sig) + ": the following POST request produced an error: '"));
}

TEST_F(Disks, DetachVdisksGoesOnAfterAFailedDiskAndReportsTwo) {
  for (const char* id : {"d1", "d2", "d3"}) add_disk(id);
  curlAPI api = client();
  attach(api, "d1", "s1");
  attach(api, "d3", "s3");
  LogCapture log;
  EXPECT_EQ(api.detach_vdisks({"d1", "d2", "d3"}, k_module_vm), 2);
  EXPECT_TRUE(controller.attachments().empty());
  const std::string vm(k_module_vm);
  EXPECT_TRUE(log.contains("Disk 'd1' was detached from VM '" + vm + "'"));
  EXPECT_TRUE(log.contains(std::string(k_detach_sig) + ": unable to detach vdisk 'd2' from VM '" + vm + "'"));
  EXPECT_TRUE(log.contains("Disk 'd3' was detached from VM '" + vm + "'"));
  EXPECT_EQ(controller.requests_to("POST", "/api/domains/" + vm + "/detach-vdisk/").size(), 3u);
}

TEST_F(Disks, DetachVdisksCountsAFailedTaskAndAnEmptyListSendsNothing) {
  add_disk("d1");
  curlAPI api = client();
  attach(api, "d1");
  controller.set_task_schedule({std::string("FAILURE")});
  LogCapture log;
  EXPECT_EQ(api.detach_vdisks({"d1"}, k_module_vm), 2);
  EXPECT_EQ(controller.attachments().size(), 1u);

  controller.clear_requests();
  EXPECT_EQ(api.detach_vdisks({}, k_module_vm), 0);
  EXPECT_TRUE(controller.requests().empty());
}

TEST_F(Disks, DetachAndRemoveDetachesAllFirstThenRemovesEach) {
  add_disk("d1");
  add_disk("d2");  // never attached: its detach fails, it is removed all the same
  curlAPI api = client();
  attach(api, "d1", "s1");
  controller.clear_requests();
  LogCapture log;
  api.detach_and_remove_vdisks({"d1", "d2", "d3"}, k_module_vm);
  EXPECT_FALSE(controller.vdisk("d1").has_value());
  EXPECT_FALSE(controller.vdisk("d2").has_value());
  EXPECT_TRUE(log.contains(std::string(k_detach_remove_sig) + ": unable to remove vdisk 'd3'"));
  EXPECT_FALSE(log.contains("unable to remove vdisk 'd1'"));

  std::vector<std::string> order;
  for (const auto& request : controller.requests())
    if (request.method == "POST") order.push_back(request.path);
  const std::string vm(k_module_vm);
  const std::vector<std::string> expected = {
      "/api/domains/" + vm + "/detach-vdisk/", "/api/domains/" + vm + "/detach-vdisk/",
      "/api/domains/" + vm + "/detach-vdisk/", "/api/vdisks/d1/remove/",
      "/api/vdisks/d2/remove/",               "/api/vdisks/d3/remove/"};
  EXPECT_EQ(order, expected);
}

TEST_F(Disks, ATransportErrorLeavesTheListOperation) {
  conf settings = kv_veil_test::settings_for(controller);
  controller.stop();
  curlAPI api(settings);
  LogCapture log;
  EXPECT_THROW((void)api.detach_vdisks({"d1", "d2"}, k_module_vm), std::runtime_error);
  std::string task;
  EXPECT_THROW((void)api.remove_vdisk("d1", task), std::runtime_error);
}

TEST_F(Disks, CreatedDisksGetAnImageFileWhenAnImageDirectoryIsSet) {
  kv_veil_test::TempDir dir;
  controller.set_image_directory(dir.path().string());
  curlAPI api = client();
  vdisk disk = saved_disk("restored");
  std::string task;
  ASSERT_EQ(api.create_vdisk(disk, task), 0);
  EXPECT_EQ(controller.vdisk_image(disk.id), dir.file(disk.id + ".img"));
  EXPECT_TRUE(std::filesystem::exists(dir.file(disk.id + ".img")));
}

}  // namespace
