// Loads an .X file through the DirectX 9 extensions library and prints its object tree, so our
// files can be checked against the loader they are written for. Windows program (runs under
// Wine on the build machine).
//
//   dxcheck [--templates none|standard|all] FILE.x
//   dxcheck --image FILE
//
// Prints the tree in the dump form of DumpTree; exits non-zero with the HRESULT on any failure.
// With --image, prints what D3DXGetImageInfoFromFile reads from an image file instead:
// "width height depth mipLevels format resourceType fileFormat", the format as its four
// characters when it is one (DXT1, DXT5), else as a number.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "xformat/standard_templates.h"
#include "xformat/template_registry.h"
#include "xformat/xfile_tree.h"

namespace {

// The file interfaces of d3dx9, declared from the published vtable layout.
struct ID3DXFileData;

struct ID3DXFileEnumObject {
  struct Vtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ID3DXFileEnumObject*, REFIID, void**);
    ULONG(STDMETHODCALLTYPE* AddRef)(ID3DXFileEnumObject*);
    ULONG(STDMETHODCALLTYPE* Release)(ID3DXFileEnumObject*);
    HRESULT(STDMETHODCALLTYPE* GetFile)(ID3DXFileEnumObject*, void**);
    HRESULT(STDMETHODCALLTYPE* GetChildren)(ID3DXFileEnumObject*, SIZE_T*);
    HRESULT(STDMETHODCALLTYPE* GetChild)(ID3DXFileEnumObject*, SIZE_T, ID3DXFileData**);
    HRESULT(STDMETHODCALLTYPE* GetDataObjectById)(ID3DXFileEnumObject*, REFGUID, ID3DXFileData**);
    HRESULT(STDMETHODCALLTYPE* GetDataObjectByName)(ID3DXFileEnumObject*, const char*, ID3DXFileData**);
  };
  const Vtbl* vtbl;
};

struct ID3DXFileData {
  struct Vtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ID3DXFileData*, REFIID, void**);
    ULONG(STDMETHODCALLTYPE* AddRef)(ID3DXFileData*);
    ULONG(STDMETHODCALLTYPE* Release)(ID3DXFileData*);
    HRESULT(STDMETHODCALLTYPE* GetEnum)(ID3DXFileData*, ID3DXFileEnumObject**);
    HRESULT(STDMETHODCALLTYPE* GetName)(ID3DXFileData*, char*, SIZE_T*);
    HRESULT(STDMETHODCALLTYPE* GetId)(ID3DXFileData*, GUID*);
    HRESULT(STDMETHODCALLTYPE* Lock)(ID3DXFileData*, SIZE_T*, const void**);
    HRESULT(STDMETHODCALLTYPE* Unlock)(ID3DXFileData*);
    HRESULT(STDMETHODCALLTYPE* GetType)(ID3DXFileData*, GUID*);
    BOOL(STDMETHODCALLTYPE* IsReference)(ID3DXFileData*);
    HRESULT(STDMETHODCALLTYPE* GetChildren)(ID3DXFileData*, SIZE_T*);
    HRESULT(STDMETHODCALLTYPE* GetChild)(ID3DXFileData*, SIZE_T, ID3DXFileData**);
  };
  const Vtbl* vtbl;
};

struct ID3DXFile {
  struct Vtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ID3DXFile*, REFIID, void**);
    ULONG(STDMETHODCALLTYPE* AddRef)(ID3DXFile*);
    ULONG(STDMETHODCALLTYPE* Release)(ID3DXFile*);
    HRESULT(STDMETHODCALLTYPE* CreateEnumObject)(ID3DXFile*, const void*, DWORD, ID3DXFileEnumObject**);
    HRESULT(STDMETHODCALLTYPE* CreateSaveObject)(ID3DXFile*, const void*, DWORD, DWORD, void**);
    HRESULT(STDMETHODCALLTYPE* RegisterTemplates)(ID3DXFile*, const void*, SIZE_T);
    HRESULT(STDMETHODCALLTYPE* RegisterEnumTemplates)(ID3DXFile*, ID3DXFileEnumObject*);
  };
  const Vtbl* vtbl;
};

using CreateFn = HRESULT(WINAPI*)(ID3DXFile**);
constexpr DWORD kLoadFromFile = 0;

struct Failure {
  std::string what;
  HRESULT hr;
};

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw Failure{what, hr};
}

