// Snapshots by the dattobd kernel module, which keeps its state table in /proc/datto-info.

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "module/host_block_devices.h"
#include "module/os_snapshot.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <limits>
#include <new>

namespace {

constexpr const char* k_read_info_command = "cat /proc/datto-info";
constexpr const char* k_exists_signature =
    "bool SnapshotDattobd::snapshot_exists(const string&, bool&, std::string&) const";
constexpr const char* k_free_minor_signature = "bool SnapshotDattobd::free_minor(std::string&) const";
constexpr const char* k_create_signature =
    "virtual bool SnapshotDattobd::create(const string&, const string&, const string&, const string&, uintmax_t, "
    "std::string&)";
constexpr const char* k_remove_signature = "virtual bool SnapshotDattobd::remove(const string&)";

std::string unquoted_text(const boost::json::value& value) {
  std::string text = boost::json::serialize(value);
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

// The state table's "devices" array; `devices` stays null when the table has none.
bool read_devices(const SnapshotCommandRunner& run, const char* signature, boost::json::value& table,
                  const boost::json::array*& devices) {
  std::string output;
  if (run(k_read_info_command, output) != 0) {
    KvLogStream(KvLogLvl::Error) << signature << ": command: " << k_read_info_command << std::endl;
    KvLogStream(KvLogLvl::Error) << output << std::endl;
    return false;
  }
  const auto fail = [signature](const std::string& text) {
    KvLogStream(KvLogLvl::Error) << signature << text << std::endl;
    return false;
  };
  try {
    boost::system::error_code error;
    table = boost::json::parse(output, error);
    if (error) return fail(": json parsing failed: " + error.message());
  } catch (const std::bad_alloc& e) {
    return fail(std::string(": json parsing failed: ") + e.what());
  }
  if (!table.is_object()) return fail(": json value is not an object");
  if (table.as_object().empty()) return fail(": json object value is empty");
  devices = nullptr;
  const boost::json::value* member = table.as_object().if_contains("devices");
  if (member == nullptr) return true;
  if (!member->is_array()) return fail(": json value is not an array");
  devices = &member->as_array();
  return true;
}

}  // namespace

SnapshotDattobd::SnapshotDattobd(SnapshotCommandRunner runner) : m_run(std::move(runner)) {
  if (!m_run) m_run = [](const std::string& command, std::string& output) {
    return kv_utils_common::execute_command(command, output);
  };
}

bool SnapshotDattobd::is_ready() const {
  std::string output;
  return m_run("/sbin/lsmod | grep ^dattobd", output) == 0;
}

bool SnapshotDattobd::snapshot_exists(const std::string& device, bool& exists, std::string& found_minor) const {
  boost::json::value table;
  const boost::json::array* devices = nullptr;
  if (!read_devices(m_run, k_exists_signature, table, devices)) return false;
  exists = false;
  if (devices == nullptr) return true;
  for (const auto& element : *devices) {
    if (!element.is_object()) continue;
    bool match = false;
    std::string element_minor;
    for (const auto& member : element.as_object()) {
      if (member.key() == "block_device" && unquoted_text(member.value()) == device) match = true;
      if (member.key() == "minor") element_minor = unquoted_text(member.value());
    }
    if (match) {
      exists = true;
      found_minor = element_minor;
      return true;
    }
  }
  return true;
}

bool SnapshotDattobd::free_minor(std::string& found_minor) const {
  boost::json::value table;
  const boost::json::array* devices = nullptr;
  if (!read_devices(m_run, k_free_minor_signature, table, devices)) return false;
  if (devices == nullptr) return false;
  long long largest = -1;
  for (const auto& element : *devices) {
    if (!element.is_object()) continue;
    const boost::json::value* member = element.as_object().if_contains("minor");
    if (member == nullptr) continue;
    const std::string text = unquoted_text(*member);
    long long value = 0;
    const auto [after, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // A minor that is no number would make any choice a guess; one past the largest must exist.
    if (error != std::errc() || after != text.data() + text.size() || value < 0 ||
        value == std::numeric_limits<long long>::max()) {
      KvLogStream(KvLogLvl::Error) << k_free_minor_signature << ": wrong minor: " << text << std::endl;
      return false;
    }
    largest = std::max(largest, value);
  }
  found_minor = std::to_string(largest + 1);
  return true;
}

bool SnapshotDattobd::check(const std::string& device) {
  if (!is_ready()) {
    KvLogStream(KvLogLvl::Warning) << "Dattobd is not ready or not installed" << std::endl;
    return false;
  }
  bool exists = false;
  std::string existing_minor;
  if (!snapshot_exists(device, exists, existing_minor)) {
    KvLogStream(KvLogLvl::Error)
        << "SnapshotDattobd::check: can't check weather dattobd snapshot exists for the device: " << device
        << std::endl;
    return false;
  }
  if (exists) {
    KvLogStream(KvLogLvl::Warning) << "Can't create dattobd snapshot of the device " << device
                                   << ". The snapshot exists: /dev/datto" << existing_minor << std::endl;
    KvLogStream(KvLogLvl::Warning)
        << "You can remove it by hand if you are sure it is obsoleted. Command to destroy the snapshot: "
        << "dbdctl destroy " << existing_minor << std::endl;
    return false;
  }
  if (!free_minor(minor)) {
    KvLogStream(KvLogLvl::Error) << "Can't get free minor of dattobd to create snapshot" << std::endl;
    return false;
  }
  KvLogStream(KvLogLvl::Info) << "Free dattobd minor to create a snapshot: " << minor << std::endl;
  return true;
}

bool SnapshotDattobd::create(const std::string& device, const std::string&, const std::string& mount_point,
                             const std::string& name_suffix, uintmax_t size, std::string& snapshot_device) {
  try {
    using kelvanor_common::shell_quote;
    const std::string command = "dbdctl setup-snapshot -f " + std::to_string(size / 1048576) + " " +
                                shell_quote(device) + " " +
                                shell_quote(mount_point + "/.kelvanor_dattobd_" + name_suffix) + " " + minor;
    std::string output;
    if (m_run(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << k_create_signature << ": command: " << command << std::endl;
      KvLogStream(KvLogLvl::Error) << output << std::endl;
      return false;
    }
    snapshot_device = "/dev/datto" + minor;
    KvLogStream(KvLogLvl::Info) << "Dattobd snapshot was created: " << snapshot_device << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_create_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool SnapshotDattobd::remove(const std::string& device) {
  bool exists = false;
  std::string existing_minor;
  // Without the table nothing can be said about the snapshot, so it may still be there.
  if (!snapshot_exists(device, exists, existing_minor)) return false;
  if (!exists) return true;
  const std::string command = "dbdctl destroy " + existing_minor;
  std::string output;
  if (m_run(command, output) != 0) {
    KvLogStream(KvLogLvl::Error) << k_remove_signature << ": command: " << command << std::endl;
    KvLogStream(KvLogLvl::Error) << output << std::endl;
    return false;
  }
  KvLogStream(KvLogLvl::Info) << "Dattobd snapshot was destroyed: /dev/datto" << existing_minor << std::endl;
  return true;
}
