// Names of the files and directories of one operation, and the snapshot file. Unpacking is not
// available yet and always fails (12); there is then no reference snapshot to remove.

#include "module/kv_modules_common.h"

std::string KvModuleUniversal::snapshot_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir";
}

std::string KvModuleUniversal::leveldb_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir/leveldb";
}

int KvModuleUniversal::unpack_snapshot_file(const std::string&) { return 12; }

void KvModuleUniversal::remove_reference_snapshot_directory() {}
