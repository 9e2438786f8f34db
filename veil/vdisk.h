#pragma once

// A VeiL virtual disk as the controller reports it under /api/vdisks/<id>/, saved with a backup
// and used to create the restored disk. Member order is the order of the saved file.

#include "veil/domain_conf.h"

#include <boost/json/value.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/vector.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// "datapool"; string values.
struct data_pool {
  std::string id;
  std::string verbose_name;
  std::string type;
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & verbose_name & type;
    version = class_version;
  }
  friend bool operator==(const data_pool&, const data_pool&) = default;
};

// "io_tune"; JSON text each, named after its key.
struct io_tune {
  std::string total_bytes_sec;
  std::string read_bytes_sec;
  std::string write_bytes_sec;
  std::string total_iops_sec;
  std::string read_iops_sec;
  std::string write_iops_sec;
  std::string total_bytes_sec_max;
  std::string read_bytes_sec_max;
  std::string write_bytes_sec_max;
  std::string total_iops_sec_max;
  std::string read_iops_sec_max;
  std::string write_iops_sec_max;
  std::string size_iops_sec;
  std::string total_bytes_sec_max_length;
  std::string read_bytes_sec_max_length;
  std::string write_bytes_sec_max_length;
  std::string total_iops_sec_max_length;
  std::string read_iops_sec_max_length;
  std::string write_iops_sec_max_length;
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & total_bytes_sec & read_bytes_sec & write_bytes_sec & total_iops_sec & read_iops_sec & write_iops_sec &
        total_bytes_sec_max & read_bytes_sec_max & write_bytes_sec_max & total_iops_sec_max & read_iops_sec_max &
        write_iops_sec_max & size_iops_sec & total_bytes_sec_max_length & read_bytes_sec_max_length &
        write_bytes_sec_max_length & total_iops_sec_max_length & read_iops_sec_max_length &
        write_iops_sec_max_length;
    version = class_version;
  }
  friend bool operator==(const io_tune&, const io_tune&) = default;
};

// One element of "snapshots"; string values.
struct snapshot {
  std::string id;
  std::string source;
  std::string vdisk;
  std::string serial;
  uint32_t version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & source & vdisk & serial;
    version = class_version;
  }
  friend bool operator==(const snapshot&, const snapshot&) = default;
};

struct vdisk {
  std::string id;            // quote-stripped
  std::string verbose_name;  // quote-stripped
  std::string description;   // quote-stripped
  std::string locked_by;     // quote-stripped
  std::string entity_type;   // quote-stripped
  std::string status;        // quote-stripped
  std::string readonly;      // JSON text
  std::string virtual_size;  // JSON text
  data_pool datapool;
  std::string size;  // one decimal, rounded up so a restored disk is never smaller: 7.34 -> 7.4
  name_domain domain;        // the VM the disk belongs to
  std::string disk_type;     // quote-stripped
  std::string device;        // quote-stripped
  std::string io;            // quote-stripped
  std::vector<name_owner> owners;
  std::string driver_type;   // quote-stripped
  std::string driver_cache;  // quote-stripped
  std::string source;        // quote-stripped
  ::io_tune io_tune;
  std::string shareable;      // JSON text
  std::string ssd;            // JSON text
  std::string target_bus;     // quote-stripped
  std::string actual_source;  // quote-stripped
  std::string target_dev;     // quote-stripped; the backup stores the module VM's device name here
  std::vector<snapshot> snapshots;
  std::string consolidated;  // JSON text
  std::string hints;         // JSON text
  bool is_boot = false;      // the VM's boot disk; set by the backup, not by the reader
  uint32_t version = 0;      // class version of the last archive operation

  // Calls visit(name, text) for the members that creation requests paste in as they are: the
  // sizes of a new disk, and whether the boot disk of a new VM is shareable. A saved file has to
  // hold one sound JSON value in them (kv_veil::is_json_text); the other members kept as JSON text
  // go into no request and load whatever they hold.
  template <class Visit>
  void for_each_json_text(Visit&& visit) const {
    visit(std::string("size"), size);
    visit(std::string("virtual_size"), virtual_size);
    visit(std::string("shareable"), shareable);
  }

  template <class Archive>
  void serialize(Archive& ar, const unsigned int class_version) {
    ar & id & verbose_name & description & locked_by & entity_type & status & readonly & virtual_size & datapool &
        size & domain & disk_type & device & io & owners & driver_type & driver_cache & source & io_tune &
        shareable & ssd & target_bus & actual_source & target_dev & snapshots & consolidated & hints & is_boot;
    version = class_version;
  }
  friend bool operator==(const vdisk&, const vdisk&) = default;
};

// The value in fixed notation with that many digits after the decimal point.
[[nodiscard]] std::string to_string_with_precision(double value, int digits);

// A disk size with one decimal, rounded up: 7.34 -> 7.4, 7.3 -> 7.3, 20 -> 20.0. Rounding to
// nearest could make a restored disk smaller than its image. Integers are accepted; any other
// kind of value throws std::invalid_argument("not a double").
[[nodiscard]] std::string size_text_rounded_up(const boost::json::value& size);
