// Corner normals from specified normals or smoothing groups, and per-vertex tangent frames.
#pragma once

#include "host/tri_mesh.h"
#include "model/mesh_data.h"

namespace vorn {

// The inverse transpose of M's linear part: it carries normals as M carries points.
Matrix3 NormalTransform(const Matrix3& m);
// The host-space normal of corner k of face f.
Point3 CornerNormal(const TriMesh& mesh, bool useSpecified, int f, int k);
// What CornerNormal(f, k) depends on when that is one stored normal alone: the specified
// normal's index, or 2^32 plus the vertex whose single normal it is. -1 when the face's own
// normal or its smoothing groups take part.
int64_t CornerNormalSource(const TriMesh& mesh, bool useSpecified, int f, int k);

// The slot of a source CornerNormalSource names: the specified normal's index, or the vertex.
inline size_t SourceSlot(int64_t source) {
  constexpr int64_t kVertexKey = int64_t{1} << 32;
  return static_cast<size_t>(source >= kVertexKey ? source - kVertexKey : source);
}
// The normal stored at a slot when CornerNormalSource can name it, else null.
const Point3* StoredSourceNormal(const TriMesh& mesh, bool useSpecified, size_t slot);

struct CornerAngleSet {
  float a0, a1, a2;
};
// Interior angles at p0, p1, p2; a degenerate triangle weighs 0 at every corner.
CornerAngleSet CornerAngles(Point3 p0, Point3 p1, Point3 p2);

struct TangentPair {
  Point3 tangent, bitangent;
};
TangentPair CornerTangent(Point3 p0, Point3 p1, Point3 p2, Point2 t0, Point2 t1, Point2 t2);

// The angle-weighted tangent and bitangent each corner of a face adds to its vertex: p are the
// face's export-space points, w the u and v of the tangent set at its three corners.
struct FaceTangents {
  TangentPair corner[3];
};
FaceTangents FaceTangentWeights(const Point3 p[3], const Point2 w[3]);
void AccumulateFaceTangents(XMeshData& data, const XMeshFace& face, const FaceTangents& t);

void OrthonormalizeFrame(Point3& t, Point3& b, Point3& n);

}  // namespace vorn
