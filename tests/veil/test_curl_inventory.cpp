#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_list_sig = "int curlAPI::get_domain_list(std::vector<veil_vm_info>&)";
constexpr const char* k_free_sig = "int curlAPI::get_free_instance_name(const string&, std::string&)";
constexpr const char* k_vdisks_sig = "int curlAPI::get_available_vdisks(domain_conf&)";

class Inventory : public ::testing::Test {
 protected:
  void SetUp() override { controller.start(); }
  curlAPI client() { return curlAPI(kv_veil_test::settings_for(controller)); }
  void add_vms(std::initializer_list<const char*> names) {
    for (const char* name : names) controller.add_vm(TestController::make_vm("vm-id-" + std::to_string(++m_vms), name));
  }
  TestController controller;
  int m_vms = 0;
};

TEST_F(Inventory, DomainListRowsKeepTheirForms) {
  boost::json::object vm = TestController::make_vm("a1", "web \"front\"");
  vm["status"] = "ACTIVE";
  vm["user_power_state"] = "on";  // a string keeps its quotes in JSON text
  controller.add_vm(vm);
  controller.add_vm(TestController::make_vm("b2", "db"));
  curlAPI api = client();
  std::vector<veil_vm_info> domains;
  ASSERT_EQ(api.get_domain_list(domains), 0);
  ASSERT_EQ(domains.size(), 2u);
  EXPECT_EQ(domains[0].id, "a1");
  EXPECT_EQ(domains[0].verbose_name, "web \\front\\");
  EXPECT_EQ(domains[0].status, "ACTIVE");
  EXPECT_EQ(domains[0].user_power_state, "\"on\"");
  EXPECT_EQ(domains[1].user_power_state, "3");
  EXPECT_TRUE(curlAPI::domain_id_exists(domains, "b2"));
  EXPECT_FALSE(curlAPI::domain_id_exists(domains, "B2"));
  EXPECT_FALSE(curlAPI::domain_id_exists(domains, "b"));
}

TEST_F(Inventory, EveryPageOfALongListIsRead) {
  controller.set_page_size(2);
  add_vms({"a", "b", "c", "d", "e"});
  curlAPI api = client();
  std::vector<veil_vm_info> domains;
  ASSERT_EQ(api.get_domain_list(domains), 0);
  ASSERT_EQ(domains.size(), 5u);
  EXPECT_EQ(domains[4].verbose_name, "e");
  const auto pages = controller.requests_to("GET", "/api/domains/");
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[2].target, "/api/domains/?limit=2&offset=4");
  for (const auto& page : pages) EXPECT_EQ(page.header("Authorization"), "jwt token-1");
}

