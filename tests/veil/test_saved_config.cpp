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

// A distinct value in every member, in the order of the file, with a blank, a quote and a line
// end in each: swapped members or a text cut at a blank show.
class Texts {
 public:
  std::string operator()() { return "v" + std::to_string(++m_n) + " \"q\"\n"; }

 private:
  int m_n = 0;
};

domain_conf full_domain() {
  Texts t;
  domain_conf d;
  for (std::string* member :
       {&d.id, &d.verbose_name, &d.description, &d.qemu_state, &d.start_on_boot, &d.status, &d.user_power_state})
    *member = t();
  d.cpu_map = {{"0", {t(), t()}}, {"1 x", {t()}}};
  for (std::string* member : {&d.cpu_mode, &d.cpu_cores, &d.cpu_count, &d.cpu_model, &d.cpu_shares, &d.cpu_sockets,
                              &d.cpu_threads, &d.cpu_priority, &d.cpu_count_max, &d.cpu_min_guarantee})
    *member = t();
  d.cpu_features_required = {t(), ""};
  for (std::string* member : {&d.cpu_type, &d.tpm_device, &d.memory_count, &d.memory_min_guarantee, &d.memory_shares,
                              &d.memory_limit, &d.applied_snapshot, &d.template_})
    *member = t();
  d.parent = {t(), t()};
  d.thin = t();
  d.owners = {{t(), t()}, {t(), t()}};
  d.os_type = t();
  d.os_version = t();
  d.os_defaults = {t(), t()};
  for (std::string* member : {&d.os_default_video_type, &d.os_default_sound_model, &d.os_default_sound_codec,
                              &d.os_default_os_version_name, &d.os_default_os_version_value})
    *member = t();
  d.node = {t(), t()};
  d.resource_pool = {t(), t()};
  for (std::string* member : {&d.cluster, &d.cloud_init, &d.ha_enabled, &d.ha_autoselect}) *member = t();
  d.ha_nodepolicy = {t()};
  for (std::string* member : {&d.ha_boot_order, &d.ha_retrycount, &d.ha_timeout, &d.ha_options_cluster_sync,
                              &d.ha_boot_delay, &d.ha_boot_agent, &d.graphics_password, &d.remote_access_allow_all,
                              &d.remote_access})
    *member = t();
  d.remote_access_white_list = {{t(), t()}};
  for (std::string* member : {&d.video_type, &d.video_vram, &d.video_heads, &d.sound_codec, &d.sound_model,
                              &d.sound_enabled, &d.machine, &d.clean_count, &d.clean_type, &d.safety,
                              &d.disastery_enabled, &d.bootmenu, &d.bootmenu_timeout, &d.boot_type})
    *member = t();
  d.watchdog = {t(), t(), t()};
  d.controllers = {{t()}, {t(), t()}, {t()}, {}, {t()}};
  d.tags = {{t(), t()}};
  d.vmachine_infs = {{t(), t(), t(), t(), t(), t(), t(), t(), {{t(), t(), t()}, {t(), t(), t()}}}};
  d.boot_devices = {{t(), t()}};
  d.available_vdisks = {t(), t()};
  return d;
}

vdisk full_vdisk() {
  Texts t;
  vdisk v;
  for (std::string* member : {&v.id, &v.verbose_name, &v.description, &v.locked_by, &v.entity_type, &v.status,
                              &v.readonly, &v.virtual_size})
    *member = t();
  v.datapool = {t(), t(), t()};
  v.size = t();
  v.domain = {t(), t()};
  for (std::string* member : {&v.disk_type, &v.device, &v.io}) *member = t();
  v.owners = {{t(), t()}};
  for (std::string* member : {&v.driver_type, &v.driver_cache, &v.source}) *member = t();
  io_tune& io = v.io_tune;
  for (std::string* member :
       {&io.total_bytes_sec, &io.read_bytes_sec, &io.write_bytes_sec, &io.total_iops_sec, &io.read_iops_sec,
        &io.write_iops_sec, &io.total_bytes_sec_max, &io.read_bytes_sec_max, &io.write_bytes_sec_max,
        &io.total_iops_sec_max, &io.read_iops_sec_max, &io.write_iops_sec_max, &io.size_iops_sec,
        &io.total_bytes_sec_max_length, &io.read_bytes_sec_max_length, &io.write_bytes_sec_max_length,
        &io.total_iops_sec_max_length, &io.read_iops_sec_max_length, &io.write_iops_sec_max_length})
    *member = t();
  for (std::string* member : {&v.shareable, &v.ssd, &v.target_bus, &v.actual_source, &v.target_dev}) *member = t();
  v.snapshots = {{t(), t(), t(), t()}};
  v.consolidated = t();
  v.hints = t();
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

}  // namespace
