#include "app/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <stdexcept>
#include <strings.h>

namespace vorn {

namespace {

template <typename Fn>
Fn Lookup(void* handle, const char* name, const std::string& path) {
  void* sym = dlsym(handle, name);
  if (!sym) throw std::runtime_error(path + ": the module does not export " + name);
  return reinterpret_cast<Fn>(sym);
}

}  // namespace

LoadedPlugin::LoadedPlugin(const std::string& modulePath) {
  handle_ = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw std::runtime_error(std::string("cannot load the exporter module: ") + dlerror());
  try {
    auto libDescription = Lookup<LibDescriptionFn>(handle_, "LibDescription", modulePath);
    auto libNumberClasses = Lookup<LibNumberClassesFn>(handle_, "LibNumberClasses", modulePath);
    auto libClassDesc = Lookup<LibClassDescFn>(handle_, "LibClassDesc", modulePath);
    auto libVersion = Lookup<LibVersionFn>(handle_, "LibVersion", modulePath);
    Lookup<XDoExportFn>(handle_, "XDoExport", modulePath);
    if (libVersion() != kHostSdkVersion)
      throw std::runtime_error(modulePath + ": built for another host version");
    description_ = libDescription();
    ClassDesc2* desc = libNumberClasses() >= 1 ? libClassDesc(0) : nullptr;
    if (!desc || desc->SuperClassID() != kSceneExportSuper)
      throw std::runtime_error(modulePath + ": the module has no scene-export class");
    exporter_ = static_cast<SceneExport*>(desc->Create(false));
    if (!exporter_ || exporter_->ExtCount() < 1 || strcasecmp(exporter_->Ext(0), "X") != 0)
      throw std::runtime_error(modulePath + ": the exporter does not write .X files");
  } catch (...) {
    delete exporter_;
    dlclose(handle_);
    throw;
  }
}

LoadedPlugin::~LoadedPlugin() {
  delete exporter_;
  // The module stays mapped: its process-wide state may be referenced until exit.
}

std::string DefaultPluginPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "vorn.dle";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.find_last_of('/') + 1) + "vorn.dle";
}

}  // namespace vorn
