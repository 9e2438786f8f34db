// The module configuration file: lines of a key and a value with the connection settings of the
// controller and the name of the VM the module runs in.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"
#include "veil/secret_mask.h"

#include <boost/algorithm/string/trim_all.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr const char* k_config_path = "/opt/kelvanor/etc/kv_module_veil_vm.conf";
constexpr std::string_view k_load_sig = "virtual bool KvModuleVeilVM::load_module_config()";

enum class ConfigKey { url, username, password, timeout, module_vm_name, ca_info, curl_verbose, enable_ssl };

struct KeyPrefix {
  std::string_view prefix;
  ConfigKey key;
};

// Compared in this order, and the first match decides. "curl_verbose" carries no blank, so the
// bare key counts as a switch too.
constexpr std::array<KeyPrefix, 8> k_key_prefixes{{
    {"url ", ConfigKey::url},
    {"username ", ConfigKey::username},
    {"password ", ConfigKey::password},
    {"timeout ", ConfigKey::timeout},
    {"kelvanor-vm-name ", ConfigKey::module_vm_name},
    {"ca_info ", ConfigKey::ca_info},
    {"curl_verbose", ConfigKey::curl_verbose},
    {"enable_ssl ", ConfigKey::enable_ssl},
}};

// The line as the keys are compared with it: tabs become blanks, the ends are trimmed and every
// inner run of white space shrinks to its first character. Values keep this form, so a password
// loses its trailing blanks and doubled blanks.
std::string normalized(std::string line) {
  std::replace(line.begin(), line.end(), '\t', ' ');
  boost::algorithm::trim_all(line);
  return line;
}

// Verbose mode writes the login token to standard error, so the words that switch TLS checking
// off also switch verbose mode off. Everything else after the key, the bare key included, keeps
// it on, as configurations written for the bare switch expect.
bool verbose_wanted(std::string_view rest) { return rest != " no" && rest != " false"; }

}  // namespace

bool KvModuleVeilVM::load_module_config() { return load_module_config_from(k_config_path); }

bool KvModuleVeilVM::load_module_config_from(const std::string& path) {
  std::ifstream file(path);
  boost::system::error_code not_checked;
  // A directory opens like a file but reads as empty; it is no configuration either.
  if (!file.is_open() || boost::filesystem::is_directory(path, not_checked)) {
    KvLogStream(KvLogLvl::Error) << k_load_sig << ": unable to open config file: " << path << std::endl;
    return false;
  }

  bool loaded = true;
  std::string raw;
  unsigned long line_number = 0;  // blank and comment lines count too, as an editor shows them
  while (std::getline(file, raw)) {
    ++line_number;
    const std::string line = normalized(std::move(raw));
    if (line.empty() || line.front() == '#') continue;

    const auto match = std::find_if(k_key_prefixes.begin(), k_key_prefixes.end(),
                                    [&line](const KeyPrefix& entry) { return line.starts_with(entry.prefix); });
    if (match == k_key_prefixes.end()) {
      KvLogStream(KvLogLvl::Error) << k_load_sig << ": wrong definition in the config file: " << path
                                   << ", line: " << line_number << std::endl;
      continue;
    }

    std::string value = line.substr(match->prefix.size());
    switch (match->key) {
      case ConfigKey::url:
        if (value.ends_with('/')) value.pop_back();
        conf.url = std::move(value);
        break;
      case ConfigKey::username:
        conf.username = std::move(value);
        break;
      case ConfigKey::password:
        conf.password = std::move(value);
        // Whatever text brings it there (a controller's reply, an echoed request), the password
        // has no place in a log line.
        kv_veil::mask_everywhere(conf.password, kv_veil::secret_kind::password);
        break;
      case ConfigKey::timeout: {
        // Not a number: the exception ends the operation in the dispatcher.
        const int seconds = std::stoi(value);
        if (seconds >= 0) {
          conf.timeout = seconds;
          break;
        }
        // libcurl would refuse every request with its bare "bad argument".
        KvLogStream(KvLogLvl::Error) << k_load_sig << ": wrong value of timeout in the config file: " << path
                                     << ", line: " << line_number << ", value: '" << value << "'" << std::endl;
        loaded = false;
        break;
      }
      case ConfigKey::module_vm_name:
        conf.module_vm_name = std::move(value);
        break;
      case ConfigKey::ca_info:
        conf.ca_info = std::move(value);
        break;
      case ConfigKey::curl_verbose:
        conf.curl_verbose = verbose_wanted(value);
        break;
      case ConfigKey::enable_ssl:
        if (value == "no" || value == "false") {
          conf.enable_ssl = false;
        } else if (value == "yes" || value == "true") {
          conf.enable_ssl = true;
        } else {
          // Silently keeping the old value would let a typo leave the controller unverified.
          KvLogStream(KvLogLvl::Error) << k_load_sig << ": wrong value of enable_ssl in the config file: " << path
                                       << ", line: " << line_number << ", value: '" << value << "'" << std::endl;
        }
        break;
    }
  }
  return loaded;
}
