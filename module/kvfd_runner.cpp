// The data mover runner.

#include "module/kv_modules_common.h"

void KvModuleUniversal::init_kvfd_flags() {
  // The data mover parameters a client may pass through -e; they reach the data mover's -e in
  // this order.
  kvfd_flag_names = {"worker_parallelism", "network_parallelism", "enable_multithreading", "enable_flexible_dedup"};
}