TEST_F(Inventory, ANextLinkGoesToTheConfiguredControllerOnly) {
  controller.set_reply("GET", "/api/domains/", 200,
                       R"({"next": "http://elsewhere.invalid:1/api/more/?offset=1", "results": [{"id": "x"}]})");
  controller.set_reply("GET", "/api/more/", 200, R"({"next": null, "results": [{"id": "y"}]})");
  curlAPI api = client();
  std::vector<veil_vm_info> domains;
  ASSERT_EQ(api.get_domain_list(domains), 0);
  ASSERT_EQ(domains.size(), 2u);
  EXPECT_EQ(controller.requests_to("GET", "/api/more/").at(0).target, "/api/more/?offset=1");
}

TEST_F(Inventory, APageNamedTwiceEndsTheListing) {
  controller.set_reply("GET", "/api/domains/", 200, R"({"next": "/api/domains/", "results": [{"id": "x"}]})");
  curlAPI api = client();
  LogCapture log;
  std::vector<veil_vm_info> domains;
  EXPECT_EQ(api.get_domain_list(domains), 2);
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").size(), 1u);
  EXPECT_TRUE(log.contains(" twice"));
}

TEST_F(Inventory, AListThatNeverEndsIsGivenUpAfterAThousandPages) {
  controller.set_page_size(1);
  for (int i = 0; i <= 1000; ++i) controller.add_vm(TestController::make_vm("id-" + std::to_string(i), "vm"));
  curlAPI api = client();
  LogCapture log;
  std::vector<veil_vm_info> domains;
  EXPECT_EQ(api.get_domain_list(domains), 2);
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").size(), 1000u);
  EXPECT_TRUE(log.contains(std::string(k_list_sig) + ": the list goes on beyond 1000 pages"));
}

TEST_F(Inventory, DomainListReplyShapes) {
  struct Case {
    const char* body;
    int result;
    size_t rows;
    const char* message;
  };
  const Case cases[] = {
      {R"({"results": []})", 0, 0, ": array of domain objects is empty"},
      {R"({"count": 0})", 0, 0, ""},
      {"{}", 2, 0, ": json object value is empty. Expected domain list info"},
      {R"({"results": {}})", 2, 0, ": json is not an array of domain objects"},
      {R"({"results": [{"id": "a"}, 5]})", 2, 1, ": json value is not a 'domain' object"},
      {R"({"results": [{"id": "a"}, {}]})", 2, 1, ": json object value is empty. Expected domain info"},
      {"[]", 2, 0, ": json value is not an object"},
  };
  for (const Case& c : cases) {
    controller.set_reply("GET", "/api/domains/", 200, c.body);
    curlAPI api = client();
    LogCapture log;
    std::vector<veil_vm_info> domains;
    EXPECT_EQ(api.get_domain_list(domains), c.result) << c.body;
    EXPECT_EQ(domains.size(), c.rows) << c.body;
    if (*c.message) {
      EXPECT_TRUE(log.contains(c.message)) << c.body << log.text();
    }
  }
}

// An error reply has no "results"; read as an empty list it would hide every VM.
TEST_F(Inventory, ErrorRepliesFailTheListInsteadOfLookingEmpty) {
  add_vms({"a"});
  for (Fault::Kind kind : {Fault::Kind::errors_reply, Fault::Kind::error_200, Fault::Kind::html_500,
                           Fault::Kind::not_found, Fault::Kind::empty_body}) {
    controller.clear_faults();
    controller.add_fault("GET", "/api/domains/", Fault{kind});
    curlAPI api = client();
    LogCapture log;
    std::vector<veil_vm_info> domains;
    EXPECT_EQ(api.get_domain_list(domains), 2) << static_cast<int>(kind);
    EXPECT_TRUE(domains.empty());
    if (kind != Fault::Kind::empty_body) {
      EXPECT_TRUE(log.contains(std::string(k_list_sig) + ": the controller answered with HTTP status ")) << log.text();
    }
  }
}

TEST_F(Inventory, FreeNamesFollowTheSuffixRule) {
  add_vms({"vm", "vm_2", "other"});
  struct Case {
    const char* wanted;
    const char* got;
  };
  const Case cases[] = {{"vm", "vm_3"}, {"vm_2", "vm_2_2"}, {"VM", "VM"}, {"new", "new"}};
  for (const Case& c : cases) {
    curlAPI api = client();
    LogCapture log;
    std::string name = c.wanted;
    ASSERT_EQ(api.get_free_instance_name("domain", name), 0);
    EXPECT_EQ(name, c.got);
    EXPECT_TRUE(log.contains("A domain will be created with the name: '" + std::string(c.got) + "'"));
  }
  curlAPI api = client();
  LogCapture log;
  std::string name = "vm";
  ASSERT_EQ(api.get_free_instance_name("domain", name), 0);
  EXPECT_EQ(log.count("' exists in ECP Veil "), 2u);
  EXPECT_TRUE(log.contains("domain with the name 'vm_2' exists in ECP Veil "));
  EXPECT_TRUE(log.contains("Check new domain name: 'vm_3'"));
}

TEST_F(Inventory, FreeNamesOfEveryKindAndEveryPage) {
  controller.set_page_size(1);
  controller.add_vdisk(TestController::make_vdisk("d1", "disk", "", 10.0));
  controller.add_vdisk(TestController::make_vdisk("d2", "disk_2", "", 10.0));
  controller.add_cdrom("c1", "cdrom-12345678", "vm");
  curlAPI api = client();
  std::string disk = "disk";
  ASSERT_EQ(api.get_free_instance_name("vdisk", disk), 0);
  EXPECT_EQ(disk, "disk_3");
  std::string cdrom = "cdrom-12345678";
  ASSERT_EQ(api.get_free_instance_name("cdrom", cdrom), 0);
  EXPECT_EQ(cdrom, "cdrom-12345678_2");
  EXPECT_EQ(controller.requests_to("GET", "/api/vdisks/").size(), 2u);
  EXPECT_EQ(controller.requests_to("GET", "/api/cdroms/").size(), 1u);
}

TEST_F(Inventory, FreeNameReplyShapes) {
  struct Case {
    const char* body;
    int result;
    const char* name;
    const char* message;
  };
  const Case cases[] = {
      {R"({"results": [{"id": "x"}]})", 0, "_2", ""},  // no verbose_name counts as the empty name
      {R"({"results": []})", 0, "", ": array of vdisk objects is empty"},
      {"{}", 2, "", ": json object value is empty. Expected info about vdisk instances"},
      {R"({"results": 1})", 2, "", ": json is not an array of vdisk objects"},
      {R"({"results": [[]]})", 2, "", ": json value is not a 'vdisk' object"},
      {R"({"results": [{}]})", 2, "", ": json object value is empty. Expected vdisk info"},
  };
  for (const Case& c : cases) {
    controller.set_reply("GET", "/api/vdisks/", 200, c.body);
    curlAPI api = client();
    LogCapture log;
    std::string name;
    EXPECT_EQ(api.get_free_instance_name("vdisk", name), c.result) << c.body;
    EXPECT_EQ(name, c.name) << c.body;
    if (*c.message) {
      EXPECT_TRUE(log.contains(std::string(k_free_sig) + c.message)) << c.body << log.text();
    }
  }
  controller.add_fault("GET", "/api/vdisks/", Fault{Fault::Kind::errors_reply});
  curlAPI api = client();
  std::string name = "keep";
  EXPECT_EQ(api.get_free_instance_name("vdisk", name), 2);
  EXPECT_EQ(name, "keep");
}

TEST_F(Inventory, AvailableVdisksAreAppended) {
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  controller.add_vdisk(TestController::make_vdisk("d1", "root", "vm-1", 20.0));
  controller.add_vdisk(TestController::make_vdisk("d2", "data", "vm-1", 7.34));
  controller.add_vdisk(TestController::make_vdisk("d3", "other", "vm-2", 1.0));
  curlAPI api = client();
  domain_conf domain;
  domain.id = "vm-1";
  ASSERT_EQ(api.get_available_vdisks(domain), 0);
  ASSERT_EQ(api.get_available_vdisks(domain), 0);
  EXPECT_EQ(domain.available_vdisks, (std::vector<std::string>{"d1", "d2", "d1", "d2"}));
}

TEST_F(Inventory, AvailableVdisksReplyShapes) {
  struct Case {
    const char* body;
    int result;
    std::vector<std::string> ids;
    const char* message;
  };
  const Case cases[] = {
      {R"({"available_vdisks": [{"id": "a"}, {"name": "b"}]})", 0, {"a", ""}, ""},
      {R"({"snapshots": []})", 0, {}, ""},
      {"{}", 6, {}, ": domain snapshot object is empty"},
      {R"({"available_vdisks": {}})", 6, {}, ": json is not an array attached vdisks"},
      {R"({"available_vdisks": [{"id": "a"}, 1]})", 6, {"a"}, ": json value is not vdisks_attached object"},
      {R"({"available_vdisks": [{}]})", 6, {}, ": json object is empty. Expected vdisk info"},
      {R"({"available_vdisks": [{"id": 5}]})", 6, {}, ": boost::json: "},
  };
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  for (const Case& c : cases) {
    controller.set_reply("GET", "/api/domains/vm-1/snapshots-info/", 200, c.body);
    curlAPI api = client();
    LogCapture log;
    domain_conf domain;
    domain.id = "vm-1";
    EXPECT_EQ(api.get_available_vdisks(domain), c.result) << c.body;
    EXPECT_EQ(domain.available_vdisks, c.ids) << c.body;
    if (*c.message) {
      EXPECT_TRUE(log.contains(std::string(k_vdisks_sig) + c.message)) << c.body << log.text();
    }
  }
  // A VM the controller does not know is an error, not a VM without disks.
  curlAPI api = client();
  domain_conf unknown;
  unknown.id = "gone";
  EXPECT_EQ(api.get_available_vdisks(unknown), 2);
}

}  // namespace
