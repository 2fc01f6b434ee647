#include "material_fixture.h"

#include "mesh/texcoord_sets.h"

namespace vorn {
namespace {

using testing::MaterialTest;

class Conversion : public MaterialTest {};

TEST_F(Conversion, NodeWithoutMaterialGetsNothing) {
  Load(R"("materials": {})");
  EXPECT_FALSE(ConvertNodeMaterial(ctx_, Node(), nullptr));
  EXPECT_TRUE(Node().nodeMaterials.empty());
}

TEST_F(Conversion, MultiMaterialKeepsEverySlotAndFillsEmptyOnesWithMaterialNull) {
  Load(R"("materials": {"a": {"type": "standard", "name": "A"}, "c": {"type": "standard", "name": "C"},
                        "m": {"type": "multi", "subMaterials": ["a", null, "c"]}})");
  auto r = Convert("m");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]->name, "A");
  EXPECT_EQ(r[1]->name, "Material_NULL");
  EXPECT_EQ(r[1]->faceColor[3], 1.0f);
  EXPECT_EQ(r[1]->power, 0.0f);
  EXPECT_EQ(r[2]->name, "C");
}

TEST_F(Conversion, PlainRecordsAreSharedByNameUnlessInline) {
  const char* body = R"("materials": {"w": {"type": "standard", "name": "Wood"}})";
  Load(body);
  NewNode("Other");
  Convert("w", 0);
  Convert("w", 1);
  ASSERT_EQ(ctx_.materials.size(), 1u);
  for (size_t i = 0; i < 2; ++i) {
    ASSERT_EQ(Node(i).nodeMaterials.size(), 1u);
    EXPECT_EQ(Node(i).nodeMaterials[0].kind, MaterialKind::Reference);
    EXPECT_EQ(Node(i).nodeMaterials[0].ref.index, 0u);
  }

  ctx_.options.InlineMtl = 1;
  nodes_.clear();
  ctx_.materials.clear();
  Load(body);
  NewNode("Other");
  Convert("w", 0);
  Convert("w", 1);
  EXPECT_TRUE(ctx_.materials.empty());
  for (size_t i = 0; i < 2; ++i) {
    ASSERT_EQ(Node(i).nodeMaterials.size(), 1u);
    EXPECT_EQ(Node(i).nodeMaterials[0].kind, MaterialKind::Plain);
    EXPECT_EQ(Node(i).nodeMaterials[0].plain->name, "Wood");
  }

  // Nothing to refer to an unnamed material by: it is written in place.
  ctx_.options.InlineMtl = 0;
  nodes_.clear();
  ctx_.materials.clear();
  Load(R"("materials": {"u": {"type": "standard", "name": ""}})");
  Convert("u", 0);
  EXPECT_TRUE(ctx_.materials.empty());
  ASSERT_EQ(Node(0).nodeMaterials.size(), 1u);
  EXPECT_EQ(Node(0).nodeMaterials[0].kind, MaterialKind::Plain);
}

TEST_F(Conversion, NamesAvoidTheNodeNameTheWordStringAndEachOther) {
  Load(R"("materials": {"box": {"type": "standard", "name": "Box"}, "s": {"type": "standard", "name": "string"},
                        "w1": {"type": "standard", "name": "Wood"}, "w2": {"type": "standard", "name": "Wood"},
                        "m": {"type": "multi", "subMaterials": ["box", "s", "w1", "w2"]}})");
  ctx_.options.InlineMtl = 1;
  auto r = Convert("m");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0]->name, "Mat_Box");
  EXPECT_EQ(r[1]->name, "_string");
  EXPECT_EQ(r[2]->name, "Wood");
  EXPECT_EQ(r[3]->name, "Wood_");
}

TEST_F(Conversion, SharedRecordsWithOneNameAreOneRecord) {
  Load(R"("materials": {"w1": {"type": "standard", "name": "Wood", "diffuse": [1, 0, 0]},
                        "w2": {"type": "standard", "name": "Wood", "diffuse": [0, 1, 0]},
                        "m": {"type": "multi", "subMaterials": ["w1", "w2"]}})");
  auto r = Convert("m");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], r[1]);
  ASSERT_EQ(ctx_.materials.size(), 1u);
  EXPECT_EQ(ctx_.materials[0]->faceColor[0], 1.0f) << "the first one's record is kept";
}

