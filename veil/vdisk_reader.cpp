#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "veil/reply_ids.h"
#include "veil/reply_reader.h"


#include <charconv>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace {

using kv_veil::text_field;
constexpr auto k_stripped = kv_veil::value_form::quote_stripped;
constexpr auto k_json = kv_veil::value_form::json_text;
constexpr auto k_string = kv_veil::value_form::string_value;

constexpr std::string_view k_sig = "int curlAPI::get_vdisk_info(const string&, vdisk&)";

const text_field<vdisk> k_top_fields[] = {
    {"id", &vdisk::id, k_stripped},
    {"verbose_name", &vdisk::verbose_name, k_stripped},
    {"description", &vdisk::description, k_stripped},
    {"locked_by", &vdisk::locked_by, k_stripped},
    {"entity_type", &vdisk::entity_type, k_stripped},
    {"status", &vdisk::status, k_stripped},
    {"readonly", &vdisk::readonly, k_json},
    {"virtual_size", &vdisk::virtual_size, k_json},
    {"disk_type", &vdisk::disk_type, k_stripped},
    {"device", &vdisk::device, k_stripped},
    {"io", &vdisk::io, k_stripped},
    {"driver_type", &vdisk::driver_type, k_stripped},
    {"driver_cache", &vdisk::driver_cache, k_stripped},
    {"source", &vdisk::source, k_stripped},
    {"shareable", &vdisk::shareable, k_json},
    {"ssd", &vdisk::ssd, k_json},
    {"target_bus", &vdisk::target_bus, k_stripped},
    {"actual_source", &vdisk::actual_source, k_stripped},
    {"target_dev", &vdisk::target_dev, k_stripped},
    {"consolidated", &vdisk::consolidated, k_json},
    {"hints", &vdisk::hints, k_json},
};

const text_field<data_pool> k_datapool_fields[] = {
    {"id", &data_pool::id, k_string},
    {"verbose_name", &data_pool::verbose_name, k_string},
    {"type", &data_pool::type, k_string},
};

const text_field<name_domain> k_domain_fields[] = {
    {"id", &name_domain::id, k_string},
    {"verbose_name", &name_domain::verbose_name, k_string},
};

const text_field<name_owner> k_owner_fields[] = {
    {"id", &name_owner::id, k_string},
    {"username", &name_owner::username, k_string},
};

const text_field<::io_tune> k_io_tune_fields[] = {
    {"total_bytes_sec", &::io_tune::total_bytes_sec, k_json},
    {"read_bytes_sec", &::io_tune::read_bytes_sec, k_json},
    {"write_bytes_sec", &::io_tune::write_bytes_sec, k_json},
    {"total_iops_sec", &::io_tune::total_iops_sec, k_json},
    {"read_iops_sec", &::io_tune::read_iops_sec, k_json},
    {"write_iops_sec", &::io_tune::write_iops_sec, k_json},
    {"total_bytes_sec_max", &::io_tune::total_bytes_sec_max, k_json},
    {"read_bytes_sec_max", &::io_tune::read_bytes_sec_max, k_json},
    {"write_bytes_sec_max", &::io_tune::write_bytes_sec_max, k_json},
    {"total_iops_sec_max", &::io_tune::total_iops_sec_max, k_json},
    {"read_iops_sec_max", &::io_tune::read_iops_sec_max, k_json},
    {"write_iops_sec_max", &::io_tune::write_iops_sec_max, k_json},
    {"size_iops_sec", &::io_tune::size_iops_sec, k_json},
    {"total_bytes_sec_max_length", &::io_tune::total_bytes_sec_max_length, k_json},
    {"read_bytes_sec_max_length", &::io_tune::read_bytes_sec_max_length, k_json},
    {"write_bytes_sec_max_length", &::io_tune::write_bytes_sec_max_length, k_json},
    {"total_iops_sec_max_length", &::io_tune::total_iops_sec_max_length, k_json},
    {"read_iops_sec_max_length", &::io_tune::read_iops_sec_max_length, k_json},
    {"write_iops_sec_max_length", &::io_tune::write_iops_sec_max_length, k_json},
};

const text_field<snapshot> k_snapshot_fields[] = {
    {"id", &snapshot::id, k_string},
    {"source", &snapshot::source, k_string},
    {"vdisk", &snapshot::vdisk, k_string},
    {"serial", &snapshot::serial, k_string},
};

