// Loading the exporter module through its exported functions, as the host does.
#pragma once

#include <memory>
#include <string>

#include "host/plugin_api.h"

namespace vorn {

class LoadedPlugin {
 public:
  // Loads the module and checks its class descriptor and extension; throws std::runtime_error.
  explicit LoadedPlugin(const std::string& modulePath);
  ~LoadedPlugin();
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  SceneExport& Exporter() { return *exporter_; }
  const std::string& Description() const { return description_; }

 private:
  void* handle_ = nullptr;
  SceneExport* exporter_ = nullptr;
  std::string description_;
};

// vorn.dle beside the running executable.
std::string DefaultPluginPath();

}  // namespace vorn
