#pragma once

// A VeiL virtual machine's configuration as the controller reports it, saved with a backup and
// read back to recreate the VM. Member order is the order of the saved file; every value is
// held as text in the form its reader gives (veil/json_values.h).

#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/vector.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// "parent", "node", "resource_pool", and the "domain" of a vdisk.
struct name_domain {
  std::string id;            // string value
  std::string verbose_name;  // string value
  uint32_t version = 0;      // class version of the last archive operation; read by nobody

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & verbose_name;
    version = class_version;
  }
  friend bool operator==(const name_domain&, const name_domain&) = default;
};

// One element of "owners".
struct name_owner {
  std::string id;        // string value
  std::string username;  // string value
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & username;
    version = class_version;
  }
  friend bool operator==(const name_owner&, const name_owner&) = default;
};

// os_defaults.controllers of the VM's operating system.
struct os_defaults_controllers {
  std::string vdisk_target_bus;        // string value of vdisk.target_bus
  std::string vmachineinf_nic_driver;  // string value of vmachineinf.nic_driver
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & vdisk_target_bus & vmachineinf_nic_driver;
    version = class_version;
  }
  friend bool operator==(const os_defaults_controllers&, const os_defaults_controllers&) = default;
};

// One element of "remote_access_white_list".
struct ip_with_comment {
  std::string ip_addr;  // string value
  std::string comment;  // string value
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & ip_addr & comment;
    version = class_version;
  }
  friend bool operator==(const ip_with_comment&, const ip_with_comment&) = default;
};

struct watchdog {
  std::string enabled;  // JSON text
  std::string model;    // quote-stripped text; empty when the VM has no watchdog model
  std::string action;   // quote-stripped text
  uint32_t version = 0;

  template <class Visit>
  void for_each_json_text(Visit&& visit) const {
    visit("enabled", enabled);
  }

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & enabled & model & action;
    version = class_version;
  }
  friend bool operator==(const watchdog&, const watchdog&) = default;
};

// The "model" of every controller object, per controller kind, in reply order.
struct controllers {
  std::vector<std::string> ide;
  std::vector<std::string> pci;
  std::vector<std::string> usb;
  std::vector<std::string> sata;
  std::vector<std::string> scsi;
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & ide & pci & usb & sata & scsi;
    version = class_version;
  }
  friend bool operator==(const controllers&, const controllers&) = default;
};

// One element of "tags".
struct tag_object {
  std::string colour;        // string value
  std::string verbose_name;  // string value
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & colour & verbose_name;
    version = class_version;
  }
  friend bool operator==(const tag_object&, const tag_object&) = default;
};

// One QoS direction of an interface.
struct vm_interface_qos_attrs {
  std::string average;  // JSON text
  std::string peak;     // JSON text
  std::string burst;    // JSON text
  uint32_t version = 0;

  template <class Visit>
  void for_each_json_text(Visit&& visit) const {
    visit("average", average);
    visit("peak", peak);
    visit("burst", burst);
  }

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & average & peak & burst;
    version = class_version;
  }
  friend bool operator==(const vm_interface_qos_attrs&, const vm_interface_qos_attrs&) = default;
};

struct vm_interface_qos {
  vm_interface_qos_attrs inbound;
  vm_interface_qos_attrs outbound;
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & inbound & outbound;
    version = class_version;
  }
  friend bool operator==(const vm_interface_qos&, const vm_interface_qos&) = default;
};

// One element of "vmachine_infs"; all texts are string values.
struct vm_interface {
  std::string id;
  std::string name;
  std::string mac_address;
  std::string nic_driver;
  std::string vnetwork_id;            // vnetwork_info.id
  std::string vnetwork_verbose_name;  // vnetwork_info.verbose_name
  std::string vnetwork_entity_type;   // vnetwork_info.entity_type
  std::string link_state;
  vm_interface_qos qos;
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & name & mac_address & nic_driver & vnetwork_id & vnetwork_verbose_name & vnetwork_entity_type &
        link_state & qos;
    version = class_version;
  }
  friend bool operator==(const vm_interface&, const vm_interface&) = default;
};

