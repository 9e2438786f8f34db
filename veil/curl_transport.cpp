#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "common/log_text.h"
#include "veil/bounded_parse.h"
#include "veil/curl_option.h"
#include "veil/json_values.h"
#include "veil/secret_mask.h"
#include "veil/stop_points.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <strings.h>

namespace {

constexpr std::string_view k_request_sig =
    "int curlAPI::process_curl_api_request(const string&, const RequestType&, std::string&, const string&, "
    "unsigned int*)";

// Longest piece of a non-JSON error reply (an HTML page, say) that goes into the log.
constexpr size_t k_max_logged_reply = 200;

// Verbose output would otherwise print the Authorization header as it is; this writes what
// libcurl's own verbose output shows (its notes and the headers) to the same place, masked, each
// line prefixed and its control characters (a controller's header may hold any) shown as escapes.
int verbose_output(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  const char* prefix = nullptr;
  switch (type) {
    case CURLINFO_TEXT: prefix = "* "; break;
    case CURLINFO_HEADER_IN: prefix = "< "; break;
    case CURLINFO_HEADER_OUT: prefix = "> "; break;
    default: return 0;
  }
  const auto* client = static_cast<const curlAPI*>(user);
  const std::string text = client->masked(std::string_view(data, size));
  // One call may carry the whole request head.
  std::string shown;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string_view line = std::string_view(text).substr(start, end - start);
    shown += prefix + kelvanor_common::log_text(kelvanor_common::without_final_line_breaks(line)) +
             (line.ends_with('\n') ? "\n" : "");
    start = end;
  }
  KvDestination::kv_unicerr() << shown << std::flush;
  return 0;
}

struct url_deleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

// One part of a parsed URL; empty when it has none.
std::string url_part(CURLU* url, CURLUPart part, unsigned int flags) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text) return {};
  std::string copy(text);
  curl_free(text);
  return copy;
}

// "scheme://host:port" of `url`, resolved against `base` when it is relative (a redirect's
// Location), with the scheme's default port when it names none and the host in lower case; empty
// when libcurl cannot read it. libcurl's own parser, so it reads the address as libcurl follows it.
std::string url_origin(const char* base, const std::string& url) {
  const std::unique_ptr<CURLU, url_deleter> parsed(curl_url());
  if (!parsed) return {};
  constexpr unsigned int k_flags = CURLU_URLENCODE | CURLU_ALLOW_SPACE;
  if (base && curl_url_set(parsed.get(), CURLUPART_URL, base, k_flags) != CURLUE_OK) return {};
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), k_flags) != CURLUE_OK) return {};
  const std::string scheme = url_part(parsed.get(), CURLUPART_SCHEME, 0);
  std::string host = url_part(parsed.get(), CURLUPART_HOST, 0);
  const std::string port = url_part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (scheme.empty() || host.empty() || port.empty()) return {};
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme + "://" + host + ":" + port;
}

// Whether a failed transfer surely sent nothing: its connection was refused, the controller's
// name did not resolve, or the TLS set-up failed, before any request went out. Any other error
// (a time-out, a broken connection) may come after the request reached the controller.
bool never_sent(CURL* handle, CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      break;
    default:
      return false;
  }
  // A redirect's target is refused only after the first request went out.
  long request_bytes = 0;
  return curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &request_bytes) == CURLE_OK && request_bytes == 0;
}

// "host:port" of an origin "scheme://host:port" that has the scheme, else empty.
std::string_view authority_of(std::string_view origin, std::string_view scheme) {
  if (!origin.starts_with(scheme) || !origin.substr(scheme.size()).starts_with("://")) return {};
  return origin.substr(scheme.size() + 3);
}

}  // namespace

bool curlAPI::redirect_origin_allowed(const std::string& request_origin, const std::string& target_origin) {
  if (target_origin.empty()) return false;
  if (target_origin == request_origin) return true;
  // Controllers are commonly set up to send plain http to https on the same host: on the default
  // port of each scheme, or on the same port. Nothing else changes the scheme.
  const std::string_view from = authority_of(request_origin, "http");
  const std::string_view to = authority_of(target_origin, "https");
  if (from.empty() || to.empty()) return false;
  if (from == to) return true;
  return from.ends_with(":80") && to.ends_with(":443") &&
         from.substr(0, from.size() - 3) == to.substr(0, to.size() - 4);
}

