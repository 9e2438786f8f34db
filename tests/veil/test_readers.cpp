#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"
#include "veil/saved_config.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace {

using kv_test::TestController;
using kv_veil_test::golden;
using kv_veil_test::LogCapture;

// The controller's realistic replies, read member by member; the saved form shows every member.
TEST(Readers, RealisticRepliesFillEveryMember) {
  TestController controller;
  controller.start();
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  boost::json::object disk = TestController::make_vdisk("d-1", "root", "vm-1", 7.34);
  disk["owners"] = boost::json::parse(R"([{"id": "u1", "username": "admin"}])");
  disk["snapshots"] = boost::json::parse(R"([{"id": "s1", "source": "/a", "vdisk": "d-1", "serial": "SN1"}])");
  disk["io_tune"].as_object()["total_bytes_sec"] = 1000;
  controller.add_vdisk(disk);
  curlAPI api(kv_veil_test::settings_for(controller));
  domain_conf domain;
  ASSERT_EQ(api.get_domain_config("vm-1", domain), 0);
  EXPECT_EQ(kv_veil::to_archive_text(domain), golden("realistic_vm.config"));
  vdisk read;
  ASSERT_EQ(api.get_vdisk_info("d-1", read), 0);
  EXPECT_EQ(kv_veil::to_archive_text(read), golden("realistic_vdisk.config"));
}

// A 4xx reply without "errors" must not become an empty record that a backup silently leaves out.
TEST(Readers, AnErrorReplyIsAFailureNotAnEmptyRecord) {
  TestController controller;
  controller.start();
  curlAPI api(kv_veil_test::settings_for(controller));
  for (const int status : {400, 404}) {
    controller.set_reply("GET", "/api/vdisks/d-1/", status, R"({"detail": "Not found."})");
    controller.set_reply("GET", "/api/domains/vm-1/all-content/", status, R"({"detail": "Not found."})");
    LogCapture log;
    vdisk disk;
    EXPECT_EQ(api.get_vdisk_info("d-1", disk), 2) << status;
    domain_conf domain;
    EXPECT_EQ(api.get_domain_config("vm-1", domain), 2) << status;
    EXPECT_TRUE(log.contains(": the controller answered with HTTP status " + std::to_string(status) +
                             ": \"Not found.\""));
  }
}

TEST(Readers, DomainConfErrorLines) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}", ": domain object is empty"},
      {R"({"cpu_topology": {"cpu_map": {"0": "1"}}})", ": json is not an array of node CPUs"},
      {R"({"owners": [{}]})", ": json object is empty. Expected owner info"},
      {R"({"os_defaults": {"controllers": {"vdisk": 1}}})", ": json value is not vdisk object"},
      {R"({"node": null})", ": json value is not 'node' object"},
      {R"({"controllers": {"scsi": [1]}})", ": json value is not a 'controllers' object"},
      {R"({"vmachine_infs": [{"name": "a"}, {"qos": {"outbound": {}}}]})", ": json object is empty. Expected QoS"},
      {R"({"boot_devices": {}})", ": json is not an array VM boot devices"},
      {R"({"cpu_topology": {"cpu_mode": 5}})", ": exception:not a string"},
      {R"({"id": "vm/1"})", ": the reply holds an unusable VM id: 'vm/1'"},
  };
  for (const auto& [reply, message] : cases) {
    LogCapture log;
    domain_conf domain;
    EXPECT_EQ(curlAPI::read_domain_config(reply, domain), 6) << reply;
    EXPECT_TRUE(log.contains(message)) << reply << "\n" << log.text();
  }
}

TEST(Readers, VdiskErrorLines) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}", ": vdisk object is empty"},
      {R"({"datapool": null})", ": json value is not datapool object"},
      {R"({"owners": [1]})", ": json value is not name_owner object"},
      {R"({"snapshots": [{"id": "s1"}, {}]})", ": json object is empty. Expected snapshot info"},
      {R"({"size": "20"})", ": exception:not a double"},
      {R"({"id": "d 1"})", ": the reply holds an unusable vdisk id: 'd 1'"},
  };
  for (const auto& [reply, message] : cases) {
    LogCapture log;
    vdisk disk;
    EXPECT_EQ(curlAPI::read_vdisk_info(reply, disk), 6) << reply;
    EXPECT_TRUE(log.contains(message)) << reply << "\n" << log.text();
  }
  // Its VM's and datapool's ids go only into request bodies, quoted.
  vdisk disk;
  EXPECT_EQ(curlAPI::read_vdisk_info(R"({"domain": {"id": "vm?1"}, "datapool": {"id": "p#1"}})", disk), 0);
}

// Rounding to nearest would let a restored disk come out smaller than its image.
TEST(Readers, VdiskSizeHasOneDecimalRoundedUp) {
  const std::pair<const char*, const char*> cases[] = {
      {"10", "10.0"}, {"7.3", "7.3"}, {"0.01", "0.1"}, {"9.95", "10.0"}, {"7.30000000001", "7.4"}};
  for (const auto& [json, text] : cases) {
    vdisk disk;
    ASSERT_EQ(curlAPI::read_vdisk_info(std::string(R"({"size": )") + json + "}", disk), 0) << json;
    EXPECT_EQ(disk.size, text) << json;
  }
}

}  // namespace
