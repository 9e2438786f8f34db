#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::LogCapture;

class Inventory : public ::testing::Test {
 protected:
  void SetUp() override { controller.start(); }
  curlAPI client() { return curlAPI(kv_veil_test::settings_for(controller)); }
  int list(std::vector<veil_vm_info>& domains) {
    curlAPI api = client();
    return api.get_domain_list(domains);
  }
  TestController controller;
};

TEST_F(Inventory, EveryPageIsReadFromTheConfiguredControllerOnly) {
  controller.set_page_size(2);
  for (const char* name : {"a", "b", "c", "d", "e"}) controller.add_vm(TestController::make_vm(name, name));
  std::vector<veil_vm_info> domains;
  ASSERT_EQ(list(domains), 0);
  ASSERT_EQ(domains.size(), 5u);
  EXPECT_EQ(domains[4].verbose_name, "e");
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").at(2).target, "/api/domains/?limit=2&offset=4");

  controller.set_reply("GET", "/api/domains/", 200,
                       R"({"next": "http://elsewhere.invalid:1/api/more/?offset=1", "results": [{"id": "x"}]})");
  controller.set_reply("GET", "/api/more/", 200, R"({"next": "/api/domains/", "results": [{"id": "y"}]})");
  LogCapture log;
  EXPECT_EQ(list(domains), 2);  // the first page named twice
  EXPECT_EQ(controller.requests_to("GET", "/api/more/").at(0).target, "/api/more/?offset=1");
  EXPECT_TRUE(log.contains(" twice"));
}

TEST_F(Inventory, AListThatNeverEndsIsGivenUpAfterAThousandPages) {
  controller.set_page_size(1);
  for (int i = 0; i <= 1000; ++i) controller.add_vm(TestController::make_vm("id-" + std::to_string(i), "vm"));
  LogCapture log;
  std::vector<veil_vm_info> domains;
  EXPECT_EQ(list(domains), 2);
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").size(), 1000u);
  EXPECT_TRUE(log.contains(": the list goes on beyond 1000 pages"));
}

// An error reply has no "results"; read as an empty list it would hide every VM.
TEST_F(Inventory, ReplyShapesAndErrorReplies) {
  struct Case {
    int status;
    const char* body;
    int result;
    const char* message;
  };
  const Case cases[] = {
      {200, R"({"results": [{"id": "a", "user_power_state": 3}]})", 0, ""},
      {200, "{}", 2, ": json object value is empty. Expected domain list info"},
      {200, R"({"results": {}})", 2, ": json is not an array of domain objects"},
      {200, R"({"results": [{"id": "a"}, {}]})", 2, ": json object value is empty. Expected domain info"},
      {200, R"({"errors": [{"detail": "x"}]})", 2, ": the controller answered with HTTP status 200: "},
      {400, R"({"detail": "Bad."})", 2, ": the controller answered with HTTP status 400: \"Bad.\""},
      {404, R"({"detail": "Not found."})", 2, ": the controller answered with HTTP status 404: "},
      {200, R"({"results": [{"id": "a%2F.."}]})", 0, ""},
  };
  for (const Case& c : cases) {
    controller.set_reply("GET", "/api/domains/", c.status, c.body);
    LogCapture log;
    std::vector<veil_vm_info> domains;
    EXPECT_EQ(list(domains), c.result) << c.body;
    EXPECT_TRUE(log.contains(c.message)) << c.body << log.text();
  }
}

TEST_F(Inventory, FreeNamesFollowTheSuffixRuleOverEveryPage) {
  controller.set_page_size(1);
  for (const char* name : {"vm", "vm_2", "other", "q\"", R"(\q\)"})
    controller.add_vdisk(TestController::make_vdisk(std::string("id-") + name, name, "", 10.0));
  // Names are given as quote-stripped text: q\u0022 is the listed q", and \q\, a text saved before
  // quotes were kept, the listed \q\ its restore made.
  const std::pair<const char*, const char*> cases[] = {
      {"vm", "vm_3"}, {"vm_2", "vm_2_2"}, {"VM", "VM"}, {R"(q\u0022)", R"(q\u0022_2)"}, {R"(\q\)", R"(\q\_2)"}};
  for (const auto& [wanted, got] : cases) {
    curlAPI api = client();
    std::string name = wanted;
    ASSERT_EQ(api.get_free_instance_name("vdisk", name), 0);
    EXPECT_EQ(name, got);
  }
  for (const char* body : {R"({"results": 1})", R"({"results": [[]]})", R"({"errors": []})"}) {
    controller.set_reply("GET", "/api/vdisks/", 200, body);
    curlAPI api = client();
    LogCapture log;
    std::string name = "keep";
    EXPECT_EQ(api.get_free_instance_name("vdisk", name), 2) << body;
    EXPECT_EQ(name, "keep");
  }
}

// A name from a saved record, a link or an error page of the controller stays on its log line.
TEST_F(Inventory, OutsideTextNeverBreaksALogLine) {
  LogCapture log;
  curlAPI api = client();
  std::string name = "new\nMAIN";
  ASSERT_EQ(api.get_free_instance_name("vdisk", name), 0);
  std::vector<veil_vm_info> domains;
  for (const auto& [status, body] : {std::pair(200, R"({"next": "x\nMAIN"})"), std::pair(500, "<p>x\nMAIN</p>"),
                                     std::pair(200, R"({"next": "/api/domains/?p=\u0085MAIN"})")}) {
    controller.set_reply("GET", "/api/domains/", status, body, status == 200 ? "application/json" : "text/html");
    EXPECT_EQ(list(domains), 2);
  }
  EXPECT_FALSE(log.contains("\nMAIN")) << log.text();
  EXPECT_TRUE(log.contains("name: 'new\\nMAIN'") && log.contains("next page: x\\nMAIN") &&
              log.contains("500: <p>x\\nMAIN</p>") && log.contains("next page: /api/domains/?p=\\u0085MAIN"))
      << log.text();
}

// A VM the controller does not know is an error, not a VM without disks.
TEST_F(Inventory, AvailableVdisks) {
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  const std::pair<const char*, int> cases[] = {{R"({"available_vdisks": [{"id": "a"}, {"name": "b"}]})", 0},
                                               {R"({"available_vdisks": [{"id": "a"}, 1]})", 6},
                                               {R"({"available_vdisks": [{"id": "a"}, {"id": 5}]})", 6},
                                               {R"({"available_vdisks": [{"id": "a"}, {"id": "b\u0000"}]})", 6}};
  for (const auto& [body, result] : cases) {
    controller.set_reply("GET", "/api/domains/vm-1/snapshots-info/", 200, body);
    curlAPI api = client();
    LogCapture log;
    domain_conf domain;
    domain.id = "vm-1";
    EXPECT_EQ(api.get_available_vdisks(domain), result) << body;
    EXPECT_EQ(domain.available_vdisks.at(0), "a") << body;
  }
  curlAPI api = client();
  domain_conf unknown;
  unknown.id = "gone";
  EXPECT_EQ(api.get_available_vdisks(unknown), 2);
}

}  // namespace
