#include "veil/saved_config.h"

#include "tests/support/temp_dir.h"
#include "tests/veil/veil_test_support.h"

#include <boost/archive/archive_exception.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <utility>

namespace {

using kv_veil_test::golden;

// A distinct value in every text of a record, in the order of the file, with a blank, a quote and
// a line end in each: swapped members or a text cut at a blank show.
void fill(std::initializer_list<std::string*> members) {
  int n = 0;
  for (std::string* member : members) *member = "v" + std::to_string(++n) + " \"q\"\n";
}

domain_conf full_domain() {
  domain_conf d;
  d.cpu_map = {{"0", {"", ""}}, {"1 x", {""}}};
  d.cpu_features_required.resize(2);
  d.owners.resize(2);
  d.ha_nodepolicy.resize(1);
  d.remote_access_white_list.resize(1);
  d.controllers = {{""}, {"", ""}, {""}, {}, {""}};
  d.tags.resize(1);
  d.vmachine_infs.resize(1);
  d.boot_devices.resize(1);
  d.available_vdisks.resize(2);
  auto& cpus = d.cpu_map;
  auto& nic = d.vmachine_infs[0];
  fill({&d.id, &d.verbose_name, &d.description, &d.qemu_state, &d.start_on_boot, &d.status, &d.user_power_state,
        &cpus["0"][0], &cpus["0"][1], &cpus["1 x"][0], &d.cpu_mode, &d.cpu_cores, &d.cpu_count, &d.cpu_model,
        &d.cpu_shares, &d.cpu_sockets, &d.cpu_threads, &d.cpu_priority, &d.cpu_count_max, &d.cpu_min_guarantee,
        &d.cpu_features_required[0], &d.cpu_type, &d.tpm_device, &d.memory_count, &d.memory_min_guarantee,
        &d.memory_shares, &d.memory_limit, &d.applied_snapshot, &d.template_, &d.parent.id, &d.parent.verbose_name,
        &d.thin, &d.owners[0].id, &d.owners[0].username, &d.owners[1].id, &d.owners[1].username, &d.os_type,
        &d.os_version, &d.os_defaults.vdisk_target_bus, &d.os_defaults.vmachineinf_nic_driver,
        &d.os_default_video_type, &d.os_default_sound_model, &d.os_default_sound_codec, &d.os_default_os_version_name,
        &d.os_default_os_version_value, &d.node.id, &d.node.verbose_name, &d.resource_pool.id,
        &d.resource_pool.verbose_name, &d.cluster, &d.cloud_init, &d.ha_enabled, &d.ha_autoselect,
        &d.ha_nodepolicy[0], &d.ha_boot_order, &d.ha_retrycount, &d.ha_timeout, &d.ha_options_cluster_sync,
        &d.ha_boot_delay, &d.ha_boot_agent, &d.graphics_password, &d.remote_access_allow_all, &d.remote_access,
        &d.remote_access_white_list[0].ip_addr, &d.remote_access_white_list[0].comment, &d.video_type, &d.video_vram,
        &d.video_heads, &d.sound_codec, &d.sound_model, &d.sound_enabled, &d.machine, &d.clean_count, &d.clean_type,
        &d.safety, &d.disastery_enabled, &d.bootmenu, &d.bootmenu_timeout, &d.boot_type, &d.watchdog.enabled,
        &d.watchdog.model, &d.watchdog.action, &d.controllers.ide[0], &d.controllers.pci[0], &d.controllers.pci[1],
        &d.controllers.usb[0], &d.controllers.scsi[0], &d.tags[0].colour, &d.tags[0].verbose_name, &nic.id,
        &nic.name, &nic.mac_address, &nic.nic_driver, &nic.vnetwork_id, &nic.vnetwork_verbose_name,
        &nic.vnetwork_entity_type, &nic.link_state, &nic.qos.inbound.average, &nic.qos.inbound.peak,
        &nic.qos.inbound.burst, &nic.qos.outbound.average, &nic.qos.outbound.peak, &nic.qos.outbound.burst,
        &d.boot_devices[0].id, &d.boot_devices[0].entity_type, &d.available_vdisks[0], &d.available_vdisks[1]});
  return d;
}

vdisk full_vdisk() {
  vdisk v;
  v.owners.resize(1);
  v.snapshots.resize(1);
  io_tune& io = v.io_tune;
  fill({&v.id, &v.verbose_name, &v.description, &v.locked_by, &v.entity_type, &v.status, &v.readonly,
        &v.virtual_size, &v.datapool.id, &v.datapool.verbose_name, &v.datapool.type, &v.size, &v.domain.id,
        &v.domain.verbose_name, &v.disk_type, &v.device, &v.io, &v.owners[0].id, &v.owners[0].username,
        &v.driver_type, &v.driver_cache, &v.source, &io.total_bytes_sec, &io.read_bytes_sec, &io.write_bytes_sec,
        &io.total_iops_sec, &io.read_iops_sec, &io.write_iops_sec, &io.total_bytes_sec_max, &io.read_bytes_sec_max,
        &io.write_bytes_sec_max, &io.total_iops_sec_max, &io.read_iops_sec_max, &io.write_iops_sec_max,
        &io.size_iops_sec, &io.total_bytes_sec_max_length, &io.read_bytes_sec_max_length,
        &io.write_bytes_sec_max_length, &io.total_iops_sec_max_length, &io.read_iops_sec_max_length,
        &io.write_iops_sec_max_length, &v.shareable, &v.ssd, &v.target_bus, &v.actual_source, &v.target_dev,
        &v.snapshots[0].id, &v.snapshots[0].source, &v.snapshots[0].vdisk, &v.snapshots[0].serial, &v.consolidated,
        &v.hints});
  v.is_boot = true;
  return v;
}

// Backups made today are restored by later releases: the files are pinned byte by byte and read
// back member by member.
TEST(SavedConfig, GoldenFilesWriteAndReadBackEveryMember) {
  kv_test::TempDir dir;
  {
    std::ofstream vm_file(dir / "vm.config", std::ios::binary);
    std::ofstream disk_file(dir / "vdb.config", std::ios::binary);
    kv_veil::write_archive(vm_file, full_domain());
    kv_veil::write_archive(disk_file, full_vdisk());
  }
  EXPECT_EQ(kv_test::read_file(dir / "vm.config"), golden("vm.config"));
  EXPECT_EQ(kv_test::read_file(dir / "vdb.config"), golden("vdb.config"));
  domain_conf domain = full_domain();  // lists are replaced, not appended to
  std::ifstream vm_file(KV_TEST_SOURCE_DIR "/veil/data/vm.config", std::ios::binary);
  kv_veil::read_archive(vm_file, domain);
  EXPECT_TRUE(domain == full_domain());
  vdisk disk;
  std::ifstream disk_file(KV_TEST_SOURCE_DIR "/veil/data/vdb.config", std::ios::binary);
  kv_veil::read_archive(disk_file, disk);
  EXPECT_TRUE(disk == full_vdisk());
}

TEST(SavedConfig, ANewerVersionOrATruncatedOrOverlongTextIsRefused) {
  const std::string text = golden("vdb.config");
  vdisk loaded;
  std::string newer = text;
  newer.replace(newer.find("archive 19"), 10, "archive 99");
  EXPECT_THROW(kv_veil::from_archive_text(newer, loaded), boost::archive::archive_exception);
  EXPECT_THROW(kv_veil::from_archive_text(text.substr(0, text.size() / 2), loaded), std::exception);
  // A text or a list longer than the file can hold fails at once, before anything is sized to it.
  for (const auto& [length, forged] : {std::pair{" 7 v1 ", " 3000000000 v1 "}, {" 1 0 0 0 8 v", " 900000000 0 0 0 8 v"}}) {
    std::string bad = text;
    bad.replace(bad.find(length), std::string(length).size(), forged);
    try {
      kv_veil::from_archive_text(bad, loaded);
      ADD_FAILURE() << bad;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("bytes are left"), std::string::npos) << error.what();
    }
  }
}

