#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_sig = "int curlAPI::get_domain_config(const string&, domain_conf&)";

// What the reader must make of the test controller's realistic all-content reply.
domain_conf expected_realistic_vm() {
  domain_conf d;
  d.id = "vm-1";
  d.verbose_name = "web";
  d.description = "Test VM \\main\\";  // quotes removed, the backslashes of their escapes left
  d.qemu_state = "true";
  d.start_on_boot = "false";
  d.status = "ACTIVE";
  d.user_power_state = "3";
  d.cpu_map = {{"0", {"0", "1"}}, {"1", {"2", "3"}}};
  d.cpu_mode = "host-model";
  d.cpu_cores = "1";
  d.cpu_count = "2";
  d.cpu_model = "default";
  d.cpu_shares = "1024";
  d.cpu_sockets = "2";
  d.cpu_threads = "1";
  d.cpu_priority = "10";
  d.cpu_count_max = "4";
  d.cpu_min_guarantee = "0";
  d.cpu_features_required = {"vmx", "aes"};
  d.cpu_type = "Other";
  d.tpm_device = "null";
  d.memory_count = "2048";
  d.memory_min_guarantee = "0";
  d.memory_shares = "1024";
  d.memory_limit = "0";
  d.applied_snapshot = "null";
  d.template_ = "false";
  d.thin = "false";
  d.owners = {{"5b3f9a52-0000-4000-8000-000000000001", "admin"}};
  d.os_type = "Linux";
  d.os_version = "Debian 12";
  d.os_defaults = {"virtio", "virtio"};
  d.os_default_video_type = "virtio";
  d.os_default_sound_model = "ich6";
  d.os_default_sound_codec = "micro";
  d.os_default_os_version_name = "debian12";
  d.os_default_os_version_value = "Debian 12";
  d.node = {"9d1c0a3e-0000-4000-8000-000000000002", "node-1"};
  d.resource_pool = {"c2e5d1f0-0000-4000-8000-000000000003", "Default resource pool"};
  d.cluster = "0a6f5c2b-0000-4000-8000-000000000004";
  d.cloud_init = "false";
  d.ha_enabled = "false";
  d.ha_autoselect = "false";
  d.ha_nodepolicy = {"node-1"};
  d.ha_boot_order = "0";
  d.ha_retrycount = "5";
  d.ha_timeout = "60";
  d.ha_options_cluster_sync = "true";
  d.ha_boot_delay = "0";
  d.ha_boot_agent = "false";
  d.graphics_password = "Gr4phics-pw";
  d.remote_access_allow_all = "false";
  d.remote_access = "true";
  d.remote_access_white_list = {{"10.0.0.1", "admin desk"}};
  d.video_type = "virtio";
  d.video_vram = "16384";
  d.video_heads = "1";
  d.sound_codec = "micro";
  d.sound_model = "ich6";
  d.sound_enabled = "false";
  d.machine = "pc-q35-7.2";
  d.clean_count = "1";
  d.clean_type = "zero";
  d.safety = "false";
  d.disastery_enabled = "false";
  d.bootmenu = "false";
  d.bootmenu_timeout = "3";
  d.boot_type = "LegacyMBR";
  d.watchdog = {"true", "i6300esb", "reset"};
  d.controllers.pci = {"pcie-root"};
  d.controllers.usb = {"qemu-xhci"};
  d.controllers.scsi = {"virtio-scsi"};  // ide is empty; sata's one empty object adds nothing
  d.tags = {{"#ff0000", "prod"}};
  vm_interface nic;
  nic.id = "7e0f4b1d-0000-4000-8000-000000000005";
  nic.name = "vnet0";
  nic.mac_address = "52:54:00:12:34:56";
  nic.nic_driver = "virtio";
  nic.vnetwork_id = "3c8a2e6f-0000-4000-8000-000000000006";
  nic.vnetwork_verbose_name = "default";
  nic.vnetwork_entity_type = "vnetworks";
  nic.link_state = "up";
  nic.qos.inbound = {"0", "0", "0"};
  nic.qos.outbound = {"1000", "2000", "1024"};
  d.vmachine_infs = {nic};
  d.boot_devices = {{"", "vdisk"}};
  return d;
}

