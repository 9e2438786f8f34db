#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace {

namespace json = boost::json;
using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_create_sig = "int curlAPI::create_domain(const vdisk&, domain_conf&, std::string&)";
constexpr const char* k_key = "0f0e0d0c-0b0a-4908-8706-050403020100";
constexpr const char* k_boot_id = "b0070000-0000-4000-8000-000000000010";

// A VM as the controller reports it, with two of every list: read through the real reader.
domain_conf realistic_vm() {
  json::object vm = TestController::make_vm("a1b2c3d4-0000-4000-8000-00000000000a", "web");
  vm["description"] = "Front end, node A";
  json::array infs = vm["vmachine_infs"].as_array();
  json::object second = infs[0].as_object();
  second["vnetwork_info"].as_object()["id"] = "3c8a2e6f-0000-4000-8000-00000000000b";
  second["nic_driver"] = "e1000";
  second["link_state"] = "down";
  second["qos"] = json::parse(R"({"inbound": {"average": 5, "peak": 6, "burst": 7},
                                  "outbound": {"average": null, "peak": null, "burst": null}})");
  infs.push_back(second);
  vm["vmachine_infs"] = infs;
  vm["tags"].as_array().push_back(json::object{{"colour", "#00ff00"}, {"verbose_name", "web"}});
  vm["owners"].as_array().push_back(json::object{{"id", "5b3f9a52-0000-4000-8000-00000000000c"}, {"username", "ops"}});
  vm["remote_access_white_list"].as_array().push_back(json::object{{"ip_addr", "10.0.0.2"}, {"comment", ""}});
  domain_conf domain;
  EXPECT_EQ(curlAPI::read_domain_config(json::serialize(vm), domain), 0);
  return domain;
}

vdisk boot_disk() {
  vdisk disk;
  const json::object reply = TestController::make_vdisk(k_boot_id, "web-boot", "", 20.0);
  EXPECT_EQ(curlAPI::read_vdisk_info(json::serialize(reply), disk), 0);
  return disk;
}

// The whole body for realistic_vm() and boot_disk(), as the controller has always received it.
const std::string k_full_body =
    R"({"idempotency_key": "0f0e0d0c-0b0a-4908-8706-050403020100", "graphics_password": "Gr4phics-pw", )"
    R"("safety": false, "start_on_boot": false, "clean_type": "zero", "clean_count": 1, "verbose_name": "web", )"
    R"("description": "Front end, node A", "node": "9d1c0a3e-0000-4000-8000-000000000002", )"
    R"("resource_pool": "c2e5d1f0-0000-4000-8000-000000000003", "memory_count": 2048, )"
    R"("memory_min_guarantee": 0, "memory_shares": 1024, "memory_limit": 0, )"
    R"("video": {"type": "virtio", "vram": 16384, "heads": 1}, )"
    R"("sound": {"codec": "micro", "model": "ich6", "enabled": false}, )"
    R"("watchdog": {"enabled": true, "model": "i6300esb", "action": "reset"}, )"
    R"("boot_type": "LegacyMBR", "os_type": "Linux", "os_version": "Debian 12", )"
    R"("vdisks": [{"target_bus": "virtio", "driver_cache": "none", "io": "native", )"
    R"("vdisk": "b0070000-0000-4000-8000-000000000010", "shareable": false}], )"
    R"("usb_devices": [], "pci_devices": [], "mdev_devices": [], )"
    R"("vmachine_infs": [{"vnetwork": "3c8a2e6f-0000-4000-8000-000000000006", "nic_driver": "virtio", )"
    R"("link_state": "up", "qos": {"inbound": {"peak": 0, "burst": 0, "average": 0}, )"
    R"("outbound": {"peak": 2000, "burst": 1024, "average": 1000}}}, )"
    R"({"vnetwork": "3c8a2e6f-0000-4000-8000-00000000000b", "nic_driver": "e1000", "link_state": "down", )"
    R"("qos": {"inbound": {"peak": 6, "burst": 7, "average": 5}, )"
    R"("outbound": {"peak": null, "burst": null, "average": null}}}], )"
    R"("controllers": {"ide": [{}], "pci": [{"model": "pcie-root"}], "usb": [{"model": "qemu-xhci"}], )"
    R"("sata": [{}], "scsi": [{"model": "virtio-scsi"}]}, )"
    R"("boot": {"bootmenu": false, "bootmenu_timeout": 3, "boot_type": "LegacyMBR", )"
    R"("devices": ["b0070000-0000-4000-8000-000000000010"]}, )"
    R"("cpu_topology": [{"cpu_count": 2, "cpu_count_max": 4}, {"cpu_sockets": 2, "cpu_cores": 1, "cpu_threads": 1}, )"
    R"({"memory_count": 2048, "memory_min_guarantee": 0, "memory_shares": 1024, "memory_limit": 0}, )"
    R"({"cpu_map": {"0": ["0", "1"], "1": ["2", "3"]}}, {"cpu_mode": "host-model"}, )"
    R"({"cpu_priority": 10, "cpu_shares": 1024, "cpu_min_guarantee": 0, "cpu_features_required": ["vmx", "aes"]}], )"
    R"("machine": "pc-q35-7.2", "ha_options": {"ha_enabled": false, "ha_autoselect": false, )"
    R"("ha_nodepolicy": ["node-1"], "ha_retrycount": 5, "ha_timeout": 60, "ha_boot_order": 0, )"
    R"("ha_boot_delay": 0, "ha_boot_agent": false}, "disastery_options": {"disastery_enabled": false}, )"
    R"("remote_access": true, "remote_access_white_list": {"remote_access_allow_all": false, )"
    R"("remote_access_white_list": [{"ip_addr": "10.0.0.1", "comment": "admin desk"}, )"
    R"({"ip_addr": "10.0.0.2", "comment": ""}]}, "datapool": "1f2e3d4c-0000-4000-8000-000000000007", )"
    R"("thin": false, "template": false, "tags": [{"colour": "#ff0000", "verbose_name": "prod"}, )"
    R"({"colour": "#00ff00", "verbose_name": "web"}], "owners": [{"id": "5b3f9a52-0000-4000-8000-000000000001", )"
    R"("username": "admin"}, {"id": "5b3f9a52-0000-4000-8000-00000000000c", "username": "ops"}], )"
    R"("cloud_init": false, "tpm_device": null})";