TEST_F(Conversion, StandardColoursPowerSpecularAndEmissive) {
  Load(R"("materials": {"p": {"type": "standard", "name": "P", "diffuse": [0.8, 0.1, 0.2], "specular": [1, 1, 1],
                              "shininess": 0.25, "shininessStrength": 0.5, "transparency": 0.25,
                              "selfIllumColor": [0.1, 0.2, 0.3]},
                        "q": {"type": "standard", "name": "Q", "selfIllum": 0.5}})");
  auto r = Convert("p");
  ASSERT_EQ(r.size(), 1u);
  const XMaterial& p = *r[0];
  EXPECT_FLOAT_EQ(p.power, 25.0f);
  for (float s : p.specularColor) EXPECT_FLOAT_EQ(s, 0.05f);
  EXPECT_FLOAT_EQ(p.faceColor[0], 0.8f);
  EXPECT_FLOAT_EQ(p.faceColor[1], 0.1f);
  EXPECT_FLOAT_EQ(p.faceColor[2], 0.2f);
  EXPECT_FLOAT_EQ(p.faceColor[3], 0.75f);
  EXPECT_FLOAT_EQ(p.emissiveColor[2], 0.3f);
  const XMaterial& q = *Convert("q").back();
  EXPECT_EQ(q.emissiveColor[0], 0.0f) << "a self-illumination amount without its colour is no emission";
}

TEST_F(Conversion, DiffuseBitmapWhitensTheFaceColourUnlessDiffuseMapColor) {
  const char* body = R"("materials": {
      "s": {"type": "standard", "name": "S", "diffuse": [0.5, 0.4, 0.3], "transparency": 0.5, "maps": {"diffuse": "b"}},
      "o": {"type": "other", "class": [7, 7], "name": "O", "diffuse": [0.5, 0.4, 0.3], "transparency": 0.5,
            "maps": ["b"]}},
    "texmaps": {"b": {"type": "bitmap", "file": "C:\\maps\\wood.png"}})";
  Load(body);
  const XMaterial& s = *Convert("s")[0];
  EXPECT_EQ(s.faceColor[0], 1.0f);
  EXPECT_EQ(s.faceColor[2], 1.0f);
  EXPECT_FLOAT_EQ(s.faceColor[3], 0.5f);
  NewNode("N2");
  const XMaterial& o = *Convert("o", 1)[0];
  EXPECT_EQ(o.slots[0].role, TextureSlotRole::Diffuse) << "the first named bitmap of an other material";
  EXPECT_EQ(o.faceColor[0], 1.0f);
  EXPECT_EQ(o.faceColor[3], 1.0f) << "alpha 1 whatever the transparency";

  ctx_.options.DiffuseMapColor = 1;
  NewNode("N3");
  NewNode("N4");
  ctx_.options.InlineMtl = 1;
  const XMaterial& s2 = *Convert("s", 2)[0];
  EXPECT_FLOAT_EQ(s2.faceColor[0], 0.5f);
  EXPECT_FLOAT_EQ(s2.faceColor[3], 0.5f);
  const XMaterial& o2 = *Convert("o", 3)[0];
  EXPECT_FLOAT_EQ(o2.faceColor[0], 0.5f);
  EXPECT_FLOAT_EQ(o2.faceColor[3], 0.5f);
}

TEST_F(Conversion, StandardSlotsTakeSubMapKPlusOneWithRolesChannelsAndAddressing) {
  Load(R"("materials": {"s": {"type": "standard", "name": "S", "maps": {
             "ambient": "amb", "diffuse": "d", "specular": {"map": "spec", "enabled": false}, "bump": "n",
             "reflection": "chk"}}},
          "texmaps": {
            "amb": {"type": "bitmap", "file": "C:\\a.png"},
            "d": {"type": "bitmap", "name": "Wood", "file": "C:\\maps\\wood.png", "channel": 2,
                  "tiling": ["uMirror", "vWrap"]},
            "spec": {"type": "bitmap", "file": "C:\\s.png"},
            "n": {"type": "normalmap", "map": {"type": "bitmap", "name": "Wood", "file": "D:\\n\\wood_n.bmp",
                                               "tiling": 0}},
            "chk": {"type": "checker", "name": "Checker #1"}})");
  const XMaterial& s = *Convert("s")[0];
  const XTextureSlot& d = s.slots[0];
  EXPECT_EQ(d.role, TextureSlotRole::Diffuse);
  EXPECT_EQ(d.name, "Wood");
  EXPECT_EQ(d.fileName, "wood.png");
  EXPECT_EQ(d.sourcePath, Dir() + "/wood.png") << "not found anywhere: the guess in the scene folder";
  EXPECT_EQ(d.mapChannel, 2);
  EXPECT_EQ(d.addressU, TextureAddress::Mirror);
  EXPECT_EQ(d.addressV, TextureAddress::Wrap);
  EXPECT_EQ(d.proceduralMap, nullptr);
  EXPECT_EQ(d.uvTransform, TexmapUVTransform(*doc_, doc_->FindTexmap("d")));

  EXPECT_EQ(s.slots[1].mapChannel, 0) << "the disabled specular map clears its slot";
  EXPECT_TRUE(s.slots[1].name.empty());

  const XTextureSlot& n = s.slots[7];  // bump is sub-map 8
  EXPECT_EQ(n.role, TextureSlotRole::NormalMap);
  EXPECT_EQ(n.name, "Wood_") << "unique among the record's slots";
  EXPECT_EQ(n.fileName, "wood_n.bmp");
  EXPECT_EQ(n.addressU, TextureAddress::Clamp);
  EXPECT_EQ(n.addressV, TextureAddress::Clamp);

  const XTextureSlot& c = s.slots[8];  // reflection is sub-map 9
  EXPECT_EQ(c.role, TextureSlotRole::None);
  EXPECT_EQ(c.name, "Checker__1");
  EXPECT_EQ(c.fileName, "Checker__1.bmp");
  EXPECT_EQ(c.sourcePath, "Checker__1.bmp");
  EXPECT_EQ(c.proceduralMap, doc_->FindTexmap("chk"));
  EXPECT_EQ(c.mapChannel, 1);
  for (int k : {2, 3, 4, 5, 6, 9, 10}) EXPECT_EQ(s.slots[k].mapChannel, 0) << k;
}

