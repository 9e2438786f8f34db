#pragma once

// A stable identifier of the host: the keyed digest of its node name, machine identifier and
// operating-system name.

#include <string>

namespace kv_utils_common::server {

// 64 lower-case hexadecimal digits.
[[nodiscard]] std::string hardware_id();

// The pieces hardware_id is made of, apart so that they can be checked on their own.
namespace host_id_detail {

inline constexpr const char* k_machine_id_path = "/etc/machine-id";

// The first line of the file without its line end; empty when the file cannot be opened.
[[nodiscard]] std::string read_machine_id(const std::string& path);
// The sysname field of uname; empty when uname fails.
[[nodiscard]] std::string system_name();
// HMAC-SHA-256 of the three texts joined, under the host key, in hexadecimal.
[[nodiscard]] std::string compose_hardware_id(const std::string& node_name, const std::string& machine_id,
                                              const std::string& system_name);

}  // namespace host_id_detail

}  // namespace kv_utils_common::server
