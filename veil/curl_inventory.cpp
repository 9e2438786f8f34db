#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "common/log_text.h"
#include "veil/json_escape.h"
#include "veil/json_values.h"
#include "veil/reply_ids.h"

#include <boost/json/value_to.hpp>

#include <algorithm>
#include <set>

namespace {

// Far more pages than the lists of any installation fill: a controller whose every page names
// another one must not keep a listing going, its memory growing, for ever.
constexpr size_t k_max_list_pages = 1000;

constexpr std::string_view k_empty_object = ": json object is empty. ";
constexpr std::string_view k_empty_value = ": json object value is empty. ";

void log_error(std::string_view sig, std::string_view message) {
  KvLogStream(KvLogLvl::Error) << sig << message << std::endl;
}

// "scheme://authority" of a URL, or the whole text when it has no path.
std::string origin_of(const std::string& url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return url;
  const size_t path_start = url.find('/', scheme_end + 3);
  return path_start == std::string::npos ? url : url.substr(0, path_start);
}

// The address of the page a "next" link names. The link's own scheme and host are replaced by
// the configured ones, so the token and the TLS settings only ever go to the configured
// controller (which may know itself under another name). Empty when the link is unusable.
std::string next_page_url(const std::string& base_url, const std::string& link) {
  if (!link.empty() && link.front() == '/') return origin_of(base_url) + link;
  const size_t scheme_end = link.find("://");
  if (scheme_end == std::string::npos) return {};
  const size_t path_start = link.find('/', scheme_end + 3);
  return origin_of(base_url) + (path_start == std::string::npos ? std::string("/") : link.substr(path_start));
}

}  // namespace

int curlAPI::read_all_pages(std::string_view sig, const std::string& path,
                            const std::function<int(const boost::json::object&)>& read_page) {
  std::string url = conf.url + path;
  std::set<std::string> visited;
  for (;;) {
    if (visited.size() == k_max_list_pages) {
      KvLogStream(KvLogLvl::Error) << sig << ": the list goes on beyond " << k_max_list_pages << " pages" << std::endl;
      return 2;
    }
    if (!visited.insert(url).second) {
      KvLogStream(KvLogLvl::Error) << sig << ": the list names the page " << url << " twice"
                                   << std::endl;
      return 2;
    }
    std::string reply;
    if (process_curl_api_request(url, GET, reply, "", nullptr) != 0) return 2;
    if (reply_failed(sig, reply)) return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 2;
    const boost::json::object& page = value.get_object();
    if (const int result = read_page(page); result != 0) return result;

    const boost::json::value* next = page.if_contains("next");
    if (!next || !next->is_string() || next->get_string().empty()) return 0;
    const std::string link = kv_veil::string_value(*next);
    // A control character would end the URL's log line early, or be sent on as it is.
    url = kelvanor_common::has_control_characters(link) ? std::string() : next_page_url(conf.url, link);
    if (url.empty()) {
      KvLogStream(KvLogLvl::Error) << sig << ": unusable link to the next page: " << link
                                   << std::endl;
      return 2;
    }
  }
}

int curlAPI::get_domain_list(std::vector<veil_vm_info>& domains) {
  static constexpr std::string_view sig = "int curlAPI::get_domain_list(std::vector<veil_vm_info>&)";
  try {
    return read_all_pages(sig, "/api/domains/", [&](const boost::json::object& page) {
      if (page.empty()) {
        KvLogStream(KvLogLvl::Error) << sig << k_empty_value << "Expected domain list info" << std::endl;
        return 2;
      }
      const boost::json::value* results = page.if_contains("results");
      if (!results) return 0;
      if (!results->is_array()) {
        log_error(sig, ": json is not an array of domain objects");
        return 2;
      }
      if (results->get_array().empty()) {
        KvLogStream(KvLogLvl::Info) << sig << ": array of domain objects is empty" << std::endl;
        return 0;
      }
      for (const boost::json::value& element : results->get_array()) {
        if (!element.is_object()) {
          log_error(sig, ": json value is not a 'domain' object");
          return 2;
        }
        if (element.get_object().empty()) {
          KvLogStream(KvLogLvl::Error) << sig << k_empty_value << "Expected domain info" << std::endl;
          return 2;
        }
        veil_vm_info row;
        for (const auto& member : element.get_object()) {
          if (member.key() == "id")
            row.id = kv_veil::quotes_removed(member.value());
          else if (member.key() == "verbose_name")
            row.verbose_name = kv_veil::quotes_removed(member.value());
          else if (member.key() == "status")
            row.status = kv_veil::quotes_removed(member.value());
          else if (member.key() == "user_power_state")
            row.user_power_state = kv_veil::json_text(member.value());
        }
        // A row whose id could not go into a URL is kept: it fails only the run that works on
        // that VM (kv_veil::is_usable_id, where the list is used).
        domains.push_back(std::move(row));
      }
      return 0;
    });
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(sig);
  }
  return 2;
}

