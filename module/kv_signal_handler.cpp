// Signal handling. The handlers themselves are not installed yet: the object only records the
// module it belongs to, and the process keeps the default signal dispositions.

#include "module/kv_signal_handler.h"

KvModuleUniversal* KvModuleSignalHandler::module_ptr_ = nullptr;

KvModuleSignalHandler::KvModuleSignalHandler(KvModuleUniversal* module) { module_ptr_ = module; }

KvModuleSignalHandler::~KvModuleSignalHandler() = default;

std::unique_ptr<KvModuleSignalHandler> KvModuleSignalHandler::init(KvModuleUniversal* module) {
  return std::make_unique<KvModuleSignalHandler>(module);
}
