#pragma once

// The shape the controller expects of the two creation bodies built from saved records: valid
// JSON, no key twice in any object (a parser keeps only the last, so a pasted text could replace
// a member), and exactly the members of each request in their order. A body of another shape
// stops the fuzzer.

#include "veil/domain_conf.h"
#include "veil/vdisk.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>

#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace body_shape {

namespace json = boost::json;
using error_code = boost::system::error_code;

// Parser events that only look for a key given twice in one object.
struct repeated_keys {
  static constexpr size_t max_object_size = size_t(-1);
  static constexpr size_t max_array_size = size_t(-1);
  static constexpr size_t max_key_size = size_t(-1);
  static constexpr size_t max_string_size = size_t(-1);

  std::vector<std::set<std::string>> objects;
  std::string key;
  bool repeated = false;

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) {
    objects.emplace_back();
    return true;
  }
  bool on_object_end(size_t, error_code&) {
    objects.pop_back();
    return true;
  }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(size_t, error_code&) { return true; }
  bool on_key_part(json::string_view part, size_t, error_code&) {
    key.append(part.data(), part.size());
    return true;
  }
  bool on_key(json::string_view part, size_t, error_code&) {
    key.append(part.data(), part.size());
    if (!objects.back().insert(key).second) repeated = true;
    key.clear();
    return true;
  }
  bool on_string_part(json::string_view, size_t, error_code&) { return true; }
  bool on_string(json::string_view, size_t, error_code&) { return true; }
  bool on_number_part(json::string_view, error_code&) { return true; }
  bool on_int64(int64_t, json::string_view, error_code&) { return true; }
  bool on_uint64(uint64_t, json::string_view, error_code&) { return true; }
  bool on_double(double, json::string_view, error_code&) { return true; }
  bool on_bool(bool, error_code&) { return true; }
  bool on_null(error_code&) { return true; }
  bool on_comment_part(json::string_view, error_code&) { return true; }
  bool on_comment(json::string_view, error_code&) { return true; }
};

inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

// The body as JSON, after checking that it is JSON and gives no key twice. A value pasted in may
// be nested as deep as the parser allowed in the reply it came from, the body adds its own levels.
inline json::value parsed(const std::string& body) {
  json::parse_options options;
  options.max_depth = 64;
  json::basic_parser<repeated_keys> events(options);
  error_code error;
  events.write_some(false, body.data(), body.size(), error);
  require(!error && events.done() && !events.handler().repeated);
  return json::parse(body, {}, options);
}

inline void keys(const json::value& value, std::initializer_list<std::string_view> expected) {
  const json::object* object = value.if_object();
  require(object && object->size() == expected.size());
  auto key = expected.begin();
  for (const auto& member : *object) require(member.key() == *key++);
}

inline const json::array& array_of(const json::value& value, size_t size) {
  require(value.is_array() && value.get_array().size() == size);
  return value.get_array();
}

inline void check_vdisk_body(const std::string& body) {
  keys(parsed(body), {"description", "verbose_name", "preallocation", "datapool", "size", "virtual_size",
                      "preallocation_type"});
}

