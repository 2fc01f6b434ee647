#include "skin/skin_extraction.h"

#include <algorithm>
#include <memory>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/skin_info.h"
#include "scene/transforms.h"
#include "skin/skin_remap.h"

namespace vorn {

namespace {

bool WeightFixActive(const ExportOptions& o) {
  return o.SkinFix && o.Precision != 0;
}

// The offset maps the skinned node's initial space into the bone's; in world space the mesh
// already sits in world coordinates, so only the bone's inverse is left.
Matrix3 BoneOffset(const Matrix3& nodeInit, const Matrix3& boneInit, bool worldSpace) {
  const Matrix3 inverseBone = Inverse(RemoveMirroring(boneInit));
  return worldSpace ? inverseBone : nodeInit * inverseBone;
}

class SkinTable {
 public:
  SkinTable(const ExportContext& ctx, XRenderableNode& node, const Matrix3& nodeInit)
      : ctx_(ctx), skin_(*node.skinData), points_(node.objectPoints.size()), nodeInit_(nodeInit) {}

  XBoneRecord* Find(const HostNode* bone) {
    auto it = skin_.bones.find(ctx_.host->NodeHandle(bone));
    return it == skin_.bones.end() ? nullptr : &it->second;
  }

  // Adds w at point i, capped at 1; a bone met for the first time gets its record.
  template <typename InitOf>
  void Add(const HostNode* bone, size_t i, float w, InitOf initOf) {
    if (XBoneRecord* b = Find(bone)) {
      XWeight& e = b->weights[i];
      e.weight = e.assigned ? std::min(e.weight + w, 1.0f) : w;
      e.assigned = true;
      return;
    }
    Insert(bone, i, w, initOf(bone));
  }

  void Insert(const HostNode* bone, size_t i, float w, const Matrix3& boneInit) {
    XBoneRecord& b = skin_.bones[ctx_.host->NodeHandle(bone)];
    b.hostNode = bone;
    b.name = BoneName(ctx_, bone);
    b.offset = BoneOffset(nodeInit_, boneInit, ctx_.options.WorldSpace != 0);
    b.weights.assign(points_, XWeight{});
    b.weights[i] = {w, true};
  }

