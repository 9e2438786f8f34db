// The restore hooks around the data mover, the saved configuration files in the restore
// directory, and what a stop of the program undoes during a restore.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"
#include "veil/stop_points.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <exception>
#include <fstream>
#include <string>
#include <string_view>

namespace fs = boost::filesystem;

namespace {

constexpr std::string_view k_before_restore_sig = "virtual bool KvModuleVeilVM::before_restore()";
constexpr std::string_view k_fill_domain_sig = "int KvModuleVeilVM::fill_domain_config(domain_conf&)";
constexpr std::string_view k_fill_vdisk_sig = "int KvModuleVeilVM::fill_vdisk_config(const string&, vdisk&)";
constexpr std::string_view k_shutdown_sig = "virtual void KvModuleVeilVM::handle_shutdown_signal()";

constexpr int k_failed = 7;

// Loads one saved record; both saved files are read the same way. The saved files come with the
// archive, so a record holding what this program never wrote is refused here, before any request
// is built from it.
template <typename Record>
int load_saved_record(std::string_view sig, const std::string& path, Record& record) {
  try {
    if (!fs::exists(path)) {
      KvLogStream(KvLogLvl::Error) << sig << ": " << path << " doesn't exist" << std::endl;
      return k_failed;
    }
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to open " << path << std::endl;
      return k_failed;
    }
    kv_veil::read_archive(file, record);
    if (const std::string member = kv_veil::unsound_json_member(record); !member.empty()) {
      KvLogStream(KvLogLvl::Error) << sig << ": the saved member '" << member << "' of " << path
                                   << " is not exactly one JSON value" << std::endl;
      return k_failed;
    }
    return 0;
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": fs: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << error.what() << std::endl;
  }
  return k_failed;
}

}  // namespace

bool KvModuleVeilVM::before_restore() {
  KvLogStream(KvLogLvl::Info) << "Got a task to restore an archive " << options_.record_id << std::endl;
  try {
    const std::string& directory = options_.tmp_operation_directory;
    if (fs::exists(directory)) return true;
    KvLogStream(KvLogLvl::Error) << k_before_restore_sig << ": directory " << directory << " doesn't exist"
                                 << std::endl;
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << k_before_restore_sig << ": fs:" << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_before_restore_sig << ": exception:" << error.what() << std::endl;
  }
  return false;
}

bool KvModuleVeilVM::after_restore() { return true; }

bool KvModuleVeilVM::after_restore_last_file() { return true; }

int KvModuleVeilVM::fill_domain_config(::domain_conf& domain) {
  if (const int result = load_saved_record(k_fill_domain_sig, options_.tmp_operation_directory + "/vm.config", domain);
      result != 0)
    return result;
  // Each saved disk id names a file of the restore directory: "../../x" would make any .conf file
  // a disk record. Refused before the restore creates anything.
  for (const std::string& vdisk_id : domain.available_vdisks) {
    if (!is_plain_device_name(vdisk_id)) {
      KvLogStream(KvLogLvl::Error) << k_fill_domain_sig << ": the saved disk id '"
                                   << vdisk_id << "' is not a plain identifier" << std::endl;
      return k_failed;
    }
  }
  return 0;
}

int KvModuleVeilVM::fill_vdisk_config(const std::string& vdisk_id, vdisk& disk) {
  return load_saved_record(k_fill_vdisk_sig, options_.tmp_operation_directory + "/" + vdisk_id + ".conf", disk);
}

void KvModuleVeilVM::handle_shutdown_signal() {
  // The clean-up below runs in the stop's bounded time (veil/stop_points.h).
  kv_veil::note_stop();
  KvModuleUniversal::handle_shutdown_signal();
  remove_unfinished_restored_vdisks();
}

void KvModuleVeilVM::remove_unfinished_restored_vdisks() noexcept {
  if (m_restoring_vdisks.empty()) return;
  // Taken out first: whatever happens below, the disks are not handled twice.
  const std::vector<std::string> vdisks = std::move(m_restoring_vdisks);
  m_restoring_vdisks.clear();
  try {
    curlAPI api(conf);
    if (clean_up_login(api) != 0) {
      KvLogStream(KvLogLvl::Error) << k_shutdown_sig << ": unable to login to url: " << conf.url
                                   << "; the new disks stay on the platform" << std::endl;
      name_left_vdisks(k_shutdown_sig, vdisks, "on the platform");
      return;
    }
    remove_restored_vdisks(api, vdisks);
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_shutdown_sig << ": exception:" << error.what() << std::endl;
  } catch (...) {
    KvLogStream(KvLogLvl::Error) << k_shutdown_sig << ": unknown exception" << std::endl;
  }
}
