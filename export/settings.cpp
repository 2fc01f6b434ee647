#include "export/settings.h"

#include <algorithm>
#include <cstdio>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "platform/ini_file.h"

namespace vorn {

namespace {

constexpr const char* kSection = "Option";

// Read order of the integer fields.
constexpr const char* kLoadOrder[] = {
    "SceneRoot", "Meshs", "Bones", "Mtl", "Normal", "Tangent", "BiTangent", "VertexColor", "InlineMtl",
    "PowerOf2", "WorldSpace", "MultiTexCoordsOptimize", "XFileType", "Animation", "OTHER", "Dummy", "FX",
    "NormalMapCode", "VertexDup", "EffectParam", "DiffuseMapColor", "AnimationOptions", "AnimationOpenClose",
    "AnimationQuality", "OverwriteTexture", "BoneMesh", "TexCoords", "TextureFormat", "TextureConvert",
    "SkinFix", "Precision", "SampleRate", "Timeline", "TimelineCustom", "KeyFrames", "KeyOptimizeLevel",
    "KeyType", "SpaceScaleEnable", "RightHand", "DuplicateNodeName", "DxFx", "OverwriteFX", "TextureFiles",
    "ProcMapX", "ProcMapY", "Skin", "DeclData", "OnlyAnimationSet", "Multi-Textures", "ZRotEnable",
    "XRotEnable"};

// Write order of the integer fields.
constexpr const char* kSaveOrder[] = {
    "SceneRoot", "Meshs", "Mtl", "OTHER", "Normal", "Tangent", "BiTangent", "InlineMtl", "PowerOf2", "Bones",
    "Precision", "WorldSpace", "MultiTexCoordsOptimize", "XFileType", "Animation", "Dummy", "FX", "VertexDup",
    "EffectParam", "NormalMapCode", "DiffuseMapColor", "AnimationOptions", "AnimationOpenClose",
    "AnimationQuality", "VertexColor", "OverwriteFX", "OverwriteTexture", "BoneMesh", "TexCoords",
    "TextureFormat", "TextureConvert", "SkinFix", "SampleRate", "Timeline", "TimelineCustom", "KeyType",
    "KeyFrames", "KeyOptimizeLevel", "SpaceScaleEnable", "RightHand", "DuplicateNodeName", "DxFx",
    "TextureFiles", "ProcMapX", "ProcMapY", "Skin", "DeclData", "OnlyAnimationSet", "Multi-Textures",
    "ZRotEnable", "XRotEnable"};

std::string FormatG(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  return buf;
}

}  // namespace

std::string SettingsFilePath(const HostScene& host) { return host.Dir(9) + "/vorn_max_config.ini"; }

void LoadExportOptions(const ExportContext& ctx, ExportSettings& settings) {
  ExportOptions& o = settings.options;
  o = ExportOptions{};
  const std::string path = SettingsFilePath(*ctx.host);
  platform::IniFile ini;
  ini.Load(path);  // a missing or unreadable file leaves every key at its default

  const int32_t frameRate = ctx.host->FrameRate();
  for (const char* key : kLoadOrder) {
    const OptionField* f = FindOptionField(key);
    const int32_t def = f->intField == &ExportOptions::SampleRate ? frameRate : f->intDefault;
    o.*f->intField = ini.GetInt(kSection, key, def);
  }
  if (o.Mtl == 0) o.PowerOf2 = o.OverwriteFX = o.DxFx = o.TextureFiles = o.EffectParam = o.InlineMtl = 0;
  if (o.Bones == 0) o.BoneMesh = 0;

  settings.sceneRootName = ini.GetString(kSection, "SceneRootName", "");
  SetOptionFromText(o, "SpaceScale", ini.GetString(kSection, "SpaceScale", "1.0"));
  SetOptionFromText(o, "ZRot", ini.GetString(kSection, "ZRot", "0"));
  SetOptionFromText(o, "XRot", ini.GetString(kSection, "XRot", "0"));

  const int32_t startFrame = ctx.animationRange.start / ctx.ticksPerFrame;
  const int32_t endFrame = ctx.animationRange.end / ctx.ticksPerFrame;
  std::vector<AnimationClip>& clips = settings.clips;
  clips.clear();
  // A count past this is a damaged file rather than a scene's clips; read whole it would hold
  // the export for minutes.
  constexpr int32_t kMaxClips = 65536;
  const int32_t count = std::min(ini.GetInt(kSection, "AnimationCount", 1), kMaxClips);
  char key[64];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(key, sizeof key, "Animation%d_Name", i);
    std::string name = ini.GetString(kSection, key, "Anim1");
    if (name.empty()) continue;
    std::snprintf(key, sizeof key, "Animation%d_StartKey", i);
    int32_t s = ini.GetInt(kSection, key, 0);
    std::snprintf(key, sizeof key, "Animation%d_EndKey", i);
    int32_t e = ini.GetInt(kSection, key, 999999);
    e = std::clamp(e, startFrame, std::max(startFrame, endFrame));
    s = std::min(std::clamp(s, startFrame, std::max(startFrame, endFrame)), e);
    clips.push_back(AnimationClip{std::move(name), s, e});
  }
}

bool SaveExportOptions(const ExportContext& ctx, const ExportSettings& settings) {
  const std::string path = SettingsFilePath(*ctx.host);
  if (path.empty()) return false;
  const ExportOptions& o = settings.options;
  // Written whole into a fresh file, so no stale keys survive and a failed write changes nothing.
  platform::IniFile ini;
  for (const char* key : kSaveOrder) ini.Set(kSection, key, std::to_string(o.*FindOptionField(key)->intField));
  ini.Set(kSection, "SpaceScale", FormatG(o.SpaceScale));
  ini.Set(kSection, "ZRot", FormatG(o.ZRot));
  ini.Set(kSection, "XRot", FormatG(o.XRot));
  if (!settings.sceneRootName.empty()) ini.Set(kSection, "SceneRootName", settings.sceneRootName);
  const std::vector<AnimationClip>& clips = settings.clips;
  ini.Set(kSection, "AnimationCount", std::to_string(clips.size()));
  char key[64];
  for (size_t i = 0; i < clips.size(); ++i) {
    std::snprintf(key, sizeof key, "Animation%zu_Name", i);
    ini.Set(kSection, key, clips[i].name);
    std::snprintf(key, sizeof key, "Animation%zu_StartKey", i);
    ini.Set(kSection, key, std::to_string(clips[i].startKey));
    std::snprintf(key, sizeof key, "Animation%zu_EndKey", i);
    ini.Set(kSection, key, std::to_string(clips[i].endKey));
  }
  return ini.Save(path);
}

}  // namespace vorn
