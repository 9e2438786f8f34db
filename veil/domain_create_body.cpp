#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "veil/json_escape.h"

// The VM creation request is composed as text from the saved records, in the order and with
// the spacing the controller has always been sent. No value can break the body or add members
// to it: members kept as quote-stripped text go through json_quoted_stripped, which leaves the
// escapes they already hold as they are (a description's line break stays one), string values
// through json_quoted, and members that hold JSON text (numbers, true, false, null) through
// json_raw, which writes null for a key the saved configuration did not have.

namespace {

using kv_veil::json_quoted;
using kv_veil::json_quoted_stripped;
using kv_veil::json_raw;

constexpr std::string_view k_create_domain_sig = "int curlAPI::create_domain(const vdisk&, domain_conf&, std::string&)";

// The elements joined by ", ", each written by `write`.
template <class Container, class Write>
std::string joined(const Container& items, Write write) {
  std::string text;
  for (const auto& item : items) {
    if (!text.empty()) text += ", ";
    text += write(item);
  }
  return text;
}

std::string stripped_list(const std::vector<std::string>& items) {
  return "[" + joined(items, [](const std::string& item) { return json_quoted_stripped(item); }) + "]";
}

std::string qos_direction(const vm_interface_qos_attrs& attrs) {
  return "{\"peak\": " + json_raw(attrs.peak) + ", \"burst\": " + json_raw(attrs.burst) +
         ", \"average\": " + json_raw(attrs.average) + "}";
}

std::string interface_text(const vm_interface& inf) {
  return "{\"vnetwork\": " + json_quoted(inf.vnetwork_id) + ", \"nic_driver\": " + json_quoted(inf.nic_driver) +
         ", \"link_state\": " + json_quoted(inf.link_state) + ", \"qos\": {\"inbound\": " +
         qos_direction(inf.qos.inbound) + ", \"outbound\": " + qos_direction(inf.qos.outbound) + "}}";
}

// The controller expects an IDE and a SATA bus even when the VM has no device on them.
std::string controller_list(const std::vector<std::string>& models, bool empty_as_one_default) {
  if (models.empty() && empty_as_one_default) return "[{}]";
  std::string text;
  curlAPI::fill_controllers_info(models, text);
  return text;
}

std::string memory_members(const domain_conf& d) {
  return "\"memory_count\": " + json_raw(d.memory_count) +
         ", \"memory_min_guarantee\": " + json_raw(d.memory_min_guarantee) +
         ", \"memory_shares\": " + json_raw(d.memory_shares) + ", \"memory_limit\": " + json_raw(d.memory_limit);
}

std::string cpu_topology(const domain_conf& d) {
  // std::map keeps the node keys in ascending order, whatever order the controller reported.
  const std::string cpu_map = joined(d.cpu_map, [](const auto& node) {
    return json_quoted(node.first) + ": " + stripped_list(node.second);
  });
  std::string text = "\"cpu_topology\": [{\"cpu_count\": " + json_raw(d.cpu_count) +
                     ", \"cpu_count_max\": " + json_raw(d.cpu_count_max) + "}, {\"cpu_sockets\": " +
                     json_raw(d.cpu_sockets) + ", \"cpu_cores\": " + json_raw(d.cpu_cores) +
                     ", \"cpu_threads\": " + json_raw(d.cpu_threads) + "}, {" + memory_members(d) +
                     "}, {\"cpu_map\": {" + cpu_map + "}}, {\"cpu_mode\": " + json_quoted(d.cpu_mode);
  if (d.cpu_mode != "default" && d.cpu_model != "default") text += ", \"cpu_model\": " + json_quoted(d.cpu_model);
  text += "}, {\"cpu_priority\": " + json_raw(d.cpu_priority) + ", \"cpu_shares\": " + json_raw(d.cpu_shares) +
          ", \"cpu_min_guarantee\": " + json_raw(d.cpu_min_guarantee) +
          ", \"cpu_features_required\": " + stripped_list(d.cpu_features_required) + "}], ";
  return text;
}

}  // namespace

void curlAPI::fill_controllers_info(const std::vector<std::string>& models, std::string& text) {
  text = "[" + joined(models, [](const std::string& model) { return "{\"model\": " + json_quoted(model) + "}"; }) +
         "]";
}

