#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "veil/curl_option.h"
#include "veil/bounded_parse.h"
#include "veil/json_escape.h"
#include "veil/json_values.h"
#include "veil/secret_mask.h"
#include "veil/stop_points.h"

#include <boost/filesystem/exception.hpp>
#include <boost/json/parse.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <stdexcept>

namespace {

// Releases the login's header list and body from the handle when the login ends: the request
// that follows on the same handle sets its own.
class login_options_scope {
 public:
  explicit login_options_scope(CURL* handle) : m_handle(handle) {}
  login_options_scope(const login_options_scope&) = delete;
  login_options_scope& operator=(const login_options_scope&) = delete;
  ~login_options_scope() {
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(m_handle, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
  }

 private:
  CURL* m_handle;
};

}  // namespace

int curlAPI::login() {
  static constexpr std::string_view sig = "int curlAPI::login()";
  try {
    CURL* handle = curl_handle.get();
    if (!handle) throw std::runtime_error("curl_easy_init failed");
    const kv_veil::header_list headers =
        kv_veil::make_header_list({"Accept: application/json", "Content-Type: application/json"});
    // No blank after the commas: the controller has always been sent exactly this text.
    const std::string body = "{\"username\": \"" + kv_veil::json_escape(conf.username) + "\",\"password\": \"" +
                             kv_veil::json_escape(conf.password) + "\",\"ldap\": false,\"remember_me\": true}";
    const login_options_scope scope(handle);  // cleared from the handle before they are freed
    kv_veil::set_curl_option(handle, CURLOPT_HTTPHEADER, headers.get());
    kv_veil::set_curl_option(handle, CURLOPT_POSTFIELDS, body.c_str());
    if (set_exchange_options(sig, conf.url + "/auth/", static_cast<long>(conf.timeout)) != 0) return 2;

    perform_transfer(handle);

    boost::json::value reply;
    if (parse_result_string(std::move(response_stream).str(), reply) != 0) return 2;
    const boost::json::object& object = reply.get_object();
    if (object.empty()) {
      KvLogStream(KvLogLvl::Error) << sig << ": object should contain auth token," << " but it is empty" << std::endl;
      return 2;
    }
    std::string new_token;
    for (const auto& member : object)
      if (member.key() == "token") new_token = kv_veil::string_value(member.value());
    if (new_token.empty()) {
      KvLogStream(KvLogLvl::Error) << sig << ": got empty auth token" << std::endl;
      return 2;
    }
    // The token goes into a request header, where a line break would add headers of the
    // controller's choosing.
    if (std::any_of(new_token.begin(), new_token.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
      KvLogStream(KvLogLvl::Error) << sig << ": the auth token holds a control character" << std::endl;
      return 2;
    }
    token = std::move(new_token);
    // The token opens the controller as the password does; a reply or a message that repeats it
    // must not put it in the log.
    kv_veil::mask_everywhere(token);
    return 0;
  } catch (const boost::filesystem::filesystem_error& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": fs:" << e.what() << std::endl;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << e.what() << std::endl;
  }
  return 2;
}

int curlAPI::parse_result_string(const std::string& text, boost::json::value& result) {
  static constexpr std::string_view sig = "int curlAPI::parse_result_string(const string&, boost::json::value&)";
  try {
    boost::json::value parsed = kv_veil::parse_bounded(text);
    // Moved in by construction: an assignment would copy the value out of its bounded storage
    // into the default one, unbounded.
    result.~value();
    ::new (&result) boost::json::value(std::move(parsed));
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": json parsing failed: " << e.what() << std::endl;
    return 1;
  }
  if (!result.is_object()) {
    KvLogStream(KvLogLvl::Error) << sig << ": json value is not an object" << std::endl;
    return 1;
  }
  return 0;
}

int curlAPI::generate_uuid_v4(std::string& uuid) {
  static constexpr std::string_view sig = "int curlAPI::generate_uuid_v4(std::string&)";
  try {
    boost::uuids::random_generator_pure generator;
    uuid = boost::uuids::to_string(generator());
    return 0;
  } catch (const boost::uuids::entropy_error& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": boost::json: " << e.what() << std::endl;
  }
  return 1;
}
