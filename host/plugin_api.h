// The host's plug-in base classes and the module entry points it looks up by name.
#pragma once

#include <cstdint>
#include <string>

#include "host/host_scene.h"

namespace vorn {

// The host's scene-export plug-in interface, in the order of its virtual table.
class SceneExport {
 public:
  virtual ~SceneExport() = default;
  virtual int ExtCount() = 0;
  virtual const char* Ext(int n) = 0;
  virtual const char* LongDesc() = 0;
  virtual const char* ShortDesc() = 0;
  virtual const char* AuthorName() = 0;
  virtual const char* CopyrightMessage() = 0;
  virtual const char* OtherMessage1() = 0;
  virtual const char* OtherMessage2() = 0;
  virtual unsigned int Version() = 0;
  virtual void ShowAbout(void* hWnd) = 0;
  virtual int DoExport(const char* name, void* exportInterface, HostScene* host, bool suppressPrompts,
                       uint32_t options) = 0;
  virtual bool SupportsOptions(int ext, uint32_t options) = 0;
};

// The host's class descriptor, with the host's defaults for what a plug-in leaves alone.
class ClassDesc2 {
 public:
  virtual ~ClassDesc2() = default;
  virtual int IsPublic() = 0;
  virtual void* Create(bool loading = false) = 0;
  virtual const char* ClassName() = 0;
  virtual uint32_t SuperClassID() = 0;
  virtual ClassID ClassID_() = 0;
  virtual const char* Category() = 0;
  virtual const char* InternalName() { return nullptr; }
  virtual void* HInstance() { return nullptr; }
};

// Signatures of the module's exported functions.
using LibDescriptionFn = const char* (*)();
using LibNumberClassesFn = int (*)();
using LibClassDescFn = ClassDesc2* (*)(int);
using LibVersionFn = unsigned long (*)();
using XDoExportFn = int (*)(const char*, void*, HostScene*, bool, uint32_t);

inline constexpr unsigned long kHostSdkVersion = 0x36B02600;

}  // namespace vorn
