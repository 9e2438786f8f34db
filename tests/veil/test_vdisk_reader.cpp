#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace {

using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_sig = "int curlAPI::get_vdisk_info(const string&, vdisk&)";

TEST(VdiskReader, ARealisticReplyFillsEveryMember) {
  TestController controller;
  controller.start();
  boost::json::object disk = TestController::make_vdisk("d-1", "root", "vm-1", 20.0);
  disk["owners"] = boost::json::parse(R"([{"id": "u1", "username": "admin"}])");
  disk["snapshots"] = boost::json::parse(R"([{"id": "s1", "source": "/a", "vdisk": "d-1", "serial": "SN1"}])");
  disk["io_tune"].as_object()["total_bytes_sec"] = 1000;
  controller.add_vdisk(disk);
  curlAPI api(kv_veil_test::settings_for(controller));
  vdisk read;
  ASSERT_EQ(api.get_vdisk_info("d-1", read), 0);

  vdisk expected;
  expected.id = "d-1";
  expected.verbose_name = "root";
  expected.description = "";
  expected.locked_by = "null";
  expected.entity_type = "vdisk";
  expected.status = "ACTIVE";
  expected.readonly = "false";
  expected.virtual_size = "21474836480";
  expected.datapool = {"1f2e3d4c-0000-4000-8000-000000000007", "Base datapool", "local"};
  expected.size = "20.0";
  expected.domain = {"vm-1", "vm vm-1"};
  expected.disk_type = "qcow2";
  expected.device = "disk";
  expected.io = "native";
  expected.owners = {{"u1", "admin"}};
  expected.driver_type = "qcow2";
  expected.driver_cache = "none";
  expected.source = "/storages/local/default/root.qcow2";
  expected.io_tune = {"1000", "null", "null", "null", "null", "null", "null", "null", "null", "null",
                      "null", "null", "null", "null", "null", "null", "null", "null", "null"};
  expected.shareable = "false";
  expected.ssd = "false";
  expected.target_bus = "virtio";
  expected.actual_source = "/storages/local/default/root.qcow2";
  expected.target_dev = "vda";
  expected.snapshots = {{"s1", "/a", "d-1", "SN1"}};
  expected.consolidated = "true";
  expected.hints = "0";
  EXPECT_TRUE(read == expected);
  EXPECT_FALSE(read.is_boot);
}

// Rounding to nearest would let a restored disk come out smaller than its image.
TEST(VdiskReader, SizeHasOneDecimalRoundedUpAndIntegersAreAccepted) {
  const std::pair<const char*, const char*> cases[] = {
      {"20.0", "20.0"}, {"10", "10.0"},   {"20", "20.0"},  {"7.34", "7.4"},   {"7.3", "7.3"},
      {"2.5", "2.5"},   {"0.01", "0.1"},  {"9.95", "10.0"}, {"99.99", "100.0"}, {"0", "0.0"},
      {"1e2", "100.0"}, {"0.1", "0.1"},   {"7.30000000001", "7.4"}, {"18446744073709551615", "18446744073709551615.0"},
  };
  for (const auto& [json, text] : cases) {
    vdisk disk;
    ASSERT_EQ(curlAPI::read_vdisk_info(std::string(R"({"size": )") + json + "}", disk), 0) << json;
    EXPECT_EQ(disk.size, text) << json;
  }
  for (const char* json : {"null", R"("20")", "true"}) {
    LogCapture log;
    vdisk disk;
    EXPECT_EQ(curlAPI::read_vdisk_info(std::string(R"({"size": )") + json + "}", disk), 6) << json;
    EXPECT_TRUE(log.contains(std::string(k_sig) + ": exception:not a double")) << json;
  }
}

TEST(VdiskReader, ToStringWithPrecisionIsFixedNotation) {
  EXPECT_EQ(to_string_with_precision(10.0, 1), "10.0");
  EXPECT_EQ(to_string_with_precision(7.34, 1), "7.3");
  EXPECT_EQ(to_string_with_precision(2.5, 1), "2.5");
  EXPECT_EQ(to_string_with_precision(1.0 / 3.0, 3), "0.333");
}

TEST(VdiskReader, EveryBadShapeFailsWithItsLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}", ": vdisk object is empty"},
      {R"({"datapool": null})", ": json value is not datapool object"},
      {R"({"datapool": {}})", ": json object is empty. Expected datapool info"},
      {R"({"owners": {}})", ": json is not an array of owners"},
      {R"({"owners": [1]})", ": json value is not name_owner object"},
      {R"({"owners": [{}]})", ": json object is empty. Expected owner info"},
      {R"({"io_tune": []})", ": json value is not io_tune object"},
      {R"({"snapshots": {}})", ": json is not an array of snapshots"},
      {R"({"snapshots": [1]})", ": json value is not a snapshot object"},
      {R"({"snapshots": [{}]})", ": json object is empty. Expected snapshot info"},
      {R"({"datapool": {"id": 3}})", ": exception:not a string"},
  };
  for (const auto& [reply, message] : cases) {
    LogCapture log;
    vdisk disk;
    EXPECT_EQ(curlAPI::read_vdisk_info(reply, disk), 6) << reply;
    EXPECT_TRUE(log.contains(std::string(k_sig) + message)) << reply << "\n" << log.text();
  }
}

TEST(VdiskReader, SkippedAndKeptValues) {
  vdisk disk;
  ASSERT_EQ(curlAPI::read_vdisk_info(R"({"domain": null, "io_tune": {}, "readonly": false,
      "target_dev": "vdb", "description": null, "other": [1]})",
                                     disk),
            0);
  EXPECT_EQ(disk.domain, name_domain{});
  EXPECT_EQ(disk.io_tune, io_tune{});
  EXPECT_EQ(disk.readonly, "false");
  EXPECT_EQ(disk.target_dev, "vdb");
  EXPECT_EQ(disk.description, "null");

  vdisk empty_domain;
  EXPECT_EQ(curlAPI::read_vdisk_info(R"({"domain": {}})", empty_domain), 0);
  vdisk only_unknown;
  EXPECT_EQ(curlAPI::read_vdisk_info(R"({"created": "x"})", only_unknown), 0);
  EXPECT_TRUE(only_unknown == vdisk{});
}

TEST(VdiskReader, AFailureKeepsWhatWasReadBeforeIt) {
  LogCapture log;
  vdisk disk;
  disk.is_boot = true;
  EXPECT_EQ(curlAPI::read_vdisk_info(R"({"id": "d", "snapshots": [{"id": "s1"}, {}, {"id": "s3"}]})", disk), 6);
  EXPECT_EQ(disk.id, "d");
  ASSERT_EQ(disk.snapshots.size(), 1u);
  EXPECT_EQ(disk.snapshots[0].id, "s1");
  EXPECT_TRUE(disk.is_boot);  // not the reader's to touch
}

TEST(VdiskReader, AnUnknownDiskIsAFailure) {
  TestController controller;
  controller.start();
  curlAPI api(kv_veil_test::settings_for(controller));
  LogCapture log;
  vdisk disk;
  EXPECT_EQ(api.get_vdisk_info("missing", disk), 2);
  EXPECT_TRUE(log.contains(std::string(k_sig) + ": the controller answered with HTTP status 404"));
}

}  // namespace
