#include "export/settings.h"

#include <algorithm>
#include <cstdio>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "platform/ini_file.h"

namespace vorn {

namespace {

constexpr const char* kSection = "Option";

std::string FormatG(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  return buf;
}

}  // namespace

std::string SettingsFilePath(const HostScene& host) { return host.Dir(kHostPluginConfigDir) + "/vorn_max_config.ini"; }

void LoadExportOptions(const ExportContext& ctx, ExportSettings& settings) {
  ExportOptions& o = settings.options;
  o = ExportOptions{};
  const std::string path = SettingsFilePath(*ctx.host);
  platform::IniFile ini;
  ini.Load(path);  // a missing or unreadable file leaves every key at its default

  const int32_t frameRate = ctx.host->FrameRate();
  for (const OptionField* f : LoadOrder()) {
    const int32_t def = f->intField == &ExportOptions::SampleRate ? frameRate : f->intDefault;
    o.*f->intField = ini.GetInt(kSection, f->key, def);
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
  for (int32_t i = 0; i < count; ++i) {
    const size_t at = static_cast<size_t>(i);
    std::string name = ini.GetString(kSection, ClipKey(at, "Name"), "Anim1");
    if (name.empty()) continue;
    int32_t s = ini.GetInt(kSection, ClipKey(at, "StartKey"), 0);
    int32_t e = ini.GetInt(kSection, ClipKey(at, "EndKey"), 999999);
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
  for (const OptionField* f : SaveOrder()) ini.Set(kSection, f->key, std::to_string(o.*f->intField));
  ini.Set(kSection, "SpaceScale", FormatG(o.SpaceScale));
  ini.Set(kSection, "ZRot", FormatG(o.ZRot));
  ini.Set(kSection, "XRot", FormatG(o.XRot));
  if (!settings.sceneRootName.empty()) ini.Set(kSection, "SceneRootName", settings.sceneRootName);
  const std::vector<AnimationClip>& clips = settings.clips;
  ini.Set(kSection, "AnimationCount", std::to_string(clips.size()));
  for (size_t i = 0; i < clips.size(); ++i) {
    ini.Set(kSection, ClipKey(i, "Name"), clips[i].name);
    ini.Set(kSection, ClipKey(i, "StartKey"), std::to_string(clips[i].startKey));
    ini.Set(kSection, ClipKey(i, "EndKey"), std::to_string(clips[i].endKey));
  }
  return ini.Save(path);
}

}  // namespace vorn
