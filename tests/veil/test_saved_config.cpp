#include "veil/saved_config.h"

#include "tests/veil/veil_test_support.h"

#include <boost/archive/archive_exception.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace {

using kv_veil_test::TempDir;

// A distinct awkward text per member: blanks, line ends and quotes must survive.
class Texts {
 public:
  std::string next() { return "v" + std::to_string(++m_n) + " with blanks\nand \"quotes\"\r\t"; }

 private:
  int m_n = 0;
};

domain_conf full_domain() {
  Texts t;
  domain_conf d;
  for (std::string* member :
       {&d.id, &d.verbose_name, &d.description, &d.qemu_state, &d.start_on_boot, &d.status, &d.user_power_state,
        &d.cpu_mode, &d.cpu_cores, &d.cpu_count, &d.cpu_model, &d.cpu_shares, &d.cpu_sockets, &d.cpu_threads,
        &d.cpu_priority, &d.cpu_count_max, &d.cpu_min_guarantee, &d.cpu_type, &d.tpm_device, &d.memory_count,
        &d.memory_min_guarantee, &d.memory_shares, &d.memory_limit, &d.applied_snapshot, &d.template_, &d.thin,
        &d.os_type, &d.os_version, &d.os_default_video_type, &d.os_default_sound_model, &d.os_default_sound_codec,
        &d.os_default_os_version_name, &d.os_default_os_version_value, &d.cluster, &d.cloud_init, &d.ha_enabled,
        &d.ha_autoselect, &d.ha_boot_order, &d.ha_retrycount, &d.ha_timeout, &d.ha_options_cluster_sync,
        &d.ha_boot_delay, &d.ha_boot_agent, &d.graphics_password, &d.remote_access_allow_all, &d.remote_access,
        &d.video_type, &d.video_vram, &d.video_heads, &d.sound_codec, &d.sound_model, &d.sound_enabled, &d.machine,
        &d.clean_count, &d.clean_type, &d.safety, &d.disastery_enabled, &d.bootmenu, &d.bootmenu_timeout,
        &d.boot_type})
    *member = t.next();
  d.cpu_map = {{"0", {t.next(), t.next()}}, {"1 x", {t.next()}}};
  d.cpu_features_required = {t.next(), ""};
  d.parent = {t.next(), t.next()};
  d.owners = {{t.next(), t.next()}, {t.next(), t.next()}};
  d.os_defaults = {t.next(), t.next()};
  d.node = {t.next(), t.next()};
  d.resource_pool = {t.next(), t.next()};
  d.ha_nodepolicy = {t.next()};
  d.remote_access_white_list = {{t.next(), t.next()}};
  d.watchdog = {t.next(), t.next(), t.next()};
  d.controllers = {{t.next()}, {t.next(), t.next()}, {t.next()}, {}, {t.next()}};
  d.tags = {{t.next(), t.next()}};
  vm_interface nic{t.next(), t.next(), t.next(), t.next(), t.next(), t.next(), t.next(), t.next(),
                   {{t.next(), t.next(), t.next()}, {t.next(), t.next(), t.next()}}};
  d.vmachine_infs = {nic, nic};
  d.boot_devices = {{t.next(), t.next()}};
  d.available_vdisks = {t.next(), t.next()};
  return d;
}

vdisk full_vdisk() {
  Texts t;
  vdisk v;
  for (std::string* member : {&v.id, &v.verbose_name, &v.description, &v.locked_by, &v.entity_type, &v.status,
                              &v.readonly, &v.virtual_size, &v.size, &v.disk_type, &v.device, &v.io, &v.driver_type,
                              &v.driver_cache, &v.source, &v.shareable, &v.ssd, &v.target_bus, &v.actual_source,
                              &v.target_dev, &v.consolidated, &v.hints})
    *member = t.next();
  v.datapool = {t.next(), t.next(), t.next()};
  v.domain = {t.next(), t.next()};
  v.owners = {{t.next(), t.next()}};
  for (std::string* member :
       {&v.io_tune.total_bytes_sec, &v.io_tune.read_bytes_sec, &v.io_tune.write_bytes_sec, &v.io_tune.total_iops_sec,
        &v.io_tune.read_iops_sec, &v.io_tune.write_iops_sec, &v.io_tune.total_bytes_sec_max,
        &v.io_tune.read_bytes_sec_max, &v.io_tune.write_bytes_sec_max, &v.io_tune.total_iops_sec_max,
        &v.io_tune.read_iops_sec_max, &v.io_tune.write_iops_sec_max, &v.io_tune.size_iops_sec,
        &v.io_tune.total_bytes_sec_max_length, &v.io_tune.read_bytes_sec_max_length,
        &v.io_tune.write_bytes_sec_max_length, &v.io_tune.total_iops_sec_max_length,
        &v.io_tune.read_iops_sec_max_length, &v.io_tune.write_iops_sec_max_length})
    *member = t.next();
  v.snapshots = {{t.next(), t.next(), t.next(), t.next()}};
  v.is_boot = true;
  return v;
}