// Asked by libcurl at least once a second during a transfer: a non-zero answer aborts it. A
// stop abandons the transfer at once, unless a StopHold keeps it (`user` points at the
// transfer's watch); a pause holds the program here, and the transfer goes on once it is resumed.
// Once a stop is under way a held transfer, and any transfer of the stop's own clean-up, waits
// for its reply no longer than the stop leaves it (kv_veil::reply_deadline).
int curlAPI::transfer_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& watch = *static_cast<transfer_watch*>(user);
  // Asked first whatever the hold: a held transfer's grace runs from the moment it is seen.
  if (kv_veil::stop_requested() && watch.stop_held == 0) return 1;
  kv_veil::pause_point();
  if (kv_veil::stop_requested() && watch.stop_held == 0) return 1;
  const std::optional<std::chrono::steady_clock::time_point> deadline = kv_veil::reply_deadline(watch.started);
  if (!deadline || std::chrono::steady_clock::now() < *deadline) return 0;
  watch.out_of_time = true;
  return 1;
}

curlAPI::curlAPI(::conf settings) : curl_handle(curl_easy_init(), &curl_easy_cleanup), conf(std::move(settings)) {}

curlAPI::~curlAPI() = default;

size_t curlAPI::write_data(void* data, size_t size, size_t count, void* user) {
  return static_cast<curlAPI*>(user)->write_function(data, size, count);
}

size_t curlAPI::write_function(void* data, size_t size, size_t count) {
  const size_t bytes = size * count;
  if (bytes > k_max_reply_bytes - m_reply_size) {
    m_reply_too_large = true;
    return 0;
  }
  response_stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
  m_reply_size += bytes;
  return bytes;
}

size_t curlAPI::header_data(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  return static_cast<curlAPI*>(user)->redirect_allowed(std::string_view(data, bytes)) ? bytes : 0;
}

bool curlAPI::redirect_allowed(std::string_view header) {
  constexpr std::string_view k_location = "location:";
  if (header.size() < k_location.size() || strncasecmp(header.data(), k_location.data(), k_location.size()) != 0)
    return true;
  CURL* handle = curl_handle.get();
  long status = 0;
  if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
  if (status < 300 || status > 399) return true;  // libcurl follows the Location of a 3xx only
  std::string_view location = header.substr(k_location.size());
  while (!location.empty() && std::isspace(static_cast<unsigned char>(location.front()))) location.remove_prefix(1);
  while (!location.empty() && std::isspace(static_cast<unsigned char>(location.back()))) location.remove_suffix(1);
  char* current = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &current) != CURLE_OK) current = nullptr;
  const std::string target = url_origin(current, std::string(location));
  if (redirect_origin_allowed(m_request_origin, target)) return true;
  m_refused_redirect = target.empty() ? "an address that cannot be read" : target;
  return false;
}

std::string curlAPI::masked(std::string_view text) const { return kv_veil::mask_secrets(text); }

std::chrono::milliseconds curlAPI::late_change_bound() const {
  return conf.timeout > 0 ? std::chrono::milliseconds(std::chrono::seconds(conf.timeout)) : kv_veil::stop_grace();
}

void curlAPI::renew_handle() {
  // A fresh handle per request: no option, cookie or connection carries over.
  curl_handle.reset();
  curl_handle.reset(curl_easy_init());
  if (!curl_handle) throw std::runtime_error("curl_easy_init failed");
}

int curlAPI::process_curl_api_request(const std::string& url, const RequestType& type, std::string& reply,
                                      const std::string& body, unsigned int* timeout) {
  const int result = send_once(url, type, reply, body, timeout);
  if (result != 0 || http_code != 401) return result;
  // The controller no longer accepts the token (it expires during a long restore, for
  // instance): log in once more and repeat the request once.
  KvLogStream(KvLogLvl::Warning) << k_request_sig << ": the controller refused the login token (HTTP 401), "
                                 << "logging in again" << std::endl;
  token.clear();
  return send_once(url, type, reply, body, timeout);
}

