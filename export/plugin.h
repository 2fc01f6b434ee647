// The exporter class and its class descriptor, as the host registers them.
#pragma once

#include "host/plugin_api.h"

namespace vorn {

inline constexpr const char* kProductName = "Dovra DirectX Exporter";
inline constexpr const char* kProductVersion = "2.2.8";
inline constexpr ClassID kVornExpClassID{0x5ba1356f, 0x7fa61ccc};

class VornExpBase : public SceneExport {};

class VornExp : public VornExpBase {
 public:
  ~VornExp() override = default;
  int ExtCount() override { return 1; }
  const char* Ext(int n) override { return n == 0 ? "X" : ""; }
  const char* LongDesc() override;
  const char* ShortDesc() override;
  const char* AuthorName() override { return "Vorn developers"; }
  const char* CopyrightMessage() override { return "Vorn"; }
  const char* OtherMessage1() override { return ""; }
  const char* OtherMessage2() override { return ""; }
  unsigned int Version() override { return 100; }
  void ShowAbout(void*) override {}
  int DoExport(const char* name, void* exportInterface, HostScene* host, bool suppressPrompts,
               uint32_t options) override;
  bool SupportsOptions(int, uint32_t) override { return true; }
};

class VornExpClassDescBase : public ClassDesc2 {};

class VornExpClassDesc : public VornExpClassDescBase {
 public:
  int IsPublic() override { return 1; }
  void* Create(bool) override { return static_cast<SceneExport*>(new VornExp); }
  const char* ClassName() override { return "vorn3dsmaxDemo"; }
  uint32_t SuperClassID() override { return kSceneExportSuper; }
  ClassID ClassID_() override { return kVornExpClassID; }
  const char* Category() override { return "File Export"; }
  const char* InternalName() override { return "vorn3dsmaxDemo"; }
  void* HInstance() override;
};

}  // namespace vorn
