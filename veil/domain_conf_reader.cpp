#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "veil/reply_ids.h"
#include "veil/reply_reader.h"


namespace {

using kv_veil::text_field;
constexpr auto k_stripped = kv_veil::value_form::quote_stripped;
constexpr auto k_json = kv_veil::value_form::json_text;
constexpr auto k_string = kv_veil::value_form::string_value;

constexpr std::string_view k_sig = "int curlAPI::get_domain_config(const string&, domain_conf&)";

const text_field<domain_conf> k_top_fields[] = {
    {"id", &domain_conf::id, k_stripped},
    {"verbose_name", &domain_conf::verbose_name, k_stripped},
    {"description", &domain_conf::description, k_stripped},
    {"start_on_boot", &domain_conf::start_on_boot, k_json},
    {"status", &domain_conf::status, k_stripped},
    {"user_power_state", &domain_conf::user_power_state, k_json},
    {"cpu_type", &domain_conf::cpu_type, k_stripped},
    {"tpm_device", &domain_conf::tpm_device, k_json},
    {"memory_count", &domain_conf::memory_count, k_json},
    {"memory_min_guarantee", &domain_conf::memory_min_guarantee, k_json},
    {"memory_shares", &domain_conf::memory_shares, k_json},
    {"memory_limit", &domain_conf::memory_limit, k_json},
    {"applied_snapshot", &domain_conf::applied_snapshot, k_stripped},
    {"template", &domain_conf::template_, k_json},
    {"thin", &domain_conf::thin, k_json},
    {"os_type", &domain_conf::os_type, k_stripped},
    {"os_version", &domain_conf::os_version, k_stripped},
    {"cluster", &domain_conf::cluster, k_stripped},
    {"cloud_init", &domain_conf::cloud_init, k_json},
    {"ha_enabled", &domain_conf::ha_enabled, k_json},
    {"ha_autoselect", &domain_conf::ha_autoselect, k_json},
    {"ha_boot_order", &domain_conf::ha_boot_order, k_json},
    {"ha_retrycount", &domain_conf::ha_retrycount, k_json},
    {"ha_timeout", &domain_conf::ha_timeout, k_json},
    {"ha_options_cluster_sync", &domain_conf::ha_options_cluster_sync, k_json},
    {"ha_boot_delay", &domain_conf::ha_boot_delay, k_json},
    {"ha_boot_agent", &domain_conf::ha_boot_agent, k_json},
    {"graphics_password", &domain_conf::graphics_password, k_stripped},
    {"remote_access_allow_all", &domain_conf::remote_access_allow_all, k_json},
    {"remote_access", &domain_conf::remote_access, k_json},
    {"machine", &domain_conf::machine, k_stripped},
    {"clean_count", &domain_conf::clean_count, k_json},
    {"clean_type", &domain_conf::clean_type, k_stripped},
    {"safety", &domain_conf::safety, k_json},
    {"disastery_enabled", &domain_conf::disastery_enabled, k_json},
    {"bootmenu", &domain_conf::bootmenu, k_json},
    {"bootmenu_timeout", &domain_conf::bootmenu_timeout, k_json},
    {"boot_type", &domain_conf::boot_type, k_stripped},
};

const text_field<domain_conf> k_cpu_fields[] = {
    {"cpu_mode", &domain_conf::cpu_mode, k_string},
    {"cpu_cores", &domain_conf::cpu_cores, k_json},
    {"cpu_count", &domain_conf::cpu_count, k_json},
    {"cpu_model", &domain_conf::cpu_model, k_string},
    {"cpu_shares", &domain_conf::cpu_shares, k_json},
    {"cpu_sockets", &domain_conf::cpu_sockets, k_json},
    {"cpu_threads", &domain_conf::cpu_threads, k_json},
    {"cpu_priority", &domain_conf::cpu_priority, k_json},
    {"cpu_count_max", &domain_conf::cpu_count_max, k_json},
    {"cpu_min_guarantee", &domain_conf::cpu_min_guarantee, k_json},
};

const text_field<domain_conf> k_video_fields[] = {
    {"type", &domain_conf::video_type, k_string},
    {"vram", &domain_conf::video_vram, k_json},
    {"heads", &domain_conf::video_heads, k_json},
};

const text_field<domain_conf> k_sound_fields[] = {
    {"codec", &domain_conf::sound_codec, k_string},
    {"model", &domain_conf::sound_model, k_string},
    {"enabled", &domain_conf::sound_enabled, k_json},
};

const text_field<name_domain> k_name_domain_fields[] = {
    {"id", &name_domain::id, k_string},
    {"verbose_name", &name_domain::verbose_name, k_string},
};

const text_field<name_owner> k_owner_fields[] = {
    {"id", &name_owner::id, k_string},
    {"username", &name_owner::username, k_string},
};

const text_field<ip_with_comment> k_white_list_fields[] = {
    {"ip_addr", &ip_with_comment::ip_addr, k_string},
    {"comment", &ip_with_comment::comment, k_string},
};

const text_field<::watchdog> k_watchdog_fields[] = {
    {"enabled", &::watchdog::enabled, k_json},
    {"model", &::watchdog::model, k_stripped},
    {"action", &::watchdog::action, k_stripped},
};

const text_field<tag_object> k_tag_fields[] = {
    {"colour", &tag_object::colour, k_string},
    {"verbose_name", &tag_object::verbose_name, k_string},
};

const text_field<vm_interface> k_interface_fields[] = {
    {"id", &vm_interface::id, k_string},
    {"name", &vm_interface::name, k_string},
    {"mac_address", &vm_interface::mac_address, k_string},
    {"nic_driver", &vm_interface::nic_driver, k_string},
    {"link_state", &vm_interface::link_state, k_string},
};

const text_field<vm_interface> k_vnetwork_fields[] = {
    {"id", &vm_interface::vnetwork_id, k_string},
    {"verbose_name", &vm_interface::vnetwork_verbose_name, k_string},
    {"entity_type", &vm_interface::vnetwork_entity_type, k_string},
};

const text_field<boot_device> k_boot_device_fields[] = {
    {"id", &boot_device::id, k_string},
    {"entity_type", &boot_device::entity_type, k_string},
};

const text_field<vm_interface_qos_attrs> k_qos_fields[] = {
    {"average", &vm_interface_qos_attrs::average, k_json},
    {"peak", &vm_interface_qos_attrs::peak, k_json},
    {"burst", &vm_interface_qos_attrs::burst, k_json},
};

template <class Fields>
auto fill_with(const Fields& fields) {
  return [&fields](const boost::json::object& object, auto& record) {
    kv_veil::assign_fields(fields, object, record);
    return true;
  };
}

// Reads the members of one reply into a domain_conf; false after an error line.
class domain_reader {
 public:
  explicit domain_reader(domain_conf& domain) : m_domain(domain), m_reader(k_sig) {}

