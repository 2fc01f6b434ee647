#include "xfile/material_writer.h"

#include "material_fixture.h"
#include "model/mesh_data.h"
#include "xformat/template_ids.h"

namespace vorn {
namespace {

using testing::AppendRaw;
using testing::Bytes;
using testing::MaterialTest;
using testing::RecordingSink;

class Writer : public MaterialTest {
 protected:
  void SetUp() override {
    MaterialTest::SetUp();
    Load(R"("materials": {})");
    ctx_.xfileSink = &sink_;
    auto data = std::make_shared<XMeshData>();
    data->wireColor = 0x336699;
    data->faces.resize(3);
    data->faces[1].material = 1;
    data->faces[2].material = 2;
    data->mapChannels = {1, 2};
    data->texCoordSetMap = {0, 1};
    Node().meshData = data;
  }

  static XTextureSlot Slot(const std::string& name, int32_t channel, TextureSlotRole role = TextureSlotRole::None) {
    XTextureSlot s;
    s.name = name;
    s.fileName = name + ".png";
    s.mapChannel = channel;
    s.role = role;
    return s;
  }
  XMaterial& AddPlain(const std::string& name) {
    XMaterialEntry& e = Node().nodeMaterials.emplace_back();
    e.kind = MaterialKind::Plain;
    e.plain = std::make_unique<XMaterial>();
    e.plain->name = name;
    return *e.plain;
  }
  XEffectMaterial& AddEffect(const std::string& name) {
    XMaterialEntry& e = Node().nodeMaterials.emplace_back();
    e.kind = MaterialKind::Effect;
    e.effect = std::make_unique<XEffectMaterial>();
    e.effect->name = name;
    return *e.effect;
  }
  void WriteList() { WriteMaterialList(ctx_, {1000}, Node()); }
  std::vector<std::string> TextureNames() const {
    std::vector<std::string> out;
    for (const auto* o : sink_.Of(kTextureFilenameGuid)) out.emplace_back(o->bytes.begin(), o->bytes.end() - 1);
    return out;
  }

  RecordingSink sink_;
};

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> out;
  for (uint32_t w : words) AppendRaw(out, w);
  return out;
}

TEST_F(Writer, NodeWithoutMaterialsGetsOneDefaultInItsWireColour) {
  WriteList();
  auto lists = sink_.Of(kMeshMaterialListGuid);
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0]->parent, 1000u);
  EXPECT_EQ(lists[0]->bytes, Words({1, 3, 0, 0, 0})) << "every face uses the default";
  auto mats = sink_.Of(kMaterialGuid);
  ASSERT_EQ(mats.size(), 1u);
  EXPECT_EQ(mats[0]->name, "");
  EXPECT_EQ(mats[0]->parent, sink_.HandleOf(lists[0]));
  std::vector<uint8_t> expect;
  for (float f : {0x99 / 255.0f, 0x66 / 255.0f, 0x33 / 255.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f})
    AppendRaw(expect, f);
  EXPECT_EQ(mats[0]->bytes, expect);
}

TEST_F(Writer, ListBytesAndMaterialColourBlock) {
  XMaterial& a = AddPlain("A");
  a.faceColor[0] = 0.5f;
  a.faceColor[3] = 0.25f;
  a.power = 25;
  a.specularColor[1] = 0.05f;
  a.emissiveColor[2] = 0.75f;
  AddPlain("B");
  WriteList();
  EXPECT_EQ(sink_.Of(kMeshMaterialListGuid)[0]->bytes, Words({2, 3, 0, 1, 2}));
  auto mats = sink_.Of(kMaterialGuid);
  ASSERT_EQ(mats.size(), 2u);
  EXPECT_EQ(mats[0]->name, "A");
  std::vector<uint8_t> expect;
  for (float f : {0.5f, 1.0f, 1.0f, 0.25f, 25.0f, 0.0f, 0.05f, 0.0f, 0.0f, 0.0f, 0.75f}) AppendRaw(expect, f);
  EXPECT_EQ(mats[0]->bytes, expect);
}

TEST_F(Writer, ReferencesNameSharedRecordsAndWriteNothingAtTopLevel) {
  ctx_.materials.push_back(std::make_unique<XMaterial>());
  ctx_.materials.back()->name = "Shared";
  XMaterialEntry& e = Node().nodeMaterials.emplace_back();
  e.kind = MaterialKind::Reference;
  e.ref.index = 0;
  WriteList();
  ASSERT_EQ(sink_.objects.size(), 2u);
  EXPECT_TRUE(sink_.objects[1].reference);
  EXPECT_EQ(sink_.objects[1].name, "Shared");
  EXPECT_EQ(sink_.objects[1].parent, 1u);
  WriteMaterialEntry(ctx_, {}, nullptr, e);
  EXPECT_EQ(sink_.objects.size(), 2u);
}

