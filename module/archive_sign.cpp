// Archive signatures. The signature file is named after the archive; verification and signature
// parsing are not available yet and fail.

#include "module/kv_modules_common.h"

std::string KvModuleUniversal::archive_sign_filename() { return archive_filename() + ".signature"; }

bool KvModuleUniversal::verify_in_client_defined_storage() { return false; }

bool KvModuleUniversal::parse_esign_json(const std::string&, std::string&, std::string&, std::string&) {
  return false;
}