TEST(DomainConfReader, ARealisticReplyFillsEveryMember) {
  TestController controller;
  controller.start();
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  curlAPI api(kv_veil_test::settings_for(controller));
  domain_conf domain;
  ASSERT_EQ(api.get_domain_config("vm-1", domain), 0);
  EXPECT_TRUE(domain == expected_realistic_vm());
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/vm-1/all-content/").size(), 1u);
}

TEST(DomainConfReader, AnErrorReplyIsAFailureNotAnEmptyVm) {
  TestController controller;
  controller.start();
  curlAPI api(kv_veil_test::settings_for(controller));
  LogCapture log;
  domain_conf domain;
  EXPECT_EQ(api.get_domain_config("unknown", domain), 2);
  EXPECT_TRUE(log.contains(std::string(k_sig) + ": the controller answered with HTTP status 404: [{\"detail\":\"Not found.\"}]"));
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  controller.add_fault("GET", "*", Fault{Fault::Kind::error_200});
  EXPECT_EQ(api.get_domain_config("vm-1", domain), 2);
}

TEST(DomainConfReader, EveryBadShapeFailsWithItsLine) {
  struct Case {
    const char* reply;
    const char* message;
  };
  const Case cases[] = {
      {"{}", ": domain object is empty"},
      {R"({"guest_utils": 1})", ": json value is not 'guest_utils' object"},
      {R"({"cpu_topology": 1})", ": json value is not cpu_topology object"},
      {R"({"cpu_topology": {}})", ": json object is empty.  Expected cpu_topology info"},
      {R"({"cpu_topology": {"cpu_map": []}})", ": json value is not cpu_map object"},
      {R"({"cpu_topology": {"cpu_map": {"0": "1"}}})", ": json is not an array of node CPUs"},
      {R"({"cpu_topology": {"cpu_features_required": {}}})", ": json is not an array of cpu features"},
      {R"({"parent": {}})", ": json object is empty. Expected parent info"},
      {R"({"owners": {}})", ": json is not an array of owners"},
      {R"({"owners": [1]})", ": json value is not name_owner object"},
      {R"({"owners": [{}]})", ": json object is empty. Expected owner info"},
      {R"({"os_defaults": 1})", ": json value is not os_defaults object"},
      {R"({"os_defaults": {}})", ": json object is empty. Expected os_defaults info"},
      {R"({"os_defaults": {"controllers": 1}})", ": json value is not controllers object"},
      {R"({"os_defaults": {"controllers": {}}})", ": json object is empty. Expected OS default controllers info"},
      {R"({"os_defaults": {"controllers": {"vdisk": 1}}})", ": json value is not vdisk object"},
      {R"({"os_defaults": {"controllers": {"vdisk": {}}}})", ": json object is empty. Expected vdisk info"},
      {R"({"os_defaults": {"controllers": {"vmachineinf": 1}}})", ": json value is not vmachine interface object"},
      {R"({"os_defaults": {"controllers": {"vmachineinf": {}}}})",
       ": json object is empty. Expected vmachine interface info"},
      {R"({"os_defaults": {"video": 1}})", ": json value is not 'video' object"},
      {R"({"os_defaults": {"video": {}}})", ": json object is empty. Expected OS default video info"},
      {R"({"os_defaults": {"sound": 1}})", ": json value is not 'sound' object"},
      {R"({"os_defaults": {"sound": {}}})", ": json object is empty. Expected OS default sound info"},
      {R"({"os_defaults": {"os_version": 1}})", ": json value is not os_version object"},
      {R"({"os_defaults": {"os_version": {}}})", ": json object is empty. Expected OS version info"},
      {R"({"node": null})", ": json value is not 'node' object"},
      {R"({"node": {}})", ": json object is empty. Expected node info"},
      {R"({"resource_pool": 1})", ": json value is not resource_pool object"},
      {R"({"resource_pool": {}})", ": json object is empty. Expected resource pool info"},
      {R"({"ha_nodepolicy": {}})", ": json is not an array of servers for VM restore"},
      {R"({"remote_access_white_list": 1})", ": json is not an array whitelisted IP addresses"},
      {R"({"remote_access_white_list": [1]})", ": json value is not remote_access_white_list object"},
      {R"({"remote_access_white_list": [{}]})", ": json object is empty. Expected IP with comment"},
      {R"({"video": 1})", ": json value is not 'video' object"},
      {R"({"video": {}})", ": json object is empty. Expected video info"},
      {R"({"sound": 1})", ": json value is not 'sound' object"},
      {R"({"sound": {}})", ": json object is empty. Expected sound info"},
      {R"({"watchdog": 1})", ": json value is not 'watchdog' object"},
      {R"({"watchdog": {}})", ": json object is empty. Expected watchdog info"},
      {R"({"controllers": 1})", ": json value is not 'controllers' object"},
      {R"({"controllers": {}})", ": json object is empty. Expected controllers info"},
      {R"({"tags": {}})", ": json is not an array domain tags"},
      {R"({"tags": [1]})", ": json value is not domain tag object"},
      {R"({"tags": [{}]})", ": json object is empty. Expected VM tag info"},
      {R"({"vmachine_infs": {}})", ": json is not an array VM interfaces"},
      {R"({"vmachine_infs": [1]})", ": json value is not VM interface object"},
      {R"({"vmachine_infs": [{}]})", ": json object is empty. Expected VM interface info"},
      {R"({"vmachine_infs": [{"vnetwork_info": 1}]})", ": json value is not vnetwork_info object"},
      {R"({"vmachine_infs": [{"vnetwork_info": {}}]})", ": json object is empty. Expected VM network info"},
      {R"({"vmachine_infs": [{"qos": 1}]})", ": json value is not 'qos' object"},
      {R"({"vmachine_infs": [{"qos": {}}]})", ": json object is empty. Expected QoS info"},
      {R"({"boot_devices": {}})", ": json is not an array VM boot devices"},
      {R"({"boot_devices": [1]})", ": json value is not boot_device object"},
      {R"({"boot_devices": [{}]})", ": json object is empty. Expected VM boot device info"},
      {R"({"cpu_topology": {"cpu_mode": 5}})", ": exception:not a string"},
  };
  // Runs of blanks are compared as one: coloured log lines are trimmed by the log stream.
  const auto single_blanks = [](std::string text) {
    for (size_t pos; (pos = text.find("  ")) != std::string::npos;) text.erase(pos, 1);
    return text;
  };
  for (const Case& c : cases) {
    LogCapture log;
    domain_conf domain;
    EXPECT_EQ(curlAPI::read_domain_config(c.reply, domain), 6) << c.reply;
    EXPECT_NE(single_blanks(log.text()).find(single_blanks(std::string(k_sig) + c.message)), std::string::npos)
        << c.reply << "\n" << log.text();
  }
}