  [[nodiscard]] bool member(std::string_view key, const boost::json::value& value);

 private:
  [[nodiscard]] bool cpu_topology(const boost::json::value& value);
  [[nodiscard]] bool cpu_map(const boost::json::value& value);
  [[nodiscard]] bool os_defaults(const boost::json::value& value);
  [[nodiscard]] bool os_default_controllers(const boost::json::value& value);
  [[nodiscard]] bool name_domain_object(const boost::json::value& value, std::string_view not_object,
                                        std::string_view expected, name_domain& target);
  [[nodiscard]] bool fields_object(const boost::json::value& value, std::string_view not_object,
                                   std::string_view expected, auto fill);
  [[nodiscard]] bool controllers(const boost::json::value& value);
  [[nodiscard]] bool vm_interface_object(const boost::json::object& object, vm_interface& target);

  domain_conf& m_domain;
  kv_veil::reply_reader m_reader;
};

bool domain_reader::fields_object(const boost::json::value& value, std::string_view not_object,
                                  std::string_view expected, auto fill) {
  const boost::json::object* object = m_reader.object(value, not_object, expected);
  if (!object) return false;
  fill(*object);
  return true;
}

bool domain_reader::name_domain_object(const boost::json::value& value, std::string_view not_object,
                                       std::string_view expected, name_domain& target) {
  return fields_object(value, not_object, expected,
                       [&](const boost::json::object& object) { kv_veil::assign_fields(k_name_domain_fields, object, target); });
}

bool domain_reader::member(std::string_view key, const boost::json::value& value) {
  if (kv_veil::assign_field(k_top_fields, key, value, m_domain)) return true;
  if (key == "guest_utils") {
    if (!value.is_object()) {
      m_reader.error(": json value is not 'guest_utils' object");
      return false;
    }
    for (const auto& field : value.get_object())
      if (field.key() == "qemu_state") m_domain.qemu_state = kv_veil::json_text(field.value());
    return true;
  }
  if (key == "cpu_topology") return cpu_topology(value);
  if (key == "parent") {
    // A VM without a parent reports null here.
    if (!value.is_object()) return true;
    return name_domain_object(value, "", "Expected parent info", m_domain.parent);
  }
  if (key == "owners")
    return m_reader.object_list(value, ": json is not an array of owners", ": json value is not name_owner object",
                                "Expected owner info", m_domain.owners, fill_with(k_owner_fields));
  if (key == "os_defaults") return os_defaults(value);
  if (key == "node")
    return name_domain_object(value, ": json value is not 'node' object", "Expected node info", m_domain.node);
  if (key == "resource_pool")
    return name_domain_object(value, ": json value is not resource_pool object", "Expected resource pool info",
                              m_domain.resource_pool);
  if (key == "ha_nodepolicy")
    return m_reader.scalar_list(value, ": json is not an array of servers for VM restore", m_domain.ha_nodepolicy);
  if (key == "remote_access_white_list")
    return m_reader.object_list(value, ": json is not an array whitelisted IP addresses",
                                ": json value is not remote_access_white_list object", "Expected IP with comment",
                                m_domain.remote_access_white_list, fill_with(k_white_list_fields));
  if (key == "video")
    return fields_object(value, ": json value is not 'video' object", "Expected video info",
                         [&](const boost::json::object& object) { kv_veil::assign_fields(k_video_fields, object, m_domain); });
  if (key == "sound")
    return fields_object(value, ": json value is not 'sound' object", "Expected sound info",
                         [&](const boost::json::object& object) { kv_veil::assign_fields(k_sound_fields, object, m_domain); });
  if (key == "watchdog")
    return fields_object(value, ": json value is not 'watchdog' object", "Expected watchdog info",
                         [&](const boost::json::object& object) {
                           kv_veil::assign_fields(k_watchdog_fields, object, m_domain.watchdog);
                         });
  if (key == "controllers") return controllers(value);
  if (key == "tags")
    return m_reader.object_list(value, ": json is not an array domain tags", ": json value is not domain tag object",
                                "Expected VM tag info", m_domain.tags, fill_with(k_tag_fields));
  if (key == "vmachine_infs")
    return m_reader.object_list(value, ": json is not an array VM interfaces", ": json value is not VM interface object",
                                "Expected VM interface info", m_domain.vmachine_infs,
                                [this](const boost::json::object& object, vm_interface& target) {
                                  return vm_interface_object(object, target);
                                });
  if (key == "boot_devices")
    return m_reader.object_list(value, ": json is not an array VM boot devices",
                                ": json value is not boot_device object", "Expected VM boot device info",
                                m_domain.boot_devices, fill_with(k_boot_device_fields));
  return true;
}

bool domain_reader::cpu_topology(const boost::json::value& value) {
  // Two blanks after the full stop: the text the log has always carried.
  const boost::json::object* topology =
      m_reader.object(value, ": json value is not cpu_topology object", " Expected cpu_topology info");
  if (!topology) return false;
  for (const auto& member : *topology) {
    if (kv_veil::assign_field(k_cpu_fields, member.key(), member.value(), m_domain)) continue;
    if (member.key() == "cpu_map") {
      if (!cpu_map(member.value())) return false;
    } else if (member.key() == "cpu_features_required") {
      if (!m_reader.scalar_list(member.value(), ": json is not an array of cpu features",
                                m_domain.cpu_features_required))
        return false;
    }
  }
  return true;
}

bool domain_reader::cpu_map(const boost::json::value& value) {
  if (!value.is_object()) {
    m_reader.error(": json value is not cpu_map object");
    return false;
  }
  for (const auto& node : value.get_object()) {
    if (!node.value().is_array()) {
      m_reader.error(": json is not an array of node CPUs");
      return false;
    }
    std::vector<std::string> cpus;
    for (const boost::json::value& cpu : node.value().get_array()) cpus.push_back(kv_veil::quote_stripped(cpu));
    // insert, not overwrite: an entry read earlier for the same node stays.
    m_domain.cpu_map.emplace(std::string(node.key()), std::move(cpus));
  }
  return true;
}

bool domain_reader::os_defaults(const boost::json::value& value) {
  const boost::json::object* defaults =
      m_reader.object(value, ": json value is not os_defaults object", "Expected os_defaults info");
  if (!defaults) return false;
  for (const auto& member : *defaults) {
    const boost::json::value& nested = member.value();
    bool ok = true;
    if (member.key() == "controllers") {
      ok = os_default_controllers(nested);
    } else if (member.key() == "video") {
      ok = fields_object(nested, ": json value is not 'video' object", "Expected OS default video info",
                         [&](const boost::json::object& object) {
                           for (const auto& field : object)
                             if (field.key() == "type") m_domain.os_default_video_type = kv_veil::string_value(field.value());
                         });
    } else if (member.key() == "sound") {
      ok = fields_object(nested, ": json value is not 'sound' object", "Expected OS default sound info",
                         [&](const boost::json::object& object) {
                           for (const auto& field : object) {
                             if (field.key() == "model")
                               m_domain.os_default_sound_model = kv_veil::string_value(field.value());
                             else if (field.key() == "codec")
                               m_domain.os_default_sound_codec = kv_veil::string_value(field.value());
                           }
                         });
    } else if (member.key() == "os_version") {
      // With several members the last one in reply order remains.
      ok = fields_object(nested, ": json value is not os_version object", "Expected OS version info",
                         [&](const boost::json::object& object) {
                           for (const auto& field : object) {
                             m_domain.os_default_os_version_name = std::string(field.key());
                             m_domain.os_default_os_version_value = kv_veil::string_value(field.value());
                           }
                         });
    }
    if (!ok) return false;
  }
  return true;
}

bool domain_reader::os_default_controllers(const boost::json::value& value) {
  const boost::json::object* controllers =
      m_reader.object(value, ": json value is not controllers object", "Expected OS default controllers info");
  if (!controllers) return false;
  for (const auto& member : *controllers) {
    bool ok = true;
    if (member.key() == "vdisk") {
      ok = fields_object(member.value(), ": json value is not vdisk object", "Expected vdisk info",
                         [&](const boost::json::object& object) {
                           for (const auto& field : object)
                             if (field.key() == "target_bus")
                               m_domain.os_defaults.vdisk_target_bus = kv_veil::string_value(field.value());
                         });
    } else if (member.key() == "vmachineinf") {
      ok = fields_object(member.value(), ": json value is not vmachine interface object",
                         "Expected vmachine interface info", [&](const boost::json::object& object) {
                           for (const auto& field : object)
                             if (field.key() == "nic_driver")
                               m_domain.os_defaults.vmachineinf_nic_driver = kv_veil::string_value(field.value());
                         });
    }
    if (!ok) return false;
  }
  return true;
}

bool domain_reader::controllers(const boost::json::value& value) {
  const boost::json::object* object =
      m_reader.object(value, ": json value is not 'controllers' object", "Expected controllers info");
  if (!object) return false;
  ::controllers& target = m_domain.controllers;
  for (const auto& member : *object) {
    std::vector<std::string>* models = nullptr;
    if (member.key() == "ide")
      models = &target.ide;
    else if (member.key() == "pci")
      models = &target.pci;
    else if (member.key() == "usb")
      models = &target.usb;
    else if (member.key() == "sata")
      models = &target.sata;
    else if (member.key() == "scsi")
      models = &target.scsi;
    if (models && curlAPI::get_controllers_info(member.value(), *models) != 0) return false;
  }
  return true;
}

bool domain_reader::vm_interface_object(const boost::json::object& object, vm_interface& target) {
  for (const auto& member : object) {
    if (kv_veil::assign_field(k_interface_fields, member.key(), member.value(), target)) continue;
    if (member.key() == "vnetwork_info") {
      if (!fields_object(member.value(), ": json value is not vnetwork_info object", "Expected VM network info",
                         [&](const boost::json::object& info) { kv_veil::assign_fields(k_vnetwork_fields, info, target); }))
        return false;
    } else if (member.key() == "qos") {
      const boost::json::object* qos = m_reader.object(member.value(), ": json value is not 'qos' object", "Expected QoS info");
      if (!qos) return false;
      for (const auto& direction : *qos) {
        if (direction.key() == "inbound" && curlAPI::get_interface_gos_attrs(direction.value(), target.qos.inbound) != 0)
          return false;
        if (direction.key() == "outbound" &&
            curlAPI::get_interface_gos_attrs(direction.value(), target.qos.outbound) != 0)
          return false;
      }
    }
  }
  return true;
}

}  // namespace

