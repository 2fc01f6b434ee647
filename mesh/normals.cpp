#include "mesh/normals.h"

#include <cmath>

namespace vorn {

namespace {

bool IsZero(Point3 v) { return v.x == 0.0f && v.y == 0.0f && v.z == 0.0f; }

Point3 Proj(Point3 x, Point3 y) { return (Dot(x, y) / Dot(y, y)) * y; }

void MakeRightHanded(Point3 t, Point3& b, Point3 n) {
  if (Dot(Cross(t, b), n) < 0) b = -b;
}

// acos of a degenerate corner is not a number; such a corner adds nothing.
float AngleOrZero(float cosine) {
  const float a = std::acos(cosine);
  return std::isnan(a) ? 0.0f : a;
}

}  // namespace

Matrix3 NormalTransform(const Matrix3& m) {
  Matrix3 linear = m;
  linear.row[3] = Point3{};
  const Matrix3 inv = Inverse(linear);
  Matrix3 n;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) n.row[i][j] = inv.row[j][i];
  n.row[3] = Point3{};
  return n;
}

Point3 CornerNormal(const TriMesh& mesh, bool useSpecified, int f, int k) {
  if (useSpecified) {
    const uint32_t i = mesh.specified.faces[static_cast<size_t>(f)].t[k];
    return mesh.specified.normals[i];
  }
  const TriFace& face = mesh.faces[static_cast<size_t>(f)];
  const Point3 faceNormal = mesh.FaceNormals()[static_cast<size_t>(f)];
  const std::vector<RenderVertex>& records = mesh.RenderVertices();
  const uint32_t v = face.v[k];
  if (v >= records.size()) return faceNormal;
  const RenderVertex& g = records[v];
  if (g.Specified()) return g.single.normal;
  const uint32_t n = g.NormalCount();
  if (n == 0 || face.smGroup == 0) return faceNormal;
  if (n == 1) return g.single.normal;
  for (const RenderNormal& rn : mesh.NormalList(g))
    if (rn.smGroup & face.smGroup) return rn.normal;
  return faceNormal;
}

int64_t CornerNormalSource(const TriMesh& mesh, bool useSpecified, int f, int k) {
  if (useSpecified) return mesh.specified.faces[static_cast<size_t>(f)].t[k];
  const TriFace& face = mesh.faces[static_cast<size_t>(f)];
  const std::vector<RenderVertex>& records = mesh.RenderVertices();
  const uint32_t v = face.v[k];
  if (v >= records.size()) return -1;
  const RenderVertex& g = records[v];
  const bool single = g.Specified() || (g.NormalCount() == 1 && face.smGroup != 0);
  return single ? (int64_t{1} << 32) + v : -1;
}

const Point3* StoredSourceNormal(const TriMesh& mesh, bool useSpecified, size_t slot) {
  if (useSpecified) return slot < mesh.specified.normals.size() ? &mesh.specified.normals[slot] : nullptr;
  const std::vector<RenderVertex>& records = mesh.RenderVertices();
  if (slot >= records.size()) return nullptr;
  const RenderVertex& g = records[slot];
  return g.Specified() || g.NormalCount() == 1 ? &g.single.normal : nullptr;
}

CornerAngleSet CornerAngles(Point3 p0, Point3 p1, Point3 p2) {
  const float la = Length(p1 - p2), lb = Length(p0 - p2), lc = Length(p0 - p1);
  return {AngleOrZero((lc * lc + lb * lb - la * la) / (2 * lb * lc)),
          AngleOrZero((lc * lc + la * la - lb * lb) / (2 * lc * la)),
          AngleOrZero((lb * lb + la * la - lc * lc) / (2 * la * lb))};
}

TangentPair CornerTangent(Point3 p0, Point3 p1, Point3 p2, Point2 t0, Point2 t1, Point2 t2) {
  const Point3 e1 = p1 - p0, e2 = p2 - p0;
  const float du1 = t1.x - t0.x, dv1 = t1.y - t0.y, du2 = t2.x - t0.x, dv2 = t2.y - t0.y;
  const float d = dv2 * du1 - dv1 * du2;
  if (d != 0.0f) {  // also taken when d is not a number
    const float r = 1.0f / d;
    return {Normalize((e1 * dv2 - e2 * dv1) * r), Normalize((e2 * du1 - e1 * du2) * r)};
  }
  if (du1 == 0.0f && du2 == 0.0f) return {};
  if (du1 == 0.0f) return {Normalize(e2 / du2), {}};
  return {Normalize(e1 / du1), {}};
}

FaceTangents FaceTangentWeights(const Point3 p[3], const Point2 w[3]) {
  const CornerAngleSet a = CornerAngles(p[0], p[1], p[2]);
  const TangentPair c0 = CornerTangent(p[0], p[1], p[2], w[0], w[1], w[2]);
  const TangentPair c1 = CornerTangent(p[1], p[2], p[0], w[1], w[2], w[0]);
  const TangentPair c2 = CornerTangent(p[2], p[0], p[1], w[2], w[0], w[1]);
  return {{{a.a0 * c0.tangent, a.a0 * c0.bitangent},
           {a.a1 * c1.tangent, a.a1 * c1.bitangent},
           {a.a2 * c2.tangent, a.a2 * c2.bitangent}}};
}

void AccumulateFaceTangents(XMeshData& data, const XMeshFace& face, const FaceTangents& t) {
  const uint32_t vertex[3] = {face.vertex0, face.vertex1, face.vertex2};
  for (int c = 0; c < 3; ++c) {
    XExportVertex& v = data.vertices[vertex[c]];
    v.tangent += t.corner[c].tangent;
    v.bitangent += t.corner[c].bitangent;
  }
}

void OrthonormalizeFrame(Point3& t, Point3& b, Point3& n) {
  t = Normalize(t);
  b = Normalize(b);
  MakeRightHanded(t, b, n);
  if (IsZero(n)) {
    if (IsZero(t) || IsZero(b)) return;
    b = b - Proj(b, t);
    MakeRightHanded(t, b, n);
    n = Cross(t, b);
  } else if (IsZero(t)) {
    if (IsZero(b)) {
      const Point3 axis = n.x == 0.0f && n.y == 0.0f ? Point3{1, 0, 0} : Point3{0, 0, 1};
      t = axis - Proj(axis, n);
      if (Dot(Cross(t, b), n) < 0) t = -t;
      b = Cross(n, t);
    } else {
      b = b - Proj(b, n);
      MakeRightHanded(t, b, n);
      t = Cross(b, n);
    }
  } else if (IsZero(b)) {
    t = t - Proj(t, n);
    if (Dot(Cross(t, b), n) < 0) t = -t;
    b = Cross(n, t);
  } else {
    t = t - Proj(t, n);
    if (Dot(Cross(t, b), n) < 0) t = -t;
    if (IsZero(t)) {
      b = b - Proj(b, n);
      MakeRightHanded(t, b, n);
      t = Cross(b, n);
    } else {
      b = b - Proj(b, n) - Proj(b, t);
      MakeRightHanded(t, b, n);
    }
  }
  t = Normalize(t);
  b = Normalize(b);
  n = Normalize(n);
}

}  // namespace vorn
