// The matched-vertex search, alone and within RemapMeshWeights, against a plain reading of
// its rules: a fresh breadth-first search per vertex, linear point searches.
#include <algorithm>
#include <random>
#include <span>

#include "host/scene_document.h"
#include "skin/matched_vertex_search.h"
#include "skin/skin_remap.h"
#include "skin_fixture.h"

namespace vorn {
namespace {

using testing::MakeHandNode;
using W = std::vector<std::vector<std::pair<uint32_t, float>>>;

double Dist(Point3 a, Point3 b) { return std::sqrt(double(LengthSquared(a - b))); }
double Area(Point3 x, Point3 y) { return 0.5 * std::sqrt(double(LengthSquared(Cross(x, y)))); }

// Rings around vertex i until three or more matched vertices are found, then the three
// nearest of them; a later one goes before an earlier one only when strictly nearer.
void PlainNearest(const AdjEdgeList& adj, const std::vector<int32_t>& match, std::span<const Point3> verts,
                  uint32_t V, uint32_t i, std::vector<uint32_t>& s, std::vector<double>& d) {
  std::vector<bool> visited(V, false);
  std::vector<uint32_t> queue{i}, found;
  visited[i] = true;
  while (!queue.empty()) {
    const std::vector<uint32_t> ring = queue;
    queue.clear();
    for (uint32_t u : ring)
      if (match[u] != -1) found.push_back(u);
    if (found.size() >= 3) break;
    for (uint32_t u : ring)
      for (uint32_t e = adj.vertexEdgeOffsets[u]; e < adj.vertexEdgeOffsets[u + 1]; ++e)
        for (int end = 0; end < 2; ++end) {
          const uint32_t w = adj.edgeVerts[2 * adj.vertexEdges[e] + uint32_t(end)];
          if (w < V && !visited[w]) {
            visited[w] = true;
            queue.push_back(w);
          }
        }
  }
  s.clear();
  d.clear();
  for (uint32_t f : found) {
    const double df = Dist(verts[f], verts[i]);
    size_t at = s.size();
    while (at > 0 && df < d[at - 1]) --at;
    s.insert(s.begin() + long(at), f);
    d.insert(d.begin() + long(at), df);
    if (s.size() > 3) {
      s.pop_back();
      d.pop_back();
    }
  }
}

void ReferenceRemap(XRenderableNode& n) {
  const auto& pts = n.objectPoints;
  const auto& verts = n.mesh->verts;
  const uint32_t V = uint32_t(n.meshData->positionCount);
  n.vertexSkinData = std::make_shared<XSkinInfo>();
  std::vector<int32_t> match(V, -1);
  if (n.kind != kKindPointsDiffer) {
    for (uint32_t i = 0; i < V; ++i) {
      int32_t j = -1;
      for (size_t k = 0; k < pts.size() && j < 0; ++k)
        if (pts[k] == verts[i]) j = int32_t(k);
      if (j < 0) {
        double best = 268435455.0;
        for (size_t k = 0; k < pts.size(); ++k) {
          const double d = Dist(pts[k], verts[i]);
          if (d < 1e-4 && d < best) {
            best = d;
            j = int32_t(k);
          }
        }
      }
      if (j >= 0) {
        CopyWeights(n, i, uint32_t(j), 1.0f);
        match[i] = j;
      }
    }
  } else {
    for (size_t j = 0; j < pts.size(); ++j) {
      double best = 268435455.0;
      int32_t i = -1;
      for (uint32_t v = 0; v < V; ++v)
        if (Dist(pts[j], verts[v]) < best) {
          best = Dist(pts[j], verts[v]);
          i = int32_t(v);
        }
      if (i < 0) continue;
      if (match[size_t(i)] == -1 || Dist(pts[j], verts[size_t(i)]) < Dist(pts[size_t(match[size_t(i)])], verts[size_t(i)]))
        match[size_t(i)] = int32_t(j);
    }
    for (uint32_t i = 0; i < V; ++i)
      if (match[i] != -1) CopyWeights(n, i, uint32_t(match[i]), 1.0f);
  }
  const AdjEdgeList adj = n.mesh->BuildAdjEdgeList();
  for (uint32_t i = 0; i < V; ++i) {
    if (match[i] != -1) continue;
    const Point3 p = verts[i];
    std::vector<uint32_t> s;
    std::vector<double> d;
    PlainNearest(adj, match, verts, V, i, s, d);
    auto pt = [&](size_t k) { return uint32_t(match[s[k]]); };
    if (s.empty()) {
      CopyWeights(n, i, NearestPoint(n, p), 1.0f);
    } else if (s.size() == 1) {
      CopyWeights(n, i, pt(0), 1.0f);
    } else if (s.size() == 2) {
      const double D = d[0] + d[1];
      if (D == 0) {
        CopyWeights(n, i, pt(0), 1.0f);
      } else {
        if (d[1] > 0) CopyWeights(n, i, pt(0), float(d[1] / D));
        if (d[0] > 0) CopyWeights(n, i, pt(1), float(d[0] / D));
      }
    } else {
      const Point3 p1 = verts[s[0]], p2 = verts[s[1]], p3 = verts[s[2]];
      if (Area(p2 - p1, p3 - p1) == 0) {
        CopyWeights(n, i, pt(0), 1.0f);
        continue;
      }
      const double A1 = Area(p2 - p, p3 - p), A2 = Area(p3 - p, p1 - p);
      const double A3 = !(p == p1) && !PointOutsideTriangle(p, p1, p2, p3) ? Area(p1 - p, p2 - p) : 0.0;
      const double D = A1 + A2 + A3;
      if (D == 0) {
        CopyWeights(n, i, pt(0), 1.0f);
      } else {
        if (A1 > 0) CopyWeights(n, i, pt(0), float(A1 / D));
        if (A2 > 0) CopyWeights(n, i, pt(1), float(A2 / D));
        if (A3 > 0) CopyWeights(n, i, pt(2), float(A3 / D));
      }
    }
  }
}

// A grid mesh of w x h vertices (spacing 1, optionally jittered), two triangles per cell.
struct Grid {
  std::vector<Point3> verts;
  std::vector<std::array<uint32_t, 3>> faces;
};
Grid MakeGrid(uint32_t w, uint32_t h, std::mt19937& rng, float jitter) {
  Grid g;
  std::uniform_real_distribution<float> j(-jitter, jitter);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      g.verts.push_back({float(x) + (jitter > 0 ? j(rng) : 0.0f), float(y) + (jitter > 0 ? j(rng) : 0.0f), 0});
  for (uint32_t y = 0; y + 1 < h; ++y)
    for (uint32_t x = 0; x + 1 < w; ++x) {
      const uint32_t a = y * w + x, b = a + 1, c = a + w, d = c + 1;
      g.faces.push_back({a, b, d});
      g.faces.push_back({a, d, c});
    }
  return g;
}

// Object points for the vertices chosen as matched (exact, near or 2e-4 away), weights of a
// few bones each.
void Points(const Grid& g, const std::vector<bool>& matched, std::mt19937& rng, std::vector<Point3>& pts, W& w) {
  std::uniform_int_distribution<uint32_t> bone(1, 6), kind(0, 3);
  std::uniform_real_distribution<float> weight(0.05f, 1.0f);
  for (size_t v = 0; v < g.verts.size(); ++v) {
    Point3 p = g.verts[v];
    if (!matched[v]) {
      p.z += 0.0002f;  // close, but no match
    } else if (kind(rng) == 0) {
      p.x += 0.00004f;  // a near match
    }
    pts.push_back(p);
    w.push_back({{bone(rng), weight(rng)}});
    if (kind(rng) < 2) w.back().push_back({bone(rng), weight(rng)});
  }
}

void ExpectSameSkin(const XSkinInfo& a, const XSkinInfo& b, const std::string& what) {
  ASSERT_EQ(a.bones.size(), b.bones.size()) << what;
  for (auto ia = a.bones.begin(), ib = b.bones.begin(); ia != a.bones.end(); ++ia, ++ib) {
    ASSERT_EQ(ia->first, ib->first) << what;
    ASSERT_EQ(ia->second.weights.size(), ib->second.weights.size()) << what;
    for (size_t i = 0; i < ia->second.weights.size(); ++i) {
      ASSERT_EQ(ia->second.weights[i].assigned, ib->second.weights[i].assigned) << what << " vertex " << i;
      // Bit for bit: the same operations in the same order.
      ASSERT_EQ(ia->second.weights[i].weight, ib->second.weights[i].weight) << what << " vertex " << i;
    }
  }
}

TriMesh MeshOf(const std::vector<Point3>& verts, const std::vector<std::array<uint32_t, 3>>& faces) {
  TriMesh m;
  m.verts = verts;
  for (const auto& f : faces) {
    TriFace t;
    for (int k = 0; k < 3; ++k) t.v[k] = f[size_t(k)];
    m.faces.push_back(t);
  }
  return m;
}

// What the search gives for every unmatched vertex equals the plain search: the same vertices in
// the same order at the same distances.
void ExpectSameNearest(const TriMesh& mesh, const std::vector<int32_t>& match, const std::string& what) {
  const uint32_t V = uint32_t(match.size());
  const AdjEdgeList adj = mesh.BuildAdjEdgeList();
  const std::span<const Point3> verts(mesh.verts.data(), mesh.verts.size());
  MatchedVertexSearch search(adj, match, verts, V);
  std::vector<uint32_t> s;
  std::vector<double> d;
  for (uint32_t i = 0; i < V; ++i) {
    if (match[i] != -1) continue;
    Nearest3 near;
    search.Nearest(i, near);
    PlainNearest(adj, match, verts, V, i, s, d);
    ASSERT_EQ(size_t(near.count), s.size()) << what << " vertex " << i;
    for (size_t k = 0; k < s.size(); ++k) {
      ASSERT_EQ(near.s[k], s[k]) << what << " vertex " << i << " entry " << k;
      ASSERT_EQ(near.d[k], d[k]) << what << " vertex " << i << " entry " << k;
    }
  }
}

TEST(MatchedVertexSearch, AgreesWithThePlainSearchOnGrids) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 40; ++round) {
    const uint32_t w = 3 + uint32_t(rng() % 14), h = 2 + uint32_t(rng() % 12);
    // Regular grids tie on distance, where the ring order alone decides.
    Grid g = MakeGrid(w, h, rng, round % 3 == 0 ? 0.0f : 0.3f);
    if (round % 2 == 0) {
      std::vector<uint32_t> perm(g.verts.size());
      for (uint32_t k = 0; k < perm.size(); ++k) perm[k] = k;
      std::shuffle(perm.begin(), perm.end(), rng);
      std::vector<Point3> moved(g.verts.size());
      for (size_t k = 0; k < perm.size(); ++k) moved[perm[k]] = g.verts[k];
      g.verts = moved;
      for (auto& f : g.faces)
        for (uint32_t& x : f) x = perm[x];
    }
    std::vector<int32_t> match(g.verts.size(), -1);
    const int density = int(rng() % 4);
    for (size_t v = 0; v < match.size(); ++v)
      if (int(rng() % 8) < (density == 0 ? 1 : 2 * density + 1)) match[v] = int32_t(v);
    ExpectSameNearest(MeshOf(g.verts, g.faces), match, "round " + std::to_string(round));
  }
}