int curlAPI::send_once(const std::string& url, const RequestType& type, std::string& reply, const std::string& body,
                       unsigned int* timeout) {
  renew_handle();
  // The result of the login is not looked at: without a token the request still goes out and
  // the next one tries to log in again.
  if (token.empty()) (void)login();
  CURL* handle = curl_handle.get();

  const kv_veil::header_list headers = kv_veil::make_header_list(
      {"Authorization: jwt " + token, "Accept: application/json", "Content-Type: application/json"});
  kv_veil::set_curl_option(handle, CURLOPT_HTTPHEADER, headers.get());
  if (type == GET)
    kv_veil::set_curl_option(handle, CURLOPT_HTTPGET, 1L);
  else
    kv_veil::set_curl_option(handle, CURLOPT_POSTFIELDS, body.c_str());

  const long seconds = timeout ? static_cast<long>(*timeout) : static_cast<long>(conf.timeout);
  if (set_exchange_options(k_request_sig, url, seconds) != 0) return 2;

  perform_transfer(handle);
  // Moved out, not copied: a large reply is held once.
  reply = std::move(response_stream).str();
  return 0;
}

void curlAPI::perform_transfer(CURL* handle) {
  response_stream.str("");
  response_stream.clear();
  m_reply_size = 0;
  m_reply_too_large = false;
  m_refused_redirect.clear();
  http_code = 0;
  m_went_out = true;
  m_transfer.started = std::chrono::steady_clock::now();
  m_transfer.out_of_time = false;
  const CURLcode code = curl_easy_perform(handle);
  // The controller cannot have received a request whose connection never came about: nothing
  // waits for it to land.
  if (code != CURLE_OK && never_sent(handle, code)) m_went_out = false;
  // A transfer the progress callback abandoned for a stop ends here, before its error is handled.
  // The reply to a held request is read first: the stop comes at the next wait.
  if (m_transfer.stop_held == 0) kv_veil::stop_point();
  if (code != CURLE_OK && m_transfer.out_of_time)
    throw std::runtime_error("no reply within the time a stop of the program leaves");
  if (code != CURLE_OK && m_reply_too_large)
    throw std::runtime_error("the controller's reply is larger than " + std::to_string(k_max_reply_bytes >> 20) +
                             " MiB; the request is abandoned");
  if (code != CURLE_OK && !m_refused_redirect.empty())
    throw std::runtime_error("the controller redirected the request to " +
                             kelvanor_common::log_text(m_refused_redirect) +
                             ", another scheme, host or port; the redirect is not followed");
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &http_code);
}

