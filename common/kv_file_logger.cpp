// Placeholder until the file destination and the logger configuration land.
#include "common/kv_logger.h"

namespace KvDestination {
std::unique_ptr<KvLogger> File(const std::string&) { return Stdout(); }
}  // namespace KvDestination

bool KvLogStream::load_properties() { return true; }
void KvLogStream::set_properties(KvLogLvl::Level, unsigned long, unsigned long) {}
