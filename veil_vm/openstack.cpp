#include "veil_vm/openstack.h"

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "common/kv_version.h"
#include "veil/stop_points.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/json.hpp>

#include <new>
#include <sstream>

namespace openstack {
namespace {

constexpr int k_attempts = 300;
constexpr const char* k_lsblk = "/usr/bin/lsblk";
constexpr const char* k_udevadm = "/usr/bin/udevadm";

// Device names come from lsblk; anything but a plain kernel name is not passed to the shell.
bool is_plain_device_name(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

}  // namespace

int get_attached_block_device_name(const std::string& serial, const std::string& vm_id, std::string& device_name) {
  static constexpr const char* sig =
      "int openstack::get_attached_block_device_name(const string&, const string&, std::string&)";
  int counter = k_attempts;
  while (true) {
    if (!kv_veil::pause_one_second()) return 17;
    if (--counter == 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": can't get device name of the disk attached to VM '" << vm_id
                                   << "', break by timeout " << k_attempts << std::endl;
      return 1;
    }
    std::vector<std::string> devices;
    if (get_block_devices_list(devices) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to get list of block devices on VM '" << vm_id << "'"
                                   << std::endl;
      continue;
    }
    for (const std::string& device : devices) {
      std::string device_serial;
      // A device without a readable serial (the module VM's own system disk, often) cannot be
      // the one attached; the other devices are still examined.
      if (get_disk_serial_number(device, device_serial) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": unable to get serial number of block device '" << device
                                     << "' inside the VM '" << vm_id << "'" << std::endl;
        continue;
      }
      if (device_serial == serial) {
        device_name = device;
        return 0;
      }
    }
  }
}

int parse_block_devices(const std::string& lsblk_json, std::vector<std::string>& names) {
  static constexpr const char* sig =
      "int openstack::get_block_devices_list(std::vector<std::__cxx11::basic_string<char> >&)";
  try {
    const boost::json::value root = boost::json::parse(lsblk_json);
    if (!root.is_object()) {
      KvLogStream(KvLogLvl::Error) << sig << ": json value is not block devices object" << std::endl;
      return 6;
    }
    if (root.as_object().empty()) {
      KvLogStream(KvLogLvl::Error) << sig << ": block devices object is empty" << std::endl;
      return 6;
    }
    for (const auto& member : root.as_object()) {
      if (member.key() != "blockdevices") continue;
      if (!member.value().is_array()) {
        KvLogStream(KvLogLvl::Error) << sig << ": json is not an array of block devices" << std::endl;
        return 6;
      }
      for (const boost::json::value& element : member.value().as_array()) {
        if (!element.is_object()) {
          KvLogStream(KvLogLvl::Error) << sig << ": json value is not block device object" << std::endl;
          return 6;
        }
        const boost::json::object& device = element.as_object();
        if (device.empty()) {
          KvLogStream(KvLogLvl::Error) << sig << ": json object is empty. " << "Expected block device info"
                                       << std::endl;
          return 6;
        }
        std::string name;
        std::string type;
        if (const auto* value = device.if_contains("name")) name = value->as_string().c_str();
        if (const auto* value = device.if_contains("type")) type = value->as_string().c_str();
        if (type == "disk") names.push_back(name);
      }
    }
    return 0;
  } catch (const std::bad_alloc& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": json parsing failed: " << e.what() << std::endl;
    return 6;
  } catch (const boost::system::system_error& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": boost::json: " << e.what() << std::endl;
    return 2;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << e.what() << std::endl;
    return 2;
  }
}

int get_block_devices_list(std::vector<std::string>& names) {
  static constexpr const char* sig =
      "int openstack::get_block_devices_list(std::vector<std::__cxx11::basic_string<char> >&)";
  const std::string command = std::string(k_lsblk) + " --json";
  std::string output;
  if (kv_utils_common::execute_command(command, output) != 0) {
    KvLogStream(KvLogLvl::Error) << sig << ": This command produced an error: " << command
                                 << "\n: command output: " << output << std::endl;
    return 6;
  }
  return parse_block_devices(output, names);
}

bool parse_disk_serial(const std::string& udevadm_output, std::string& serial) {
  std::istringstream lines(udevadm_output);
  std::string line;
  while (std::getline(lines, line)) {
    // udevadm writes properties as "E: KEY=value"; grep passes them on whole.
    std::string property = boost::algorithm::starts_with(line, "E: ") ? line.substr(3) : line;
    const auto equals = property.find('=');
    if (equals == std::string::npos) continue;
    if (!boost::algorithm::iequals(property.substr(0, equals), "ID_SERIAL")) continue;
    serial = property.substr(equals + 1);
    if (!serial.empty() && serial.back() == '\r') serial.pop_back();
    return true;
  }
  return false;
}

int get_disk_serial_number(const std::string& device_name, std::string& serial) {
  static constexpr const char* sig = "int openstack::get_disk_serial_number(const string&, std::string&)";
  if (!is_plain_device_name(device_name)) {
    KvLogStream(KvLogLvl::Error) << sig << ": not a block device name: " << kelvanor::as_quoted(device_name)
                                 << std::endl;
    return 1;
  }
  const std::string command = std::string(k_udevadm) + " info --name=" + device_name + " | grep ID_SERIAL";
  std::string output;
  if (kv_utils_common::execute_command(command, output) != 0) {
    KvLogStream(KvLogLvl::Error) << sig << ": This command produced an error: " << command
                                 << "\n: command output: " << output << std::endl;
    return 1;
  }
  if (!parse_disk_serial(output, serial)) {
    KvLogStream(KvLogLvl::Error) << sig << ": no ID_SERIAL in the output of: " << command << std::endl;
    return 1;
  }
  return 0;
}

bool test_ssh_connection(const std::string& host, const std::string& user, unsigned int timeout, bool log_as_error,
                         const std::string& identity_file, bool verbose) {
  static constexpr const char* sig =
      "bool openstack::test_ssh_connection(const string&, const string&, unsigned int, bool, const string&, bool)";
  std::string command = "/usr/bin/ssh ";
  if (!identity_file.empty()) command += "-i " + identity_file + " ";
  if (!verbose) command += "-q ";
  command += "-l " + user + " " + host + " -o ConnectTimeout=" + std::to_string(timeout) +
             " -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o BatchMode=yes"
             " -o StrictHostKeyChecking=accept-new 'exit 0'";
  std::string output;
  if (kv_utils_common::execute_command(command, output) == 0) return true;
  std::string text = "unable to connect via ssh to host: " + kelvanor::as_quoted_single(host);
  if (!output.empty()) text += ", command output: " + kelvanor::as_quoted_single(output);
  if (log_as_error)
    KvLogStream(KvLogLvl::Error) << sig << ": " << text << std::endl;
  else
    KvLogStream(KvLogLvl::Warning) << text << std::endl;
  return false;
}

}  // namespace openstack