TEST_F(Writer, PlainMaterialsNameTheirDiffuseTextureOrAllWithMultiTextures) {
  XMaterial& m = AddPlain("M");
  m.slots[2] = Slot("bump", 1);
  m.slots[4] = Slot("wood", 1, TextureSlotRole::Diffuse);
  m.slots[6] = Slot("unused", 0, TextureSlotRole::Diffuse);
  m.slots[8] = Slot("noname", 2);
  m.slots[8].fileName.clear();
  XMaterial& n = AddPlain("N");
  n.slots[0] = Slot("spec", 1);
  WriteList();
  EXPECT_EQ(TextureNames(), (std::vector<std::string>{"wood.png"})) << "N has no diffuse slot";
  const auto tex = sink_.Of(kTextureFilenameGuid);
  EXPECT_EQ(tex[0]->bytes, Bytes({"wood.png"}));
  EXPECT_EQ(tex[0]->parent, sink_.HandleOf(sink_.Of(kMaterialGuid)[0]));

  sink_.objects.clear();
  ctx_.options.MultiTextures = 1;
  WriteList();
  EXPECT_EQ(TextureNames(), (std::vector<std::string>{"bump.png", "wood.png", "spec.png"}));
}

TEST_F(Writer, MaterialsWithoutUsedSlotsGetNoChildren) {
  XMaterial& m = AddPlain("M");
  m.slots[0] = Slot("wood", 0, TextureSlotRole::Diffuse);
  XEffectMaterial& e = AddEffect("E");
  e.slots[1] = Slot("x", 0);
  XEffectMaterial& own = AddEffect("Own");
  own.hasOwnEffectFile = 1;
  own.effect.effectFile = "C:\\fx\\own.fx";
  WriteList();
  EXPECT_EQ(sink_.objects.size(), 4u) << "the list and three bare materials";
  EXPECT_TRUE(sink_.Of(kEffectInstanceGuid).empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "out"));
}

TEST_F(Writer, GeneratedEffectIsNamedAfterTheNodeAndListsItsTextures) {
  XEffectMaterial& e = AddEffect("Red");
  e.slots[0] = Slot("Wood", 2, TextureSlotRole::Diffuse);
  e.slots[3] = Slot("Off", 7);  // a channel the mesh has no set for
  e.slots[5] = Slot("Bump", 1, TextureSlotRole::NormalMap);
  WriteList();
  auto inst = sink_.Of(kEffectInstanceGuid);
  ASSERT_EQ(inst.size(), 1u);
  EXPECT_EQ(inst[0]->bytes, Bytes({"Box.fx"}));
  auto strings = sink_.Of(kEffectParamStringGuid);
  ASSERT_EQ(strings.size(), 2u);
  EXPECT_EQ(strings[0]->bytes, Bytes({"Wood", "Wood.png"}));
  EXPECT_EQ(strings[1]->bytes, Bytes({"Bump", "Bump.png"}));
  EXPECT_EQ(strings[0]->parent, sink_.HandleOf(inst[0]));
  EXPECT_EQ(e.effect.effectFile, "Box.fx");
  const std::string fx = Read(dir_ / "out" / "Box.fx");
  EXPECT_NE(fx.find("texture Wood; \ntexture Bump; \n"), std::string::npos);
  EXPECT_NE(fx.find("sampler2D WoodSampler = sampler_state  // TexCoord1 \n"), std::string::npos);
  EXPECT_EQ(fx.find("Off"), std::string::npos);
}

TEST_F(Writer, TwoGeneratedEffectsOnOneNodeAreNamedAfterNodeAndMaterial) {
  AddEffect("Red").slots[0] = Slot("A", 1, TextureSlotRole::Diffuse);
  AddEffect("Blue").slots[0] = Slot("B", 1, TextureSlotRole::Diffuse);
  WriteList();
  auto inst = sink_.Of(kEffectInstanceGuid);
  ASSERT_EQ(inst.size(), 2u);
  EXPECT_EQ(inst[0]->bytes, Bytes({"Box_Red.fx"}));
  EXPECT_EQ(inst[1]->bytes, Bytes({"Box_Blue.fx"}));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "out" / "Box_Red.fx"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "out" / "Box_Blue.fx"));
}

