#include <cmath>

#include "mesh_fixture.h"

namespace vorn {
namespace {

using testing::AddChannel;
using testing::CornerCount;
using testing::FlatBox;
using testing::Quad;

class MeshBuilder : public testing::MeshFixture {};

TEST_F(MeshBuilder, FlatBoxSplitsEveryCornerBySide) {
  const XMeshData* d = Build(FlatBox());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->valid, 1u);
  EXPECT_EQ(d->VertexCount(), 24u);
  EXPECT_EQ(d->positions.size(), 8u);
  for (size_t p = 0; p < 8; ++p) EXPECT_EQ(CornerCount(*d, p), 3) << "position " << p;
  // Every record names its vertex and every vertex its record.
  for (uint32_t e = 0; e < d->VertexCount(); ++e) {
    EXPECT_EQ(d->corners[e].vertexIndex, e);
    const XExportVertex& v = d->vertices[e];
    int32_t c = d->positions[static_cast<size_t>(v.position)].firstCorner;
    for (int i = 0; i < v.corner; ++i) c = d->corners[static_cast<size_t>(c)].next;
    EXPECT_EQ(c, static_cast<int32_t>(e));
  }
  // The bottom side (z = 0) faces down in the host.
  const XCorner& bottom = d->CornerOf(d->faces[0].vertex0);
  EXPECT_EQ(bottom.normal, (Point3{0, 0, -1}));
  EXPECT_EQ(d->wireColor, 0x336699u);
}

TEST_F(MeshBuilder, WithoutNormalsVerticesSplitOnlyOnOtherAttributes) {
  ExportOptions& o = ctx_.options;
  o.Normal = o.Tangent = o.BiTangent = 0;
  const XMeshData* d = Build(FlatBox());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->VertexCount(), 8u);
  for (const XCorner& c : d->corners) EXPECT_EQ(c.normal, Point3{});
}

TEST_F(MeshBuilder, MaterialIdsWrapAndSplit) {
  TriMesh m = Quad();
  m.faces.MutableData()[0].matID = 5;
  m.faces.MutableData()[1].matID = 1;
  {
    const XMeshData* d = Build(m);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->faces[0].material, 0u);
    for (const XCorner& c : d->corners) EXPECT_EQ(c.material, -1) << "no materials: -1 in every record";
    EXPECT_EQ(d->VertexCount(), 4u);
  }
  AddPlainMaterial();
  {
    const XMeshData* d = Build(m);
    EXPECT_EQ(d->faces[0].material, 0u) << "one material takes every face";
    EXPECT_EQ(d->faces[1].material, 0u);
  }
  AddPlainMaterial();
  AddPlainMaterial();
  {
    const XMeshData* d = Build(m);
    EXPECT_EQ(d->faces[0].material, 2u) << "id 5 of 3 materials";
    EXPECT_EQ(d->faces[1].material, 1u);
    EXPECT_EQ(d->VertexCount(), 6u) << "the shared edge splits by material";
  }
}

TEST_F(MeshBuilder, NegativeDeterminantReversesWinding) {
  const TriMesh m = Quad();
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->PointOf(d->faces[0].vertex1), (Point3{1, 0, 0}));
  ctx_.conversion.k = ScaleMatrix(Point3{1, 1, -1});
  d = Build(m);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->PointOf(d->faces[0].vertex0), (Point3{0, 0, 0}));
  EXPECT_EQ(d->PointOf(d->faces[0].vertex1), (Point3{0, 1, 0})) << "host corners 0, 2, 1";
  EXPECT_EQ(d->PointOf(d->faces[0].vertex2), (Point3{1, 0, 0}));
  // The mirrored normal still points out of the front side after the flip.
  EXPECT_EQ(d->CornerOf(d->faces[0].vertex0).normal, (Point3{0, 0, -1}));
}

TEST_F(MeshBuilder, TextureCoordinatesSplitBeyondTheTolerance) {
  // Two faces meet at positions 1 and 2 with their own map vertices there.
  TriMesh m = Quad();
  MapChannel& map = m.Map(1);
  map.supported = true;
  map.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1.0000005f, 0, 0}, {0, 1.00001f, 0}};
  map.faces = {MapFace{{0, 1, 2}}, MapFace{{5, 4, 3}}};
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  EXPECT_EQ(CornerCount(*d, 1), 1) << "5e-7 apart: one vertex";
  EXPECT_EQ(CornerCount(*d, 2), 2) << "1e-5 apart: two";
  EXPECT_EQ(d->VertexCount(), 5u);
  // Host (0, 1) is written as (0, 0): v is flipped by the default transform.
  const Point2 uv = d->TexCoordsOf(d->faces[0].vertex2)[0];
  EXPECT_EQ(uv.x, 0.0f);
  EXPECT_EQ(uv.y, 0.0f);
}

TEST_F(MeshBuilder, VertexColoursAndAlphaComeFromChannelsZeroAndMinusTwo) {
  ctx_.options.VertexColor = 1;
  TriMesh m = Quad();
  AddChannel(m, 0, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}});
  AddChannel(m, -2, {{0.5f, 0, 0}, {1, 0, 0}, {1, 0, 0}, {0.25f, 0, 0}});
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->hasVertexColor, 1u);
  EXPECT_EQ(d->hasVertexAlpha, 1u);
  const XCorner& c0 = d->CornerOf(d->faces[0].vertex0);
  EXPECT_EQ(c0.color, (Point3{1, 0, 0}));
  EXPECT_EQ(c0.alpha, 0.5f);
  node_.isBone = 1;  // colours are for plain meshes only
  d = Build(m);
  EXPECT_EQ(d->hasVertexColor, 0u);
  EXPECT_EQ(d->CornerOf(0).color, (Point3{1, 1, 1}));
}