// One element of "boot_devices".
struct boot_device {
  std::string id;           // string value
  std::string entity_type;  // string value, such as "vdisk" or "cdrom"
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & entity_type;
    version = class_version;
  }
  friend bool operator==(const boot_device&, const boot_device&) = default;
};

// The reply of GET /api/domains/<id>/all-content/. Members from the nested objects guest_utils,
// cpu_topology, os_defaults, video and sound are flat members here.
struct domain_conf {
  std::string id;                                            // quote-stripped
  std::string verbose_name;                                  // quote-stripped
  std::string description;                                   // quote-stripped
  std::string qemu_state;                                    // guest_utils.qemu_state, JSON text
  std::string start_on_boot;                                 // JSON text
  std::string status;                                        // quote-stripped
  std::string user_power_state;                              // JSON text
  std::map<std::string, std::vector<std::string>> cpu_map;  // node -> its CPUs, quote-stripped
  std::string cpu_mode;                                      // string value
  std::string cpu_cores;                                     // JSON text
  std::string cpu_count;                                     // JSON text
  std::string cpu_model;                                     // string value
  std::string cpu_shares;                                    // JSON text
  std::string cpu_sockets;                                   // JSON text
  std::string cpu_threads;                                   // JSON text
  std::string cpu_priority;                                  // JSON text
  std::string cpu_count_max;                                 // JSON text
  std::string cpu_min_guarantee;                             // JSON text
  std::vector<std::string> cpu_features_required;            // quote-stripped each
  std::string cpu_type;                                      // quote-stripped
  std::string tpm_device;                                    // JSON text
  std::string memory_count;                                  // JSON text
  std::string memory_min_guarantee;                          // JSON text
  std::string memory_shares;                                 // JSON text
  std::string memory_limit;                                  // JSON text
  std::string applied_snapshot;                              // quote-stripped
  std::string template_;                                     // "template", JSON text
  name_domain parent;
  std::string thin;  // JSON text
  std::vector<name_owner> owners;
  std::string os_type;     // quote-stripped
  std::string os_version;  // quote-stripped
  os_defaults_controllers os_defaults;
  std::string os_default_video_type;        // os_defaults.video.type, string value
  std::string os_default_sound_model;       // os_defaults.sound.model, string value
  std::string os_default_sound_codec;       // os_defaults.sound.codec, string value
  std::string os_default_os_version_name;   // key of the last member of os_defaults.os_version
  std::string os_default_os_version_value;  // its string value
  name_domain node;
  name_domain resource_pool;
  std::string cluster;                  // quote-stripped
  std::string cloud_init;               // JSON text
  std::string ha_enabled;               // JSON text
  std::string ha_autoselect;            // JSON text
  std::vector<std::string> ha_nodepolicy;  // quote-stripped each
  std::string ha_boot_order;            // JSON text
  std::string ha_retrycount;            // JSON text
  std::string ha_timeout;               // JSON text
  std::string ha_options_cluster_sync;  // JSON text
  std::string ha_boot_delay;            // JSON text
  std::string ha_boot_agent;            // JSON text
  std::string graphics_password;        // quote-stripped; never logged
  std::string remote_access_allow_all;  // JSON text
  std::string remote_access;            // JSON text
  std::vector<ip_with_comment> remote_access_white_list;
  std::string video_type;     // video.type, string value
  std::string video_vram;     // video.vram, JSON text
  std::string video_heads;    // video.heads, JSON text
  std::string sound_codec;    // sound.codec, string value
  std::string sound_model;    // sound.model, string value
  std::string sound_enabled;  // sound.enabled, JSON text
  std::string machine;        // quote-stripped
  std::string clean_count;    // JSON text
  std::string clean_type;     // quote-stripped
  std::string safety;         // JSON text
  std::string disastery_enabled;  // JSON text
  std::string bootmenu;           // JSON text
  std::string bootmenu_timeout;   // JSON text
  std::string boot_type;          // quote-stripped
  ::watchdog watchdog;
  ::controllers controllers;
  std::vector<tag_object> tags;
  std::vector<vm_interface> vmachine_infs;
  std::vector<boot_device> boot_devices;
  std::vector<std::string> available_vdisks;  // ids added by curlAPI::get_available_vdisks
  uint32_t version = 0;                       // class version of the last archive operation

