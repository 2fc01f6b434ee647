#include "host/tri_mesh.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vorn {
namespace {

// Two triangles folded along the shared edge (0, 1).
TriMesh FoldedQuad(uint32_t sgA, uint32_t sgB) {
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 1}};
  m.faces = {TriFace{{0, 1, 2}, sgA}, TriFace{{1, 0, 3}, sgB}};
  return m;
}

TEST(TriMeshNormals, SharedSmoothingGroupGivesOneNormal) {
  TriMesh m = FoldedQuad(1, 1);
  m.BuildNormals();
  const RenderVertex& rv = m.RenderVertices()[0];
  EXPECT_EQ(rv.flags & 0xff, 1u);
  Point3 expected = Normalize(m.FaceNormals()[0] + m.FaceNormals()[1]);
  EXPECT_NEAR(rv.single.normal.x, expected.x, 1e-6);
  EXPECT_NEAR(rv.single.normal.y, expected.y, 1e-6);
  EXPECT_NEAR(rv.single.normal.z, expected.z, 1e-6);
}

TEST(TriMeshNormals, DisjointGroupsGiveOneNormalEach) {
  TriMesh m = FoldedQuad(1, 2);
  m.BuildNormals();
  const RenderVertex& rv = m.RenderVertices()[0];
  ASSERT_EQ(rv.flags & 0xff, 2u);
  EXPECT_EQ(m.NormalList(rv)[0].smGroup, 1u);
  EXPECT_EQ(m.NormalList(rv)[1].smGroup, 2u);
  EXPECT_EQ(m.RenderVertices()[2].flags & 0xff, 1u);
  TriMesh flat = FoldedQuad(0, 0);
  flat.BuildNormals();
  EXPECT_EQ(flat.RenderVertices()[0].flags & 0xff, 0u);
  EXPECT_NEAR(flat.FaceNormals()[0].z, 1, 1e-6);
}

// Faces far out, whose cross products overflow a float, keep their directions; a face of one
// point has none.
TEST(TriMeshNormals, FacesFarOutKeepTheirDirections) {
  TriMesh m;
  m.verts = {{0, 0, 0}, {1e20f, 0, 0}, {0, 1e20f, 0}, {-3e38f, 0, 0}, {3e38f, 0, 0}, {0, 0, 3e38f}, {5, 5, 5}};
  m.faces = {TriFace{{0, 1, 2}, 1}, TriFace{{3, 5, 4}, 1}, TriFace{{6, 6, 6}, 1}};
  m.BuildNormals();
  const Point3 a = m.FaceNormals()[0], b = m.FaceNormals()[1], c = m.FaceNormals()[2];
  EXPECT_EQ(a.x, 0.0f);
  EXPECT_EQ(a.y, 0.0f);
  EXPECT_EQ(a.z, 1.0f);
  EXPECT_EQ(b.x, 0.0f);
  EXPECT_EQ(b.y, 1.0f);
  EXPECT_EQ(b.z, 0.0f);
  EXPECT_EQ(c.x, 0.0f);
  EXPECT_EQ(c.y, 0.0f);
  EXPECT_EQ(c.z, 0.0f);
}

// A grid big enough for two cores whose smoothing groups give vertices one, two and three
// normals, joined ones among them: both builds must hold the same normals, bit for bit.
TEST(TriMeshNormals, TwoCoresGiveTheOneCoreNormals) {
  constexpr uint32_t kSide = 201;  // 80,000 faces
  TriMesh m;
  for (uint32_t y = 0; y < kSide; ++y)
    for (uint32_t x = 0; x < kSide; ++x) m.verts.push_back({float(x), float(y), float((x * x + y) % 7) * 0.3f});
  for (uint32_t y = 0; y + 1 < kSide; ++y)
    for (uint32_t x = 0; x + 1 < kSide; ++x) {
      const uint32_t a = y * kSide + x, b = a + 1, c = a + kSide, d = c + 1;
      const uint32_t g = (x / 3 + y / 5) % 4;
      const uint32_t group = g == 0 ? 0u : g == 3 ? 0x3u : 1u << g;  // 3 joins groups 1 and 2
      m.faces.push_back(TriFace{{a, b, d}, group, 0, 0});
      m.faces.push_back(TriFace{{a, d, c}, (x + y) % 11 == 0 ? 0x10u : group, 0, 0});
    }
  TriMesh one = m;
  one.BuildNormals(false);
  m.BuildNormals(true);
  ASSERT_EQ(one.RenderVertices().size(), m.RenderVertices().size());
  size_t multiple = 0;
  for (size_t v = 0; v < m.RenderVertices().size(); ++v) {
    const RenderVertex &a = one.RenderVertices()[v], &b = m.RenderVertices()[v];
    ASSERT_EQ(a.flags, b.flags) << v;
    ASSERT_EQ(a.single.normal, b.single.normal) << v;
    ASSERT_EQ(a.single.smGroup, b.single.smGroup) << v;
    if ((a.flags & 0xff) < 2) continue;
    ++multiple;
    const std::vector<RenderNormal>& la = one.NormalList(a);
    const std::vector<RenderNormal>& lb = m.NormalList(b);
    ASSERT_EQ(la.size(), lb.size()) << v;
    for (size_t i = 0; i < la.size(); ++i) {
      ASSERT_EQ(la[i].normal, lb[i].normal) << v;
      ASSERT_EQ(la[i].smGroup, lb[i].smGroup) << v;
    }
  }
  EXPECT_GT(multiple, 1000u) << "the grid has vertices with several normals";
  EXPECT_EQ(one.FaceNormals(), m.FaceNormals());
}