vorn::Guid ToGuid(const GUID& g) {
  vorn::Guid out;
  out.data1 = g.Data1;
  out.data2 = g.Data2;
  out.data3 = g.Data3;
  std::memcpy(out.data4, g.Data4, 8);
  return out;
}

// The loader hands out STRING members as pointers to their characters; the data encoding
// stores them inline. Rebuilds the inline form by walking the template.
bool Inline(const vorn::TemplateRegistry& registry, const vorn::XTemplate& tpl,
            const uint8_t*& p, const uint8_t* end, std::vector<uint8_t>& out) {
  uint32_t values[256] = {};
  for (size_t i = 0; i < tpl.members.size(); ++i) {
    const vorn::XTemplateMember& m = tpl.members[i];
    uint64_t count = 1;
    for (uint32_t d = 0; d < m.dimCount; ++d) {
      const vorn::XArrayDim& dim = tpl.dims[m.firstDim + d];
      count *= dim.member >= 0 ? values[dim.member] : dim.size;
    }
    if (count > static_cast<uint64_t>(end - p) + 1) return false;
    for (uint64_t k = 0; k < count; ++k) {
      if (m.type == vorn::XMemberType::Template) {
        if (!Inline(registry, registry.At(m.templateIndex), p, end, out)) return false;
      } else if (m.type == vorn::XMemberType::String) {
        const char* text = nullptr;
        if (end - p < static_cast<ptrdiff_t>(sizeof text)) return false;
        std::memcpy(&text, p, sizeof text);
        p += sizeof text;
        if (text) out.insert(out.end(), text, text + std::strlen(text));
        out.push_back(0);
      } else {
        const size_t size = vorn::PrimitiveSize(m.type);
        if (static_cast<size_t>(end - p) < size) return false;
        if (!m.isArray) {
          uint32_t v = 0;
          std::memcpy(&v, p, size);
          values[i] = v;
        }
        out.insert(out.end(), p, p + size);
        p += size;
      }
    }
  }
  return true;
}

std::string NameOf(ID3DXFileData* data) {
  SIZE_T size = 0;
  Check(data->vtbl->GetName(data, nullptr, &size), "GetName");
  if (size == 0) return {};
  std::string name(size, '\0');
  Check(data->vtbl->GetName(data, name.data(), &size), "GetName");
  name.resize(std::strlen(name.c_str()));
  return name;
}

void Walk(ID3DXFileData* data, uint32_t parent, vorn::XFileTree& tree) {
  if (data->vtbl->IsReference(data)) {
    tree.AddReference(parent, NameOf(data));
    return;
  }
  GUID type;
  Check(data->vtbl->GetType(data, &type), "GetType");
  const vorn::Guid id = ToGuid(type);
  const int32_t index = tree.templates.IndexOf(id);
  const std::string name = NameOf(data);
  SIZE_T size = 0;
  const void* bytes = nullptr;
  Check(data->vtbl->Lock(data, &size, &bytes), "Lock");
  std::vector<uint8_t> inlined;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  const uint8_t* end = p + size;
  if (index >= 0 && !Inline(tree.templates, tree.templates.At(index), p, end, inlined)) {
    data->vtbl->Unlock(data);
    throw Failure{"data of " + tree.templates.At(index).name + " " + name + " does not fit its template", E_FAIL};
  }
  if (index >= 0 && p != end) {
    data->vtbl->Unlock(data);
    throw Failure{"data of " + tree.templates.At(index).name + " " + name + " is longer than its template", E_FAIL};
  }
  if (index < 0) inlined.assign(p, end);
  data->vtbl->Unlock(data);
  const uint32_t self = tree.AddObject(parent, index, name, inlined.data(), inlined.size());
  tree.objects[self].templateId = id;

  SIZE_T children = 0;
  Check(data->vtbl->GetChildren(data, &children), "GetChildren");
  for (SIZE_T i = 0; i < children; ++i) {
    ID3DXFileData* child = nullptr;
    Check(data->vtbl->GetChild(data, i, &child), "GetChild");
    Walk(child, self, tree);
    child->vtbl->Release(child);
  }
}

// D3DXIMAGE_INFO, from the published layout.
struct ImageInfo {
  UINT width, height, depth, mipLevels;
  DWORD format, resourceType, fileFormat;
};
using ImageInfoFn = HRESULT(WINAPI*)(const char*, ImageInfo*);

