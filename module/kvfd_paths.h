#pragma once

// Where the data mover and the files its command lines name live on every host.

namespace kelvanor::module {

inline constexpr const char* k_kvfd_program = "/opt/kelvanor/bin/kvfd";
inline constexpr const char* k_master_key = "/opt/kelvanor/keys/master-key";
inline constexpr const char* k_secret_key = "/opt/kelvanor/keys/secret-key.pem";

}  // namespace kelvanor::module
