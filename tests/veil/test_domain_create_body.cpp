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

constexpr const char* k_key = "0f0e0d0c-0b0a-4908-8706-050403020100";
constexpr const char* k_boot_id = "b0070000-0000-4000-8000-000000000010";

// A VM as the controller reports it, with two of every list, read through the real reader.
domain_conf realistic_vm(json::object vm = TestController::make_vm("a1b2c3d4-0000-4000-8000-00000000000a", "web")) {
  vm["description"] = "Front end, node A";
  json::object second = vm["vmachine_infs"].as_array()[0].as_object();
  second["vnetwork_info"].as_object()["id"] = "3c8a2e6f-0000-4000-8000-00000000000b";
  second["nic_driver"] = "e1000";
  second["link_state"] = "down";
  second["qos"] = json::parse(R"({"inbound": {"average": 5, "peak": 6, "burst": 7},
                                  "outbound": {"average": null, "peak": null, "burst": null}})");
  vm["vmachine_infs"].as_array().push_back(second);
  vm["tags"].as_array().push_back(json::object{{"colour", "#00ff00"}, {"verbose_name", "web"}});
  vm["owners"].as_array().push_back(json::object{{"id", "5b3f9a52-0000-4000-8000-00000000000c"}, {"username", "ops"}});
  vm["remote_access_white_list"].as_array().push_back(json::object{{"ip_addr", "10.0.0.2"}, {"comment", ""}});
  domain_conf domain;
  EXPECT_EQ(curlAPI::read_domain_config(json::serialize(vm), domain), 0);
  return domain;
}

vdisk boot_disk() {
  vdisk disk;
  EXPECT_EQ(curlAPI::read_vdisk_info(json::serialize(TestController::make_vdisk(k_boot_id, "boot", "", 20.0)), disk), 0);
  return disk;
}

std::string body(const domain_conf& domain, const vdisk& disk = boot_disk()) {
  return curlAPI::create_domain_body(disk, domain, k_key);
}

TEST(CreateDomainBody, AFullRecordGivesTheExactBody) {
  EXPECT_EQ(body(realistic_vm()), kv_veil_test::golden("create_domain_body.json"));
  const std::string diskless = body(realistic_vm(), vdisk{});
  EXPECT_NE(diskless.find(R"("vdisks": [], )"), std::string::npos);
  EXPECT_NE(diskless.find(R"("devices": []})"), std::string::npos);
  EXPECT_FALSE(json::parse(diskless).as_object().contains("datapool"));
}

TEST(CreateDomainBody, OptionalPartsAndTheCpuModel) {
  domain_conf domain = realistic_vm();
  domain.video_type.clear();
  domain.sound_codec.clear();
  domain.watchdog.model.clear();
  domain.vmachine_infs.clear();
  domain.cpu_mode = "custom";
  domain.cpu_model = "Skylake";
  const std::string text = body(domain);
  EXPECT_NE(text.find(R"({"cpu_mode": "custom", "cpu_model": "Skylake"}, {"cpu_priority")"), std::string::npos);
  EXPECT_NE(text.find(R"(, "watchdog": {"enabled": true}, "boot_type": )"), std::string::npos);
  const json::object object = json::parse(text).as_object();
  for (const char* key : {"video", "sound", "vmachine_infs"}) EXPECT_FALSE(object.contains(key)) << key;
  domain.cpu_mode = "default";
  EXPECT_NE(body(domain).find(R"({"cpu_mode": "default"}, {"cpu_priority")"), std::string::npos);
}

TEST(CreateDomainBody, TextsStayInsideTheirValues) {
  // The name is kept quote-stripped, its escapes in place: it comes back exactly.
  json::object vm = TestController::make_vm("a1", "say \"hi\" \\ done\nbye");
  vm["tags"] = json::parse(R"([{"colour": "#fff", "verbose_name": "x\", \"injected\": \"1"}])");
  vm["owners"] = json::parse(R"([{"id": "o1", "username": "eve\"}], \"tpm_device\": {\"a\": \"b"}])");
  vm["cpu_topology"].as_object()["cpu_features_required"] = json::array{"x\"y"};  // quote-stripped: x\u0022y
  const json::object object = json::parse(body(realistic_vm(vm))).as_object();
  EXPECT_EQ(object.at("verbose_name").as_string(), "say \"hi\" \\ done\nbye");
  EXPECT_EQ(object.at("tags").as_array().at(0).at("verbose_name").as_string(), "x\", \"injected\": \"1");
  EXPECT_EQ(object.at("owners").as_array().at(0).at("username").as_string(), "eve\"}], \"tpm_device\": {\"a\": \"b");
  EXPECT_TRUE(object.at("tpm_device").is_null());
  EXPECT_EQ(object.at("cpu_topology").as_array().at(5).at("cpu_features_required").at(0).as_string(), "x\"y");
}

// A reply without the new id must never leave the saved id in place as if it were the new one.
TEST(CreateDomain, AnIncompleteReplyGivesSevenAndKeepsTheSavedId) {
  TestController controller;
  controller.start();
  controller.set_reply("POST", "/api/domains/multi-create-domain/", 200, R"({"_task": {"id": "task-9"}})");
  curlAPI api(kv_veil_test::settings_for(controller));
  domain_conf domain = realistic_vm();
  std::string task_id;
  LogCapture log;
  EXPECT_EQ(api.create_domain(boot_disk(), domain, task_id), 7);
  EXPECT_EQ(domain.id, "a1b2c3d4-0000-4000-8000-00000000000a");
  EXPECT_TRUE(task_id.empty());
  EXPECT_TRUE(log.contains(": the following POST request produced an error: '{"));
  EXPECT_FALSE(log.contains("Gr4phics-pw")) << log.text();
}

}  // namespace
