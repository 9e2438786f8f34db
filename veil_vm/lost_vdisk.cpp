#include "veil_vm/lost_vdisk.h"

#include "common/kv_logger.h"
#include "veil/json_escape.h"
#include "veil/json_values.h"
#include "veil/reply_ids.h"
#include "veil/stop_points.h"

#include <boost/json/parse.hpp>

#include <algorithm>
#include <exception>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view k_sig = "std::string find_lost_vdisk(curlAPI&, const vdisk&)";

// Members of the creation request that say how the disk is to be allocated; its record does not
// show them.
constexpr std::string_view k_unrecorded[] = {"preallocation", "preallocation_type"};

// One disk of the requested name, as the list shows it.
struct same_named {
  std::string id;
  std::string name;
};

// A number is the same however the controller writes it (10 or 10.0); other values are compared
// as they are.
bool same_value(const boost::json::value& sent, const boost::json::value& held) {
  if (sent.is_number() && held.is_number()) return sent.to_number<double>() == held.to_number<double>();
  return sent == held;
}

// The first member of the request whose value the disk's record does not hold; empty when it
// holds them all. A member the record lacks differs.
std::string differing_member(const boost::json::object& sent, const boost::json::object& record) {
  for (const auto& member : sent) {
    const std::string_view key = member.key();
    if (std::find(std::begin(k_unrecorded), std::end(k_unrecorded), key) != std::end(k_unrecorded)) continue;
    const boost::json::value* held = record.if_contains(key);
    // The request names the datapool by its id, the record holds the datapool's object.
    if (held && key == "datapool") held = held->is_object() ? held->get_object().if_contains("id") : nullptr;
    if (!held || !same_value(member.value(), *held)) return std::string(key);
  }
  return {};
}

// The record names the VM a disk belongs to in "domain": null, or an empty object, when there is
// none. A record without the member tells nothing.
bool attached_to_no_vm(const boost::json::object& record) {
  const boost::json::value* domain = record.if_contains("domain");
  return domain && (domain->is_null() || (domain->is_object() && domain->get_object().empty()));
}

// Why the one disk of the name, read afresh, is not surely the request's; empty when it is.
std::string doubt_about(curlAPI& api, const same_named& disk, const boost::json::object& sent) {
  std::string doubt = "its record could not be read";
  if (disk.id.empty()) return doubt;
  (void)api.read_all_pages(k_sig, "/api/vdisks/" + disk.id + "/", [&](const boost::json::object& record) {
    const boost::json::value* id = record.if_contains("id");
    if (!id || !id->is_string() || id->get_string() != disk.id) return 6;
    if (const std::string member = differing_member(sent, record); !member.empty())
      doubt = "it differs from the request in " + kv_veil::json_quoted(member);
    else if (!attached_to_no_vm(record))
      doubt = "it is attached to a VM";
    else
      doubt.clear();
    return 0;
  });
  return doubt;
}

void leave_to_operator(const std::string& name, const std::string& doubt, const std::vector<same_named>& disks) {
  KvLogStream line(KvLogLvl::Error);
  line << k_sig << ": the vdisk " << kv_veil::json_quoted(name)
       << " of a creation request whose reply was lost is not known for sure: " << doubt;
  for (size_t i = 0; i < disks.size(); ++i)
    line << (i == 0 ? "; left on the platform for the operator: " : ", ") << "vdisk '"
         << kv_veil::json_escape(disks[i].id) << "' named " << kv_veil::json_quoted(disks[i].name);
  line << std::endl;
}

}  // namespace

std::string find_lost_vdisk(curlAPI& api, const vdisk& requested, bool reply_lost) {
  const curlAPI::StopHold reads_through_a_stop(api);
  const auto started = std::chrono::steady_clock::now();
  // Past the stop's deadline the pages are read for one late grace in all, not one each.
  bool cut_short = false;
  const auto out_of_time = [&] {
    const std::optional<std::chrono::steady_clock::time_point> deadline = kv_veil::stop_deadline();
    cut_short = deadline && std::chrono::steady_clock::now() >= std::max(*deadline, started) + kv_veil::late_grace();
    return cut_short;
  };
  std::string name = requested.verbose_name;
  std::vector<same_named> disks;
  std::string doubt;
  try {
    // The values as the controller received them from the request's body, compared with the
    // values it holds: a name with a backslash or a quote reads back as the controller decoded it.
    const boost::json::object sent = boost::json::parse(curlAPI::create_vdisk_body(requested)).as_object();
    const boost::json::value& sent_name = sent.at("verbose_name");
    name = kv_veil::string_value(sent_name);
    const int listed = api.read_all_pages(k_sig, "/api/vdisks/", [&](const boost::json::object& page) {
      if (out_of_time()) return 2;
      const boost::json::value* results = page.if_contains("results");
      if (!results || !results->is_array()) return 2;
      for (const boost::json::value& row : results->get_array()) {
        const boost::json::object* disk = row.if_object();
        const boost::json::value* row_name = disk ? disk->if_contains("verbose_name") : nullptr;
        if (!row_name || *row_name != sent_name) continue;
        const boost::json::value* id = disk->if_contains("id");
        disks.push_back({id && id->is_string() ? std::string(id->get_string()) : std::string(), name});
      }
      return 0;
    });
    if (listed == 0 && disks.empty() && reply_lost) {
      // The request may still land after the look-up: its disk would be named nowhere else.
      KvLogStream(KvLogLvl::Error) << k_sig << ": the vdisk " << kv_veil::json_quoted(name)
                                   << " of a creation request whose reply was lost may still be made: the "
                                   << "controller may carry the request out later; a vdisk of that name left on the "
                                   << "platform is for the operator" << std::endl;
      return {};
    }
    if (listed == 0 && disks.empty()) {
      // The controller answered, so the request has landed: it made no disk.
      KvLogStream(KvLogLvl::Info) << "No vdisk named " << kv_veil::json_quoted(name)
                                  << " was made by the creation request whose reply was lost" << std::endl;
      return {};
    }
    // An id that cannot stand in a request's path (".." would aim the removal elsewhere) is not
    // used; its disk is the operator's.
    const bool unusable_id = std::any_of(disks.begin(), disks.end(), [](const same_named& disk) {
      return !kv_veil::check_reply_id(k_sig, "vdisk id", disk.id);
    });
    if (cut_short)
      doubt = "the stop of the program left no time to read the whole list of vdisks";
    else if (listed != 0)
      doubt = "the list of vdisks could not be read";
    else if (unusable_id)
      doubt = "the list names it by an unusable id";
    else if (disks.size() > 1)
      doubt = std::to_string(disks.size()) + " vdisks have that name";
    else
      doubt = doubt_about(api, disks.front(), sent);
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(k_sig);
    doubt = "the look-up failed";
  }
  if (!doubt.empty()) {
    leave_to_operator(name, doubt, disks);
    return {};
  }
  KvLogStream(KvLogLvl::Info) << "The vdisk '" << disks.front().id << "' named " << kv_veil::json_quoted(name)
                              << " was made by the creation request whose reply was lost" << std::endl;
  return disks.front().id;
}