TEST(DomainConfReader, NestedListFailuresAreLoggedByTheirOwnFunctions) {
  const std::string controllers_sig =
      "int curlAPI::get_controllers_info(const boost::json::value&, std::vector<std::__cxx11::basic_string<char> >&)";
  const std::string qos_sig = "int curlAPI::get_interface_gos_attrs(const boost::json::value&, vm_interface_qos_attrs&)";
  const std::pair<const char*, std::string> cases[] = {
      {R"({"controllers": {"ide": {}}})", controllers_sig + ": json is not an array of controllers"},
      {R"({"controllers": {"scsi": [1]}})", controllers_sig + ": json value is not a 'controllers' object"},
      {R"({"vmachine_infs": [{"qos": {"inbound": 1}}]})", qos_sig + ": json value is not QoS attributes object"},
      {R"({"vmachine_infs": [{"qos": {"outbound": {}}}]})",
       qos_sig + ": json object is empty. Expected QoS attributes info"},
  };
  for (const auto& [reply, message] : cases) {
    LogCapture log;
    domain_conf domain;
    EXPECT_EQ(curlAPI::read_domain_config(reply, domain), 6) << reply;
    EXPECT_TRUE(log.contains(message)) << reply << "\n" << log.text();
  }
}

TEST(DomainConfReader, SkippedAndKeptValues) {
  domain_conf domain;
  ASSERT_EQ(curlAPI::read_domain_config(R"({"unknown": 1, "Id": "x", "parent": null, "guest_utils": {},
      "cpu_topology": {"cpu_map": {}}, "start_on_boot": true, "tpm_device": null, "memory_count": 10.0,
      "os_defaults": {"os_version": {"a": "1", "b": "2"}},
      "controllers": {"ide": [{}, {"model": "m1"}, {"other": 1}]},
      "video": {"type": "ab\u0000cd"}})",
                                        domain),
            0);
  EXPECT_EQ(domain.id, "");
  EXPECT_EQ(domain.parent, name_domain{});
  EXPECT_EQ(domain.qemu_state, "");
  EXPECT_TRUE(domain.cpu_map.empty());
  EXPECT_EQ(domain.start_on_boot, "true");
  EXPECT_EQ(domain.tpm_device, "null");
  EXPECT_EQ(domain.memory_count, "1E1");
  EXPECT_EQ(domain.os_default_os_version_name, "b");
  EXPECT_EQ(domain.os_default_os_version_value, "2");
  EXPECT_EQ(domain.controllers.ide, (std::vector<std::string>{"m1", ""}));
  EXPECT_EQ(domain.video_type, "ab");

  domain_conf only_unknown;
  EXPECT_EQ(curlAPI::read_domain_config(R"({"created": "x", "vdisks_count": 2})", only_unknown), 0);
  EXPECT_TRUE(only_unknown == domain_conf{});
}