int PrintImageInfo(HMODULE module, const char* path) {
  auto info = reinterpret_cast<ImageInfoFn>(reinterpret_cast<void*>(GetProcAddress(module, "D3DXGetImageInfoFromFileA")));
  if (!info) {
    std::fprintf(stderr, "dxcheck: d3dx9_43.dll has no D3DXGetImageInfoFromFileA\n");
    return 3;
  }
  ImageInfo i{};
  const HRESULT hr = info(path, &i);
  if (FAILED(hr)) {
    std::fprintf(stderr, "dxcheck: D3DXGetImageInfoFromFile failed with HRESULT 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  char format[16];
  const bool fourCC = i.format > 0xffff;
  if (fourCC)
    std::snprintf(format, sizeof format, "%c%c%c%c", char(i.format), char(i.format >> 8), char(i.format >> 16),
                  char(i.format >> 24));
  else
    std::snprintf(format, sizeof format, "%lu", static_cast<unsigned long>(i.format));
  std::printf("%u %u %u %u %s %lu %lu\n", i.width, i.height, i.depth, i.mipLevels, format,
              static_cast<unsigned long>(i.resourceType), static_cast<unsigned long>(i.fileFormat));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string templates = "standard";
  const char* path = nullptr;
  bool image = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--image") == 0) {
      image = true;
    } else if (std::strcmp(argv[i], "--templates") == 0 && i + 1 < argc) {
      templates = argv[++i];
    } else {
      path = argv[i];
    }
  }
  if (!path || (templates != "none" && templates != "standard" && templates != "all")) {
    std::fprintf(stderr, "usage: dxcheck [--templates none|standard|all] FILE.x | dxcheck --image FILE\n");
    return 2;
  }
  HMODULE module = LoadLibraryA("d3dx9_43.dll");
  if (!module) {
    std::fprintf(stderr, "dxcheck: cannot load d3dx9_43.dll (error %lu)\n", GetLastError());
    return 3;
  }
  if (image) return PrintImageInfo(module, path);
  auto create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(module, "D3DXFileCreate")));
  if (!create) {
    std::fprintf(stderr, "dxcheck: d3dx9_43.dll has no D3DXFileCreate\n");
    return 3;
  }
  ID3DXFile* file = nullptr;
  ID3DXFileEnumObject* objects = nullptr;
  try {
    Check(create(&file), "D3DXFileCreate");
    auto blocks = vorn::TemplateBlocks();
    if (templates != "none") Check(file->vtbl->RegisterTemplates(file, blocks[0].data(), blocks[0].size()), "RegisterTemplates (standard)");
    if (templates == "all") {
      Check(file->vtbl->RegisterTemplates(file, blocks[1].data(), blocks[1].size()), "RegisterTemplates (extension)");
      Check(file->vtbl->RegisterTemplates(file, blocks[2].data(), blocks[2].size()), "RegisterTemplates (DeclData)");
    }
    Check(file->vtbl->CreateEnumObject(file, path, kLoadFromFile, &objects), "CreateEnumObject");
    vorn::XFileTree tree;
    tree.templates = vorn::StandardRegistry();
    SIZE_T count = 0;
    Check(objects->vtbl->GetChildren(objects, &count), "GetChildren");
    for (SIZE_T i = 0; i < count; ++i) {
      ID3DXFileData* data = nullptr;
      Check(objects->vtbl->GetChild(objects, i, &data), "GetChild");
      Walk(data, vorn::kNoObject, tree);
      data->vtbl->Release(data);
    }
    // the loader stops quietly at a data object it cannot parse: an empty file is a failure
    if (tree.objects.empty()) throw Failure{"loading (no data objects)", E_FAIL};
    std::string dump = vorn::DumpTree(tree);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(dump.data(), 1, dump.size(), stdout);
  } catch (const Failure& f) {
    std::fprintf(stderr, "dxcheck: %s failed with HRESULT 0x%08lX\n", f.what.c_str(),
                 static_cast<unsigned long>(f.hr));
    if (objects) objects->vtbl->Release(objects);
    if (file) file->vtbl->Release(file);
    return 1;
  }
  objects->vtbl->Release(objects);
  file->vtbl->Release(file);
  return 0;
}
