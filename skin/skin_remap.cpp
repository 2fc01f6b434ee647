#include "skin/skin_remap.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "model/export_context.h"
#include "model/mesh_data.h"
#include "model/skin_info.h"
#include "skin/matched_vertex_search.h"
#include "skin/point_search.h"

namespace vorn {

namespace {

constexpr double kMatchDistance = 1e-4;
constexpr double kMeshSearchStart = 268435455.0;
constexpr double kPatchSearchStart = 99999.0;

double Area(Point3 x, Point3 y) { return 0.5 * std::sqrt(static_cast<double>(LengthSquared(Cross(x, y)))); }
// Patch weights stay in single precision apart from the square root.
float AreaF(Point3 x, Point3 y) {
  return static_cast<float>(std::sqrt(static_cast<double>(LengthSquared(Cross(x, y))))) * 0.5f;
}

// The first equal point, else the nearest closer than the match distance and than start.
int32_t DirectMatch(const PointSearch& points, Point3 q, double start) {
  const int32_t e = points.FirstEqual(q);
  if (e >= 0) return e;
  float d2;
  const int32_t j = points.Nearest(q, &d2);
  if (j < 0) return -1;
  const double d = std::sqrt(static_cast<double>(d2));
  return d < kMatchDistance && d < start ? j : -1;
}

void EnsureVertexSkin(XRenderableNode& node) {
  if (!node.vertexSkinData) node.vertexSkinData = std::make_shared<XSkinInfo>();
}

}  // namespace

void CopyWeights(XRenderableNode& node, uint32_t i, uint32_t j, float f) {
  XSkinInfo& out = *node.vertexSkinData;
  const size_t size = node.meshData ? static_cast<size_t>(std::max(node.meshData->positionCount, 0)) : 0;
  if (i >= size) return;
  for (const auto& [handle, b] : node.skinData->bones) {
    if (j >= b.weights.size() || !b.weights[j].assigned) continue;
    const float w = b.weights[j].weight;
    auto it = out.bones.find(handle);
    if (it != out.bones.end()) {
      XWeight& e = it->second.weights[i];
      e.weight = std::min(f * w + e.weight, 1.0f);
      e.assigned = true;
    } else {
      XBoneRecord& r = out.bones[handle];
      r.hostNode = b.hostNode;
      r.name = b.name;
      r.offset = b.offset;
      r.weights.assign(size, XWeight{});
      r.weights[i] = {f * w, true};
    }
  }
}

uint32_t NearestPoint(const XRenderableNode& node, Point3 p) {
  const std::vector<Point3>& pts = node.objectPoints;
  for (size_t j = 0; j < pts.size(); ++j)
    if (pts[j] == p) return static_cast<uint32_t>(j);
  uint32_t best = 0;
  for (size_t j = 1; j < pts.size(); ++j)
    if (SquaredDistance(pts[j], p) < SquaredDistance(pts[best], p)) best = static_cast<uint32_t>(j);
  return best;
}

bool PointOutsideTriangle(Point3 p, Point3 a, Point3 b, Point3 c) {
  if (p == b || p == c) return true;
  const Point3 n = Cross(b - a, c - a);
  if (Dot(Cross(a - p, b - p), n) < 0) return true;
  if (Dot(Cross(b - p, c - p), n) < 0) return true;
  return Dot(Cross(c - p, a - p), n) < 0;
}

bool RemapMeshWeights(ExportContext& ctx, XRenderableNode& node) {
  if (!node.meshData || !node.mesh || !node.skinData) return false;
  const int32_t pointCount = static_cast<int32_t>(node.objectPoints.size());
  const int32_t vCount = node.meshData->positionCount;
  if (pointCount < 1 || vCount < 1 || node.mesh->VertexCount() < vCount) return false;
  EnsureVertexSkin(node);
  const uint32_t V = static_cast<uint32_t>(vCount);
  const SharedArray<Point3>& verts = node.mesh->verts;
  std::vector<int32_t> match(V, -1);

  const PointSearch points(node.objectPoints);
  if (node.kind != kKindPointsDiffer) {
    for (uint32_t i = 0; i < V; ++i) {
      const int32_t j = DirectMatch(points, verts[i], kMeshSearchStart);
      if (j >= 0) {
        CopyWeights(node, i, static_cast<uint32_t>(j), 1.0f);
        match[i] = j;
      }
      AdvanceProgress(ctx);
    }
  } else {
    // Every object point claims its nearest vertex; a vertex claimed twice keeps the nearer
    // point, the earlier on equal distance.
    const std::vector<Point3> used(verts.begin(), verts.begin() + vCount);
    const PointSearch vertices(used);
    for (int32_t j = 0; j < pointCount; ++j) {
      const Point3 q = node.objectPoints[static_cast<size_t>(j)];
      float d2;
      const int32_t i = vertices.Nearest(q, &d2);
      if (i < 0 || !(std::sqrt(static_cast<double>(d2)) < kMeshSearchStart)) continue;
      int32_t& m = match[static_cast<size_t>(i)];
      if (m == -1 || Distance(q, verts[static_cast<size_t>(i)]) <
                         Distance(node.objectPoints[static_cast<size_t>(m)], verts[static_cast<size_t>(i)]))
        m = j;
    }
    for (uint32_t i = 0; i < V; ++i) {
      if (match[i] != -1) CopyWeights(node, i, static_cast<uint32_t>(match[i]), 1.0f);
      AdvanceProgress(ctx);
    }
  }

  const AdjEdgeList adj = node.mesh->BuildAdjEdgeList();
  MatchedVertexSearch search(adj, match, verts, V);
  for (uint32_t i = 0; i < V; ++i) {
    AdvanceProgress(ctx);
    if (match[i] != -1) continue;
    const Point3 p = verts[i];
    Nearest3 near;
    search.Nearest(i, near);
    const auto point = [&](int k) { return static_cast<uint32_t>(match[near.s[k]]); };
    if (near.count == 0) {
      CopyWeights(node, i, NearestPoint(node, p), 1.0f);
    } else if (near.count == 1) {
      CopyWeights(node, i, point(0), 1.0f);
    } else if (near.count == 2) {
      const double d1 = near.d[0], d2 = near.d[1], D = d1 + d2;
      if (D == 0) {
        CopyWeights(node, i, point(0), 1.0f);
      } else {
        if (d2 > 0) CopyWeights(node, i, point(0), static_cast<float>(d2 / D));
        if (d1 > 0) CopyWeights(node, i, point(1), static_cast<float>(d1 / D));
      }
    } else {
      const Point3 p1 = verts[near.s[0]], p2 = verts[near.s[1]], p3 = verts[near.s[2]];
      if (Area(p2 - p1, p3 - p1) == 0) {
        CopyWeights(node, i, point(0), 1.0f);
        continue;
      }
      const double a[3] = {Area(p2 - p, p3 - p), Area(p3 - p, p1 - p),
                           !(p == p1) && !PointOutsideTriangle(p, p1, p2, p3) ? Area(p1 - p, p2 - p) : 0.0};
      const double D = a[0] + a[1] + a[2];
      if (D == 0) {
        CopyWeights(node, i, point(0), 1.0f);
      } else {
        for (int k = 0; k < 3; ++k)
          if (a[k] > 0) CopyWeights(node, i, point(k), static_cast<float>(a[k] / D));
      }
    }
  }
  return true;
}

bool RemapPatchWeights(ExportContext& ctx, XRenderableNode& node) {
  if (!node.patchMesh || !node.meshData || !node.skinData) return false;
  const int32_t vCount = std::max(node.meshData->positionCount, 0);
  EnsureVertexSkin(node);
  const uint32_t V = static_cast<uint32_t>(vCount);
  const PointSearch points(node.objectPoints);
  std::vector<uint8_t> done(V, 0);
  const TriMesh* mesh = node.mesh;
  const size_t meshVerts = mesh ? mesh->verts.size() : 0;

  for (uint32_t i = 0; i < V; ++i) {
    if (i < meshVerts) {
      const int32_t j = DirectMatch(points, mesh->verts[i], kPatchSearchStart);
      if (j >= 0) {
        CopyWeights(node, i, static_cast<uint32_t>(j), 1.0f);
        done[i] = 1;
      }
    }
    AdvanceProgress(ctx);
  }

  const PatchMesh& pm = *node.patchMesh;
  std::vector<uint32_t> corner(pm.verts.size(), 0);
  for (size_t k = 0; k < pm.verts.size(); ++k) {
    const int32_t j = points.EqualOrNearest(pm.verts[k]);
    corner[k] = j < 0 ? 0 : static_cast<uint32_t>(j);
  }

  if (!mesh) {
    ctx.host->MessageBox("VORN has detected a 3ds Max bug which can cause crash! please save your scene data and reload it.",
                         "3ds Max bug", 1, true);
    return false;
  }
  const std::vector<int>& facePatch = node.patchTable.facePatch;
  const size_t P = node.objectPoints.size();
  for (size_t f = 0; f < mesh->faces.size(); ++f) {
    const int patchIndex = f < facePatch.size() ? facePatch[f] : -1;
    const Patch* patch = patchIndex >= 0 && static_cast<size_t>(patchIndex) < pm.patches.size()
                             ? &pm.patches[static_cast<size_t>(patchIndex)]
                             : nullptr;
    for (int c = 0; c < 3 && patch; ++c) {
      const uint32_t v = mesh->faces[f].v[c];
      if (v >= V || v >= meshVerts || done[v]) continue;
      const int sides = patch->type == 4 ? 4 : 3;
      uint32_t cp[4] = {0, 0, 0, 0};
      bool inRange = P > 0;
      for (int k = 0; k < sides; ++k) {
        if (patch->v[k] >= corner.size()) inRange = false;
        else cp[k] = corner[patch->v[k]];
      }
      if (!inRange) continue;
      const Point3 p = mesh->verts[v];
      Point3 q[4];
      for (int k = 0; k < sides; ++k) q[k] = node.objectPoints[cp[k]] - p;
      float w[4] = {0, 0, 0, 0};
      if (sides == 4) {
        const float ab = AreaF(q[0], q[1]), bc = AreaF(q[1], q[2]), cd = AreaF(q[2], q[3]), da = AreaF(q[3], q[0]);
        w[0] = bc * cd;
        w[1] = cd * da;
        w[2] = da * ab;
        w[3] = ab * bc;
      } else {
        w[0] = AreaF(q[1], q[2]);
        w[1] = AreaF(q[2], q[0]);
        w[2] = AreaF(q[0], q[1]);
      }
      float D = 0;
      for (int k = 0; k < sides; ++k) D += w[k];
      if (D == 0) {
        CopyWeights(node, v, cp[0], 1.0f);
      } else {
        for (int k = 0; k < sides; ++k)
          if (w[k] > 0) CopyWeights(node, v, cp[k], w[k] / D);
      }
      done[v] = 1;
    }
    AdvanceProgress(ctx);
  }
  return true;
}

void ComputeSkinHeader(ExportContext& ctx, XRenderableNode& node) {
  if (!node.vertexSkinData || !node.meshData) return;
  XSkinInfo& skin = *node.vertexSkinData;
  const XMeshData& d = *node.meshData;
  // The bones weighing each position, listed once (position h's are weighing[first[h], first[h + 1])),
  // so that a face visits its corners' bones only, not every bone of the skin.
  std::vector<const std::vector<XWeight>*> bones;
  bones.reserve(skin.bones.size());
  size_t positions = 0;
  for (const auto& [handle, b] : skin.bones) {
    bones.push_back(&b.weights);
    positions = std::max(positions, b.weights.size());
  }
  std::vector<uint32_t> first(positions + 1, 0);
  for (const std::vector<XWeight>* w : bones)
    for (size_t h = 0; h < w->size(); ++h) first[h + 1] += (*w)[h].assigned ? 1 : 0;
  for (size_t h = 0; h < positions; ++h) first[h + 1] += first[h];
  std::vector<uint32_t> weighing(first[positions]), next(first.begin(), first.end() - 1);
  for (size_t b = 0; b < bones.size(); ++b)
    for (size_t h = 0; h < bones[b]->size(); ++h)
      if ((*bones[b])[h].assigned) weighing[next[h]++] = static_cast<uint32_t>(b);

  std::vector<uint8_t> inFace(bones.size(), 0);
  std::vector<uint32_t> faceBones;
  uint32_t maxV = 0, maxF = 0;
  for (const XMeshFace& face : d.faces) {
    faceBones.clear();
    for (uint32_t e : {face.vertex0, face.vertex1, face.vertex2}) {
      if (e >= d.vertices.size()) continue;
      const size_t h = static_cast<size_t>(d.vertices[e].position);
      if (h >= positions) continue;
      maxV = std::max(maxV, first[h + 1] - first[h]);
      for (uint32_t k = first[h]; k < first[h + 1]; ++k)
        if (!inFace[weighing[k]]) {
          inFace[weighing[k]] = 1;
          faceBones.push_back(weighing[k]);
        }
    }
    maxF = std::max(maxF, static_cast<uint32_t>(faceBones.size()));
    for (uint32_t b : faceBones) inFace[b] = 0;
    AdvanceProgress(ctx);
  }
  skin.maxWeightsPerVertex = static_cast<uint16_t>(maxV);
  skin.maxWeightsPerFace = static_cast<uint16_t>(maxF);
  skin.boneCount = static_cast<uint16_t>(skin.bones.size());
}

}  // namespace vorn
