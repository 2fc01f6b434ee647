#include "host/tri_mesh.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

// Two triangles folded along the shared edge (0, 1).
TriMesh FoldedQuad(uint32_t sgA, uint32_t sgB) {
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 1}};
  m.faces.resize(2);
  m.faces[0].v[0] = 0, m.faces[0].v[1] = 1, m.faces[0].v[2] = 2, m.faces[0].smGroup = sgA;
  m.faces[1].v[0] = 1, m.faces[1].v[1] = 0, m.faces[1].v[2] = 3, m.faces[1].smGroup = sgB;
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

TEST(TriMeshEdges, EachEdgeOnceAndListedAtBothEnds) {
  TriMesh m = FoldedQuad(1, 1);
  AdjEdgeList adj = m.BuildAdjEdgeList();
  EXPECT_EQ(adj.EdgeCount(), 5u);
  EXPECT_EQ(adj.vertexEdgeOffsets[1] - adj.vertexEdgeOffsets[0], 3u);  // vertex 0: to 1, 2, 3
  EXPECT_EQ(adj.vertexEdgeOffsets[3] - adj.vertexEdgeOffsets[2], 2u);
  m.faces[1].v[2] = 99;  // out of range: ignored, not indexed
  EXPECT_EQ(m.BuildAdjEdgeList().EdgeCount(), 3u);
}

}  // namespace
}  // namespace vorn