  // Calls visit(name, text) for every member kept as JSON text that the creation request pastes
  // in as it is, named by its key and the keys of the objects it sits in: the members a saved file
  // has to hold one sound JSON value in (kv_veil::is_json_text). The others (qemu_state,
  // user_power_state, ha_options_cluster_sync, and video or sound members of a VM without video
  // or sound) go into no request and load whatever they hold.
  template <class Visit>
  void for_each_json_text(Visit&& visit) const {
    for (const auto& [name, text] :
         {std::pair<const char*, const std::string&>{"start_on_boot", start_on_boot}, {"cpu_cores", cpu_cores},
          {"cpu_count", cpu_count}, {"cpu_shares", cpu_shares}, {"cpu_sockets", cpu_sockets},
          {"cpu_threads", cpu_threads}, {"cpu_priority", cpu_priority}, {"cpu_count_max", cpu_count_max},
          {"cpu_min_guarantee", cpu_min_guarantee}, {"tpm_device", tpm_device}, {"memory_count", memory_count},
          {"memory_min_guarantee", memory_min_guarantee}, {"memory_shares", memory_shares},
          {"memory_limit", memory_limit}, {"template", template_}, {"thin", thin}, {"cloud_init", cloud_init},
          {"ha_enabled", ha_enabled}, {"ha_autoselect", ha_autoselect}, {"ha_boot_order", ha_boot_order},
          {"ha_retrycount", ha_retrycount}, {"ha_timeout", ha_timeout}, {"ha_boot_delay", ha_boot_delay},
          {"ha_boot_agent", ha_boot_agent}, {"remote_access_allow_all", remote_access_allow_all},
          {"remote_access", remote_access}, {"clean_count", clean_count}, {"safety", safety},
          {"disastery_enabled", disastery_enabled}, {"bootmenu", bootmenu}, {"bootmenu_timeout", bootmenu_timeout}})
      visit(std::string(name), text);
    if (!video_type.empty()) {
      visit("video.vram", video_vram);
      visit("video.heads", video_heads);
    }
    if (!sound_codec.empty()) visit("sound.enabled", sound_enabled);
    watchdog.for_each_json_text([&](const char* name, const std::string& text) {
      visit("watchdog." + std::string(name), text);
    });
    for (size_t i = 0; i < vmachine_infs.size(); ++i) {
      const std::string qos = "vmachine_infs[" + std::to_string(i) + "].qos.";
      vmachine_infs[i].qos.inbound.for_each_json_text(
          [&](const char* name, const std::string& text) { visit(qos + "inbound." + name, text); });
      vmachine_infs[i].qos.outbound.for_each_json_text(
          [&](const char* name, const std::string& text) { visit(qos + "outbound." + name, text); });
    }
  }

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & verbose_name & description & qemu_state & start_on_boot & status & user_power_state & cpu_map &
        cpu_mode & cpu_cores & cpu_count & cpu_model & cpu_shares & cpu_sockets & cpu_threads & cpu_priority &
        cpu_count_max & cpu_min_guarantee & cpu_features_required & cpu_type & tpm_device & memory_count &
        memory_min_guarantee & memory_shares & memory_limit & applied_snapshot & template_ & parent & thin &
        owners & os_type & os_version & os_defaults & os_default_video_type & os_default_sound_model &
        os_default_sound_codec & os_default_os_version_name & os_default_os_version_value & node &
        resource_pool & cluster & cloud_init & ha_enabled & ha_autoselect & ha_nodepolicy & ha_boot_order &
        ha_retrycount & ha_timeout & ha_options_cluster_sync & ha_boot_delay & ha_boot_agent &
        graphics_password & remote_access_allow_all & remote_access & remote_access_white_list & video_type &
        video_vram & video_heads & sound_codec & sound_model & sound_enabled & machine & clean_count &
        clean_type & safety & disastery_enabled & bootmenu & bootmenu_timeout & boot_type & watchdog &
        controllers & tags & vmachine_infs & boot_devices & available_vdisks;
    version = class_version;
  }
  friend bool operator==(const domain_conf&, const domain_conf&) = default;
};