TEST_F(Writer, GeneratedEffectFilesFollowTheTextureSettings) {
  AddEffect("Red").slots[0] = Slot("A", 1, TextureSlotRole::Diffuse);
  Touch(dir_ / "out" / "Box.fx", "hand edited");
  ctx_.options.OverwriteTexture = 0;
  ctx_.options.DxFx = 1;
  ctx_.options.OverwriteFX = 1;
  WriteList();
  EXPECT_EQ(Read(dir_ / "out" / "Box.fx"), "hand edited");
  EXPECT_EQ(sink_.Of(kEffectInstanceGuid)[0]->bytes, Bytes({"Box.fx"})) << "named all the same";

  std::filesystem::remove(dir_ / "out" / "Box.fx");
  ctx_.options.OverwriteTexture = 1;
  ctx_.options.TextureFiles = 0;
  Node().nodeMaterials[0].effect->effect.stringParams.clear();
  WriteList();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "Box.fx"));
}

TEST_F(Writer, OwnEffectFileParametersHaveTheirExactBytes) {
  XEffectMaterial& e = AddEffect("Glow");
  e.hasOwnEffectFile = 1;
  e.effect.effectFile = Dir() + "/src/glow.fx";
  e.slots[0] = Slot("", 1);
  e.slots[0].fileName = "glow.png";
  e.effect.dwordParams.push_back({"Passes", -2});
  e.effect.stringParams.push_back({"Tex", "glow.png"});
  XEffectParams::FloatParam f3;
  f3.name = "Dir";
  f3.values[0] = 1;
  f3.values[1] = 2;
  f3.values[2] = 3;
  f3.floatCount = 3;
  e.effect.floatParams.push_back(f3);
  XEffectParams::FloatParam f1;
  f1.name = "Power";
  f1.values[0] = 8;
  e.effect.floatParams.push_back(f1);
  Touch(dir_ / "src" / "glow.fx", "own effect");
  WriteList();

  auto inst = sink_.Of(kEffectInstanceGuid);
  ASSERT_EQ(inst.size(), 1u);
  EXPECT_EQ(inst[0]->bytes, Bytes({"glow.fx"}));
  // Written in the order: DWORD parameters, string parameters, float parameters.
  std::vector<const RecordingSink::Object*> params;
  for (const auto& o : sink_.objects)
    if (o.parent == sink_.HandleOf(inst[0])) params.push_back(&o);
  ASSERT_EQ(params.size(), 4u);
  EXPECT_EQ(params[0]->id, kEffectParamDWordGuid);
  std::vector<uint8_t> dword = Bytes({"Passes"});
  AppendRaw(dword, int32_t{-2});
  EXPECT_EQ(params[0]->bytes, dword);
  EXPECT_EQ(params[1]->id, kEffectParamStringGuid);
  EXPECT_EQ(params[1]->bytes, Bytes({"Tex", "glow.png"}));
  EXPECT_EQ(params[2]->id, kEffectParamFloatsGuid);
  std::vector<uint8_t> floats = Bytes({"Dir"});
  AppendRaw(floats, uint32_t{3});
  for (float v : {1.0f, 2.0f, 3.0f}) AppendRaw(floats, v);
  EXPECT_EQ(params[2]->bytes, floats);
  std::vector<uint8_t> power = Bytes({"Power"});
  AppendRaw(power, uint32_t{1});
  AppendRaw(power, 8.0f);
  EXPECT_EQ(params[3]->bytes, power);
  EXPECT_EQ(Read(dir_ / "out" / "glow.fx"), "own effect");
  EXPECT_TRUE(sink_.Of(kTextureFilenameGuid).empty());
}

TEST_F(Writer, OwnEffectFileCopyFollowsDxFxAndOverwriteFx) {
  XEffectMaterial& e = AddEffect("Glow");
  e.hasOwnEffectFile = 1;
  e.effect.effectFile = Dir() + "/src/glow.fx";
  e.effect.dwordParams.push_back({"Passes", 1});
  e.slots[0] = Slot("", 1);
  Touch(dir_ / "src" / "glow.fx", "new");
  Touch(dir_ / "out" / "glow.fx", "old");
  ctx_.options.EffectParam = 0;
  ctx_.options.OverwriteFX = 0;
  WriteList();
  EXPECT_EQ(Read(dir_ / "out" / "glow.fx"), "old");
  EXPECT_EQ(sink_.objects.size(), 3u) << "list, material and an effect instance without parameters";
  EXPECT_EQ(sink_.Of(kEffectInstanceGuid).size(), 1u);

  ctx_.options.DxFx = 0;
  ctx_.options.OverwriteFX = 1;
  WriteList();
  EXPECT_EQ(Read(dir_ / "out" / "glow.fx"), "old");
  ctx_.options.DxFx = 1;
  WriteList();
  EXPECT_EQ(Read(dir_ / "out" / "glow.fx"), "new");
}

