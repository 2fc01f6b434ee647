#include "model/export_settings.h"

#include "platform/ini_file.h"

namespace vorn {

namespace {

OptionField I(std::string_view key, int32_t ExportOptions::*f, int32_t def) {
  return OptionField{key, false, f, nullptr, def, 0.0f};
}
OptionField F(std::string_view key, float ExportOptions::*f, float def) {
  return OptionField{key, true, nullptr, f, 0, def};
}

}  // namespace

const std::vector<OptionField>& OptionFields() {
  using O = ExportOptions;
  static const std::vector<OptionField> fields = {
      I("SceneRoot", &O::SceneRoot, 0),
      I("Mtl", &O::Mtl, 1),
      I("Meshs", &O::Meshs, 1),
      I("Bones", &O::Bones, 1),
      I("Dummy", &O::Dummy, 0),
      I("OTHER", &O::OTHER, 0),
      I("Normal", &O::Normal, 1),
      I("Tangent", &O::Tangent, 0),
      I("BiTangent", &O::BiTangent, 0),
      I("InlineMtl", &O::InlineMtl, 0),
      I("Precision", &O::Precision, 10),
      I("WorldSpace", &O::WorldSpace, 0),
      I("MultiTexCoordsOptimize", &O::MultiTexCoordsOptimize, 0),
      I("XFileType", &O::XFileType, 1),
      I("Animation", &O::Animation, 1),
      I("RightHand", &O::RightHand, 0),
      I("FX", &O::FX, 0),
      I("VertexDup", &O::VertexDup, 0),
      I("EffectParam", &O::EffectParam, 1),
      I("NormalMapCode", &O::NormalMapCode, 0),
      I("DiffuseMapColor", &O::DiffuseMapColor, 0),
      I("AnimationOptions", &O::AnimationOptions, 0),
      I("AnimationOpenClose", &O::AnimationOpenClose, 0),
      I("AnimationQuality", &O::AnimationQuality, 0),
      I("VertexColor", &O::VertexColor, 0),
      I("OverwriteTexture", &O::OverwriteTexture, 1),
      I("OverwriteFX", &O::OverwriteFX, 1),
      I("BoneMesh", &O::BoneMesh, 0),
      I("TexCoords", &O::TexCoords, 1),
      I("TextureConvert", &O::TextureConvert, 0),
      I("TextureFormat", &O::TextureFormat, 0),
      I("SkinFix", &O::SkinFix, 0),
      I("SampleRate", &O::SampleRate, 30),
      I("Timeline", &O::Timeline, 0),
      I("TimelineCustom", &O::TimelineCustom, 1),
      I("KeyType", &O::KeyType, 1),
      I("KeyFrames", &O::KeyFrames, 0),
      I("KeyOptimizeLevel", &O::KeyOptimizeLevel, 3),
      I("SpaceScaleEnable", &O::SpaceScaleEnable, 0),
      F("SpaceScale", &O::SpaceScale, 1.0f),
      I("DuplicateNodeName", &O::DuplicateNodeName, 0),
      I("DxFx", &O::DxFx, 1),
      I("TextureFiles", &O::TextureFiles, 1),
      I("ProcMapX", &O::ProcMapX, 256),
      I("ProcMapY", &O::ProcMapY, 256),
      I("Skin", &O::Skin, 1),
      I("DeclData", &O::DeclData, 0),
      I("OnlyAnimationSet", &O::OnlyAnimationSet, 0),
      I("Multi-Textures", &O::MultiTextures, 0),
      I("ZRotEnable", &O::ZRotEnable, 0),
      F("ZRot", &O::ZRot, 0.0f),
      I("XRotEnable", &O::XRotEnable, 0),
      F("XRot", &O::XRot, 0.0f),
      I("PowerOf2", &O::PowerOf2, 0),
  };
  return fields;
}

const OptionField* FindOptionField(std::string_view key) {
  for (const OptionField& f : OptionFields())
    if (f.key == key) return &f;
  return nullptr;
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
