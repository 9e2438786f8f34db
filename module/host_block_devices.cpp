// Read-only queries of the host: the mount point holding a path, the device mounted there and
// what lsblk tells about that device.

#include "module/host_block_devices.h"

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "module/kv_modules_common.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <new>
#include <sstream>

namespace kelvanor::module {

bool find_mounted_device(std::istream& mounts, const std::string& mount_point, std::string& device) {
  std::string wanted;
  for (char c : mount_point) {
    if (c == ' ')
      wanted += "\\040";
    else
      wanted += c;
  }
  std::string line;
  while (std::getline(mounts, line)) {
    // Fields are separated by single blanks; blanks inside a field are escaped.
    const size_t first = line.find(' ');
    if (first == std::string::npos) continue;
    const size_t second = line.find(' ', first + 1);
    const std::string point = line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (point == wanted) {
      device = line.substr(0, first);
      return true;
    }
  }
  return false;
}

std::string without_newlines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

}  // namespace kelvanor::module

namespace {

constexpr const char* k_get_mountpoint_signature = "std::string KvModuleUniversal::get_mountpoint(const string&) const";
constexpr const char* k_get_block_device_signature =
    "std::string KvModuleUniversal::get_block_device(const string&, bool) const";
constexpr const char* k_get_block_device_info_signature =
    "bool KvModuleUniversal::get_block_device_info(const string&, KvModuleUniversal::block_device_info&) const";

void log_failed_command(const char* signature, const std::string& command, const std::string& output) {
  KvLogStream(KvLogLvl::Error) << signature << ": command: " << command << std::endl;
  KvLogStream(KvLogLvl::Error) << output << std::endl;
}

std::string unquoted_text(const boost::json::value& value) {
  std::string text = boost::json::serialize(value);
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

bool to_uintmax(const std::string& text, uintmax_t& number) {
  const char* const end = text.data() + text.size();
  const auto [after, error] = std::from_chars(text.data(), end, number);
  if (error == std::errc() && after == end && !text.empty()) return true;
  KvLogStream(KvLogLvl::Error) << k_get_block_device_info_signature << ": can't convert " << text << " to uintmax_t"
                               << std::endl;
  return false;
}

// Runs lsblk with `flags` and gives the first element of its "blockdevices".
bool first_lsblk_device(const std::string& flags, const std::string& device,
                        boost::json::object& first,
                        const std::function<int(const std::string&, std::string&)>& run) {
  const std::string command = "lsblk " + flags + " " + kelvanor_common::shell_single_quote(device);
  std::string output;
  if (run(command, output) != 0) {
    log_failed_command(k_get_block_device_info_signature, command, output);
    return false;
  }
  const auto fail = [](const char* text) {
    KvLogStream(KvLogLvl::Error) << k_get_block_device_info_signature << text << std::endl;
    return false;
  };
  boost::json::value parsed;
  try {
    boost::system::error_code error;
    parsed = boost::json::parse(output, error);
    if (error) {
      KvLogStream(KvLogLvl::Error) << k_get_block_device_info_signature << ": json parsing failed: " << error.message()
                                   << std::endl;
      return false;
    }
  } catch (const std::bad_alloc& e) {
    KvLogStream(KvLogLvl::Error) << k_get_block_device_info_signature << ": json parsing failed: " << e.what()
                                 << std::endl;
    return false;
  }
  if (!parsed.is_object()) return fail(": json value is not an object");
  if (parsed.as_object().empty()) return fail(": json object value is empty");
  const boost::json::value* devices = parsed.as_object().if_contains("blockdevices");
  if (devices == nullptr || !devices->is_array()) return fail(": json value is not an array");
  if (devices->as_array().empty()) return fail(": array is empty");
  const boost::json::value& element = devices->as_array().front();
  if (!element.is_object()) return fail(": json value is not an object");
  if (element.as_object().empty()) return fail(": json object value is empty");
  first = element.as_object();
  return true;
}

}  // namespace

int KvModuleUniversal::run_host_command(const std::string& command, std::string& output) const {
  if (m_command_runner) return m_command_runner(command, output);
  return kv_utils_common::execute_command(command, output);
}

std::string KvModuleUniversal::get_mountpoint(const std::string& path) const {
  try {
    const std::string command = "stat -c %m -- " + kelvanor_common::shell_single_quote(path);
    std::string output;
    if (run_host_command(command, output) != 0) {
      log_failed_command(k_get_mountpoint_signature, command, output);
      return {};
    }
    return kelvanor::module::without_newlines(output);
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_get_mountpoint_signature << ": " << e.what() << std::endl;
    return {};
  }
}

std::string KvModuleUniversal::get_block_device(const std::string& mount_point, bool resolve) const {
  try {
    std::ifstream mounts("/proc/mounts");
    if (!mounts) {
      KvLogStream(KvLogLvl::Error) << k_get_block_device_signature << ": can't open /proc/mounts" << std::endl;
      return {};
    }
    std::string device;
    if (!kelvanor::module::find_mounted_device(mounts, mount_point, device)) {
      KvLogStream(KvLogLvl::Error) << "Mount point " << mount_point << " not found in '/proc/mounts'" << std::endl;
      return {};
    }
    if (!resolve) return device;
    const std::string command = "realpath " + kelvanor_common::shell_single_quote(device);
    std::string output;
    if (run_host_command(command, output) != 0) {
      log_failed_command(k_get_block_device_signature, command, output);
      return {};
    }
    return kelvanor::module::without_newlines(output);
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_get_block_device_signature << ": " << e.what() << std::endl;
    return {};
  }
}

bool KvModuleUniversal::get_block_device_info(const std::string& device, block_device_info& info) const {
  try {
    const auto run = [this](const std::string& command, std::string& output) {
      return run_host_command(command, output);
    };
    boost::json::object element;
    if (!first_lsblk_device("-bJ", device, element, run)) return false;
    for (const auto& member : element) {
      const std::string text = unquoted_text(member.value());
      if (member.key() == "type")
        info.type = text;
      else if (member.key() == "name")
        info.name = text;
      else if (member.key() == "size") {
        if (!to_uintmax(text, info.size)) return false;
      } else if (member.key() == "ro")
        info.ro = text == "true";
    }
    if (!first_lsblk_device("-bfJ", device, element, run)) return false;
    for (const auto& member : element) {
      const std::string text = unquoted_text(member.value());
      if (member.key() == "fstype")
        info.fstype = text;
      else if (member.key() == "fsver")
        info.fsver = text;
      else if (member.key() == "label")
        info.label = text;
      else if (member.key() == "uuid")
        info.uuid = text;
      else if (member.key() == "fsavail") {
        if (!to_uintmax(text, info.fsavail)) return false;
      } else if (member.key() == "mountpoints" && member.value().is_array()) {
        for (const auto& point : member.value().as_array()) info.mountpoints.push_back(boost::json::serialize(point));
      }
    }
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_get_block_device_info_signature << ": " << e.what() << std::endl;
    return false;
  }
}
