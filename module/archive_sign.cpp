// Archive signatures. Not available yet: there is no signature file name, and verification
// and signature parsing fail.

#include "module/kv_modules_common.h"

std::string KvModuleUniversal::archive_sign_filename() { return {}; }

bool KvModuleUniversal::verify_in_client_defined_storage() { return false; }

bool KvModuleUniversal::parse_esign_json(const std::string&, std::string&, std::string&, std::string&) {
  return false;
}
