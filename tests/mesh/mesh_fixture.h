// A renderable node over a triangle mesh built in code, with a one-node scene as its host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/scene_document.h"
#include "mesh/mesh_builder.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/mesh_data.h"
#include "scene/transforms.h"

namespace vorn::testing {

class MeshFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    doc_ = LoadSceneDocumentFromString(
        R"({"format": "vorn-scene", "version": 1, "nodes": [{"name": "N", "handle": 1, "wireColor": "0x336699",
            "object": {"type": "dummy"}}]})");
    ctx_.host = doc_.get();
    node_.hostNode = doc_->FindNode("N");
    node_.nodeName = "N";
    node_.renderable = 1;
    node_.kind = kKindMesh;
  }

  // Builds the node's mesh data from mesh; the data, or null when the build failed.
  const XMeshData* Build(const TriMesh& mesh) {
    node_.meshCopy = mesh;
    node_.mesh = &node_.meshCopy;
    if (!GenMeshData(ctx_, node_)) return nullptr;
    return node_.meshData.get();
  }

  void AddPlainMaterial(XTextureSlot slot0 = {}, XTextureSlot slot1 = {}) {
    XMaterialEntry& e = node_.nodeMaterials.emplace_back();
    e.kind = MaterialKind::Plain;
    e.plain = std::make_unique<XMaterial>();
    e.plain->slots[0] = std::move(slot0);
    e.plain->slots[1] = std::move(slot1);
  }

  std::unique_ptr<SceneDocument> doc_;
  ExportContext ctx_;
  XRenderableNode node_;
};

inline int CornerCount(const XMeshData& d, size_t position) {
  int n = 0;
  for (int32_t e = d.positions[position].firstCorner; e >= 0; e = d.corners[static_cast<size_t>(e)].next) ++n;
  return n;
}

// A unit cube, two faces a side, each side its own smoothing group and material id.
inline TriMesh FlatBox() {
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}};
  const uint32_t sides[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {1, 3, 7, 5}, {3, 2, 6, 7}, {2, 0, 4, 6}};
  for (int s = 0; s < 6; ++s) {
    const uint32_t* q = sides[s];
    const uint32_t group = 1u << s;
    const uint16_t id = static_cast<uint16_t>(s);
    m.faces.push_back(TriFace{{q[0], q[1], q[2]}, group, id, 0});
    m.faces.push_back(TriFace{{q[2], q[3], q[0]}, group, id, 0});
  }
  return m;
}

// Two triangles sharing the edge 1-2 in the z = 0 plane.
inline TriMesh Quad() {
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  m.faces = {TriFace{{0, 1, 2}, 1, 0, 0}, TriFace{{2, 1, 3}, 1, 0, 0}};
  return m;
}

// Map channel ch with one map vertex per mesh vertex and map faces equal to the mesh faces.
inline void AddChannel(TriMesh& m, int ch, const std::vector<Point3>& verts) {
  MapChannel& map = m.Map(ch);
  map.supported = true;
  map.verts = verts;
  map.faces.clear();
  for (const TriFace& f : m.faces) map.faces.push_back(MapFace{{f.v[0], f.v[1], f.v[2]}});
}

}  // namespace vorn::testing
