#include "model/export_settings.h"

#include <algorithm>

#include "platform/ini_file.h"

namespace vorn {

namespace {

// An integer field with its places in the file's read and write orders.
OptionField I(std::string_view key, int32_t ExportOptions::*f, int32_t def, int8_t loadAt, int8_t saveAt) {
  return OptionField{key, false, f, nullptr, def, 0.0f, loadAt, saveAt};
}
// A float field: read and written as text after the integers.
OptionField F(std::string_view key, float ExportOptions::*f, float def) {
  return OptionField{key, true, nullptr, f, 0, def, -1, -1};
}

}  // namespace

const std::vector<OptionField>& OptionFields() {
  using O = ExportOptions;
  static const std::vector<OptionField> fields = {
      I("SceneRoot", &O::SceneRoot, 0, 0, 0),
      I("Mtl", &O::Mtl, 1, 3, 2),
      I("Meshs", &O::Meshs, 1, 1, 1),
      I("Bones", &O::Bones, 1, 2, 9),
      I("Dummy", &O::Dummy, 0, 15, 15),
      I("OTHER", &O::OTHER, 0, 14, 3),
      I("Normal", &O::Normal, 1, 4, 4),
      I("Tangent", &O::Tangent, 0, 5, 5),
      I("BiTangent", &O::BiTangent, 0, 6, 6),
      I("InlineMtl", &O::InlineMtl, 0, 8, 7),
      I("Precision", &O::Precision, 10, 30, 10),
      I("WorldSpace", &O::WorldSpace, 0, 10, 11),
      I("MultiTexCoordsOptimize", &O::MultiTexCoordsOptimize, 0, 11, 12),
      I("XFileType", &O::XFileType, 1, 12, 13),
      I("Animation", &O::Animation, 1, 13, 14),
      I("RightHand", &O::RightHand, 0, 38, 39),
      I("FX", &O::FX, 0, 16, 16),
      I("VertexDup", &O::VertexDup, 0, 18, 17),
      I("EffectParam", &O::EffectParam, 1, 19, 18),
      I("NormalMapCode", &O::NormalMapCode, 0, 17, 19),
      I("DiffuseMapColor", &O::DiffuseMapColor, 0, 20, 20),
      I("AnimationOptions", &O::AnimationOptions, 0, 21, 21),
      I("AnimationOpenClose", &O::AnimationOpenClose, 0, 22, 22),
      I("AnimationQuality", &O::AnimationQuality, 0, 23, 23),
      I("VertexColor", &O::VertexColor, 0, 7, 24),
      I("OverwriteTexture", &O::OverwriteTexture, 1, 24, 26),
      I("OverwriteFX", &O::OverwriteFX, 1, 41, 25),
      I("BoneMesh", &O::BoneMesh, 0, 25, 27),
      I("TexCoords", &O::TexCoords, 1, 26, 28),
      I("TextureConvert", &O::TextureConvert, 0, 28, 30),
      I("TextureFormat", &O::TextureFormat, 0, 27, 29),
      I("SkinFix", &O::SkinFix, 0, 29, 31),
      I("SampleRate", &O::SampleRate, 30, 31, 32),
      I("Timeline", &O::Timeline, 0, 32, 33),
      I("TimelineCustom", &O::TimelineCustom, 1, 33, 34),
      I("KeyType", &O::KeyType, 1, 36, 35),
      I("KeyFrames", &O::KeyFrames, 0, 34, 36),
      I("KeyOptimizeLevel", &O::KeyOptimizeLevel, 3, 35, 37),
      I("SpaceScaleEnable", &O::SpaceScaleEnable, 0, 37, 38),
      F("SpaceScale", &O::SpaceScale, 1.0f),
      I("DuplicateNodeName", &O::DuplicateNodeName, 0, 39, 40),
      I("DxFx", &O::DxFx, 1, 40, 41),
      I("TextureFiles", &O::TextureFiles, 1, 42, 42),
      I("ProcMapX", &O::ProcMapX, 256, 43, 43),
      I("ProcMapY", &O::ProcMapY, 256, 44, 44),
      I("Skin", &O::Skin, 1, 45, 45),
      I("DeclData", &O::DeclData, 0, 46, 46),
      I("OnlyAnimationSet", &O::OnlyAnimationSet, 0, 47, 47),
      I("Multi-Textures", &O::MultiTextures, 0, 48, 48),
      I("ZRotEnable", &O::ZRotEnable, 0, 49, 49),
      F("ZRot", &O::ZRot, 0.0f),
      I("XRotEnable", &O::XRotEnable, 0, 50, 50),
      F("XRot", &O::XRot, 0.0f),
      I("PowerOf2", &O::PowerOf2, 0, 9, 8),
  };
  return fields;
}

const OptionField* FindOptionField(std::string_view key) {
  for (const OptionField& f : OptionFields())
    if (f.key == key) return &f;
  return nullptr;
}

namespace {

std::vector<const OptionField*> Ordered(int8_t OptionField::*at) {
  std::vector<const OptionField*> order;
  for (const OptionField& f : OptionFields())
    if (f.*at >= 0) order.push_back(&f);
  std::sort(order.begin(), order.end(), [at](const OptionField* a, const OptionField* b) { return a->*at < b->*at; });
  return order;
}

}  // namespace

const std::vector<const OptionField*>& LoadOrder() {
  static const std::vector<const OptionField*> order = Ordered(&OptionField::loadAt);
  return order;
}

const std::vector<const OptionField*>& SaveOrder() {
  static const std::vector<const OptionField*> order = Ordered(&OptionField::saveAt);
  return order;
}

std::string ClipKey(size_t index, std::string_view field) {
  std::string key = "Animation" + std::to_string(index) + "_";
  key += field;
  return key;
}

bool IsSettingKey(std::string_view key) {
  key = platform::TrimProfileText(key);
  const auto same = platform::SameProfileName;
  for (const OptionField& f : OptionFields())
    if (same(key, f.key)) return true;
  if (same(key, "SceneRootName") || same(key, "AnimationCount")) return true;
  if (key.size() < 9 || !same(key.substr(0, 9), "Animation")) return false;
  key.remove_prefix(9);
  size_t digits = 0;
  while (digits < key.size() && key[digits] >= '0' && key[digits] <= '9') ++digits;
  if (digits == 0 || digits >= key.size() || key[digits] != '_') return false;
  key.remove_prefix(digits + 1);
  return same(key, "Name") || same(key, "StartKey") || same(key, "EndKey");
}

ExportOptions DefaultOptions(int32_t frameRate) {
  ExportOptions o{};
  for (const OptionField& f : OptionFields()) {
    if (f.isFloat)
      o.*f.floatField = f.floatDefault;
    else
      o.*f.intField = f.intDefault;
  }
  o.SampleRate = frameRate;
  return o;
}

bool SetOptionFromText(ExportOptions& o, std::string_view key, std::string_view value) {
  const OptionField* f = FindOptionField(key);
  if (!f) return false;
  if (f->isFloat)
    o.*f->floatField = platform::ParseProfileFloat(value).value_or(f->floatDefault);
  else
    o.*f->intField = platform::ParseProfileInt(value);
  return true;
}

}  // namespace vorn