TEST_F(Conversion, ProceduralDiffuseAndVertexColourMaps) {
  const char* body = R"("materials": {
      "p": {"type": "standard", "name": "P", "maps": {"diffuse": "chk", "specular": "vc", "opacity": "ch0"}}},
    "texmaps": {"chk": {"type": "checker", "name": "Checker #1"}, "vc": {"type": "vertexcolor", "channel": 3},
                "ch0": {"type": "noise", "channel": 0}})";
  Load(body);
  const XMaterial& p = *Convert("p")[0];
  EXPECT_EQ(p.slots[0].role, TextureSlotRole::Diffuse);
  EXPECT_EQ(p.slots[0].fileName, "Checker__1.bmp");
  EXPECT_EQ(p.slots[1].mapChannel, 3) << "a vertex-colour map on a texture channel counts while VertexColor is off";
  EXPECT_EQ(p.slots[5].mapChannel, 0) << "a procedural map on channel 0 is empty";
  ctx_.options.VertexColor = 1;
  ctx_.options.InlineMtl = 1;
  NewNode("N2");
  EXPECT_EQ(Convert("p", 1)[0]->slots[1].mapChannel, 0);
}

TEST_F(Conversion, OtherMaterialsUseSubMapKTakeOnlyBitmapsAndIgnoreEnabledFlags) {
  Load(R"("materials": {"o": {"type": "other", "class": [9, 9], "name": "O", "shininess": 0.5,
                              "specular": [1, 0, 0], "shininessStrength": 1,
                              "maps": [{"map": "chk"}, {"map": "n", "enabled": false}, "b"]}},
          "texmaps": {"chk": {"type": "checker"}, "b": {"type": "bitmap", "file": "C:\\b.png"},
                      "n": {"type": "normalmap", "map": {"type": "bitmap", "file": "C:\\n.png"}}})");
  const XMaterial& o = *Convert("o")[0];
  EXPECT_EQ(o.slots[0].mapChannel, 0) << "procedural maps are dropped";
  EXPECT_EQ(o.slots[1].role, TextureSlotRole::NormalMap) << "enabled flags are not asked";
  EXPECT_EQ(o.slots[1].fileName, "n.png");
  EXPECT_EQ(o.slots[2].role, TextureSlotRole::Diffuse);
  EXPECT_EQ(o.slots[2].fileName, "b.png");
  EXPECT_FLOAT_EQ(o.power, 50.0f);
  EXPECT_FLOAT_EQ(o.specularColor[0], 0.1f);
  EXPECT_FLOAT_EQ(o.specularColor[1], 0.0f);
}

TEST_F(Conversion, StandardSearchFindsANestedStandardMaterial) {
  Load(R"("materials": {
      "inner": {"type": "standard", "name": "Inner", "shininess": 0.5},
      "wrap": {"type": "other", "class": [5, 5], "name": "Wrap", "subMaterials": [{"type": "other", "class": [5, 6]}, "inner"]},
      "top": {"type": "multi", "subMaterials": ["wrap"]}})");
  auto r = Convert("top");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]->name, "Inner") << "sub-material 0 leads nowhere; the breadth-first search finds the second";
  EXPECT_FLOAT_EQ(r[0]->power, 50.0f);
}