// Reads one member of the reply; false after an error line.
bool read_member(const kv_veil::reply_reader& reader, std::string_view key, const boost::json::value& value,
                 vdisk& disk) {
  if (kv_veil::assign_field(k_top_fields, key, value, disk)) return true;
  if (key == "datapool") {
    const boost::json::object* pool = reader.object(value, ": json value is not datapool object", "Expected datapool info");
    if (!pool) return false;
    kv_veil::assign_fields(k_datapool_fields, *pool, disk.datapool);
  } else if (key == "size") {
    disk.size = size_text_rounded_up(value);
  } else if (key == "domain") {
    // A disk that belongs to no VM reports null or an empty object.
    if (value.is_object()) kv_veil::assign_fields(k_domain_fields, value.get_object(), disk.domain);
  } else if (key == "owners") {
    return reader.object_list(value, ": json is not an array of owners", ": json value is not name_owner object",
                              "Expected owner info", disk.owners,
                              [](const boost::json::object& object, name_owner& owner) {
                                kv_veil::assign_fields(k_owner_fields, object, owner);
                                return true;
                              });
  } else if (key == "io_tune") {
    if (!value.is_object()) {
      reader.error(": json value is not io_tune object");
      return false;
    }
    kv_veil::assign_fields(k_io_tune_fields, value.get_object(), disk.io_tune);
  } else if (key == "snapshots") {
    return reader.object_list(value, ": json is not an array of snapshots", ": json value is not a snapshot object",
                              "Expected snapshot info", disk.snapshots,
                              [](const boost::json::object& object, snapshot& target) {
                                kv_veil::assign_fields(k_snapshot_fields, object, target);
                                return true;
                              });
  }
  return true;
}

// Adds one unit in the last place of a decimal digit string ("7" + "3" -> "74", "99" -> "100").
std::string increment_digits(std::string digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return digits;
    }
    *it = '0';
  }
  return '1' + digits;
}

}  // namespace

int curlAPI::get_vdisk_info(const std::string& id, vdisk& disk) {
  try {
    std::string reply;
    if (process_curl_api_request(conf.url + "/api/vdisks/" + id + "/", GET, reply, "", nullptr) != 0) return 2;
    if (reply_failed(k_sig, reply)) return 2;
    return read_vdisk_info(reply, disk);
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(k_sig);
  }
  return 6;
}

int curlAPI::read_vdisk_info(const std::string& reply, vdisk& disk) {
  try {
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 6;
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      KvLogStream(KvLogLvl::Error) << k_sig << ": vdisk object is empty" << std::endl;
      return 6;
    }
    const kv_veil::reply_reader reader(k_sig);
    for (const auto& member : object)
      if (!read_member(reader, member.key(), member.value(), disk)) return 6;
    // The disk's id names its saved file and goes into URLs. The ids of its VM and datapool go
    // only into request bodies, quoted there.
    return kv_veil::check_reply_id(k_sig, "vdisk id", disk.id) ? 0 : 6;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(k_sig);
  }
  return 6;
}

std::string to_string_with_precision(double value, int digits) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(digits) << value;
  return out.str();
}

std::string size_text_rounded_up(const boost::json::value& size) {
  if (size.is_int64()) return std::to_string(size.get_int64()) + ".0";
  if (size.is_uint64()) return std::to_string(size.get_uint64()) + ".0";
  const double value = size.as_double();  // throws "not a double" for any other kind

  // Rounded on the shortest decimal text that reads back as this double, which is what the
  // controller wrote: 7.3 stays 7.3 although the binary value lies a little below it.
  char buffer[512];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) throw std::invalid_argument("not a double");
  std::string text(buffer, end);
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.erase(0, 1);
  const size_t point = text.find('.');
  std::string whole = text.substr(0, point);
  std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
  std::string tenths = whole + (fraction.empty() ? '0' : fraction.front());
  const bool beyond = fraction.size() > 1 && fraction.find_first_not_of('0', 1) != std::string::npos;
  // Upwards means away from zero for a positive size and towards it for a negative one.
  if (beyond && !negative) tenths = increment_digits(tenths);
  const bool zero = tenths.find_first_not_of('0') == std::string::npos;
  return (negative && !zero ? "-" : "") + tenths.substr(0, tenths.size() - 1) + "." + tenths.back();
}
