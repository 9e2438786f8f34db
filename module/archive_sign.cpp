// Archive signatures: the signature file is named after the archive.

#include "module/kv_modules_common.h"

std::string KvModuleUniversal::archive_sign_filename() { return archive_filename() + ".signature"; }