int curlAPI::set_exchange_options(std::string_view sig, const std::string& url, long timeout) {
  CURL* handle = curl_handle.get();
  m_request_origin = url_origin(nullptr, url);
  kv_veil::set_curl_option(handle, CURLOPT_URL, url.c_str());
  kv_veil::set_curl_option(handle, CURLOPT_FOLLOWLOCATION, 1L);
  kv_veil::set_curl_option(handle, CURLOPT_MAXREDIRS, k_max_redirects);
  // Every redirect that header_data lets through stays on the controller's host, which is to get
  // the token there too (libcurl would drop it at the change from http to https), and a change
  // request or a login sent on by a 301 or 302 is to stay a POST with its body.
  kv_veil::set_curl_option(handle, CURLOPT_UNRESTRICTED_AUTH, 1L);
  kv_veil::set_curl_option(handle, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
  kv_veil::set_curl_option(handle, CURLOPT_HEADERFUNCTION, &curlAPI::header_data);
  kv_veil::set_curl_option(handle, CURLOPT_HEADERDATA, static_cast<void*>(this));
  kv_veil::set_curl_option(handle, CURLOPT_WRITEFUNCTION, &curlAPI::write_data);
  kv_veil::set_curl_option(handle, CURLOPT_WRITEDATA, static_cast<void*>(this));
  kv_veil::set_curl_option(handle, CURLOPT_TIMEOUT, timeout);
  // The program owns its signal handlers; libcurl must not touch them.
  kv_veil::set_curl_option(handle, CURLOPT_NOSIGNAL, 1L);
  kv_veil::set_curl_option(handle, CURLOPT_NOPROGRESS, 0L);
  kv_veil::set_curl_option(handle, CURLOPT_XFERINFOFUNCTION, &curlAPI::transfer_progress);
  kv_veil::set_curl_option(handle, CURLOPT_XFERINFODATA, static_cast<void*>(&m_transfer));
  if (set_tls_options(sig) != 0) return 2;
  kv_veil::set_curl_option(handle, CURLOPT_VERBOSE, conf.curl_verbose ? 1L : 0L);
  if (conf.curl_verbose) {
    kv_veil::set_curl_option(handle, CURLOPT_DEBUGFUNCTION, &verbose_output);
    kv_veil::set_curl_option(handle, CURLOPT_DEBUGDATA, static_cast<void*>(this));
    KvLogStream(KvLogLvl::Info) << sig << ": URL: " << masked(url) << std::endl;
  }
  return 0;
}

int curlAPI::set_tls_options(std::string_view sig) {
  CURL* handle = curl_handle.get();
  if (conf.enable_ssl && !conf.ca_info.empty()) {
    try {
      if (!boost::filesystem::exists(conf.ca_info)) {
        KvLogStream(KvLogLvl::Error) << sig << ": CA file " << conf.ca_info << " does not exist on Kelvanor VM"
                                     << std::endl;
        return 2;
      }
    } catch (const boost::filesystem::filesystem_error& e) {
      KvLogStream(KvLogLvl::Error) << sig << ": fs:" << e.what() << std::endl;
      return 2;
    }
    // Peer and host verification stay at libcurl's defaults: on.
    kv_veil::set_curl_option(handle, CURLOPT_CAINFO, conf.ca_info.c_str());
  } else {
    kv_veil::set_curl_option(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    kv_veil::set_curl_option(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  return 0;
}

int curlAPI::post_change(const std::string& path, const std::string& body, std::string& reply) {
  // A stop does not cut a change request short: the controller may have accepted it already,
  // and only its reply names the task that the stop's clean-up must let end first. The
  // request's time-out, and once a stop is under way the stop grace, bound the delay.
  const StopHold hold(*this);
  m_went_out = false;
  m_last_change = ChangeReply::not_sent;
  int result = 2;
  try {
    result = process_curl_api_request(conf.url + path, POST, reply, body, nullptr);
  } catch (...) {
    if (m_went_out) m_last_change = ChangeReply::lost;
    throw;
  }
  if (!m_went_out || result != 0) return 2;
  const boost::json::value parsed = kv_veil::parse_bounded_or_null(reply);
  const bool errors = parsed.is_object() && parsed.get_object().contains("errors");
  // The controller's own error form is its refusal, whatever the status. A gateway in front of
  // the controller answers 502, 503 or 504 for a request that it may have passed on (some answer
  // 503 when the connection broke after the request went out), and that the controller may
  // still carry out: as good as no reply.
  if (errors || (http_code >= 400 && http_code < 500))
    m_last_change = ChangeReply::refused;
  else if (http_code >= 502 && http_code <= 504)
    m_last_change = ChangeReply::lost;
  else
    m_last_change = ChangeReply::answered;
  return 0;
}

bool curlAPI::reply_failed(std::string_view sig, const std::string& reply) const {
  std::string details;
  bool has_errors = false;
  const boost::json::value parsed = kv_veil::parse_bounded_or_null(reply);
  if (parsed.is_object()) {
    const boost::json::object& object = parsed.get_object();
    if (const auto* errors = object.if_contains("errors")) {
      has_errors = true;
      details = kv_veil::json_text(*errors);
    } else if (const auto* detail = object.if_contains("detail")) {
      details = kv_veil::json_text(*detail);
    }
  }
  if (http_code < 400 && !has_errors) return false;

  if (details.empty()) details = reply.substr(0, k_max_logged_reply);
  if (details.empty()) details = "(empty reply)";
  KvLogStream(KvLogLvl::Error) << sig << ": the controller answered with HTTP status " << http_code << ": "
                               << masked(details) << std::endl;
  return true;
}