inline void check_domain_body(const std::string& body, const vdisk& boot, const domain_conf& d) {
  const json::value value = parsed(body);
  const bool has_boot = !boot.id.empty();
  std::vector<std::string_view> top = {"idempotency_key", "graphics_password", "safety", "start_on_boot",
                                       "clean_type", "clean_count", "verbose_name", "description", "node",
                                       "resource_pool", "memory_count", "memory_min_guarantee", "memory_shares",
                                       "memory_limit"};
  if (!d.video_type.empty()) top.push_back("video");
  if (!d.sound_codec.empty()) top.push_back("sound");
  top.insert(top.end(), {"watchdog", "boot_type", "os_type", "os_version", "vdisks", "usb_devices", "pci_devices",
                         "mdev_devices"});
  if (!d.vmachine_infs.empty()) top.push_back("vmachine_infs");
  top.insert(top.end(), {"controllers", "boot", "cpu_topology", "machine", "ha_options", "disastery_options",
                         "remote_access", "remote_access_white_list"});
  if (has_boot) top.push_back("datapool");
  top.insert(top.end(), {"thin", "template", "tags", "owners", "cloud_init", "tpm_device"});
  const json::object& o = value.as_object();
  require(o.size() == top.size());
  auto key = top.begin();
  for (const auto& member : o) require(member.key() == *key++);

  if (!d.video_type.empty()) keys(o.at("video"), {"type", "vram", "heads"});
  if (!d.sound_codec.empty()) keys(o.at("sound"), {"codec", "model", "enabled"});
  if (d.watchdog.model.empty())
    keys(o.at("watchdog"), {"enabled"});
  else
    keys(o.at("watchdog"), {"enabled", "model", "action"});
  for (const json::value& disk : array_of(o.at("vdisks"), has_boot ? 1 : 0))
    keys(disk, {"target_bus", "driver_cache", "io", "vdisk", "shareable"});
  for (const char* none : {"usb_devices", "pci_devices", "mdev_devices"}) array_of(o.at(none), 0);
  if (!d.vmachine_infs.empty()) {
    for (const json::value& inf : array_of(o.at("vmachine_infs"), d.vmachine_infs.size())) {
      keys(inf, {"vnetwork", "nic_driver", "link_state", "qos"});
      keys(inf.at("qos"), {"inbound", "outbound"});
      for (const char* direction : {"inbound", "outbound"})
        keys(inf.at("qos").at(direction), {"peak", "burst", "average"});
    }
  }
  const json::value& c = o.at("controllers");
  keys(c, {"ide", "pci", "usb", "sata", "scsi"});
  const auto models = [&](const char* kind, const std::vector<std::string>& list, bool empty_as_one) {
    const json::array& elements = array_of(c.at(kind), list.empty() && empty_as_one ? 1 : list.size());
    for (const json::value& element : elements) {
      if (list.empty())
        keys(element, {});
      else
        keys(element, {"model"});
    }
  };
  models("ide", d.controllers.ide, true);
  models("pci", d.controllers.pci, false);
  models("usb", d.controllers.usb, false);
  models("sata", d.controllers.sata, true);
  models("scsi", d.controllers.scsi, false);
  keys(o.at("boot"), {"bootmenu", "bootmenu_timeout", "boot_type", "devices"});
  array_of(o.at("boot").at("devices"), has_boot ? 1 : 0);

  const json::array& cpu = array_of(o.at("cpu_topology"), 6);
  keys(cpu[0], {"cpu_count", "cpu_count_max"});
  keys(cpu[1], {"cpu_sockets", "cpu_cores", "cpu_threads"});
  keys(cpu[2], {"memory_count", "memory_min_guarantee", "memory_shares", "memory_limit"});
  keys(cpu[3], {"cpu_map"});
  require(cpu[3].at("cpu_map").is_object() && cpu[3].at("cpu_map").get_object().size() == d.cpu_map.size());
  for (const auto& node : cpu[3].at("cpu_map").get_object()) require(node.value().is_array());
  if (d.cpu_mode != "default" && d.cpu_model != "default")
    keys(cpu[4], {"cpu_mode", "cpu_model"});
  else
    keys(cpu[4], {"cpu_mode"});
  keys(cpu[5], {"cpu_priority", "cpu_shares", "cpu_min_guarantee", "cpu_features_required"});
  array_of(cpu[5].at("cpu_features_required"), d.cpu_features_required.size());

  keys(o.at("ha_options"), {"ha_enabled", "ha_autoselect", "ha_nodepolicy", "ha_retrycount", "ha_timeout",
                            "ha_boot_order", "ha_boot_delay", "ha_boot_agent"});
  array_of(o.at("ha_options").at("ha_nodepolicy"), d.ha_nodepolicy.size());
  keys(o.at("disastery_options"), {"disastery_enabled"});
  keys(o.at("remote_access_white_list"), {"remote_access_allow_all", "remote_access_white_list"});
  for (const json::value& entry : array_of(o.at("remote_access_white_list").at("remote_access_white_list"),
                                           d.remote_access_white_list.size()))
    keys(entry, {"ip_addr", "comment"});
  for (const json::value& tag : array_of(o.at("tags"), d.tags.size())) keys(tag, {"colour", "verbose_name"});
  for (const json::value& owner : array_of(o.at("owners"), d.owners.size())) keys(owner, {"id", "username"});
}

}  // namespace body_shape