 private:
  const ExportContext& ctx_;
  XSkinInfo& skin_;
  size_t points_;
  Matrix3 nodeInit_;
};

int LimitedCount(int n, const XRenderableNode& node) {
  return std::min(n, static_cast<int>(node.objectPoints.size()));
}

}  // namespace

const HostModifier* FindSkinModifier(const HostScene& host, const HostNode* node) {
  return FindModifier(host, node, kSkinClass);
}

const HostModifier* FindPhysiqueModifier(const HostScene& host, const HostNode* node) {
  return FindModifier(host, node, kPhysiqueClass);
}

std::string BoneName(const ExportContext& ctx, const HostNode* bone) {
  auto it = ctx.nodeMap.find(bone);
  return it == ctx.nodeMap.end() || !it->second ? std::string() : it->second->nodeName;
}

void FixWeights(XRenderableNode& node, int pointCount, float threshold) {
  if (threshold <= 0 || !node.skinData) return;
  const float limit = std::min(threshold, 1.0f);
  auto& bones = node.skinData->bones;
  for (int p = 0; p < pointCount; ++p) {
    const size_t i = static_cast<size_t>(p);
    float sum = 0;
    int k = 0;
    for (auto& [handle, b] : bones)
      if (i < b.weights.size() && b.weights[i].assigned) {
        sum += b.weights[i].weight;
        ++k;
      }
    const float d = 1.0f - sum;
    if (k < 1 || !(d > 0) || !(limit >= d)) continue;
    const float share = d / static_cast<float>(k);
    for (auto& [handle, b] : bones)
      if (i < b.weights.size() && b.weights[i].assigned) b.weights[i].weight += share;
  }
}

bool ExtractSkin(ExportContext& ctx, XRenderableNode& node, const HostModifier* modifier) {
  const SkinInterface* skin = ctx.host->GetSkinInterface(modifier, kSkinInterfaceId);
  if (!skin) return false;
  Matrix3 nodeInit;
  skin->SkinInitTM(node.hostNode, nodeInit, false);
  SkinTable table(ctx, node, RemoveMirroring(nodeInit));
  const SkinContext* data = skin->ContextData(node.hostNode);
  const int n = data ? LimitedCount(data->PointCount(), node) : 0;
  auto initOf = [skin](const HostNode* bone) {
    Matrix3 tm;
    skin->BoneInitTM(bone, tm, false);
    return tm;
  };
  for (int p = 0; p < n; ++p)
    for (int j = 0, nb = data->AssignedBoneCount(p); j < nb; ++j) {
      const float w = data->BoneWeight(p, j);
      const int b = data->AssignedBone(p, j);
      if (b < 0) continue;
      const HostNode* bone = skin->Bone(b);
      if (!bone || w <= 0) continue;
      table.Add(bone, static_cast<size_t>(p), w, initOf);
    }
  if (WeightFixActive(ctx.options)) FixWeights(node, n, static_cast<float>(ctx.options.Precision * 0.1));
  return true;
}

bool ExtractPhysique(ExportContext& ctx, XRenderableNode& node, const HostModifier* modifier) {
  const PhysiqueInterface* phy = ctx.host->GetPhysiqueInterface(modifier, kPhysiqueInterfaceId);
  if (!phy) return false;
  PhysiqueContext* context = phy->Context(node.hostNode);
  if (!context) return false;
  context->ConvertToRigid(1);
  context->AllowBlending(1);
  const int n = LimitedCount(context->VertexCount(), node);
  Matrix3 nodeInit;
  phy->InitNodeTM(node.hostNode, nodeInit);
  SkinTable table(ctx, node, RemoveMirroring(nodeInit));
  auto initOf = [phy](const HostNode* bone) {
    Matrix3 tm;
    phy->InitBoneTM(bone, tm);
    return tm;
  };
  const bool keepZero = WeightFixActive(ctx.options);
  for (int p = 0; p < n; ++p) {
    const std::unique_ptr<PhysiqueVertex> v = context->Vertex(p);
    if (!v) continue;
    const size_t i = static_cast<size_t>(p);
    if (v->Type() == kPhysiqueRigidType) {
      const HostNode* bone = v->Node(0);
      if (!bone) continue;
      // A rigid binding never sums: an assigned entry keeps its weight.
      if (XBoneRecord* b = table.Find(bone)) {
        if (!b->weights[i].assigned) b->weights[i] = {1.0f, true};
      } else {
        table.Insert(bone, i, 1.0f, initOf(bone));
      }
    } else if (v->Type() == kPhysiqueBlendedType) {
      for (int j = 0, nb = v->NodeCount(); j < nb; ++j) {
        const float w = v->Weight(j);
        if (w <= 0 && !keepZero) continue;
        const HostNode* bone = v->Node(j);
        if (!bone) continue;
        table.Add(bone, i, w, initOf);
      }
    }
  }
  if (keepZero) FixWeights(node, n, static_cast<float>(ctx.options.Precision * 0.1));
  return true;
}

void ExtractNodeSkin(ExportContext& ctx, XRenderableNode& node) {
  if (!ctx.options.Skin) return;
  const HostScene& host = *ctx.host;
  if (const HostModifier* skin = FindSkinModifier(host, node.hostNode)) {
    node.skinData = std::make_shared<XSkinInfo>();
    node.hasSkin = ExtractSkin(ctx, node, skin);
  } else if (const HostModifier* phy = FindPhysiqueModifier(host, node.hostNode)) {
    node.skinData = std::make_shared<XSkinInfo>();
    node.hasSkin = ExtractPhysique(ctx, node, phy);
  } else {
    return;
  }
  if (!node.hasSkin) return;
  if (node.pointsDiffer)
    node.hasSkin = node.kind == kKindPatch ? RemapPatchWeights(ctx, node) : RemapMeshWeights(ctx, node);
  else
    node.vertexSkinData = node.skinData;
  if (node.hasSkin) ComputeSkinHeader(ctx, node);
}

}  // namespace vorn