bool curlAPI::domain_id_exists(const std::vector<veil_vm_info>& domains, const std::string& id) {
  return std::any_of(domains.begin(), domains.end(), [&](const veil_vm_info& row) { return row.id == id; });
}

int curlAPI::get_available_vdisks(domain_conf& domain) {
  static constexpr std::string_view sig = "int curlAPI::get_available_vdisks(domain_conf&)";
  try {
    std::string reply;
    const std::string url = conf.url + "/api/domains/" + domain.id + "/snapshots-info/";
    if (process_curl_api_request(url, GET, reply, "", nullptr) != 0) return 2;
    if (reply_failed(sig, reply)) return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 6;
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      log_error(sig, ": domain snapshot object is empty");
      return 6;
    }
    // Only a reply that holds the list shows which disks the VM has: one without it shows no
    // disk gone.
    if (!object.contains("available_vdisks")) {
      log_error(sig, ": the reply holds no 'available_vdisks' list");
      return 6;
    }
    for (const auto& member : object) {
      if (member.key() != "available_vdisks") continue;
      if (!member.value().is_array()) {
        log_error(sig, ": json is not an array attached vdisks");
        return 6;
      }
      for (const boost::json::value& element : member.value().get_array()) {
        if (!element.is_object()) {
          log_error(sig, ": json value is not vdisks_attached object");
          return 6;
        }
        if (element.get_object().empty()) {
          KvLogStream(KvLogLvl::Error) << sig << k_empty_object << "Expected vdisk info" << std::endl;
          return 6;
        }
        // value_to reports a non-string id as a JSON library error.
        const boost::json::value* id = element.get_object().if_contains("id");
        std::string vdisk_id = id ? boost::json::value_to<std::string>(*id) : std::string();
        if (!kv_veil::check_reply_id(sig, "vdisk id", vdisk_id)) return 6;
        domain.available_vdisks.push_back(std::move(vdisk_id));
      }
    }
    return 0;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(sig);
  }
  return 6;
}

int curlAPI::get_free_instance_name(const std::string& kind, std::string& name) {
  static constexpr std::string_view sig = "int curlAPI::get_free_instance_name(const string&, std::string&)";
  try {
    std::vector<std::string> taken;
    const int result = read_all_pages(sig, "/api/" + kind + "s/", [&](const boost::json::object& page) {
      if (page.empty()) {
        KvLogStream(KvLogLvl::Error) << sig << k_empty_value << "Expected info about " << kind << " instances"
                                     << std::endl;
        return 2;
      }
      const boost::json::value* results = page.if_contains("results");
      if (!results) return 0;
      if (!results->is_array()) {
        KvLogStream(KvLogLvl::Error) << sig << ": json is not an array of " << kind << " objects" << std::endl;
        return 2;
      }
      if (results->get_array().empty())
        KvLogStream(KvLogLvl::Info) << sig << ": array of " << kind << " objects is empty" << std::endl;
      for (const boost::json::value& element : results->get_array()) {
        if (!element.is_object()) {
          KvLogStream(KvLogLvl::Error) << sig << ": json value is not a '" << kind << "' object" << std::endl;
          return 2;
        }
        if (element.get_object().empty()) {
          KvLogStream(KvLogLvl::Error) << sig << k_empty_value << "Expected " << kind << " info" << std::endl;
          return 2;
        }
        const boost::json::value* verbose_name = element.get_object().if_contains("verbose_name");
        taken.push_back(verbose_name ? kv_veil::stripped_characters(kv_veil::quote_stripped(*verbose_name))
                                     : std::string());
      }
      return 0;
    });
    if (result != 0) return result;

    // Candidates are always built from the given name: name, name_2, name_3, ... The name may
    // come from a saved record of an archive. It is quote-stripped text: it and the names listed
    // are compared as the characters the controller holds, whatever escapes spell them.
    std::string candidate = name;
    for (unsigned long n = 2; instance_name_exists(taken, kv_veil::stripped_characters(candidate)); ++n) {
      KvLogStream(KvLogLvl::Info) << kind << " with the name '" << candidate << "' exists in ECP Veil "
                                  << std::endl;
      candidate = name + "_" + std::to_string(n);
      KvLogStream(KvLogLvl::Info) << "Check new " << kind << " name: '" << candidate << "'" << std::endl;
    }
    name = candidate;
    KvLogStream(KvLogLvl::Info) << "A " << kind << " will be created with the name: '" << candidate << "'"
                                << std::endl;
    return 0;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(sig);
  }
  return 2;
}

bool curlAPI::instance_name_exists(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}