json::object parsed(const std::string& body) {
  boost::system::error_code ec;
  json::value value = json::parse(body, ec);
  EXPECT_FALSE(ec) << ec.message() << "\n" << body;
  return value.is_object() ? value.get_object() : json::object();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(CreateDomainBody, AFullRecordGivesTheExactBody) {
  const std::string body = curlAPI::create_domain_body(boot_disk(), realistic_vm(), k_key);
  EXPECT_EQ(body, k_full_body);
  const json::object object = parsed(body);
  EXPECT_EQ(object.at("cpu_topology").as_array()[3].at("cpu_map").as_object().begin()->key(), "0");
}

TEST(CreateDomainBody, AnEmptyBootDiskSendsNoDiskDeviceOrDatapool) {
  const std::string body = curlAPI::create_domain_body(vdisk{}, realistic_vm(), k_key);
  std::string expected = replaced(k_full_body,
                                  R"("vdisks": [{"target_bus": "virtio", "driver_cache": "none", "io": "native", )"
                                  R"("vdisk": "b0070000-0000-4000-8000-000000000010", "shareable": false}])",
                                  R"("vdisks": [])");
  expected = replaced(expected, R"("devices": ["b0070000-0000-4000-8000-000000000010"])", R"("devices": [])");
  expected = replaced(expected, R"("datapool": "1f2e3d4c-0000-4000-8000-000000000007", )", "");
  EXPECT_EQ(body, expected);
  EXPECT_FALSE(parsed(body).contains("datapool"));
}

TEST(CreateDomainBody, OptionalPartsAreLeftOutWhenTheRecordHasNone) {
  domain_conf domain = realistic_vm();
  domain.video_type.clear();
  domain.sound_codec.clear();
  domain.watchdog.model.clear();
  domain.vmachine_infs.clear();
  const std::string body = curlAPI::create_domain_body(boot_disk(), domain, k_key);
  const json::object object = parsed(body);
  EXPECT_FALSE(object.contains("video"));
  EXPECT_FALSE(object.contains("sound"));
  EXPECT_FALSE(object.contains("vmachine_infs"));
  EXPECT_NE(body.find(R"(, "watchdog": {"enabled": true}, "boot_type": )"), std::string::npos) << body;
  EXPECT_NE(body.find(R"("mdev_devices": [], "controllers": {)"), std::string::npos) << body;
}

TEST(CreateDomainBody, TheCpuModelGoesOnlyWithAModeAndAModelOtherThanDefault) {
  struct Case {
    const char* mode;
    const char* model;
    const char* fragment;
  };
  const Case cases[] = {
      {"default", "default", R"({"cpu_mode": "default"}, {"cpu_priority")"},
      {"default", "Skylake-Server", R"({"cpu_mode": "default"}, {"cpu_priority")"},
      {"host-model", "default", R"({"cpu_mode": "host-model"}, {"cpu_priority")"},
      {"custom", "Skylake-Server", R"({"cpu_mode": "custom", "cpu_model": "Skylake-Server"}, {"cpu_priority")"},
  };
  for (const Case& c : cases) {
    domain_conf domain = realistic_vm();
    domain.cpu_mode = c.mode;
    domain.cpu_model = c.model;
    const std::string body = curlAPI::create_domain_body(boot_disk(), domain, k_key);
    EXPECT_NE(body.find(c.fragment), std::string::npos) << c.mode << " " << c.model << "\n" << body;
    (void)parsed(body);
  }
}

TEST(CreateDomainBody, ControllerListsAndCpuMapOrder) {
  std::string text = "old";
  curlAPI::fill_controllers_info({}, text);
  EXPECT_EQ(text, "[]");
  curlAPI::fill_controllers_info({"A", "B"}, text);
  EXPECT_EQ(text, R"([{"model": "A"}, {"model": "B"}])");

  domain_conf domain = realistic_vm();
  domain.controllers = {};
  domain.controllers.sata = {"ahci"};
  domain.cpu_map = {{"3", {"6"}}, {"1", {}}, {"2", {"4", "5"}}};
  const std::string body = curlAPI::create_domain_body(boot_disk(), domain, k_key);
  EXPECT_NE(body.find(R"("controllers": {"ide": [{}], "pci": [], "usb": [], "sata": [{"model": "ahci"}], "scsi": []})"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find(R"({"cpu_map": {"1": [], "2": ["4", "5"], "3": ["6"]}})"), std::string::npos) << body;
  (void)parsed(body);
}

TEST(CreateDomainBody, QuotesAndInjectionAttemptsStayInsideTheirValues) {
  // A description the controller sent as "say \"hi\" \\ done\nbye" is kept quote-stripped, its
  // escapes in place: the body gives the line break and the backslash back as they were.
  json::object vm = TestController::make_vm("a1", "web \"main\"");
  vm["description"] = "say \"hi\" \\ done\nbye";
  vm["tags"] = json::parse(R"([{"colour": "#fff", "verbose_name": "x\", \"injected\": \"1"}])");
  vm["owners"] = json::parse(R"([{"id": "o1", "username": "eve\"}], \"tpm_device\": {\"a\": \"b"}])");
  vm["remote_access_white_list"] = json::parse(R"([{"ip_addr": "10.0.0.1", "comment": "line\nbreak\ttab"}])");
  domain_conf domain;
  ASSERT_EQ(curlAPI::read_domain_config(json::serialize(vm), domain), 0);
  ASSERT_EQ(domain.description, "say \\hi\\ \\\\ done\\nbye");

  const json::object object = parsed(curlAPI::create_domain_body(boot_disk(), domain, k_key));
  EXPECT_EQ(object.at("description").as_string(), "say \\hi\\ \\ done\nbye");
  EXPECT_EQ(object.at("verbose_name").as_string(), "web \\main\\");
  const json::object& tag = object.at("tags").as_array().at(0).as_object();
  EXPECT_EQ(tag.at("verbose_name").as_string(), "x\", \"injected\": \"1");
  EXPECT_EQ(tag.size(), 2u);
  EXPECT_FALSE(object.contains("injected"));
  EXPECT_EQ(object.at("owners").as_array().at(0).at("username").as_string(),
            "eve\"}], \"tpm_device\": {\"a\": \"b");
  EXPECT_TRUE(object.at("tpm_device").is_null());
  EXPECT_EQ(object.at("remote_access_white_list").at("remote_access_white_list").as_array().at(0).at("comment"),
            "line\nbreak\ttab");
}

TEST(CreateDomainBody, EmptyRawMembersAreSentAsNull) {
  // A saved configuration without these keys leaves them empty.
  const json::object object = parsed(curlAPI::create_domain_body(vdisk{}, domain_conf{}, k_key));
  for (const char* key : {"safety", "start_on_boot", "clean_count", "memory_count", "remote_access", "thin",
                          "template", "cloud_init", "tpm_device"})
    EXPECT_TRUE(object.at(key).is_null()) << key;
  EXPECT_TRUE(object.at("watchdog").at("enabled").is_null());
  EXPECT_TRUE(object.at("ha_options").at("ha_timeout").is_null());
  EXPECT_EQ(object.at("verbose_name").as_string(), "");
  EXPECT_EQ(json::serialize(object.at("controllers")), R"({"ide":[{}],"pci":[],"usb":[],"sata":[{}],"scsi":[]})");

  vdisk disk = boot_disk();
  disk.shareable.clear();
  const json::object with_disk = parsed(curlAPI::create_domain_body(disk, domain_conf{}, k_key));
  EXPECT_TRUE(with_disk.at("vdisks").as_array().at(0).at("shareable").is_null());
}

class CreateDomain : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    controller.add_vdisk(TestController::make_vdisk(k_boot_id, "web-boot", "", 20.0));
  }
  curlAPI client() { return curlAPI(kv_veil_test::settings_for(controller)); }
  TestController controller;
};

