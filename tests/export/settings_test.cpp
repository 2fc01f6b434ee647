#include "export/settings.h"

#include <optional>
#include <set>
#include <vector>

#include "platform/ini_file.h"
#include "spine_fixture.h"

namespace vorn {
namespace {

using testing::SpineTest;

class SettingsFile : public SpineTest {
 protected:
  ExportContext Context(SceneDocument& doc) {
    ExportContext ctx;
    ctx.host = &doc;
    ctx.animationRange = doc.AnimRange();
    ctx.ticksPerFrame = doc.TicksPerFrame();
    return ctx;
  }
  std::vector<std::string> Keys(const std::string& text) {
    std::vector<std::string> keys;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (auto eq = line.find('='); eq != std::string::npos) keys.push_back(line.substr(0, eq));
    return keys;
  }
  ExportSettings settings_;
  const std::string scene_ = testing::SceneOf(testing::TriangleNode("A"),
                                               R"("scene": {"animationRange": [1600, 16000], "ticksPerFrame": 160})");
};

TEST_F(SettingsFile, DefaultsWithoutFileAndSavedKeysInOrder) {
  auto doc = Load(scene_);
  ExportContext ctx = Context(*doc);
  LoadExportOptions(ctx, settings_);
  const ExportOptions& o = settings_.options;
  EXPECT_EQ(o.SampleRate, doc->FrameRate());
  EXPECT_EQ(o.XFileType, 1);
  EXPECT_EQ(o.Precision, 10);
  EXPECT_EQ(o.KeyOptimizeLevel, 3);
  EXPECT_EQ(o.ProcMapX, 256);
  EXPECT_FLOAT_EQ(o.SpaceScale, 1.0f);
  ASSERT_EQ(settings_.clips.size(), 1u);
  EXPECT_EQ(settings_.clips[0], (AnimationClip{"Anim1", 10, 100}));  // clamped to the scene's range

  SaveExportOptions(ctx, settings_);
  const std::vector<std::string> expected = {
      "SceneRoot", "Meshs", "Mtl", "OTHER", "Normal", "Tangent", "BiTangent", "InlineMtl", "PowerOf2", "Bones",
      "Precision", "WorldSpace", "MultiTexCoordsOptimize", "XFileType", "Animation", "Dummy", "FX", "VertexDup",
      "EffectParam", "NormalMapCode", "DiffuseMapColor", "AnimationOptions", "AnimationOpenClose",
      "AnimationQuality", "VertexColor", "OverwriteFX", "OverwriteTexture", "BoneMesh", "TexCoords",
      "TextureFormat", "TextureConvert", "SkinFix", "SampleRate", "Timeline", "TimelineCustom", "KeyType",
      "KeyFrames", "KeyOptimizeLevel", "SpaceScaleEnable", "RightHand", "DuplicateNodeName", "DxFx",
      "TextureFiles", "ProcMapX", "ProcMapY", "Skin", "DeclData", "OnlyAnimationSet", "Multi-Textures",
      "ZRotEnable", "XRotEnable", "SpaceScale", "ZRot", "XRot", "AnimationCount", "Animation0_Name",
      "Animation0_StartKey", "Animation0_EndKey"};
  const std::string text = ReadFile(Settings());
  EXPECT_EQ(Keys(text), expected);
  EXPECT_NE(text.find("SpaceScale=1\n"), std::string::npos);
  EXPECT_NE(text.find("Animation0_EndKey=100\n"), std::string::npos);
  for (const std::string& key : Keys(text)) EXPECT_TRUE(IsSettingKey(key)) << key << " is written, so it can be set";
}

TEST_F(SettingsFile, ForcedDependenciesAndFloats) {
  WriteSettings("[Option]\nMtl=0\nDxFx=1\nTextureFiles=1\nInlineMtl=1\nBones=0\nBoneMesh=1\n"
                "SpaceScale=\nZRot=0.00001\nXRot=abc\nSceneRootName=Top\n");
  auto doc = Load(scene_);
  ExportContext ctx = Context(*doc);
  LoadExportOptions(ctx, settings_);
  const ExportOptions& o = settings_.options;
  EXPECT_EQ(o.DxFx, 0);
  EXPECT_EQ(o.TextureFiles, 0);
  EXPECT_EQ(o.InlineMtl, 0);
  EXPECT_EQ(o.BoneMesh, 0);
  EXPECT_EQ(o.SpaceScale, 0.0f);  // an empty value is no number
  EXPECT_EQ(o.XRot, 0.0f);
  EXPECT_EQ(settings_.sceneRootName, "Top");
  settings_.options.SpaceScale = 0.5f;
  SaveExportOptions(ctx, settings_);
  const std::string text = ReadFile(Settings());
  EXPECT_NE(text.find("SpaceScale=0.5\n"), std::string::npos);
  EXPECT_NE(text.find("ZRot=1e-05\n"), std::string::npos);
  EXPECT_NE(text.find("SceneRootName=Top\n"), std::string::npos);
}

TEST_F(SettingsFile, EveryFloatKeyReadsOnlyAFiniteDecimalNumber) {
  auto doc = Load(scene_);
  ExportContext ctx = Context(*doc);
  struct Case {
    const char* text;
    std::optional<float> value;  // none: the key's default
  };
  const Case cases[] = {{"0x10", 0.0f}, {"nan", 0.0f},   {"-inf", 0.0f},   {"abc", 0.0f},
                        {"", 0.0f},     {"1e999", {}},   {"-1e39", {}},    {"2.5e1junk", 25.0f},
                        {"0.5", 0.5f},  {" -7.25 ", -7.25f}};
  for (const OptionField& f : OptionFields()) {
    if (!f.isFloat) continue;
    for (const Case& c : cases) {
      WriteSettings("[Option]\n" + std::string(f.key) + "=" + c.text + "\n");
      LoadExportOptions(ctx, settings_);
      const float loaded = settings_.options.*f.floatField;
      EXPECT_EQ(loaded, c.value.value_or(f.floatDefault)) << f.key << "=" << c.text;
      SaveExportOptions(ctx, settings_);
      const std::string text = ReadFile(Settings());
      const size_t at = text.find("\n" + std::string(f.key) + "=");
      ASSERT_NE(at, std::string::npos);
      const std::string saved = text.substr(at + f.key.size() + 2, text.find('\n', at + 1) - at - f.key.size() - 2);
      EXPECT_EQ(platform::ParseProfileFloat(saved), loaded) << f.key << "=" << c.text << " saved as " << saved;
    }
  }
}

TEST_F(SettingsFile, ClipsAreClampedSkippedAndDefaulted) {
  WriteSettings("[Option]\nAnimationCount=4\nAnimation0_Name=Walk\nAnimation0_StartKey=0\nAnimation0_EndKey=5\n"
                "Animation1_Name=\nAnimation2_StartKey=50\nAnimation2_EndKey=20\n");
  auto doc = Load(scene_);
  ExportContext ctx = Context(*doc);
  LoadExportOptions(ctx, settings_);
  const std::vector<AnimationClip> expected = {
      {"Walk", 10, 10},    // before the range: start = end = first frame
      {"Anim1", 20, 20},   // start after end: start = end
      {"Anim1", 10, 100},  // missing keys take the defaults
  };
  EXPECT_EQ(settings_.clips, expected);
}

TEST_F(SettingsFile, AHugeClipCountIsCutShort) {
  WriteSettings("[Option]\nAnimationCount=2000000000\n");
  auto doc = Load(scene_);
  ExportContext ctx = Context(*doc);
  LoadExportOptions(ctx, settings_);
  EXPECT_EQ(settings_.clips.size(), 65536u);
}

TEST_F(SettingsFile, UnwritableFileIsLeftAlone) {
  auto doc = LoadSceneDocumentFromString(scene_);
  doc->SetDirectory(kHostPluginConfigDir, Dir() + "/not-a-folder");
  WriteSettings("x");
  std::filesystem::rename(Settings(), Dir() + "/not-a-folder");  // a file where the folder should be
  ExportContext ctx = Context(*doc);
  LoadExportOptions(ctx, settings_);
  SaveExportOptions(ctx, settings_);
  EXPECT_EQ(ReadFile(Dir() + "/not-a-folder"), "x");
}

TEST(OptionFields, ReadAndWriteOrdersTakeEveryIntegerFieldOnce) {
  size_t integers = 0;
  for (const OptionField& f : OptionFields()) integers += f.isFloat ? 0 : 1;
  for (const auto* order : {&LoadOrder(), &SaveOrder()}) {
    ASSERT_EQ(order->size(), integers);
    std::set<std::string_view> keys;
    for (const OptionField* f : *order) {
      EXPECT_FALSE(f->isFloat) << f->key;
      keys.insert(f->key);
    }
    EXPECT_EQ(keys.size(), integers);
  }
  EXPECT_EQ(LoadOrder()[3]->key, "Mtl");
  EXPECT_EQ(SaveOrder()[9]->key, "Bones");
  EXPECT_EQ(ClipKey(12, "StartKey"), "Animation12_StartKey");
  // Keys as the settings file compares them: case and surrounding whitespace aside.
  for (const char* key : {"SceneRootName", "Animation12_StartKey", "Animation", "xfiletype", " animation3_endkey\t"})
    EXPECT_TRUE(IsSettingKey(key)) << key;
  for (const char* key : {"Multi-Texture", "Animation_Name", "AnimationX_Name", "Animation1_Names", "Animation1",
                          "Animation1_", "Animation 1_Name", "XFile Type"})
    EXPECT_FALSE(IsSettingKey(key)) << key;
}

TEST(OptionFields, RecordOrderAndOverrides) {
  ASSERT_EQ(OptionFields().size(), 54u);
  EXPECT_EQ(OptionFields()[0].key, "SceneRoot");
  EXPECT_EQ(OptionFields()[48].key, "Multi-Textures");
  EXPECT_EQ(OptionFields()[53].key, "PowerOf2");
  ExportOptions o = DefaultOptions(25);
  EXPECT_EQ(o.SampleRate, 25);
  EXPECT_TRUE(SetOptionFromText(o, "XFileType", "0"));
  EXPECT_TRUE(SetOptionFromText(o, "ZRot", "90.5"));
  EXPECT_FALSE(SetOptionFromText(o, "NoSuchKey", "1"));
  EXPECT_EQ(o.XFileType, 0);
  EXPECT_EQ(o.ZRot, 90.5f);
}

}  // namespace
}  // namespace vorn