TEST_F(Writer, ProceduralDiffuseIsNamedAsItsImage) {
  Load(R"("texmaps": {"chk": {"type": "checker"}})");
  ctx_.xfileSink = &sink_;
  Node(1).meshData = Node(0).meshData;
  XMaterialEntry& entry = Node(1).nodeMaterials.emplace_back();
  entry.kind = MaterialKind::Plain;
  entry.plain = std::make_unique<XMaterial>();
  XTextureSlot& s = entry.plain->slots[0];
  s = Slot("Checker__1", 1, TextureSlotRole::Diffuse);
  s.fileName = "Checker__1.bmp";
  s.proceduralMap = doc_->FindTexmap("chk");
  ctx_.options.ProcMapX = 4;
  ctx_.options.ProcMapY = 4;
  WriteMaterialList(ctx_, {1000}, Node(1));
  EXPECT_EQ(TextureNames(), (std::vector<std::string>{"Checker__1.bmp"}));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "out" / "Checker__1.bmp"));
}

// Converted textures: the shader's texture parameters name the files the copy wrote, whether the
// texture is also an effect bitmap or only a parameter.
TEST_F(Writer, ShaderTextureParametersNameTheConvertedFiles) {
  const std::filesystem::path examples = std::filesystem::path(VORN_SOURCE_DIR) / "examples" / "textures";
  std::filesystem::copy_file(examples / "crate_diffuse.png", dir_ / "crate_diffuse.png");
  std::filesystem::copy_file(examples / "crate_normal.bmp", dir_ / "crate_normal.bmp");
  Touch(dir_ / "g.fx", "fx");
  Load(R"("materials": {"g": {"type": "shader", "name": "G", "effectFile": "C:\\fx\\g.fx",
      "effectBitmaps": [{"path": "C:\\t\\crate_diffuse.png", "channel": 1}],
      "paramBlocks": [[{"name": "Same", "type": "bitmap", "value": "crate_diffuse.png"},
                       {"name": "Own", "type": "texmap", "value": "nrm"},
                       {"name": "Lost", "type": "bitmap", "value": "C:\\gone\\lost.png"},
                       {"name": "Again", "type": "bitmap", "value": "D:\\lost.png"},
                       {"name": "Text", "type": "string", "value": "crate_diffuse.png"}]]}},
    "texmaps": {"nrm": {"type": "bitmap", "file": "D:\\n\\crate_normal.bmp"}})");
  ctx_.xfileSink = &sink_;
  Node(1).meshData = Node(0).meshData;
  ctx_.options.TextureConvert = 1;
  ctx_.options.TextureFormat = 0;
  ASSERT_TRUE(ConvertNodeMaterial(ctx_, Node(1), Mtl("g")));
  ::testing::internal::CaptureStderr();
  WriteMaterialList(ctx_, {1000}, Node(1));
  const std::string err = ::testing::internal::GetCapturedStderr();
  std::vector<std::vector<uint8_t>> strings;
  for (const auto* o : sink_.Of(kEffectParamStringGuid)) strings.push_back(o->bytes);
  EXPECT_EQ(strings, (std::vector<std::vector<uint8_t>>{
                         Bytes({"Same", "crate_diffuse.dds"}), Bytes({"Own", "crate_normal.dds"}),
                         Bytes({"Lost", "lost.png"}), Bytes({"Again", "lost.png"}),
                         Bytes({"Text", "crate_diffuse.png"})}));
  for (const char* written : {"crate_diffuse.dds", "crate_normal.dds", "g.fx"})
    EXPECT_TRUE(std::filesystem::exists(dir_ / "out" / written)) << written;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "crate_diffuse.png")) << "only the converted copy is written";
  EXPECT_NE(err.find("texture 'C:\\gone\\lost.png' not found"), std::string::npos) << err;
  EXPECT_NE(err.find("texture 'D:\\lost.png' not found"), std::string::npos) << "another host path: " << err;
  EXPECT_EQ(err.find("could not write"), std::string::npos) << err;
}

}  // namespace
}  // namespace vorn
