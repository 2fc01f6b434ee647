#include "skin/skin_remap.h"

#include <array>
#include <random>
#include <set>

#include "host/scene_document.h"
#include "skin_fixture.h"

namespace vorn {
namespace {

using testing::MakeHandNode;
using W = std::vector<std::vector<std::pair<uint32_t, float>>>;

class Remap : public ::testing::Test {
 protected:
  std::unique_ptr<SceneDocument> host_ = LoadSceneDocumentFromString("{}");
  static XWeight At(const XRenderableNode& n, uint32_t handle, size_t i) {
    return testing::WeightAt(*n.vertexSkinData, handle, i);
  }
};

TEST_F(Remap, NearMatchesCopyAndFartherVerticesInterpolate) {
  // Points 0 and 1 carry bones 1 and 2; vertex 0 is 5e-5 off point 0, vertex 2 is 2e-4 off
  // point 1 and so is filled from the vertices it is connected to.
  auto h = MakeHandNode(host_.get(), {{0, 0, 0}, {4, 0, 0}, {0, 4, 0}}, W{{{1, 0.8f}}, {{2, 1.0f}}, {{3, 1.0f}}},
                        {{5e-5f, 0, 0}, {0, 4, 0}, {4.0002f, 0, 0}}, {{0, 1, 2}});
  ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
  EXPECT_FLOAT_EQ(At(*h.node, 1, 0).weight, 0.8f) << "unchanged";
  EXPECT_TRUE(At(*h.node, 3, 1).assigned);
  EXPECT_FALSE(At(*h.node, 2, 2).assigned) << "2e-4 is no match, and no neighbour carries bone 2";
  ASSERT_TRUE(At(*h.node, 1, 2).assigned);
  ASSERT_TRUE(At(*h.node, 3, 2).assigned);
  // Two neighbours at about 4.0002 and 5.657: the nearer one gives the larger share.
  const double d1 = std::sqrt(double(4.0002f - 5e-5f) * double(4.0002f - 5e-5f)), d2 = std::sqrt(4.0002 * 4.0002 + 16.0);
  EXPECT_NEAR(At(*h.node, 1, 2).weight, 0.8 * d2 / (d1 + d2), 1e-5);
  EXPECT_NEAR(At(*h.node, 3, 2).weight, d1 / (d1 + d2), 1e-5);
  EXPECT_EQ(h.node->vertexSkinData->bones.at(1).weights.size(), 3u) << "sized to the mesh vertices";
}

TEST_F(Remap, OneReachableMatchIsCopied) {
  auto h = MakeHandNode(host_.get(), {{0, 0, 0}}, W{{{7, 0.5f}, {8, 0.5f}}},
                        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
  ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
  for (size_t v = 0; v < 3; ++v) {
    EXPECT_FLOAT_EQ(At(*h.node, 7, v).weight, 0.5f) << v;
    EXPECT_FLOAT_EQ(At(*h.node, 8, v).weight, 0.5f) << v;
  }
}

TEST_F(Remap, TwoMatchesShareThreeQuartersAndOneQuarter) {
  // Vertex 0 lies 1 from the match of bone 1 and 3 from that of bone 2; 3 and 4 only close the
  // triangles and are far from every point.
  auto h = MakeHandNode(host_.get(), {{1, 0, 0}, {-3, 0, 0}}, W{{{1, 1.0f}}, {{2, 1.0f}}},
                        {{0, 0, 0}, {1, 0, 0}, {-3, 0, 0}, {0, 50, 0}, {0, -50, 0}}, {{0, 1, 3}, {0, 2, 4}});
  ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
  EXPECT_FLOAT_EQ(At(*h.node, 1, 0).weight, 0.75f);
  EXPECT_FLOAT_EQ(At(*h.node, 2, 0).weight, 0.25f);
}

TEST_F(Remap, ThreeMatchesShareByAreasInsideAndOnlyTwoOutside) {
  const std::vector<Point3> pts = {{0, 0, 0}, {4, 0, 0}, {0, 4, 0}};
  const W w{{{1, 1.0f}}, {{2, 1.0f}}, {{3, 1.0f}}};
  // Inside: the opposite sub-triangles have areas 4, 2 and 2 of 8.
  auto in = MakeHandNode(host_.get(), pts, w, {{1, 1, 0}, {0, 0, 0}, {4, 0, 0}, {0, 4, 0}},
                         {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}});
  ASSERT_TRUE(RemapMeshWeights(*in.ctx, *in.node));
  EXPECT_FLOAT_EQ(At(*in.node, 1, 0).weight, 0.5f);
  EXPECT_FLOAT_EQ(At(*in.node, 2, 0).weight, 0.25f);
  EXPECT_FLOAT_EQ(At(*in.node, 3, 0).weight, 0.25f);
  // Outside at (3, 3): s1 and s2 are the points of bones 2 and 3 (equal distance, found
  // order), their areas are 6 and 6, and the third share is dropped.
  auto out = MakeHandNode(host_.get(), pts, w, {{3, 3, 0}, {0, 0, 0}, {4, 0, 0}, {0, 4, 0}},
                          {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}});
  ASSERT_TRUE(RemapMeshWeights(*out.ctx, *out.node));
  EXPECT_FALSE(At(*out.node, 1, 0).assigned);
  EXPECT_FLOAT_EQ(At(*out.node, 2, 0).weight, 0.5f);
  EXPECT_FLOAT_EQ(At(*out.node, 3, 0).weight, 0.5f);
}

TEST_F(Remap, UnconnectedPartTakesTheNearestPoint) {
  auto h = MakeHandNode(host_.get(), {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}}, W{{{1, 1.0f}}, {{2, 1.0f}}, {{3, 1.0f}}},
                        {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {9, 1, 5}, {9, 2, 5}, {8, 1, 5}},
                        {{0, 1, 2}, {3, 4, 5}});
  ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
  for (size_t v = 3; v < 6; ++v) {
    EXPECT_FLOAT_EQ(At(*h.node, 2, v).weight, 1.0f) << v;
    EXPECT_FALSE(At(*h.node, 1, v).assigned) << v;
  }
}

