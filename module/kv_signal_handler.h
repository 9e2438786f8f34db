#pragma once

// Process-wide handlers of the stop, pause and resume signals; one per process, owned by the
// module object.

#include <memory>

class KvModuleUniversal;

class KvModuleSignalHandler {
 public:
  explicit KvModuleSignalHandler(KvModuleUniversal* module);
  KvModuleSignalHandler(const KvModuleSignalHandler&) = delete;
  KvModuleSignalHandler& operator=(const KvModuleSignalHandler&) = delete;
  ~KvModuleSignalHandler();

  [[nodiscard]] static std::unique_ptr<KvModuleSignalHandler> init(KvModuleUniversal* module);

  // The one module object the handlers act on; they do nothing while it is empty.
  static KvModuleUniversal* module_ptr_;
};