TEST(MatchedVertexSearch, AgreesWithThePlainSearchAcrossWideUnmatchedRegions) {
  std::mt19937 rng(3);
  for (int layout = 0; layout < 4; ++layout) {
    const Grid g = MakeGrid(41, 30, rng, layout % 2 ? 0.25f : 0.0f);
    std::vector<int32_t> match(g.verts.size(), -1);
    for (size_t v = 0; v < match.size(); ++v)
      if (layout < 2 ? v < match.size() / 2 : ((v / 41) / 6) % 3 == 0 && v % 5 != 0) match[v] = int32_t(v);
    ExpectSameNearest(MeshOf(g.verts, g.faces), match, "layout " + std::to_string(layout));
  }
}

TEST(MatchedVertexSearch, PartsWithFewerThanThreeMatchedVertices) {
  // Separate parts: a triangle with one matched corner, one with none, two triangles whose far
  // corners are matched, and a part whose two matched vertices lie at one distance from vertex
  // 12 but one ring and two rings away from it (the farther ring holding the lower index).
  const std::vector<Point3> verts = {{0, 0, 0},  {1, 0, 0},  {0, 1, 0},  {5, 0, 0},  {6, 0, 0},
                                     {5, 1, 0},  {9, 0, 0},  {10, 1, 0}, {10, -1, 0}, {11, 0, 0},
                                     {20, 2, 0}, {22, 0, 0}, {20, 0, 0}, {20, 1, 0}, {19, 2, 0}};
  const std::vector<std::array<uint32_t, 3>> faces = {{0, 1, 2},   {3, 4, 5},    {6, 8, 7},
                                                      {7, 8, 9},   {12, 11, 13}, {13, 10, 14}};
  const std::vector<int32_t> match = {0, -1, -1, -1, -1, -1, 6, -1, -1, 9, 10, 11, -1, -1, -1};
  const TriMesh mesh = MeshOf(verts, faces);
  const AdjEdgeList adj = mesh.BuildAdjEdgeList();
  MatchedVertexSearch search(adj, match, std::span<const Point3>(mesh.verts.data(), mesh.verts.size()), 15);
  Nearest3 one;
  search.Nearest(1, one);
  ASSERT_EQ(one.count, 1);
  EXPECT_EQ(one.s[0], 0u);
  EXPECT_DOUBLE_EQ(one.d[0], 1.0);
  Nearest3 none;
  search.Nearest(4, none);
  EXPECT_EQ(none.count, 0) << "a part without matched vertices";
  Nearest3 two;
  search.Nearest(7, two);
  ASSERT_EQ(two.count, 2);
  EXPECT_EQ(two.d[0], two.d[1]) << "both far corners lie sqrt(2) away";
  Nearest3 rings;
  search.Nearest(12, rings);
  ASSERT_EQ(rings.count, 2);
  EXPECT_EQ(rings.s[0], 11u) << "at one distance, the one in the nearer ring comes first";
  EXPECT_EQ(rings.s[1], 10u);
  ExpectSameNearest(mesh, match, "parts");
}

