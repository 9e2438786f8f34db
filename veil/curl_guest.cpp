#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "veil/json_escape.h"
#include "veil/json_values.h"


#include <limits>

namespace {

constexpr std::string_view k_guest_sig =
    "int curlAPI::run_script_inside_vm(const string&, const string&, std::string&, unsigned int&)";

// The existence probe for the default guest script: a missing script is normal, so its
// failures stay out of the log.
constexpr std::string_view k_probe_path = "/usr/bin/test";

// The HTTP exchange may last the whole script time-out plus the usual request time-out; a sum
// too large for the type is capped rather than wrapped round to a short time-out.
unsigned int request_timeout(int configured, unsigned int script) {
  const long long sum = static_cast<long long>(configured) + static_cast<long long>(script);
  if (sum < 0) return 0;
  constexpr auto k_max = static_cast<long long>(std::numeric_limits<unsigned int>::max());
  return static_cast<unsigned int>(sum > k_max ? k_max : sum);
}

}  // namespace

std::string curlAPI::guest_argument_list(const std::string& args) {
  std::string list;
  size_t start = 0;
  for (;;) {
    const size_t blank = args.find(' ', start);
    const size_t end = blank == std::string::npos ? args.size() : blank;
    if (start > 0) list += ", ";
    list += kv_veil::json_quoted(std::string_view(args).substr(start, end - start));
    if (blank == std::string::npos) return list;
    start = blank + 1;
  }
}

int curlAPI::run_script_inside_vm(const std::string& vm_id, const std::string& path, std::string& args,
                                  unsigned int& timeout) {
  const bool probe = path == k_probe_path;
  try {
    const std::string arguments = guest_argument_list(args);
    const std::string body = "{\"qemu_cmd\": \"guest-exec\", \"fargs\": {\"path\": " + kv_veil::json_quoted(path) +
                             ", \"arg\": [" + arguments + "]}, \"timeout\": " + std::to_string(timeout) + "}";
    const std::string url = conf.url + "/api/domains/" + vm_id + "/guest-command/";
    unsigned int exchange_timeout = request_timeout(conf.timeout, timeout);

    if (!probe)
      KvLogStream(KvLogLvl::Info) << "Run command '" << path << "' with argument '" << arguments << "' inside VM: '"
                                  << vm_id << "'" << std::endl;
    std::string reply;
    if (process_curl_api_request(url, POST, reply, body, &exchange_timeout) != 0) {
      KvLogStream(KvLogLvl::Info) << "Can't execute script '" << path << "' inside VM: '" << vm_id << "'"
                                  << std::endl;
      return 1;
    }
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 1;

    std::string exit_code;
    std::string exited;
    for (const auto& member : value.get_object()) {
      if (member.key() == "guest-exec") {
        if (!member.value().is_object()) {
          KvLogStream(KvLogLvl::Error) << k_guest_sig << ": json value is not an object: "
                                       << "guest command execution status" << std::endl;
          return 1;
        }
        const boost::json::object& status = member.value().get_object();
        if (status.empty()) {
          KvLogStream(KvLogLvl::Error) << k_guest_sig << ": json object is empty. "
                                       << "Expected guest command execution status" << std::endl;
          return 1;
        }
        for (const auto& field : status) {
          if (field.key() == "exitcode") {
            exit_code = kv_veil::json_text(field.value());
            if (exit_code.empty()) {
              KvLogStream(KvLogLvl::Error) << k_guest_sig << ": got empty exit code for executed script" << std::endl;
              return 1;
            }
          } else if (field.key() == "exited") {
            exited = kv_veil::json_text(field.value());
            if (exited.empty()) {
              KvLogStream(KvLogLvl::Error) << k_guest_sig << ": got empty script execution status" << std::endl;
              return 1;
            }
          }
        }
      } else if (member.key() == "errors") {
        if (!probe)
          KvLogStream(KvLogLvl::Error) << k_guest_sig << ": guest command failed, details: "
                                       << masked(kv_veil::json_text(member.value())) << "\n"
                                       << "POST request was: " << masked(body) << std::endl;
        return 1;
      }
    }
    // The JSON texts are compared, so an exit code sent as the string "0" is not a success.
    if (exited != "true") {
      KvLogStream(KvLogLvl::Info) << k_guest_sig << ": can't execute script '" << path << "' inside VM: '" << vm_id
                                  << "'" << std::endl;
      return 1;
    }
    if (exit_code != "0") {
      KvLogStream(KvLogLvl::Error) << k_guest_sig << ": internal VM script returned: " << exit_code << std::endl;
      return 1;
    }
    return 0;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(k_guest_sig);
  }
  return 1;
}