int curlAPI::get_domain_config(const std::string& id, domain_conf& domain) {
  try {
    std::string reply;
    if (process_curl_api_request(conf.url + "/api/domains/" + id + "/all-content/", GET, reply, "", nullptr) != 0)
      return 2;
    if (reply_failed(k_sig, reply)) return 2;
    return read_domain_config(reply, domain);
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(k_sig);
  }
  return 6;
}

int curlAPI::read_domain_config(const std::string& reply, domain_conf& domain) {
  try {
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 6;
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      KvLogStream(KvLogLvl::Error) << k_sig << ": domain object is empty" << std::endl;
      return 6;
    }
    domain_reader reader(domain);
    for (const auto& member : object)
      if (!reader.member(member.key(), member.value())) return 6;
    return kv_veil::check_reply_id(k_sig, "VM id", domain.id) ? 0 : 6;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(k_sig);
  }
  return 6;
}

int curlAPI::get_controllers_info(const boost::json::value& value, std::vector<std::string>& models) {
  static constexpr std::string_view sig =
      "int curlAPI::get_controllers_info(const boost::json::value&, std::vector<std::__cxx11::basic_string<char> >&)";
  if (!value.is_array()) {
    KvLogStream(KvLogLvl::Error) << sig << ": json is not an array of controllers" << std::endl;
    return 6;
  }
  for (const boost::json::value& element : value.get_array()) {
    if (!element.is_object()) {
      KvLogStream(KvLogLvl::Error) << sig << ": json value is not a 'controllers' object" << std::endl;
      return 6;
    }
    if (element.get_object().empty()) continue;
    std::string model;
    for (const auto& member : element.get_object())
      if (member.key() == "model") model = kv_veil::string_value(member.value());
    models.push_back(std::move(model));
  }
  return 0;
}

int curlAPI::get_interface_gos_attrs(const boost::json::value& value, vm_interface_qos_attrs& attrs) {
  static constexpr std::string_view sig =
      "int curlAPI::get_interface_gos_attrs(const boost::json::value&, vm_interface_qos_attrs&)";
  const kv_veil::reply_reader reader(sig);
  const boost::json::object* object =
      reader.object(value, ": json value is not QoS attributes object", "Expected QoS attributes info");
  if (!object) return 6;
  kv_veil::assign_fields(k_qos_fields, *object, attrs);
  return 0;
}
