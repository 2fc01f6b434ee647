// Any text is either a scene or a SceneError; nothing else may escape or crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/scene_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    auto doc = vorn::LoadSceneDocumentFromString(std::string(reinterpret_cast<const char*>(data), size), "/nonexistent");
    // Walk what was loaded the way the exporter does.
    const vorn::HostNode* root = doc->RootNode();
    for (int i = 0, n = doc->ChildCount(root); i < n && i < 64; ++i) {
      const vorn::HostNode* node = doc->Child(root, i);
      (void)doc->NodeTM(node, 0);
      if (const vorn::HostObject* o = doc->ObjectRef(node)) (void)doc->Eval(o, 0);
    }
  } catch (const vorn::SceneError&) {
  }
  return 0;
}
