#include "scene/transforms.h"

#include "model/xnode.h"

namespace vorn {

CoordinateConversion SetupCoordinateConversion(float scale, int rightHanded, float xAngle, float zAngle) {
  const float d = 0.017453292f;
  Matrix3 v;
  if (rightHanded == 0) {
    Matrix3 s;
    s.row[0] = {1, 0, 0};
    s.row[1] = {0, 0, 1};
    s.row[2] = {0, 1, 0};
    Matrix3 a = zAngle != 0 ? RotateYMatrix(-zAngle * d) : Matrix3{};
    Matrix3 b = xAngle != 0 ? RotateXMatrix(-xAngle * d) : Matrix3{};
    v = s * a * b;
  } else {
    Matrix3 a = zAngle != 0 ? RotateZMatrix(zAngle * d) : Matrix3{};
    Matrix3 b = xAngle == 0 ? RotateXMatrix(-1.5707964f) : RotateXMatrix((-90.0f - xAngle) * d);
    v = a * b;
  }
  if (scale > 0 && scale != 1.0f) v = v * ScaleMatrix({scale, scale, scale});
  return CoordinateConversion{v, Inverse(v)};
}

Matrix3 RemoveMirroring(const Matrix3& m) {
  // Most transforms are not mirrored: the determinant alone settles it, without the decomposition.
  if (!IsMirrored(m)) return m;
  AffineParts p = DecompAffine(m);
  Matrix3 u = QuatToMatrix(p.u);
  return Inverse(u) * ScaleMatrix(p.k) * u * QuatToMatrix(p.q) * TransMatrix(p.t);
}

Matrix3 NodeTransformAt(const HostScene& host, const HostNode* node, TimeValue t) {
  return RemoveMirroring(host.NodeTM(node, t));
}

const HostModifier* FindModifier(const HostScene& host, const HostNode* node, ClassID cls) {
  if (!node) return nullptr;
  const HostObject* obj = host.ObjectRef(node);
  while (obj) {
    uint32_t super = host.SuperClassID(obj);
    if (super != kGenDerivObjectSuper && super != kDerivObjectSuper) return nullptr;
    for (int i = 0, n = host.ModifierCount(obj); i < n; ++i) {
      const HostModifier* m = host.Modifier(obj, i);
      if (!m || (host.ModifierFlags(m) & kModifierDisabledFlag)) continue;
      if (host.ModifierClassID(m) == cls) return m;
    }
    obj = host.DerivedInput(obj);
  }
  return nullptr;
}

Matrix3 BindPoseNodeTransform(const HostScene& host, const HostNode* node, TimeValue t) {
  if (!node) return Matrix3{};
  if (const HostModifier* skin = FindModifier(host, node, kSkinClass)) {
    const SkinInterface* si = host.GetSkinInterface(skin, kSkinInterfaceId);
    Matrix3 tm;
    if (si && si->SkinInitTM(node, tm, false) != 0) return RemoveMirroring(tm);
    return NodeTransformAt(host, node, t);
  }
  if (const HostModifier* phy = FindModifier(host, node, kPhysiqueClass)) {
    const PhysiqueInterface* pi = host.GetPhysiqueInterface(phy, kPhysiqueInterfaceId);
    Matrix3 tm;
    if (pi && pi->InitNodeTM(node, tm) == 0) return RemoveMirroring(tm);
    return NodeTransformAt(host, node, t);
  }
  return NodeTransformAt(host, node, t);
}

Matrix3 BindPoseObjectTransform(const HostScene& host, const HostNode* node, TimeValue t) {
  if (!node) return Matrix3{};
  if (const HostModifier* skin = FindModifier(host, node, kSkinClass)) {
    const SkinInterface* si = host.GetSkinInterface(skin, kSkinInterfaceId);
    Matrix3 tm;
    if (si && si->SkinInitTM(node, tm, true) != 0) return tm;
  } else if (const HostModifier* phy = FindModifier(host, node, kPhysiqueClass)) {
    const PhysiqueInterface* pi = host.GetPhysiqueInterface(phy, kPhysiqueInterfaceId);
    Matrix3 tm;
    if (pi && pi->InitNodeTM(node, tm) == 0) return tm;
  }
  return host.ObjectTM(node, t);
}

Matrix3 MeshVertexTransform(const XRenderableNode& node, bool worldSpace) {
  if (worldSpace && node.IsPlainMesh()) return node.objectTransform;
  if (node.singularOffset) return *node.singularOffset;
  return node.objectTransform * Inverse(node.transform);
}

std::optional<Matrix3> SingularObjectOffset(const HostScene& host, const HostNode* node, Interval range,
                                            int32_t ticksPerFrame) {
  const int64_t step = ticksPerFrame > 0 ? ticksPerFrame : 1;
  for (int64_t t = int64_t(range.start) + step; t <= range.end; t += step) {
    const Matrix3 m = NodeTransformAt(host, node, TimeValue(t));
    if (m.Determinant() != 0.0f) return host.ObjectTM(node, TimeValue(t)) * Inverse(m);
  }
  return std::nullopt;
}

}  // namespace vorn
