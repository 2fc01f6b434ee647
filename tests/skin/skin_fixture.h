// Skinned scenes built up to their skin data, and skinned nodes made by hand for the remapping.
#pragma once

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "../export/spine_fixture.h"
#include "export/settings.h"
#include "mesh/mesh_builder.h"
#include "model/mesh_data.h"
#include "model/skin_info.h"
#include "model/xnode.h"
#include "scene/node_tree.h"
#include "scene/transforms.h"
#include "skin/skin_extraction.h"

namespace vorn::testing {

// The weight entry of a bone at an index of the point (or vertex) skin.
inline XWeight WeightAt(const XSkinInfo& skin, uint32_t handle, size_t i) {
  auto it = skin.bones.find(handle);
  if (it == skin.bones.end() || i >= it->second.weights.size()) return {};
  return it->second.weights[i];
}

// A scene taken through the tree build, then one node through its mesh and skin data.
class SkinScene : public SpineTest {
 protected:
  void Build(const std::string& json, const std::string& ini = "") {
    doc_ = Load(json);
    WriteSettings("[Option]\n" + ini);
    ctx_ = std::make_unique<ExportContext>();
    ctx_->host = doc_.get();
    ctx_->animationRange = doc_->AnimRange();
    ctx_->ticksPerFrame = doc_->TicksPerFrame();
    ctx_->progress.nextThreshold = std::numeric_limits<float>::max();
    LoadSettings(*ctx_);
    ctx_->conversion = SetupCoordinateConversion(1.0f, ctx_->options.RightHand, 0.0f, 0.0f);
    BuildNodeTree(*ctx_, doc_->RootNode());
  }
  XRenderableNode* Skinned(const std::string& hostName) {
    auto it = ctx_->nodeMap.find(doc_->FindNode(hostName));
    if (it == ctx_->nodeMap.end() || !it->second->AsRenderable()) return nullptr;
    XRenderableNode* r = it->second->AsRenderable();
    const TimeValue t = ctx_->animationRange.start;
    r->transform = BindPoseNodeTransform(*doc_, r->hostNode, t);
    r->objectTransform = BindPoseObjectTransform(*doc_, r->hostNode, t);
    if (!GenMeshData(*ctx_, *r)) return nullptr;
    ExtractNodeSkin(*ctx_, *r);
    return r;
  }
  uint32_t Handle(const std::string& hostName) const { return doc_->NodeHandle(doc_->FindNode(hostName)); }
  static XWeight At(const XSkinInfo& skin, uint32_t handle, size_t i) { return WeightAt(skin, handle, i); }

  std::unique_ptr<SceneDocument> doc_;
  std::unique_ptr<ExportContext> ctx_;
};

// Bones named b1, b2, ... with handles 1, 2, ...; a mesh node "M" with handle 100 on an object
// whose skin modifier gives the weights, per point a list of [bone index, weight].
inline std::string SkinnedDoc(const std::string& mesh, const std::string& weights, const std::string& skinExtra = "",
                              int bones = 3, const std::string& meshExtra = "") {
  std::string nodes, list;
  for (int b = 1; b <= bones; ++b) {
    nodes += R"({"name": "b)" + std::to_string(b) + R"(", "handle": )" + std::to_string(b) +
             R"(, "object": {"type": "dummy"}},)";
    list += std::string(b > 1 ? ", " : "") + R"({"node": )" + std::to_string(b) + R"(, "initTM": {"translation": [)" +
            std::to_string(10 * b) + ", 0, 0]}}";
  }
  return R"({"format": "vorn-scene", "version": 1, "nodes": [)" + nodes +
         R"({"name": "M", "handle": 100, "object": {"type": "derived", "input": {"type": "mesh", "mesh": )" + mesh +
         meshExtra + R"(}, "modifiers": [{"type": "skin", "bones": [)" + list + R"(], "weights": )" + weights +
         skinExtra + "}]}}]}";
}

// A skinned node made by hand: object points with their weights (per point, bone handle and
// weight), a host mesh, and mesh data of one exported vertex per host vertex.
struct HandNode {
  std::unique_ptr<ExportContext> ctx;
  std::unique_ptr<XRenderableNode> node;
};

inline HandNode MakeHandNode(HostScene* host, const std::vector<Point3>& points,
                             const std::vector<std::vector<std::pair<uint32_t, float>>>& weights,
                             const std::vector<Point3>& verts, const std::vector<std::array<uint32_t, 3>>& faces,
                             int32_t kind = kKindMesh) {
  HandNode h;
  h.ctx = std::make_unique<ExportContext>();
  h.ctx->host = host;
  h.ctx->progress.nextThreshold = std::numeric_limits<float>::max();
  h.node = std::make_unique<XRenderableNode>();
  XRenderableNode& n = *h.node;
  n.kind = kind;
  n.renderable = 1;
  n.objectPoints = points;
  n.meshCopy.verts = verts;
  for (const auto& f : faces) {
    TriFace t;
    t.v[0] = f[0];
    t.v[1] = f[1];
    t.v[2] = f[2];
    n.meshCopy.faces.push_back(t);
  }
  n.mesh = &n.meshCopy;
  n.pointsDiffer = 1;
  auto d = std::make_shared<XMeshData>();
  d->positionCount = static_cast<int32_t>(verts.size());
  d->faceCount = static_cast<int32_t>(faces.size());
  d->positions.resize(verts.size());
  for (size_t i = 0; i < verts.size(); ++i) {
    d->positions[i].position = verts[i];
    d->vertices.push_back({static_cast<int32_t>(i), 0, {}, {}});
  }
  for (const auto& f : faces) d->faces.push_back({f[0], f[1], f[2], 0});
  n.meshData = d;
  n.skinData = std::make_shared<XSkinInfo>();
  for (size_t p = 0; p < weights.size(); ++p)
    for (auto [handle, w] : weights[p]) {
      XBoneRecord& b = n.skinData->bones[handle];
      b.name = "bone" + std::to_string(handle);
      b.weights.resize(points.size());
      b.weights[p] = {w, true};
    }
  return h;
}

}  // namespace vorn::testing
