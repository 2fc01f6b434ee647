#include "skin/skin_remap.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <span>
#include <vector>

#include "model/export_context.h"
#include "model/mesh_data.h"
#include "model/skin_info.h"
#include "skin/point_search.h"

namespace vorn {

namespace {

constexpr double kMatchDistance = 1e-4;
constexpr double kMeshSearchStart = 268435455.0;
constexpr double kPatchSearchStart = 99999.0;

double Distance(Point3 a, Point3 b) { return std::sqrt(static_cast<double>(SquaredDistance(a, b))); }
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

// Up to three nearest of a list, in order of distance; a later entry only goes before an
// earlier one when strictly nearer.
struct Nearest3 {
  uint32_t s[3] = {0, 0, 0};
  double d[3] = {0, 0, 0};
  int count = 0;
  void Offer(uint32_t v, double dv) {
    int at = count;
    while (at > 0 && dv < d[at - 1]) --at;
    if (at >= 3) return;
    for (int k = std::min(count, 2); k > at; --k) {
      s[k] = s[k - 1];
      d[k] = d[k - 1];
    }
    s[at] = v;
    d[at] = dv;
    count = std::min(count + 1, 3);
  }
};

// The breadth-first search of one unmatched vertex: rings over the edge list until three or
// more matched vertices were found. Visits are stamped, so nothing is cleared per search.
class RingSearch {
 public:
  RingSearch(const AdjEdgeList& adj, const std::vector<int32_t>& match, uint32_t v)
      : adj_(adj), match_(match), v_(v), stamp_(v, 0) {}

  const std::vector<uint32_t>& Run(uint32_t start) {
    if (++mark_ == 0) {
      std::fill(stamp_.begin(), stamp_.end(), 0u);
      mark_ = 1;
    }
    found_.clear();
    queue_.clear();
    stamp_[start] = mark_;
    queue_.push_back(start);
    size_t head = 0;
    const uint32_t covered = static_cast<uint32_t>(adj_.vertexEdgeOffsets.empty() ? 0 : adj_.vertexEdgeOffsets.size() - 1);
    while (head < queue_.size()) {
      const size_t ringEnd = queue_.size();
      for (size_t k = head; k < ringEnd; ++k)
        if (match_[queue_[k]] != -1) found_.push_back(queue_[k]);
      if (found_.size() >= 3) break;
      for (size_t k = head; k < ringEnd; ++k) {
        const uint32_t u = queue_[k];
        if (u >= covered) continue;
        for (uint32_t e = adj_.vertexEdgeOffsets[u]; e < adj_.vertexEdgeOffsets[u + 1]; ++e) {
          const uint32_t edge = adj_.vertexEdges[e];
          for (int end = 0; end < 2; ++end) {
            const uint32_t w = adj_.edgeVerts[2 * size_t{edge} + static_cast<size_t>(end)];
            if (w < v_ && stamp_[w] != mark_) {
              stamp_[w] = mark_;
              queue_.push_back(w);
            }
          }
        }
      }
      head = ringEnd;
    }
    return found_;
  }

