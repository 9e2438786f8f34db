#include "crypto/host_id.h"

#include "common/kv_utils_common.h"
#include "crypto/hmac.h"
#include "crypto/host_key.h"
#include "crypto/sha256.h"

#include <sys/utsname.h>

#include <fstream>
#include <vector>

namespace kv_utils_common::server {

namespace host_id_detail {

std::string read_machine_id(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (file.is_open()) std::getline(file, line);
  return line;
}

std::string system_name() {
  struct utsname names {};
  if (::uname(&names) != 0) return {};
  return names.sysname;
}

std::string compose_hardware_id(const std::string& node_name, const std::string& machine_id,
                                const std::string& system_name) {
  cppcrypto::hmac mac{cppcrypto::sha256(), std::string(kelvanor::hash::k_host_key)};
  std::vector<unsigned char> digest(mac.hashsize() / 8);
  mac.hash_string(node_name + machine_id + system_name, digest.data());

  static const char k_digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (unsigned char byte : digest) {
    hex += k_digits[byte >> 4];
    hex += k_digits[byte & 0x0f];
  }
  return hex;
}

}  // namespace host_id_detail

std::string hardware_id() {
  using namespace host_id_detail;
  return compose_hardware_id(kv_utils_common::get_nodename(), read_machine_id(k_machine_id_path), system_name());
}

}  // namespace kv_utils_common::server
