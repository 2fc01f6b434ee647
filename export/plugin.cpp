#include "export/plugin.h"

#include "export/driver.h"

namespace vorn {

namespace {

void* g_moduleInstance = nullptr;
VornExpClassDesc g_classDesc;

// Load notification: remember the module. Dialog controls need no global initialisation here.
__attribute__((constructor)) void OnModuleLoad() {
  static int anchor;
  g_moduleInstance = &anchor;
}

}  // namespace

const char* VornExp::LongDesc() { return "Dovra DirectX Exporter 2.2.8 for 3ds Max"; }
const char* VornExp::ShortDesc() { return "Dovra DirectX Exporter 2.2.8"; }

int VornExp::DoExport(const char* name, void* exportInterface, HostScene* host, bool suppressPrompts,
                      uint32_t options) {
  return XDoExport(name, exportInterface, host, suppressPrompts, options);
}

void* VornExpClassDesc::HInstance() { return g_moduleInstance; }

}  // namespace vorn

extern "C" {

__attribute__((visibility("default"))) const char* LibDescription() { return vorn::kProductName; }
__attribute__((visibility("default"))) int LibNumberClasses() { return 1; }
__attribute__((visibility("default"))) vorn::ClassDesc2* LibClassDesc(int i) {
  return i == 0 ? &vorn::g_classDesc : nullptr;
}
__attribute__((visibility("default"))) unsigned long LibVersion() { return vorn::kHostSdkVersion; }
__attribute__((visibility("default"))) int XDoExport(const char* outputPath, void* exportInterface,
                                                     vorn::HostScene* host, bool suppressPrompts, uint32_t options) {
  return vorn::XDoExport(outputPath, exportInterface, host, suppressPrompts, options);
}

}