class RemapReference : public ::testing::Test {
 protected:
  std::unique_ptr<SceneDocument> host_ = LoadSceneDocumentFromString("{}");
};

TEST_F(RemapReference, SameResultOnSmallMeshes) {
  std::mt19937 rng(20261207);
  int cases = 0;
  for (int round = 0; round < 60; ++round) {
    const uint32_t w = 3 + uint32_t(rng() % 12), h = 2 + uint32_t(rng() % 10);
    // Regular grids give many equal distances, where only the search order decides.
    const float jitter = round % 3 == 0 ? 0.0f : 0.3f;
    Grid g = MakeGrid(w, h, rng, jitter);
    // Renumbered vertices: the search order within a ring then differs from index order.
    if (round % 2 == 0) {
      std::vector<uint32_t> perm(g.verts.size());
      for (uint32_t k = 0; k < perm.size(); ++k) perm[k] = k;
      std::shuffle(perm.begin(), perm.end(), rng);
      std::vector<Point3> moved(g.verts.size());
      for (size_t k = 0; k < perm.size(); ++k) moved[perm[k]] = g.verts[k];
      g.verts = moved;
      for (auto& f : g.faces)
        for (uint32_t& x : f) x = perm[x];
    }
    // Some rounds add a loose triangle, away from the grid or sharing no vertex with it.
    if (round % 4 == 1) {
      const uint32_t base = uint32_t(g.verts.size());
      g.verts.push_back({50, 50, 1});
      g.verts.push_back({51, 50, 1});
      g.verts.push_back({50, 52, 1});
      g.faces.push_back({base, base + 1, base + 2});
    }
    std::vector<bool> matched(g.verts.size());
    const int density = int(rng() % 4);  // from almost none to most vertices matched
    for (size_t v = 0; v < matched.size(); ++v) matched[v] = int(rng() % 8) < (density == 0 ? 1 : 2 * density + 1);
    std::vector<Point3> pts;
    W weights;
    Points(g, matched, rng, pts, weights);
    for (int32_t kind : {kKindMesh, kKindPointsDiffer}) {
      std::vector<Point3> usePts = pts;
      W useW = weights;
      if (kind == kKindPointsDiffer) {
        // Fewer points than vertices, several near one vertex.
        usePts.resize(pts.size() / 2);
        useW.resize(pts.size() / 2);
        for (size_t k = 0; k < usePts.size(); ++k) usePts[k] = g.verts[(k * 7) % g.verts.size()] + Point3{0.01f * float(k % 3), 0, 0};
      }
      auto fast = MakeHandNode(host_.get(), usePts, useW, g.verts, g.faces, kind);
      auto ref = MakeHandNode(host_.get(), usePts, useW, g.verts, g.faces, kind);
      ASSERT_TRUE(RemapMeshWeights(*fast.ctx, *fast.node));
      ReferenceRemap(*ref.node);
      ExpectSameSkin(*fast.node->vertexSkinData, *ref.node->vertexSkinData,
                     "round " + std::to_string(round) + " kind " + std::to_string(kind));
      ++cases;
    }
  }
  EXPECT_EQ(cases, 120);
}