TEST_F(Conversion, ErrorRecordsForBrokenSubMaterialChains) {
  Load(R"("materials": {
      "a": {"type": "other", "class": [5, 5], "name": "Broken A", "subMaterials": [null]},
      "b": {"type": "other", "class": [5, 5], "name": "Broken B", "subMaterials": [
              {"type": "other", "class": [5, 6], "subMaterials": [null]},
              {"type": "other", "class": [5, 7], "name": "Leaf"}]},
      "ma": {"type": "multi", "subMaterials": ["a"]}, "mb": {"type": "multi", "subMaterials": ["b"]}})");
  auto a = Convert("ma");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0]->name, "Broken_A_ErrorSubMtl");
  NewNode("N2");
  auto b = Convert("mb", 1);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0]->name, "Broken_B_ErrorOtherSubMtl")
      << "the search ends on a non-standard leaf, so the other conversion meets the empty slot";
  EXPECT_TRUE(doc_->Messages().empty());
}

TEST_F(Conversion, EffectDecisionFollowsFxChannelsAndUsedSlots) {
  const char* body = R"("materials": {
      "one": {"type": "standard", "name": "One", "maps": {"diffuse": "b"}},
      "two": {"type": "standard", "name": "Two", "maps": {"diffuse": "b", "bump": "b"}}},
    "texmaps": {"b": {"type": "bitmap", "file": "C:\\b.png"}})";
  ctx_.options.FX = 1;
  Load(body);
  EXPECT_EQ(Convert("one")[0]->kind, MaterialKind::Plain);
  NewNode("N2");
  Convert("two", 1);
  EXPECT_EQ(Node(1).nodeMaterials[0].kind, MaterialKind::Effect) << "two used slots on one channel";

  SupportChannels({1, 2});
  NewNode("N3");
  Convert("one", 2);
  EXPECT_EQ(Node(2).nodeMaterials[0].kind, MaterialKind::Effect) << "two channels always keep the effect";

  SupportChannels({});
  NewNode("N4");
  EXPECT_EQ(Convert("two", 3)[0]->kind, MaterialKind::Plain) << "no texture channel";

  ctx_.options.FX = 0;
  SupportChannels({1, 2});
  NewNode("N5");
  const XMaterial* plain = Convert("two", 4)[0];
  EXPECT_EQ(plain->kind, MaterialKind::Plain);
  EXPECT_EQ(plain->slots[7].fileName, "b.png") << "the plain copy keeps every slot";
}

