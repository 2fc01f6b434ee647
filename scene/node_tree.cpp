#include "scene/node_tree.h"

#include <cstdio>
#include <cstring>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/xnode.h"
#include "scene/mesh_acquisition.h"
#include "scene/transforms.h"

namespace vorn {

namespace {

constexpr ClassID kBoneClassA{0x28bf6e8d, 0x2ecca840};
constexpr ClassID kBoneClassB{0x9125, 0};
constexpr ClassID kBoneClassC1{0x2e6a0c09, 0x43d5c9c0};
constexpr ClassID kBoneClassC2{0x73dc4833, 0x65c93caa};
constexpr ClassID kDummyClass{0x876234, 0};
constexpr ClassID kPatchClass{0x1030, 0};
constexpr ClassID kSkippedClass{0x1020, 0};
constexpr ClassID kFootstepController{0x3011, 0};
constexpr ClassID kPointsDifferClass{0x4135, 0};

bool IsPointsDifferClass(ClassID c) {
  if (c == kPointsDifferClass) return true;
  if (c.a != 0x76a11646) return false;
  return c.b == 0x12a822fb || c.b == 0x0badbeff || c.b == 0x12a83145 || c.b == 0x12a92143;
}

bool IsCharAllowed(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool NameTaken(const ExportContext& ctx, const std::string& name) { return ctx.nodeNames.count(name) != 0; }

XNode* CreateNode(ExportContext& ctx, XNode* parent, const HostNode* hostNode, int32_t kind, bool renderable) {
  const HostScene& host = *ctx.host;
  const TimeValue t = ctx.animationRange.start;
  std::unique_ptr<XNode> node;
  if (renderable) {
    auto r = std::make_unique<XRenderableNode>();
    r->kind = kind;
    r->hostNode = hostNode;
    r->parent = parent;
    r->nodeName = MakeNodeName(ctx, host.NodeName(hostNode));
    if (AcquireTriangleMesh(host, *r, t)) {
      if (r->kind == kKindPatch || r->kind == kKindPointsDiffer) r->pointsDiffer = 1;
      node = std::move(r);
    } else {
      kind = kKindOther;
    }
  }
  if (!node) {
    node = std::make_unique<XNode>();
    node->kind = kind;
    node->hostNode = hostNode;
    node->parent = parent;
    node->nodeName = MakeNodeName(ctx, host.NodeName(hostNode));
  }
  node->transform = NodeTransformAt(host, hostNode, t);
  XNode* raw = node.get();
  (parent ? parent->children : ctx.topNodes).push_back(std::move(node));
  ctx.nodeMap[hostNode] = raw;
  ctx.nodeOrder.push_back(raw);
  ctx.nodeNames.insert(raw->nodeName);
  return raw;
}

void CollectNode(ExportContext& ctx, XNode* parent, const HostNode* hostNode) {
  const HostScene& host = *ctx.host;
  const ExportOptions& o = ctx.options;
  int32_t kind = kKindOther;
  bool renderable = false;
  const HostObject* ref = host.ObjectRef(hostNode);
  const HostObject* base = ref ? host.BaseObject(ref) : nullptr;
  if (base) {
    const ClassID cls = host.ObjectClassID(base);
    const uint32_t super = host.SuperClassID(base);
    if (super == kHelperSuper) {
      kind = cls == kDummyClass ? kKindDummy : kKindHelper;
    } else if (super == kGeomObjectSuper || super == kShapeSuper) {
      if (cls == kSkippedClass) return;
      const bool convertible = host.Renderable(hostNode) && host.CanConvertTo(base, kTriObjectClass);
      if (cls == kBoneClassA || cls == kBoneClassB || cls == kBoneClassC1 || cls == kBoneClassC2) {
        if (cls == kBoneClassB) {
          const HostController* c = host.TMController(hostNode);
          if (c && host.ControllerClassID(c) == kFootstepController) return;
          kind = 3;
        } else {
          kind = cls == kBoneClassA ? 2 : 4;
        }
        renderable = convertible && o.BoneMesh;
      } else if (cls == kPatchClass) {
        kind = kKindPatch;
        renderable = convertible;
      } else if (IsPointsDifferClass(cls)) {
        kind = kKindPointsDiffer;
        renderable = convertible;
      } else {
        kind = convertible ? kKindMesh : kKindOther;
        renderable = convertible;
      }
    }
  }
  XNode* node = CreateNode(ctx, parent, hostNode, kind, renderable);
  for (int i = 0, n = host.ChildCount(hostNode); i < n; ++i) CollectNode(ctx, node, host.Child(hostNode, i));
}

// One bone assignment of a skinned node, for both skin and physique.
void MarkBone(ExportContext& ctx, XNode& skinned, const HostNode* bone) {
  const ExportOptions& o = ctx.options;
  skinned.exportMark = PassesExportTest(ctx, skinned);
  auto it = ctx.nodeMap.find(bone);
  if (it == ctx.nodeMap.end()) return;
  XNode* b = it->second;
  // A mesh weighted to its own node loses its geometry as bones do; told, as the file then
  // holds only frames.
  if (b == &skinned && b->renderable && !o.BoneMesh)
    std::fprintf(stderr, "vorn: '%s' is a bone of its own skin: written as a frame without its mesh (Bone Mesh keeps it)\n",
                 ctx.host->NodeName(bone).c_str());
  if (b->renderable) b->renderable = o.BoneMesh;
  b->isBone = 1;
  if (skinned.exportMark && o.Skin && o.Bones) b->exportMark = 1;
}

void MarkSkinBones(ExportContext& ctx, XNode& node, const HostModifier* mod) {
  const SkinInterface* skin = ctx.host->GetSkinInterface(mod, kSkinInterfaceId);
  if (!skin) return;
  const SkinContext* data = skin->ContextData(node.hostNode);
  if (!data) return;
  for (int p = 0, np = data->PointCount(); p < np; ++p)
    for (int i = 0, nb = data->AssignedBoneCount(p); i < nb; ++i) {
      int index = data->AssignedBone(p, i);
      if (index < 0) continue;
      const HostNode* bone = skin->Bone(index);
      if (!bone) continue;
      MarkBone(ctx, node, bone);
    }
}

void MarkPhysiqueBones(ExportContext& ctx, XNode& node, const HostModifier* mod) {
  const PhysiqueInterface* phy = ctx.host->GetPhysiqueInterface(mod, kPhysiqueInterfaceId);
  if (!phy) return;
  PhysiqueContext* pc = phy->Context(node.hostNode);
  if (!pc) return;
  pc->ConvertToRigid(1);
  pc->AllowBlending(1);
  for (int v = 0, nv = pc->VertexCount(); v < nv; ++v) {
    std::unique_ptr<PhysiqueVertex> vert = pc->Vertex(v);
    if (!vert) continue;
    if (vert->Type() == kPhysiqueRigidType) {
      if (const HostNode* bone = vert->Node(0)) MarkBone(ctx, node, bone);
    } else if (vert->Type() == kPhysiqueBlendedType) {
      for (int i = 0, n = vert->NodeCount(); i < n; ++i)
        if (const HostNode* bone = vert->Node(i)) MarkBone(ctx, node, bone);
    }
  }
}

}  // namespace

std::string CleanName(const char* text) {
  if (!text) return {};
  std::string out;
  const size_t len = std::strlen(text);
  size_t room = 255;
  if (len > 0 && text[0] >= '0' && text[0] <= '9') {
    out.push_back('_');
    --room;
  }
  const size_t take = len < room ? len : room;
  out.reserve(out.size() + take);
  for (size_t i = 0; i < take; ++i) {
    const char c = text[i];
    out.push_back(c == '"' ? '\'' : IsCharAllowed(c) ? c : '_');
  }
  return out;
}

std::string MakeNodeName(ExportContext& ctx, const std::string& hostName) {
  std::string n = CleanName(hostName);
  if (ctx.options.DuplicateNodeName) return n;
  while (NameTaken(ctx, n)) n.push_back('_');
  return n;
}

bool IsFilteredOut(const ExportOptions& o, const XNode* node) {
  if (!node) return true;
  const bool boneLike = node->TreatedAsBone();
  if (!o.Meshs && node->renderable && !boneLike) return true;
  if (!o.Dummy && node->kind == kKindDummy) return true;
  if (!o.Bones && boneLike) return true;
  if (o.OTHER) return false;
  if (node->renderable && (node->isBone || !IsBoneKind(node->kind))) return false;
  if (node->isBone) return false;
  return !(IsBoneKind(node->kind) || node->kind == kKindDummy);
}

bool PassesExportTest(const ExportContext& ctx, const XNode& node) {
  const bool visible = ctx.exportSelected ? ctx.host->Selected(node.hostNode) : !ctx.host->Hidden(node.hostNode, 0);
  return visible && !IsFilteredOut(ctx.options, &node);
}

void PropagateExportMark(ExportContext& ctx, XNode* node, bool force) {
  const ExportOptions& o = ctx.options;
  for (XNode* n = node; n;) {
    if (!n->hostNode) return;
    if (force)
      n->exportMark = 1;
    else if (!n->exportMark)
      n->exportMark = PassesExportTest(ctx, *n);
    if (n->exportMark && n->renderable) n->renderable = n->TreatedAsBone() ? o.BoneMesh : o.Meshs;
    if (o.WorldSpace || !n->exportMark) return;
    n = n->parent;
    force = true;
  }
}

void BuildNodeTree(ExportContext& ctx, const HostNode* root) {
  const HostScene& host = *ctx.host;
  ctx.rootTransform = NodeTransformAt(host, root, ctx.animationRange.start);
  for (int i = 0, n = host.ChildCount(root); i < n; ++i) CollectNode(ctx, nullptr, host.Child(root, i));

  for (XNode* node : ctx.nodeOrder) {
    if (!node->hostNode || !node->renderable || node->TreatedAsBone()) continue;
    if (const HostModifier* skin = FindModifier(host, node->hostNode, kSkinClass))
      MarkSkinBones(ctx, *node, skin);
    else if (const HostModifier* phy = FindModifier(host, node->hostNode, kPhysiqueClass))
      MarkPhysiqueBones(ctx, *node, phy);
  }
  for (XNode* node : ctx.nodeOrder) PropagateExportMark(ctx, node, node->exportMark != 0);
}

}  // namespace vorn