 private:
  const AdjEdgeList& adj_;
  const std::vector<int32_t>& match_;
  uint32_t v_;
  std::vector<uint32_t> stamp_;
  uint32_t mark_ = 0;
  std::vector<uint32_t> queue_;
  std::vector<uint32_t> found_;
};

// Connected parts of the mesh with their matched vertices: a search in a part with fewer
// than three of them would sweep the whole part, and its answer is known beforehand.
struct Parts {
  std::vector<uint32_t> part;     // per vertex
  std::vector<uint32_t> matched;  // per part: number of matched vertices
  std::vector<uint32_t> first;    // per part: its first two matched vertices
  std::vector<uint32_t> second;
};

Parts FindParts(const AdjEdgeList& adj, const std::vector<int32_t>& match, uint32_t v) {
  std::vector<uint32_t> parent(v);
  for (uint32_t i = 0; i < v; ++i) parent[i] = i;
  auto root = [&](uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (uint32_t e = 0; e < adj.EdgeCount(); ++e) {
    const uint32_t a = adj.edgeVerts[2 * size_t{e}], b = adj.edgeVerts[2 * size_t{e} + 1];
    if (a >= v || b >= v) continue;
    const uint32_t ra = root(a), rb = root(b);
    if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
  }
  Parts p;
  p.part.resize(v);
  std::vector<uint32_t> number(v, UINT32_MAX);
  for (uint32_t i = 0; i < v; ++i) {
    uint32_t& n = number[root(i)];
    if (n == UINT32_MAX) {
      n = static_cast<uint32_t>(p.matched.size());
      p.matched.push_back(0);
      p.first.push_back(0);
      p.second.push_back(0);
    }
    p.part[i] = n;
    if (match[i] != -1) {
      uint32_t& c = p.matched[n];
      if (c == 0) p.first[n] = i;
      if (c == 1) p.second[n] = i;
      ++c;
    }
  }
  return p;
}

// Visits the vertices joined to u by an edge (u itself among them, as an end of its edges).
template <typename Visit>
void ForEachNeighbour(const AdjEdgeList& adj, uint32_t u, uint32_t v, Visit visit) {
  if (u + 1 >= adj.vertexEdgeOffsets.size()) return;
  for (uint32_t e = adj.vertexEdgeOffsets[u]; e < adj.vertexEdgeOffsets[u + 1]; ++e) {
    const uint32_t edge = adj.vertexEdges[e];
    for (size_t end = 0; end < 2; ++end) {
      const uint32_t w = adj.edgeVerts[2 * size_t{edge} + end];
      if (w < v) visit(w);
    }
  }
}

// What the ring search of every vertex finds, for all vertices together. The ring search stops
// at radius R(v), the smallest ring by which three matched vertices are reached, and finds all
// matched vertices within it. R comes from one search out of all matched vertices that keeps
// three labels per vertex; then every matched vertex spreads only into vertices whose radius
// it lies within (a shortest path to such a vertex stays inside that region, since R changes
// by at most one from a vertex to its neighbour). Per vertex the four best by (distance, ring)
// are kept: the ring search's order agrees with that except between entries equal on both,
// and only then is a vertex searched on its own.
class FoundSets {
 public:
  struct Entry {
    double d;
    uint32_t ring;
    uint32_t s;
  };

  FoundSets(const AdjEdgeList& adj, const std::vector<int32_t>& match, std::span<const Point3> verts, uint32_t v,
            const Parts& parts)
      : best_(4 * size_t{v}), count_(v, 0) {
    std::vector<uint32_t> radius(v, UINT32_MAX);
    {
      std::vector<std::array<uint32_t, 3>> labels(v);
      std::vector<uint8_t> labelCount(v, 0);
      std::vector<std::pair<uint32_t, uint32_t>> frontier, next;
      for (uint32_t m = 0; m < v; ++m)
        if (match[m] != -1 && parts.matched[parts.part[m]] >= 3) {
          labels[m][0] = m;
          labelCount[m] = 1;
          frontier.push_back({m, m});
        }
      for (uint32_t layer = 1; !frontier.empty(); ++layer) {
        next.clear();
        for (const auto& entry : frontier) {
          const uint32_t source = entry.second;  // a named copy: lambdas may not capture bindings
          ForEachNeighbour(adj, entry.first, v, [&](uint32_t w) {
            uint8_t& c = labelCount[w];
            if (c >= 3) return;
            for (uint8_t k = 0; k < c; ++k)
              if (labels[w][k] == source) return;
            labels[w][c++] = source;
            if (c == 3) radius[w] = layer;
            next.push_back({w, source});
          });
        }
        frontier.swap(next);
      }
    }
    std::vector<uint32_t> stamp(v, UINT32_MAX), queue;
    for (uint32_t m = 0; m < v; ++m) {
      if (match[m] == -1 || parts.matched[parts.part[m]] < 3) continue;
      queue.clear();
      queue.push_back(m);
      stamp[m] = m;
      size_t head = 0;
      for (uint32_t ring = 0; head < queue.size(); ++ring) {
        const size_t end = queue.size();
        for (; head < end; ++head) {
          const uint32_t u = queue[head];
          if (match[u] == -1) Offer(u, {Distance(verts[m], verts[u]), ring, m});
          ForEachNeighbour(adj, u, v, [&](uint32_t w) {
            if (stamp[w] == m || ring + 1 > radius[w]) return;
            stamp[w] = m;
            queue.push_back(w);
          });
        }
      }
    }
  }

  // The three nearest, when the ring search's order cannot change them.
  bool Nearest(uint32_t v, Nearest3& out) const {
    const Entry* e = &best_[4 * size_t{v}];
    const int n = count_[v];
    if (n < 3) return false;
    for (int k = 0; k + 1 < n && k <= 2; ++k)
      if (e[k].d == e[k + 1].d && e[k].ring == e[k + 1].ring) return false;
    for (int k = 0; k < 3; ++k) {
      out.s[k] = e[k].s;
      out.d[k] = e[k].d;
    }
    out.count = 3;
    return true;
  }

 private:
  static bool Before(const Entry& a, const Entry& b) { return a.d < b.d || (a.d == b.d && a.ring < b.ring); }

  void Offer(uint32_t v, const Entry& x) {
    Entry* e = &best_[4 * size_t{v}];
    uint8_t& n = count_[v];
    int at = n;
    while (at > 0 && Before(x, e[at - 1])) --at;
    if (at >= 4) return;
    for (int k = std::min<int>(n, 3); k > at; --k) e[k] = e[k - 1];
    e[at] = x;
    if (n < 4) ++n;
  }

  std::vector<Entry> best_;
  std::vector<uint8_t> count_;
};

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
  const Parts parts = FindParts(adj, match, V);
  RingSearch search(adj, match, V);
  const FoundSets sets(adj, match, verts, V, parts);
  std::vector<uint32_t> few;
  for (uint32_t i = 0; i < V; ++i) {
    AdvanceProgress(ctx);
    if (match[i] != -1) continue;
    const Point3 p = verts[i];
    const uint32_t part = parts.part[i];
    const uint32_t inPart = parts.matched[part];
    const std::vector<uint32_t>* found = nullptr;
    Nearest3 near;
    if (inPart >= 3) {
      if (!sets.Nearest(i, near)) found = &search.Run(i);
    } else {
      // The search would sweep the part and find exactly its matched vertices; only the order
      // of two at one distance is left to it.
      few.clear();
      if (inPart >= 1) few.push_back(parts.first[part]);
      if (inPart == 2) few.push_back(parts.second[part]);
      if (inPart == 2 && SquaredDistance(verts[few[0]], p) == SquaredDistance(verts[few[1]], p))
        found = &search.Run(i);
      else
        found = &few;
    }
    if (found)
      for (uint32_t s : *found) near.Offer(s, Distance(verts[s], p));
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
  std::vector<const std::vector<XWeight>*> bones;
  bones.reserve(skin.bones.size());
  for (const auto& [handle, b] : skin.bones) bones.push_back(&b.weights);
  std::vector<uint8_t> inFace(bones.size(), 0);
  std::vector<uint32_t> faceBones;
  uint32_t maxV = 0, maxF = 0;
  for (const XMeshFace& face : d.faces) {
    faceBones.clear();
    for (uint32_t e : {face.vertex0, face.vertex1, face.vertex2}) {
      if (e >= d.vertices.size()) continue;
      const size_t h = static_cast<size_t>(d.vertices[e].position);
      uint32_t c = 0;
      for (size_t b = 0; b < bones.size(); ++b)
        if (h < bones[b]->size() && (*bones[b])[h].assigned) {
          ++c;
          if (!inFace[b]) {
            inFace[b] = 1;
            faceBones.push_back(static_cast<uint32_t>(b));
          }
        }
      maxV = std::max(maxV, c);
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