TEST_F(CreateDomain, SendsTheBodyAndTakesTheNewIdAndTask) {
  kv_veil_test::FastPolling fast;
  curlAPI api = client();
  domain_conf domain = realistic_vm();
  domain.description = "two\\nlines";  // a quote-stripped description holds the line break escaped
  std::string task_id;
  ASSERT_EQ(api.create_domain(boot_disk(), domain, task_id), 0);
  EXPECT_FALSE(task_id.empty());
  EXPECT_NE(domain.id, "a1b2c3d4-0000-4000-8000-00000000000a");
  const auto created = controller.vm(domain.id);
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->at("verbose_name").as_string(), "web");
  EXPECT_EQ(created->at("description").as_string(), "two\nlines");
  EXPECT_EQ(json::serialize(controller.vdisk(k_boot_id)->at("domain").at("id")), "\"" + domain.id + "\"");

  const auto posts = controller.requests_to("POST", "/api/domains/multi-create-domain/");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].target, "/api/domains/multi-create-domain/?async=1");
  const std::string key = std::string(parsed(posts[0].body).at("idempotency_key").as_string());
  EXPECT_EQ(key.size(), 36u);
  EXPECT_EQ(posts[0].body, curlAPI::create_domain_body(boot_disk(), domain, key));
  EXPECT_EQ(api.wait_for_task_completion(task_id), 0);
}

