#include <iterator>

#include "host/scene_document.h"
#include "mesh/texcoord_sets.h"
#include "mesh_fixture.h"

namespace vorn {
namespace {

using testing::AddChannel;
using testing::Quad;

class TexCoordSets : public testing::MeshFixture {
 protected:
  static TriMesh WithChannels(std::initializer_list<int> channels) {
    TriMesh m = Quad();
    for (int ch : channels) AddChannel(m, ch, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
    return m;
  }
  static XTextureSlot Slot(int channel, UVTransform t, TextureSlotRole role = TextureSlotRole::Diffuse) {
    XTextureSlot s;
    s.role = role;
    s.mapChannel = channel;
    s.uvTransform = t;
    return s;
  }
};

TEST_F(TexCoordSets, ChannelsOneToNinetyNineBecomeSets) {
  const XMeshData* d = Build(WithChannels({0, 1, 3}));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->mapChannels, (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(d->texCoordSetMap, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(d->texCoordStride, 2u);

  d = Build(WithChannels({0}));
  EXPECT_TRUE(d->mapChannels.empty()) << "the colour channel is no set";
  EXPECT_EQ(d->texCoordStride, 0u);

  ctx_.options.TexCoords = 0;
  d = Build(WithChannels({1, 3}));
  EXPECT_EQ(d->SetCount(), 2u) << "sets exist without texture coordinates";
  EXPECT_EQ(d->texCoordStride, 0u);
  EXPECT_TRUE(d->texCoords.empty());
}

TEST_F(TexCoordSets, FirstSlotOfAChannelDecidesItsTransform) {
  const UVTransform shift{{{1, 0}, {0, 1}, {0.5f, 0}}}, scale{{{2, 0}, {0, 2}, {0, 0}}};
  AddPlainMaterial(Slot(1, shift), Slot(1, scale));
  node_.nodeMaterials[0].plain->slots[2] = Slot(5, scale);  // no such channel on the mesh: ignored
  const XMeshData* d = Build(WithChannels({1}));
  ASSERT_TRUE(d);
  const Point2 uv = d->TexCoordsOf(d->faces[0].vertex1)[0];  // host (1, 0)
  EXPECT_EQ(uv.x, 1.5f);
  EXPECT_EQ(uv.y, 0.0f);
}

// Faces of one mesh in runs of different materials each take their own material's transform,
// however the runs follow one another.
TEST_F(TexCoordSets, EachFaceTakesItsOwnMaterialsTransform) {
  const UVTransform shift{{{1, 0}, {0, 1}, {0.5f, 0}}}, scale{{{2, 0}, {0, 2}, {0, 0}}};
  AddPlainMaterial(Slot(1, shift));
  AddPlainMaterial(Slot(1, scale));
  AddPlainMaterial();  // no slot: the coordinates as they are
  const uint16_t ids[] = {0, 0, 1, 0, 2, 2, 1, 1, 0, 2};
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  for (uint16_t id : ids) m.faces.push_back(TriFace{{0, 1, 2}, 1, id, 0});
  AddChannel(m, 1, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  const float expected[] = {1.5f, 2.0f, 1.0f};  // u at host corner 1, (1, 0), per material
  for (size_t f = 0; f < std::size(ids); ++f)
    EXPECT_EQ(d->TexCoordsOf(d->faces[f].vertex1)[0].x, expected[ids[f]]) << "face " << f;
}

TEST_F(TexCoordSets, NormalMapSlotChoosesTheTangentSet) {
  ctx_.options.Tangent = 1;
  TriMesh m = Quad();
  AddChannel(m, 1, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
  AddChannel(m, 2, {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}});  // u along y
  AddPlainMaterial(Slot(1, {}), Slot(2, {}, TextureSlotRole::NormalMap));
  const XMeshData* d = Build(m);
  ASSERT_TRUE(d);
  EXPECT_NEAR(d->vertices[0].tangent.y, 1, 1e-6) << "tangent from set 1, the normal map's";
  node_.nodeMaterials[0].plain->slots[1].role = TextureSlotRole::None;
  d = Build(m);
  EXPECT_NEAR(d->vertices[0].tangent.x, 1, 1e-6) << "no normal map: set 0";
}

TEST_F(TexCoordSets, DuplicateSetsPointAtTheFirstEqualOne) {
  ctx_.options.MultiTexCoordsOptimize = 1;
  const XMeshData* d = Build(WithChannels({1, 2, 4}));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->texCoordSetMap, (std::vector<uint32_t>{0, 0, 0}));

  TriMesh m = WithChannels({1, 2, 4});
  m.Map(2).verts.MutableData()[3].x += 1e-5f;
  d = Build(m);
  EXPECT_EQ(d->texCoordSetMap, (std::vector<uint32_t>{0, 1, 0}));
  m.Map(2).verts.MutableData()[3].x = 1 + 5e-7f;
  d = Build(m);
  EXPECT_EQ(d->texCoordSetMap, (std::vector<uint32_t>{0, 0, 0})) << "within 1e-6";

  ctx_.options.MultiTexCoordsOptimize = 0;
  d = Build(WithChannels({1, 2}));
  EXPECT_EQ(d->texCoordSetMap, (std::vector<uint32_t>{0, 1}));
}

TEST_F(TexCoordSets, TexmapTransformCropAndMirror) {
  auto doc = LoadSceneDocumentFromString(R"({"format": "vorn-scene", "version": 1, "texmaps": {
      "plain": {"type": "bitmap", "file": "a.png"},
      "crop": {"type": "bitmap", "file": "a.png", "crop": {"u": 0.5, "v": 0, "width": 0.5, "height": 0.5}},
      "mirror": {"type": "bitmap", "file": "a.png", "tiling": ["uMirror"],
                 "crop": {"u": 0.5, "v": 0, "width": 0.5, "height": 0.5}},
      "place": {"type": "bitmap", "file": "a.png", "crop": {"u": 0.5, "width": 0.5, "mode": "place"}},
      "scaled": {"type": "bitmap", "file": "a.png", "uvTransform": {"scale": [2, 2, 1]},
                 "crop": {"u": 0.5, "v": 0, "width": 0.5, "height": 0.5}}}})");
  auto at = [&](const char* map, Point2 p) { return ApplyUV(TexmapUVTransform(*doc, doc->FindTexmap(map)), p); };
  EXPECT_EQ(ApplyUV(TexmapUVTransform(*doc, nullptr), {0.25f, 0.25f}), (Point2{0.25f, 0.75f}));
  EXPECT_EQ(at("plain", {0.25f, 0.25f}), (Point2{0.25f, 0.75f}));
  EXPECT_EQ(at("crop", {1, 1}), (Point2{1, 0}));
  EXPECT_EQ(at("crop", {0, 0}), (Point2{0.5f, 0.5f}));
  EXPECT_EQ(at("mirror", {0.25f, 0.25f}), (Point2{0.5f, 0.75f})) << "mirroring wins over the crop";
  EXPECT_EQ(at("place", {0.25f, 0.25f}), (Point2{0.25f, 0.75f})) << "placement is not a crop";
  EXPECT_EQ(at("scaled", {0.25f, 0.25f}), (Point2{0.5f, 0.5f})) << "an own transform wins over the crop";
}

TEST(UVTransformProduct, AppliesTheLeftOneFirst) {
  const UVTransform shift{{{1, 0}, {0, 1}, {1, 0}}}, scale{{{2, 0}, {0, 3}, {0, 0}}};
  EXPECT_EQ(ApplyUV(Multiply(shift, scale), {1, 1}), (Point2{4, 3}));
  EXPECT_EQ(ApplyUV(Multiply(scale, shift), {1, 1}), (Point2{3, 3}));
}

}  // namespace
}  // namespace vorn
