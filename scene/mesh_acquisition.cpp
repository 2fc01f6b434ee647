#include "scene/mesh_acquisition.h"

#include "model/xnode.h"

namespace vorn {

namespace {

bool IsDerived(const HostScene& host, const HostObject* o) {
  uint32_t super = host.SuperClassID(o);
  return super == kGenDerivObjectSuper || super == kDerivObjectSuper;
}

// Channel mask of the deep copy: geometry, topology, maps and selections.
constexpr uint32_t kMeshCopyChannels = 0x800027ff;

}  // namespace

const HostObject* FindMeshSource(const HostScene& host, const HostNode* node) {
  const HostObject* top = host.ObjectRef(node);
  if (!top) return nullptr;
  for (const HostObject* obj = top; IsDerived(host, obj);) {
    for (int i = 0, n = host.ModifierCount(obj); i < n; ++i) {
      const HostModifier* m = host.Modifier(obj, i);
      if (!m || (host.ModifierFlags(m) & kModifierDisabledFlag)) continue;
      ClassID cls = host.ModifierClassID(m);
      if (cls == kSkinClass || cls == kPhysiqueClass) return host.DerivedInput(obj);
    }
    obj = host.DerivedInput(obj);
    if (!obj) return top;
  }
  return top;
}

bool AcquireTriangleMesh(const HostScene& host, XRenderableNode& node, TimeValue t) {
  if (!node.hostNode) return false;
  if (node.mesh) return true;
  node.host = &host;
  node.ownsConvertedObject = 0;
  const HostObject* source = FindMeshSource(host, node.hostNode);
  if (!source) return false;
  const HostObject* evaluated = host.Eval(source, t);
  if (!evaluated) return false;

  // One entry per point of the evaluated object: skin weights are indexed by these points.
  const int count = host.PointCount(evaluated);
  node.objectPoints.clear();
  node.objectPoints.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 0; i < count; ++i) node.objectPoints.push_back(host.GetPoint(evaluated, i));

  if (node.kind == kKindPatch) {
    node.patchMesh = host.GetPatchMesh(evaluated);
    if (node.patchMesh && host.PatchToTriMesh(*node.patchMesh, node.meshCopy, node.patchTable, 0))
      node.mesh = &node.meshCopy;
  }
  if (!node.mesh) {
    node.kind = node.kind == kKindPatch ? kKindMesh : node.kind;
    if (!host.CanConvertTo(evaluated, kTriObjectClass)) return false;
    const HostObject* converted = host.ConvertToTriObject(evaluated, t);
    node.convertedObject = converted;
    if (!converted) return false;
    if (converted != evaluated) node.ownsConvertedObject = 1;
    if (const TriMesh* m = host.ObjectMesh(converted)) {
      node.meshCopy = m->CopyWithChannels(kMeshCopyChannels);
      node.mesh = &node.meshCopy;
    }
  }

  const TriMesh* mesh = node.mesh;
  if (mesh && mesh->FaceCount() >= 1 && mesh->VertexCount() >= 1) {
    // Points and vertices correspond only when they are the same list.
    if (count != mesh->VertexCount()) {
      node.pointsDiffer = 1;
    } else {
      for (int i = 0; i < count; ++i)
        if (!(node.objectPoints[i] == mesh->verts[i])) {
          node.pointsDiffer = 1;
          break;
        }
    }
    return true;
  }
  if (node.ownsConvertedObject && node.convertedObject) host.DeleteTemporary(node.convertedObject);
  node.ownsConvertedObject = 0;
  node.convertedObject = nullptr;
  node.mesh = nullptr;
  return false;
}

}  // namespace vorn