// The copy of a big mesh is made on two cores: every part must arrive.
TEST(TriMeshCopy, SharesItsArraysUntilEitherSideChangesThem) {
  TriMesh m = FoldedQuad(1, 2);
  MapChannel& uv = m.Map(1);
  uv.supported = true;
  uv.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  uv.faces = {MapFace{{0, 1, 2}}, MapFace{{1, 0, 2}}};
  m.hasSpecifiedNormals = true;
  m.specified.normals = {{0, 0, 1}};
  m.specified.faces.assign(2, MapFace{});
  m.BuildNormals();

  TriMesh c = m.CopyWithChannels(0x800027ff);
  EXPECT_TRUE(c.verts.SharesWith(m.verts));
  EXPECT_TRUE(c.faces.SharesWith(m.faces));
  EXPECT_TRUE(c.Map(1).faces.SharesWith(uv.faces));
  EXPECT_TRUE(c.specified.normals.SharesWith(m.specified.normals));
  EXPECT_TRUE(c.MapSupport(1));
  EXPECT_FALSE(c.MapSupport(2));
  // the built normals come along, and building them again reads the arrays only
  ASSERT_TRUE(c.NormalsBuilt());
  EXPECT_EQ(c.FaceNormals(), m.FaceNormals());
  EXPECT_EQ(c.RenderVertices().size(), m.RenderVertices().size());
  c.BuildNormals();
  EXPECT_TRUE(c.faces.SharesWith(m.faces));

  // a change to the copy stays in the copy, a change to the original in the original
  c.faces.MutableData()[0].smGroup = 8;
  c.verts.push_back({5, 5, 5});
  m.Map(1).verts.assign(3, Point3{9, 9, 9});
  EXPECT_EQ(m.faces[0].smGroup, 1u);
  EXPECT_EQ(c.faces[1].smGroup, 2u);
  EXPECT_EQ(m.verts.size(), 4u);
  EXPECT_EQ(c.verts.size(), 5u);
  EXPECT_EQ(c.Map(1).verts[1], (Point3{1, 0, 0}));
  EXPECT_FALSE(c.faces.SharesWith(m.faces));
  EXPECT_TRUE(c.Map(1).faces.SharesWith(m.Map(1).faces));

  // what a copy is moved from holds nothing, not the elements it gave away
  const TriMesh moved = std::move(c);
  EXPECT_EQ(moved.verts.size(), 5u);
  EXPECT_TRUE(c.verts.empty());  // NOLINT: checking the moved-from state on purpose
  EXPECT_EQ(c.verts.data(), nullptr);
  EXPECT_EQ(c.verts.begin(), c.verts.end());
}

TEST(TriMeshEdges, EachEdgeOnceAndListedAtBothEnds) {
  TriMesh m = FoldedQuad(1, 1);
  AdjEdgeList adj = m.BuildAdjEdgeList();
  EXPECT_EQ(adj.EdgeCount(), 5u);
  EXPECT_EQ(adj.vertexEdgeOffsets[1] - adj.vertexEdgeOffsets[0], 3u);  // vertex 0: to 1, 2, 3
  EXPECT_EQ(adj.vertexEdgeOffsets[3] - adj.vertexEdgeOffsets[2], 2u);
  m.faces.MutableData()[1].v[2] = 99;  // out of range: ignored, not indexed
  EXPECT_EQ(m.BuildAdjEdgeList().EdgeCount(), 3u);
}

}  // namespace
}  // namespace vorn