TEST_F(CreateDomain, ARefusedRequestGivesSevenAndLogsTheBodyWithoutTheGraphicsPassword) {
  controller.add_vm(TestController::make_vm("other", "web"));  // the name is taken
  curlAPI api = client();
  domain_conf domain = realistic_vm();
  std::string task_id;
  LogCapture log;
  EXPECT_EQ(api.create_domain(boot_disk(), domain, task_id), 7);
  EXPECT_TRUE(log.contains("int curlAPI::get_entity_and_task_id(const string&, std::string&, std::string&)"
                           ": a request to create an entity completed with error"));
  EXPECT_TRUE(log.contains(std::string(k_create_sig) + ": the following POST request produced an error: '{"));
  EXPECT_FALSE(log.contains("Gr4phics-pw")) << log.text();
  EXPECT_TRUE(task_id.empty());
}

TEST_F(CreateDomain, AReplyWithoutANewIdNeverLeavesTheSavedIdAsIfItWereNew) {
  controller.set_reply("POST", "/api/domains/multi-create-domain/", 200, R"({"_task": {"id": "task-9"}})");
  curlAPI api = client();
  domain_conf domain = realistic_vm();
  std::string task_id;
  LogCapture log;
  EXPECT_EQ(api.create_domain(boot_disk(), domain, task_id), 7);
  EXPECT_EQ(domain.id, "a1b2c3d4-0000-4000-8000-00000000000a");
  EXPECT_TRUE(task_id.empty());
  EXPECT_TRUE(log.contains(": id for created entity is empty string"));
}

TEST_F(CreateDomain, AFailedRequestGivesTwo) {
  conf settings = kv_veil_test::settings_for(controller);
  settings.enable_ssl = true;
  settings.ca_info = "/nonexistent/ca.pem";
  curlAPI api(settings);
  domain_conf domain = realistic_vm();
  std::string task_id;
  LogCapture log;
  EXPECT_EQ(api.create_domain(boot_disk(), domain, task_id), 2);
  EXPECT_TRUE(controller.requests_to("POST", "/api/domains/multi-create-domain/").empty());
}

}  // namespace