TEST_F(Remap, NoPointsOrNoVerticesFail) {
  auto h = MakeHandNode(host_.get(), {}, W{}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
  EXPECT_FALSE(RemapMeshWeights(*h.ctx, *h.node));
  EXPECT_FALSE(h.node->vertexSkinData);
}

TEST_F(Remap, KindEightPointsClaimTheirNearestVertex) {
  // Points 0 and 1 are both nearest to vertex 0; point 1 is closer and wins. Points 2 and 3
  // are at equal distance from vertex 2: the first one wins.
  auto h = MakeHandNode(host_.get(), {{0.5f, 0, 0}, {0.2f, 0, 0}, {5, 1, 0}, {5, -1, 0}},
                        W{{{1, 1.0f}}, {{2, 1.0f}}, {{3, 1.0f}}, {{4, 1.0f}}},
                        {{0, 0, 0}, {2.5f, 9, 0}, {5, 0, 0}}, {{0, 1, 2}}, kKindPointsDiffer);
  ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
  EXPECT_FLOAT_EQ(At(*h.node, 2, 0).weight, 1.0f);
  EXPECT_FALSE(At(*h.node, 1, 0).assigned);
  EXPECT_FLOAT_EQ(At(*h.node, 3, 2).weight, 1.0f);
  EXPECT_FALSE(At(*h.node, 4, 2).assigned);
  // Vertex 1 is nobody's nearest: it is filled from its two matched neighbours.
  EXPECT_TRUE(At(*h.node, 2, 1).assigned);
  EXPECT_TRUE(At(*h.node, 3, 1).assigned);
}

TEST_F(Remap, SharesOfOneBoneAddUp) {
  // Two matched neighbours at equal distance both carry bone 1; the second also bone 2.
  auto h = MakeHandNode(host_.get(), {{1, 0, 0}, {-1, 0, 0}}, W{{{1, 1.0f}, {2, 1.0f}}, {{1, 1.0f}}},
                        {{0, 0, 0}, {1, 0, 0}, {-1, 0, 0}, {0, 50, 0}}, {{0, 1, 3}, {0, 3, 2}});
  ASSERT_TRUE(RemapMeshWeights(*h.ctx, *h.node));
  EXPECT_FLOAT_EQ(At(*h.node, 1, 0).weight, 1.0f);
  EXPECT_FLOAT_EQ(At(*h.node, 2, 0).weight, 0.5f);
}

TEST(PointOutsideTriangle, EdgesCornersAndSides) {
  const Point3 a{0, 0, 0}, b{4, 0, 0}, c{0, 4, 0};
  EXPECT_FALSE(PointOutsideTriangle({1, 1, 0}, a, b, c));
  EXPECT_TRUE(PointOutsideTriangle({3, 3, 0}, a, b, c));
  EXPECT_TRUE(PointOutsideTriangle(b, a, b, c)) << "equal to b counts as outside";
  EXPECT_TRUE(PointOutsideTriangle(c, a, b, c));
  EXPECT_FALSE(PointOutsideTriangle(a, a, b, c));
  EXPECT_FALSE(PointOutsideTriangle({2, 0, 0}, a, b, c)) << "on an edge is inside";
  EXPECT_FALSE(PointOutsideTriangle({1, 1, 0}, a, c, b)) << "either winding";
}

TEST(NearestPoint, EqualFirstThenNearestFirstOnTies) {
  XRenderableNode n;
  EXPECT_EQ(NearestPoint(n, {1, 2, 3}), 0u) << "no points";
  n.objectPoints = {{1, 0, 0}, {-1, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  EXPECT_EQ(NearestPoint(n, {0, 0, 0}), 2u);
  EXPECT_EQ(NearestPoint(n, {0, 0.5f, 0}), 2u);
  n.objectPoints = {{1, 0, 0}, {-1, 0, 0}};
  EXPECT_EQ(NearestPoint(n, {0, 0, 0}), 0u) << "equal distance: the first";
  EXPECT_EQ(NearestPoint(n, {-0.1f, 0, 0}), 1u);
}

// Patches through the scene document: a quad patch of four corner points, one bone each.
class PatchRemap : public testing::SkinScene {
 protected:
  XRenderableNode* Patch(const std::string& patch, const std::string& weights, int bones, const std::string& ini = "") {
    std::string nodes, list;
    for (int b = 1; b <= bones; ++b) {
      nodes += R"({"name": "b)" + std::to_string(b) + R"(", "handle": )" + std::to_string(b) +
               R"(, "object": {"type": "dummy"}},)";
      list += std::string(b > 1 ? ", " : "") + std::to_string(b);
    }
    Build(R"({"nodes": [)" + nodes + R"({"name": "P", "handle": 100, "object": {"type": "derived",
        "input": {"type": "patch", "patch": )" + patch + R"(}, "modifiers": [{"type": "skin", "bones": [)" + list +
              R"(], "weights": )" + weights + "}]}}]}",
          ini);
    return Skinned("P");
  }
};

TEST_F(PatchRemap, MiddleOfAQuadTakesAQuarterOfEachCorner) {
  XRenderableNode* n = Patch(R"({"vertices": [[0,0,0],[10,0,0],[10,10,0],[0,10,0]], "patches": [[0,1,2,3]], "steps": 2})",
                             "[[[0, 1.0]], [[1, 1.0]], [[2, 1.0]], [[3, 1.0]]]", 4);
  ASSERT_TRUE(n);
  ASSERT_EQ(n->kind, kKindPatch);
  ASSERT_TRUE(n->hasSkin);
  ASSERT_NE(n->vertexSkinData, n->skinData);
  int middle = -1;
  for (size_t v = 0; v < n->mesh->verts.size(); ++v)
    if (n->mesh->verts[v] == Point3{5, 5, 0}) middle = static_cast<int>(v);
  ASSERT_GE(middle, 0);
  for (uint32_t b = 1; b <= 4; ++b) EXPECT_FLOAT_EQ(At(*n->vertexSkinData, b, size_t(middle)).weight, 0.25f) << b;
  // The corners are direct matches; an edge midpoint takes half of each end.
  EXPECT_FLOAT_EQ(At(*n->vertexSkinData, 1, 0).weight, 1.0f);
  EXPECT_FALSE(At(*n->vertexSkinData, 2, 0).assigned);
  for (size_t v = 0; v < n->mesh->verts.size(); ++v)
    if (n->mesh->verts[v] == Point3{5, 0, 0}) {
      EXPECT_FLOAT_EQ(At(*n->vertexSkinData, 1, v).weight, 0.5f);
      EXPECT_FLOAT_EQ(At(*n->vertexSkinData, 2, v).weight, 0.5f);
      EXPECT_FALSE(At(*n->vertexSkinData, 3, v).assigned);
    }
  EXPECT_EQ(n->vertexSkinData->maxWeightsPerVertex, 4);
  EXPECT_EQ(n->vertexSkinData->boneCount, 4);
}

TEST_F(PatchRemap, SharedVertexIsFilledOnceAndTrianglesByAreas) {
  // A quad and a triangle patch sharing the edge 1-2. The shared midpoint would reach 1.0 per
  // bone if both faces filled it.
  XRenderableNode* n = Patch(
      R"({"vertices": [[0,0,0],[10,0,0],[10,10,0],[0,10,0],[20,5,0]], "patches": [[0,1,2,3],[1,4,2]], "steps": 2})",
      "[[[0, 1.0]], [[1, 1.0]], [[2, 1.0]], [[3, 1.0]], [[4, 1.0]]]", 5);
  ASSERT_TRUE(n && n->hasSkin);
  const XSkinInfo& s = *n->vertexSkinData;
  bool sawShared = false, sawTriangleEdge = false;
  for (size_t v = 0; v < n->mesh->verts.size(); ++v) {
    const Point3 p = n->mesh->verts[v];
    if (p == Point3{10, 5, 0}) {
      sawShared = true;
      EXPECT_FLOAT_EQ(At(s, 2, v).weight, 0.5f);
      EXPECT_FLOAT_EQ(At(s, 3, v).weight, 0.5f);
    }
    if (p == Point3{15, 2.5f, 0}) {  // midpoint of 1-4 in the triangle: half of each end
      sawTriangleEdge = true;
      EXPECT_FLOAT_EQ(At(s, 2, v).weight, 0.5f);
      EXPECT_FLOAT_EQ(At(s, 5, v).weight, 0.5f);
      EXPECT_FALSE(At(s, 3, v).assigned);
    }
  }
  EXPECT_TRUE(sawShared);
  EXPECT_TRUE(sawTriangleEdge);
}

TEST(SkinHeader, PerFaceAndPerVertexCounts) {
  auto host = LoadSceneDocumentFromString("{}");
  // Vertex bones {1, 2}, {2, 3}, {3}; a fourth vertex used by no face carries bones 1 to 4.
  auto h = MakeHandNode(host.get(), {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}},
                        W{{{1, 0.5f}, {2, 0.5f}}, {{2, 0.5f}, {3, 0.5f}}, {{3, 1.0f}}, {{1, .25f}, {2, .25f}, {3, .25f}, {4, .25f}}},
                        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}}, {{0, 1, 2}});
  h.node->vertexSkinData = h.node->skinData;
  ComputeSkinHeader(*h.ctx, *h.node);
  EXPECT_EQ(h.node->vertexSkinData->maxWeightsPerFace, 3);
  EXPECT_EQ(h.node->vertexSkinData->maxWeightsPerVertex, 2) << "only vertices of faces count";
  EXPECT_EQ(h.node->vertexSkinData->boneCount, 4);

  h.node->meshData->faces.clear();
  ComputeSkinHeader(*h.ctx, *h.node);
  EXPECT_EQ(h.node->vertexSkinData->maxWeightsPerFace, 0);
  EXPECT_EQ(h.node->vertexSkinData->maxWeightsPerVertex, 0);
}

TEST(SkinHeader, CountsOfARandomSkinAreThoseOfItsFaces) {
  // Bones per point from a random subset of nine; the counts from the weight lists themselves.
  auto host = LoadSceneDocumentFromString("{}");
  std::mt19937 rng(11);
  std::vector<Point3> points;
  W weights;
  for (int v = 0; v < 40; ++v) {
    points.push_back({float(v), float(v % 7), 0});
    std::vector<std::pair<uint32_t, float>> w;
    for (uint32_t b = 1; b <= 9; ++b)
      if (rng() % 4 == 0) w.push_back({b, 0.1f});
    weights.push_back(w);
  }
  std::vector<std::array<uint32_t, 3>> faces;
  for (int f = 0; f < 25; ++f) faces.push_back({uint32_t(rng() % 40), uint32_t(rng() % 40), uint32_t(rng() % 40)});
  size_t maxVertex = 0, maxFace = 0;
  for (const auto& f : faces) {
    std::set<uint32_t> bones;
    for (uint32_t v : f) {
      maxVertex = std::max(maxVertex, weights[v].size());
      for (const auto& [b, w] : weights[v]) bones.insert(b);
    }
    maxFace = std::max(maxFace, bones.size());
  }
  auto h = MakeHandNode(host.get(), points, weights, points, faces);
  h.node->vertexSkinData = h.node->skinData;
  ComputeSkinHeader(*h.ctx, *h.node);
  EXPECT_EQ(h.node->vertexSkinData->maxWeightsPerVertex, maxVertex);
  EXPECT_EQ(h.node->vertexSkinData->maxWeightsPerFace, maxFace);
  EXPECT_GT(maxFace, maxVertex);
}

}  // namespace
}  // namespace vorn
