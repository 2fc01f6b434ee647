// Scene documents with materials, a renderable node over a small mesh, and a scratch folder that
// serves as scene folder and output folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/scene_document.h"
#include "material/material_converter.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/search_folders.h"
#include "tests/support/temp_dir.h"
#include "xformat/xfile_sink.h"

namespace vorn::testing {

// A sink that keeps every call, so tests can look at objects, parents and bytes directly.
class RecordingSink final : public XFileSink {
 public:
  struct Object {
    Guid id;
    std::string name;
    std::vector<uint8_t> bytes;
    uint32_t parent = 0;
    bool reference = false;
  };
  bool AddTemplates(const void*, size_t) override { return true; }
  bool Open(const std::string&, XFileFormat) override { return true; }
  XObjectHandle AddObject(XObjectHandle parent, const Guid& id, const char* name, const void* data,
                          size_t size) override {
    Object o;
    o.id = id;
    o.name = name ? name : "";
    if (size) o.bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    o.parent = parent.id;
    objects.push_back(std::move(o));
    return {static_cast<uint32_t>(objects.size())};
  }
  bool AddReference(XObjectHandle parent, const char* name) override {
    Object o;
    o.name = name;
    o.parent = parent.id;
    o.reference = true;
    objects.push_back(std::move(o));
    return true;
  }
  bool Save() override { return true; }
  void Release(XObjectHandle) override {}

  // Objects of a template (references excluded), in writing order.
  std::vector<const Object*> Of(const Guid& id) const {
    std::vector<const Object*> out;
    for (const Object& o : objects)
      if (!o.reference && o.id == id) out.push_back(&o);
    return out;
  }
  uint32_t HandleOf(const Object* o) const { return static_cast<uint32_t>(o - objects.data()) + 1; }
  std::vector<Object> objects;
};

inline std::vector<uint8_t> Bytes(std::initializer_list<std::string> texts) {
  std::vector<uint8_t> out;
  for (const std::string& t : texts) {
    out.insert(out.end(), t.begin(), t.end());
    out.push_back(0);
  }
  return out;
}
template <typename T>
void AppendRaw(std::vector<uint8_t>& out, T v) {
  uint8_t b[sizeof v];
  std::memcpy(b, &v, sizeof v);
  out.insert(out.end(), b, b + sizeof v);
}

class MaterialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "out");
    SearchFolders& f = ctx_.searchFolders;
    f.sceneDir = Dir() + "/";
    f.hostDir7.clear();
    f.hostDir32.clear();
    ctx_.outputDirectory = Dir() + "/out/";
    mesh_.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh_.faces = {TriFace{{0, 1, 2}, 1, 0, 0}};
    SupportChannels({1});
  }

  // The mesh supports exactly these map channels.
  void SupportChannels(std::initializer_list<int> channels) {
    for (MapChannel& m : mesh_.maps) m = MapChannel{};
    for (int c : channels) {
      MapChannel& m = mesh_.Map(c);
      m.supported = true;
      m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
      m.faces = {MapFace{{0, 1, 2}}};
    }
  }

  // Loads materials and maps (the inside of a document after "nodes") and makes the node.
  void Load(const std::string& body, const std::string& nodeName = "Box") {
    doc_ = LoadSceneDocumentFromString(R"({"format": "vorn-scene", "version": 1, "nodes": [], )" + body + "}");
    ctx_.host = doc_.get();
    NewNode(nodeName);
  }
  XRenderableNode& NewNode(const std::string& name) {
    auto n = std::make_unique<XRenderableNode>();
    n->nodeName = name;
    n->renderable = 1;
    n->kind = kKindMesh;
    n->mesh = &mesh_;
    nodes_.push_back(std::move(n));
    return *nodes_.back();
  }
  XRenderableNode& Node(size_t i = 0) { return *nodes_[i]; }
  const HostMaterial* Mtl(const std::string& id) const { return doc_->FindMaterial(id); }

  // Converts the material for node i and returns its entries' records, references resolved.
  std::vector<XMaterial*> Convert(const std::string& id, size_t i = 0) {
    EXPECT_TRUE(ConvertNodeMaterial(ctx_, Node(i), Mtl(id)));
    std::vector<XMaterial*> out;
    for (const XMaterialEntry& e : Node(i).nodeMaterials) out.push_back(EntryRecord(ctx_, e));
    return out;
  }

  std::string Dir() const { return dir_.string(); }
  void Touch(const std::filesystem::path& p, const std::string& text = "x") const {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  TempDir temp_;
  std::filesystem::path dir_{temp_.path()};
  std::unique_ptr<SceneDocument> doc_;
  ExportContext ctx_;
  TriMesh mesh_;
  std::vector<std::unique_ptr<XRenderableNode>> nodes_;
};

}  // namespace vorn::testing