TEST_F(Conversion, ShaderMaterialWithEffectFileBitmapsAndParameters) {
  Touch(dir_ / "fx" / "glow.fx");
  Load(R"("materials": {"g": {"type": "shader", "name": "Glow #2", "effectFile": "C:\\old\\glow.fx",
      "effectBitmaps": [{"path": "C:\\t\\a.png", "channel": 3}, null, {"path": "b.png", "channel": 0}],
      "paramBlocks": [[
        {"name": "f", "type": "float", "value": 0.5}, {"name": "pc", "type": "percent", "value": 0.25},
        {"name": "p3", "type": "point3", "value": [1, 2, 3]}, {"name": "c4", "type": "frgba", "value": [1, 2, 3, 4]},
        {"name": "v4", "type": "point4", "value": [5, 6, 7, 8]}, {"name": "flag", "type": "bool", "value": true},
        {"name": "count", "type": "int", "value": 7}, {"name": "s", "type": "string", "value": "hi"},
        {"name": "fn", "type": "filename", "value": "C:\\x\\y.dat"}, {"name": "tex", "type": "texmap", "value": "bm"},
        {"name": "proc", "type": "texmap", "value": "chk"}, {"name": "bmp", "type": "bitmap", "value": "C:\\q\\r.tga"},
        {"name": "col", "type": "rgba", "value": [1, 1, 1]}]]}},
    "texmaps": {"bm": {"type": "bitmap", "file": "C:\\m\\tex.png"}, "chk": {"type": "checker"}})");
  auto r = Convert("g");
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(Node().nodeMaterials[0].kind, MaterialKind::Effect);
  const XEffectMaterial& g = *Node().nodeMaterials[0].effect;
  EXPECT_EQ(g.name, "Glow__2");
  EXPECT_EQ(g.hasOwnEffectFile, 1);
  EXPECT_EQ(g.effect.effectFile, Dir() + "/fx/glow.fx") << "found by bare name under the scene folder";
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(g.slots[j].mapChannel, 1) << "no mapchannel parameter: channel 1 in every effect bitmap slot";
    EXPECT_EQ(g.slots[j].uvTransform, kDefaultUVTransform);
  }
  EXPECT_EQ(g.slots[0].fileName, "a.png");
  EXPECT_TRUE(g.slots[1].fileName.empty());
  EXPECT_EQ(g.slots[2].fileName, "b.png");
  EXPECT_EQ(g.slots[3].mapChannel, 0);
  EXPECT_EQ(g.faceColor[0], 1.0f);

  const XEffectParams& e = g.effect;
  ASSERT_EQ(e.floatParams.size(), 5u);
  EXPECT_EQ(e.floatParams[0].name, "f");
  EXPECT_EQ(e.floatParams[0].floatCount, 1u);
  EXPECT_EQ(e.floatParams[1].floatCount, 1u);
  EXPECT_EQ(e.floatParams[2].floatCount, 3u);
  EXPECT_EQ(e.floatParams[2].values[3], 0.0f);
  EXPECT_EQ(e.floatParams[3].floatCount, 4u);
  EXPECT_EQ(e.floatParams[4].values[3], 8.0f);
  ASSERT_EQ(e.dwordParams.size(), 1u) << "type 4 only; type 1 is skipped";
  EXPECT_EQ(e.dwordParams[0].name, "flag");
  EXPECT_EQ(e.dwordParams[0].value, 1);
  ASSERT_EQ(e.stringParams.size(), 4u);
  EXPECT_EQ(e.stringParams[0].value, "hi");
  EXPECT_EQ(e.stringParams[1].value, "C:\\x\\y.dat");
  EXPECT_EQ(e.stringParams[2].name, "tex");
  EXPECT_EQ(e.stringParams[2].value, "tex.png");
  EXPECT_EQ(e.stringParams[3].name, "bmp");
  EXPECT_EQ(e.stringParams[3].value, "r.tga") << "a bitmap is named by its bare file name too";
  EXPECT_EQ(e.stringParams[3].hostPath, "C:\\q\\r.tga");
  EXPECT_EQ(e.stringParams[2].sourcePath, Dir() + "/tex.png") << "texture parameters keep their source for the copy";
  EXPECT_TRUE(e.stringParams[0].sourcePath.empty() && e.stringParams[1].sourcePath.empty()) << "not textures";
  EXPECT_TRUE(doc_->Messages().empty());
}

TEST_F(Conversion, ShaderMaterialChannelsWhenBlockZeroNamesAMapChannel) {
  Load(R"("materials": {"g": {"type": "shader", "name": "G", "effectFile": "g.fx",
      "effectBitmaps": [{"path": "a.png", "channel": 3}, {"path": "b.png", "channel": -1}],
      "paramBlocks": [[{"name": "DiffuseMapChannel", "type": "int", "value": 3}]]}})");
  const XEffectMaterial& g = *[&] { Convert("g"); return Node().nodeMaterials[0].effect.get(); }();
  EXPECT_EQ(g.slots[0].mapChannel, 3);
  EXPECT_EQ(g.slots[1].mapChannel, 1) << "raised to 1";
}

TEST_F(Conversion, ShaderMaterialWithoutEffectFileIsAnErrorRecordWithAMessage) {
  Load(R"("materials": {"g": {"type": "shader", "name": "Bad fx"},
                        "m": {"type": "multi", "subMaterials": ["g"]}})");
  auto r = Convert("g");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]->name, "Bad_fx_ErrorDxMaterial");
  EXPECT_EQ(r[0]->kind, MaterialKind::Plain);
  ASSERT_EQ(doc_->Messages().size(), 1u);
  EXPECT_EQ(doc_->Messages()[0].text, "Bad fx: Not valid directx material!");
  EXPECT_EQ(doc_->Messages()[0].caption, "Error Material");

  NewNode("N2");
  auto sub = Convert("m", 1);
  ASSERT_EQ(sub.size(), 1u);
  EXPECT_EQ(sub[0]->name, "Bad_fx") << "a shader sub-material goes through the other conversion";
  EXPECT_EQ(doc_->Messages().size(), 1u);
}

TEST_F(Conversion, UniqueSlotNamesCompareWholeCaseSensitiveNames) {
  XMaterial r;
  r.slots[0].name = "Wood";
  r.slots[1].name = "Wood_";
  r.slots[4].name = "wood__";
  EXPECT_EQ(MakeUniqueSlotName(r, "Wood"), "Wood__");
  EXPECT_EQ(MakeUniqueSlotName(r, "wood"), "wood");
  EXPECT_EQ(MakeUniqueSlotName(r, "Checker #1"), "Checker__1");
  EXPECT_EQ(MakeUniqueSlotName(r, "Woo"), "Woo");
}

}  // namespace
}  // namespace vorn