TEST_F(MeshBuilder, BuildingReadsTheSharedMeshWithoutCopyingIt) {
  ctx_.options.VertexColor = 1;
  ctx_.options.Tangent = 1;
  TriMesh m = Quad();
  AddChannel(m, 0, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}});
  AddChannel(m, 1, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
  for (bool specified : {false, true}) {
    m.hasSpecifiedNormals = specified;
    m.specified.normals = {{0, 0, 1}};
    m.specified.faces = {MapFace{}, MapFace{}};
    ASSERT_TRUE(Build(m));
    const TriMesh& own = node_.meshCopy;
    EXPECT_TRUE(own.verts.SharesWith(m.verts)) << specified;
    EXPECT_TRUE(own.faces.SharesWith(m.faces)) << specified;
    EXPECT_TRUE(own.Map(0).verts.SharesWith(m.Map(0).verts)) << specified;
    EXPECT_TRUE(own.Map(1).faces.SharesWith(m.Map(1).faces)) << specified;
    EXPECT_TRUE(own.specified.faces.SharesWith(m.specified.faces)) << specified;
  }
}

TEST_F(MeshBuilder, EmptyMeshShowsTheMessageAndKeepsItsPositions) {
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}};
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  ASSERT_EQ(doc_->Messages().size(), 1u);
  EXPECT_EQ(doc_->Messages()[0].text, "cntFaces <= 0 || cntVerts <= 0");
  EXPECT_EQ(doc_->Messages()[0].caption, "GenMeshData\xB3\xF6\xB4\xED");
  EXPECT_EQ(d->positions.size(), 2u);
  EXPECT_EQ(d->VertexCount(), 0u);
  EXPECT_TRUE(d->faces.empty());
}

TEST_F(MeshBuilder, IndicesOutOfRangeFailTheNodeInsteadOfReadingPastTheEnd) {
  TriMesh bad = Quad();
  bad.faces.MutableData()[1].v[2] = 4;
  EXPECT_FALSE(Build(bad));
  EXPECT_FALSE(node_.meshData) << "the node drops its data";

  TriMesh badMap = Quad();
  AddChannel(badMap, 1, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
  badMap.Map(1).faces.MutableData()[1].t[0] = 9;
  EXPECT_FALSE(Build(badMap));
  ctx_.options.TexCoords = 0;  // the channel is not read, so the node builds
  EXPECT_TRUE(Build(badMap));

  TriMesh noVerts = Quad();
  noVerts.verts.clear();
  EXPECT_FALSE(Build(noVerts)) << "faces but no vertices";
  EXPECT_FALSE(doc_->Messages().empty());
}

TEST_F(MeshBuilder, DegenerateFacesLeaveNoNaNInTheFrame) {
  ctx_.options.Tangent = ctx_.options.BiTangent = 1;
  TriMesh m;
  m.verts = {{0, 0, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  m.faces = {TriFace{{0, 1, 2}, 1, 0, 0}, TriFace{{0, 2, 3}, 1, 0, 0}};
  AddChannel(m, 1, {{0, 0, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  for (uint32_t e = 0; e < d->VertexCount(); ++e) {
    const XExportVertex& v = d->vertices[e];
    for (float x : {v.tangent.x, v.tangent.y, v.tangent.z, v.bitangent.x, v.bitangent.y, v.bitangent.z,
                    d->corners[e].normal.x, d->corners[e].normal.y, d->corners[e].normal.z})
      EXPECT_FALSE(std::isnan(x)) << "vertex " << e;
  }
}

TEST_F(MeshBuilder, TangentFrameFollowsTheTextureAxes) {
  ctx_.options.Tangent = ctx_.options.BiTangent = 1;
  TriMesh m = Quad();
  AddChannel(m, 1, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->VertexCount(), 4u);
  for (const XExportVertex& v : d->vertices) {
    // u grows along +x; v is flipped by the default transform, so it grows along -y.
    EXPECT_NEAR(v.tangent.x, 1, 1e-6);
    EXPECT_NEAR(v.bitangent.y, 1, 1e-6) << "made right-handed with the +z normal";
  }
}

TEST_F(MeshBuilder, SpecifiedNormalsWinOnlyWhenTheyCoverEveryFace) {
  TriMesh m = Quad();
  m.hasSpecifiedNormals = true;
  m.specified.normals = {{1, 0, 0}};
  m.specified.faces = {MapFace{{0, 0, 0}}, MapFace{{0, 0, 0}}};
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->CornerOf(0).normal, (Point3{1, 0, 0}));
  m.specified.faces.pop_back();
  d = Build(m);
  EXPECT_EQ(d->CornerOf(0).normal, (Point3{0, 0, 1})) << "one face short: smoothing groups";
}

TEST_F(MeshBuilder, NormalsFollowSmoothingGroups) {
  // Three faces round vertex 0: two smooth together (group 1), one in group 2.
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  m.faces = {TriFace{{0, 1, 2}, 1, 0, 0}, TriFace{{0, 2, 3}, 1, 0, 0}, TriFace{{0, 3, 1}, 2, 0, 0}};
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  const Point3 smooth = d->CornerOf(d->faces[0].vertex0).normal;
  EXPECT_EQ(d->faces[1].vertex0, d->faces[0].vertex0) << "same group: one vertex";
  EXPECT_NE(d->faces[2].vertex0, d->faces[0].vertex0);
  EXPECT_NEAR(smooth.x, std::sqrt(0.5f), 1e-6) << "the mean of the group's two face normals";
  EXPECT_NEAR(smooth.z, std::sqrt(0.5f), 1e-6);
  EXPECT_EQ(d->CornerOf(d->faces[2].vertex0).normal, (Point3{0, 1, 0}));
}

}  // namespace
}  // namespace vorn
