// Archive signatures. Not available yet: there is no signature file name.

#include "module/kv_modules_common.h"

std::string KvModuleUniversal::archive_sign_filename() { return {}; }