TEST(DomainConfReader, AFailureKeepsWhatWasReadBeforeIt) {
  domain_conf domain;
  const char* reply = R"({"id": "vm-9", "vmachine_infs": [{"name": "a"}, {"name": "b"}, {"qos": 5}],
      "boot_type": "UEFI"})";
  EXPECT_EQ(curlAPI::read_domain_config(reply, domain), 6);
  EXPECT_EQ(domain.id, "vm-9");
  ASSERT_EQ(domain.vmachine_infs.size(), 2u);
  EXPECT_EQ(domain.vmachine_infs[1].name, "b");
  EXPECT_EQ(domain.boot_type, "");
}

TEST(DomainConfReader, ReadingTwiceAppendsListsAndKeepsCpuMapEntries) {
  domain_conf domain;
  ASSERT_EQ(curlAPI::read_domain_config(R"({"tags": [{"colour": "red"}],
      "cpu_topology": {"cpu_map": {"1": ["2"], "0": ["0"]}, "cpu_features_required": ["x"]}})",
                                        domain),
            0);
  ASSERT_EQ(curlAPI::read_domain_config(R"({"tags": [{"colour": "blue"}],
      "cpu_topology": {"cpu_map": {"0": ["9"], "2": ["4"]}, "cpu_features_required": ["y"]}})",
                                        domain),
            0);
  EXPECT_EQ(domain.tags.size(), 2u);
  EXPECT_EQ(domain.cpu_features_required, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(domain.cpu_map, (std::map<std::string, std::vector<std::string>>{{"0", {"0"}}, {"1", {"2"}}, {"2", {"4"}}}));
  EXPECT_EQ(domain.cpu_map.begin()->first, "0");  // ordered by node, whatever the reply's order
}

}  // namespace