std::string curlAPI::create_domain_body(const vdisk& boot_disk, const domain_conf& d,
                                        const std::string& idempotency_key) {
  const bool has_boot_disk = !boot_disk.id.empty();
  std::string body = "{\"idempotency_key\": " + json_quoted(idempotency_key) +
                     ", \"graphics_password\": " + json_quoted_stripped(d.graphics_password) +
                     ", \"safety\": " + json_raw(d.safety) + ", \"start_on_boot\": " + json_raw(d.start_on_boot) +
                     ", \"clean_type\": " + json_quoted_stripped(d.clean_type) +
                     ", \"clean_count\": " + json_raw(d.clean_count) +
                     ", \"verbose_name\": " + json_quoted_stripped(d.verbose_name) +
                     ", \"description\": " + json_quoted_stripped(d.description) +
                     ", \"node\": " + json_quoted(d.node.id) +
                     ", \"resource_pool\": " + json_quoted(d.resource_pool.id) + ", " + memory_members(d) + ", ";

  if (!d.video_type.empty())
    body += "\"video\": {\"type\": " + json_quoted(d.video_type) + ", \"vram\": " + json_raw(d.video_vram) +
            ", \"heads\": " + json_raw(d.video_heads) + "}, ";
  if (!d.sound_codec.empty())
    body += "\"sound\": {\"codec\": " + json_quoted(d.sound_codec) + ", \"model\": " + json_quoted(d.sound_model) +
            ", \"enabled\": " + json_raw(d.sound_enabled) + "}, ";

  body += "\"watchdog\": {\"enabled\": " + json_raw(d.watchdog.enabled);
  if (!d.watchdog.model.empty())
    body += ", \"model\": " + json_quoted_stripped(d.watchdog.model) +
            ", \"action\": " + json_quoted_stripped(d.watchdog.action);
  body += "}, ";

  body += "\"boot_type\": " + json_quoted_stripped(d.boot_type) + ", \"os_type\": " + json_quoted_stripped(d.os_type) +
          ", \"os_version\": " + json_quoted_stripped(d.os_version) + ", \"vdisks\": [";
  if (has_boot_disk)
    body += "{\"target_bus\": " + json_quoted_stripped(boot_disk.target_bus) +
            ", \"driver_cache\": " + json_quoted_stripped(boot_disk.driver_cache) +
            ", \"io\": " + json_quoted_stripped(boot_disk.io) +
            ", \"vdisk\": " + json_quoted_stripped(boot_disk.id) +
            ", \"shareable\": " + json_raw(boot_disk.shareable) + "}";
  body += "], \"usb_devices\": [], \"pci_devices\": [], \"mdev_devices\": [], ";

  if (!d.vmachine_infs.empty()) body += "\"vmachine_infs\": [" + joined(d.vmachine_infs, interface_text) + "], ";

  const ::controllers& c = d.controllers;
  body += "\"controllers\": {\"ide\": " + controller_list(c.ide, true) + ", \"pci\": " + controller_list(c.pci, false) +
          ", \"usb\": " + controller_list(c.usb, false) + ", \"sata\": " + controller_list(c.sata, true) +
          ", \"scsi\": " + controller_list(c.scsi, false) + "}, ";

  body += "\"boot\": {\"bootmenu\": " + json_raw(d.bootmenu) + ", \"bootmenu_timeout\": " +
          json_raw(d.bootmenu_timeout) + ", \"boot_type\": " + json_quoted_stripped(d.boot_type) + ", \"devices\": [" +
          (has_boot_disk ? json_quoted_stripped(boot_disk.id) : std::string()) + "]}, ";

  body += cpu_topology(d);

  body += "\"machine\": " + json_quoted_stripped(d.machine) +
          ", \"ha_options\": {\"ha_enabled\": " + json_raw(d.ha_enabled) +
          ", \"ha_autoselect\": " + json_raw(d.ha_autoselect) + ", \"ha_nodepolicy\": " +
          stripped_list(d.ha_nodepolicy) + ", \"ha_retrycount\": " + json_raw(d.ha_retrycount) +
          ", \"ha_timeout\": " + json_raw(d.ha_timeout) + ", \"ha_boot_order\": " + json_raw(d.ha_boot_order) +
          ", \"ha_boot_delay\": " + json_raw(d.ha_boot_delay) + ", \"ha_boot_agent\": " + json_raw(d.ha_boot_agent) +
          "}, ";

  const std::string white_list = joined(d.remote_access_white_list, [](const ip_with_comment& entry) {
    return "{\"ip_addr\": " + json_quoted(entry.ip_addr) + ", \"comment\": " + json_quoted(entry.comment) + "}";
  });
  body += "\"disastery_options\": {\"disastery_enabled\": " + json_raw(d.disastery_enabled) +
          "}, \"remote_access\": " + json_raw(d.remote_access) +
          ", \"remote_access_white_list\": {\"remote_access_allow_all\": " + json_raw(d.remote_access_allow_all) +
          ", \"remote_access_white_list\": [" + white_list + "]}, ";

  if (has_boot_disk) body += "\"datapool\": " + json_quoted(boot_disk.datapool.id) + ", ";

  const std::string tags = joined(d.tags, [](const tag_object& tag) {
    return "{\"colour\": " + json_quoted(tag.colour) + ", \"verbose_name\": " + json_quoted(tag.verbose_name) + "}";
  });
  const std::string owners = joined(d.owners, [](const name_owner& owner) {
    return "{\"id\": " + json_quoted(owner.id) + ", \"username\": " + json_quoted(owner.username) + "}";
  });
  body += "\"thin\": " + json_raw(d.thin) + ", \"template\": " + json_raw(d.template_) + ", \"tags\": [" + tags +
          "], \"owners\": [" + owners + "], \"cloud_init\": " + json_raw(d.cloud_init) +
          ", \"tpm_device\": " + json_raw(d.tpm_device) + "}";
  return body;
}

int curlAPI::create_domain(const vdisk& boot_disk, domain_conf& domain, std::string& task_id) {
  std::string key;
  if (generate_uuid_v4(key) != 0) return 7;
  const std::string body = create_domain_body(boot_disk, domain, key);
  std::string reply;
  if (post_change("/api/domains/multi-create-domain/?async=1", body, reply) != 0) return 2;
  std::string entity;
  std::string task;
  if (get_entity_and_task_id(reply, entity, task) != 0) {
    log_refused_body(k_create_domain_sig, body);
    return 7;
  }
  domain.id = std::move(entity);
  task_id = std::move(task);
  return 0;
}