// Every text this program saves came from JSON and is UTF-8; a byte that is not would make the
// request bodies built from the record no JSON.
TEST(SavedConfig, ATextThatIsNotUtf8IsRefused) {
  const std::string text = golden("vdb.config");
  const std::string first = "7 v1 \"q\"\n";
  vdisk loaded;
  // A valid name first, then a stray continuation byte, an overlong '/', a surrogate, a code point
  // beyond U+10FFFF and a sequence cut short.
  for (const std::string id :
       {"d\xc3\xa9\xf0\x9f\x92\xbe", "\x8c", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    std::string forged = text;
    forged.replace(forged.find(first), first.size(), std::to_string(id.size()) + " " + id);
    if (id[0] == 'd') {
      kv_veil::from_archive_text(forged, loaded);
      EXPECT_EQ(loaded.id, id);
    } else {
      EXPECT_THROW(kv_veil::from_archive_text(forged, loaded), std::runtime_error) << id;
    }
  }
  // UTF-8 as a whole, but the reader takes the byte after a length as the blank: the text is a
  // lone continuation byte.
  std::string forged = text;
  forged.replace(forged.find(first), first.size(), "1\xc3\xa9");
  EXPECT_THROW(kv_veil::from_archive_text(forged, loaded), std::runtime_error);
}

// Members nested in objects and lists are named by the keys that lead to them, the first one first.
TEST(SavedConfig, TheFirstMemberNotHoldingOneJsonValueIsNamed) {
  domain_conf domain;
  domain.vmachine_infs.resize(2);
  EXPECT_EQ(kv_veil::unsound_json_member(domain), "");
  domain.vmachine_infs[1].qos.outbound.burst = "1,2";
  EXPECT_EQ(kv_veil::unsound_json_member(domain), "vmachine_infs[1].qos.outbound.burst");
  domain.watchdog.enabled = "true}";
  EXPECT_EQ(kv_veil::unsound_json_member(domain), "watchdog.enabled");
  domain.cloud_init = "{\"user_data\":1}";
  EXPECT_EQ(kv_veil::unsound_json_member(domain), "watchdog.enabled");
  // Members no request carries load whatever they hold.
  domain.watchdog.enabled = "true";
  domain.vmachine_infs[1].qos.outbound.burst = "1";
  domain.user_power_state = "{\"a\": 1,";
  EXPECT_EQ(kv_veil::unsound_json_member(domain), "");
  vdisk disk;
  disk.io_tune.write_iops_sec_max_length = "[";
  disk.hints = "0 0";
  EXPECT_EQ(kv_veil::unsound_json_member(disk), "");
  disk.virtual_size = "0 0";
  EXPECT_EQ(kv_veil::unsound_json_member(disk), "virtual_size");
}

}  // namespace