TEST(SavedConfig, AFullDomainConfSavesAndLoadsBackEqual) {
  const domain_conf original = full_domain();
  const std::string text = kv_veil::to_archive_text(original);
  EXPECT_EQ(text.rfind("22 serialization::archive 19 ", 0), 0u) << text.substr(0, 40);
  EXPECT_NE(text.back(), '\n');
  domain_conf loaded;
  kv_veil::from_archive_text(text, loaded);
  EXPECT_TRUE(loaded == original);
  EXPECT_EQ(kv_veil::to_archive_text(loaded), text);
}

TEST(SavedConfig, AnEmptyDomainConfSavesAndLoadsBackEqual) {
  domain_conf loaded = full_domain();
  kv_veil::from_archive_text(kv_veil::to_archive_text(domain_conf{}), loaded);
  EXPECT_TRUE(loaded == domain_conf{});  // lists and the map emptied, not appended to
}

TEST(SavedConfig, AFullVdiskSavesAndLoadsBackEqual) {
  const vdisk original = full_vdisk();
  const std::string text = kv_veil::to_archive_text(original);
  EXPECT_EQ(text.rfind("22 serialization::archive 19 ", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 2), " 1");  // is_boot, the last member, as 1
  vdisk loaded;
  loaded.version = 7;
  kv_veil::from_archive_text(text, loaded);
  EXPECT_TRUE(loaded.is_boot);
  EXPECT_EQ(loaded.version, 0u);
  EXPECT_TRUE(loaded == original);
}

// Backups made today are restored by later releases: the member order and the library's
// primitive forms are pinned here.
TEST(SavedConfig, TheVdiskFileFormatIsFixed) {
  vdisk v;
  v.id = "a";
  v.size = "7.4";
  v.datapool.id = "p";
  v.owners = {{"o", "u"}};
  v.snapshots = {{"s", "", "", ""}};
  v.is_boot = true;
  EXPECT_EQ(kv_veil::to_archive_text(v),
            "22 serialization::archive 19 0 0 1 a 0  0  0  0  0  0  0  0 0 1 p 0  0  3 7.4 0 0 0  0  0  0  0  0 0 "
            "1 0 0 0 1 o 1 u 0  0  0  0 0 0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  0  "
            "0 0 1 0 0 0 1 s 0  0  0  0  0  1");
}

TEST(SavedConfig, FilesHoldExactlyTheArchiveText) {
  TempDir dir;
  const vdisk disk = full_vdisk();
  const domain_conf domain = full_domain();
  {
    std::ofstream disk_file(dir.file("copy_vdb.config"), std::ios::binary | std::ios::trunc);
    std::ofstream domain_file(dir.file("copy.vm.config"), std::ios::binary | std::ios::trunc);
    kv_veil::write_archive(disk_file, disk);
    kv_veil::write_archive(domain_file, domain);
  }
  std::ifstream disk_in(dir.file("copy_vdb.config"), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(disk_in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, kv_veil::to_archive_text(disk));

  vdisk disk_back;
  std::ifstream disk_file(dir.file("copy_vdb.config"), std::ios::binary);
  kv_veil::read_archive(disk_file, disk_back);
  EXPECT_TRUE(disk_back == disk);
  domain_conf domain_back;
  std::ifstream domain_file(dir.file("copy.vm.config"), std::ios::binary);
  kv_veil::read_archive(domain_file, domain_back);
  EXPECT_TRUE(domain_back == domain);
}

TEST(SavedConfig, ANewerArchiveVersionOrATruncatedTextIsRefused) {
  std::string text = kv_veil::to_archive_text(full_vdisk());
  std::string newer = text;
  newer.replace(newer.find("archive 19"), 10, "archive 99");
  vdisk loaded;
  EXPECT_THROW(kv_veil::from_archive_text(newer, loaded), boost::archive::archive_exception);
  EXPECT_THROW(kv_veil::from_archive_text(text.substr(0, text.size() / 2), loaded), std::exception);
  EXPECT_THROW(kv_veil::from_archive_text("not an archive", loaded), boost::archive::archive_exception);

  // A text or a list longer than the file can hold fails at once, before anything is sized to it.
  vdisk small;
  small.id = "a";
  small.owners = {{"o", "u"}};
  text = kv_veil::to_archive_text(small);
  for (const auto& [length, forged] :
       {std::pair{" 1 a ", " 3000000000 a "}, {" 1 0 0 0 1 o ", " 900000000 0 0 0 1 o "}}) {
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