// Large unmatched regions, where the rings grow wide: one half of a grid, and bands.
TEST_F(RemapReference, SameResultOverWideUnmatchedRegions) {
  std::mt19937 rng(11);
  for (int layout = 0; layout < 4; ++layout) {
    const Grid g = MakeGrid(41, 30, rng, layout % 2 ? 0.25f : 0.0f);
    std::vector<bool> matched(g.verts.size());
    for (size_t v = 0; v < matched.size(); ++v)
      matched[v] = layout < 2 ? v < matched.size() / 2 : ((v / 41) / 6) % 3 == 0 && v % 5 != 0;
    std::vector<Point3> pts;
    W weights;
    Points(g, matched, rng, pts, weights);
    auto fast = MakeHandNode(host_.get(), pts, weights, g.verts, g.faces);
    auto ref = MakeHandNode(host_.get(), pts, weights, g.verts, g.faces);
    ASSERT_TRUE(RemapMeshWeights(*fast.ctx, *fast.node));
    ReferenceRemap(*ref.node);
    ExpectSameSkin(*fast.node->vertexSkinData, *ref.node->vertexSkinData, "layout " + std::to_string(layout));
  }
}

// 200,000 vertices, half of them unmatched: interleaved (every other vertex), in bands of four
// rows, and one whole half, where searching vertex by vertex took about two minutes.
TEST_F(RemapReference, LargeMeshFillsItsUnmatchedVertices) {
  std::mt19937 rng(7);
  const Grid g = MakeGrid(500, 400, rng, 0.0f);
  for (int layout = 0; layout < 3; ++layout) {
    std::vector<bool> matched(g.verts.size());
    for (size_t v = 0; v < matched.size(); ++v)
      matched[v] = layout == 0 ? (v % 2 == 0) : layout == 1 ? ((v / 500) / 4) % 2 == 0 : v < matched.size() / 2;
    std::vector<Point3> pts;
    W weights;
    Points(g, matched, rng, pts, weights);
    auto h = MakeHandNode(host_.get(), pts, weights, g.verts, g.faces);
    ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
    size_t filled = 0;
    for (const auto& [handle, b] : h.node->vertexSkinData->bones)
      for (size_t v = 1; v < b.weights.size(); v += 2) filled += b.weights[v].assigned;
    EXPECT_GT(filled, g.verts.size() / 2) << "the unmatched vertices got weights";
  }
}

}  // namespace
}  // namespace vorn
