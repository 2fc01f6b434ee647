#include "ui/options_dialog_proc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "platform/ini_file.h"
#include "scene/node_tree.h"
#include "ui/clip_list.h"
#include "ui/number_filters.h"

namespace vorn {

using namespace ids;

namespace {

// Check boxes and the settings they edit.
struct CheckBinding {
  int id;
  int32_t ExportOptions::*field;
};
constexpr CheckBinding kChecks[] = {
    {kSceneRoot, &ExportOptions::SceneRoot},
    {kMaterial, &ExportOptions::Mtl},
    {kInline, &ExportOptions::InlineMtl},
    {kBone, &ExportOptions::Bones},
    {kBoneMesh, &ExportOptions::BoneMesh},
    {kMesh, &ExportOptions::Meshs},
    {kSkin, &ExportOptions::Skin},
    {kWeightFix, &ExportOptions::SkinFix},
    {kAnimation, &ExportOptions::Animation},
    {kOnlyAnimationSet, &ExportOptions::OnlyAnimationSet},
    {kDummy, &ExportOptions::Dummy},
    {kOther, &ExportOptions::OTHER},
    {kDuplicateName, &ExportOptions::DuplicateNodeName},
    {kVertexDup, &ExportOptions::VertexDup},
    {kDeclData, &ExportOptions::DeclData},
    {kNormal, &ExportOptions::Normal},
    {kTangent, &ExportOptions::Tangent},
    {kBitangent, &ExportOptions::BiTangent},
    {kVertexColor, &ExportOptions::VertexColor},
    {kTexCoords, &ExportOptions::TexCoords},
    {kTextures, &ExportOptions::TextureFiles},
    {kOverwriteTexture, &ExportOptions::OverwriteTexture},
    {kMultiTextures, &ExportOptions::MultiTextures},
    {kConvertTo, &ExportOptions::TextureConvert},
    {kPowerOf2, &ExportOptions::PowerOf2},
    {kRemoveDuplicates, &ExportOptions::MultiTexCoordsOptimize},
    {kCreateShader, &ExportOptions::FX},
    {kNormalMap, &ExportOptions::NormalMapCode},
    {kKeyFrames, &ExportOptions::KeyFrames},
    {kDiffuseMapColor, &ExportOptions::DiffuseMapColor},
    {kFx, &ExportOptions::DxFx},
    {kOverwriteFx, &ExportOptions::OverwriteFX},
    {kEffectParams, &ExportOptions::EffectParam},
    {kScale, &ExportOptions::SpaceScaleEnable},
    {kXRot, &ExportOptions::XRotEnable},
    {kZRot, &ExportOptions::ZRotEnable},
    {kRightHanded, &ExportOptions::RightHand},
    {kWorldSpace, &ExportOptions::WorldSpace},
};

std::string FormatG(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// The first n characters of a control's text, as a fixed-size read would get them.
std::string Read(const DialogModel& d, int id, size_t n) { return d.Text(id).substr(0, n); }

// A typed number as the settings file reads one, so that what the dialog stores loads back alike.
float Decimal(const std::string& text) { return platform::ParseProfileFloat(text).value_or(0.0f); }

void SetChecks(DialogModel& d, std::initializer_list<int> ids, bool on) {
  for (int id : ids) d.SetCheck(id, on);
}
void SetEnabled(DialogModel& d, std::initializer_list<int> ids, bool on) {
  for (int id : ids) d.Enable(id, on);
}

void Spinner(DialogModel& d, int id, bool isFloat, float lo, float hi, float step, float value) {
  DialogControl* c = d.Find(id);
  c->isFloat = isFloat;
  c->minValue = lo;
  c->maxValue = hi;
  c->step = step;
  d.SetSpinnerValue(id, value);
}

}  // namespace

void EnableTextureControls(DialogModel& d, bool on) {
  SetEnabled(d, {kConvertTo, kTextureFormat, kOverwriteTexture, kProcMapX, kProcMapY, kRemoveDuplicates, kCreateShader,
                 kNormalMap, kMultiTextures},
             on);
}

void ApplyDeclDataState(DialogModel& d, bool on) {
  SetEnabled(d, {kTangent, kBitangent}, on);
  if (!on) SetChecks(d, {kCreateShader, kNormalMap}, false);
  if (on) d.SetCheck(kDeclData, true);
}

void InitOptionsDialog(DialogModel& d, const ExportContext& ctx, ExportSettings& settings, CAnimListView& clips) {
  ExportOptions& o = settings.options;
  d.caption = "Vorn .X exporter 2.2.8";
  const int32_t tpf = ctx.ticksPerFrame > 0 ? ctx.ticksPerFrame : 1;
  clips.firstFrame = ctx.animationRange.start / tpf;
  clips.lastFrame = ctx.animationRange.end / tpf;
  clips.Attach(d, kClipList);
  clips.InsertColumn(0, "Name", 90);
  clips.InsertColumn(1, "Start", 45);
  clips.InsertColumn(2, "End", 45);
  // Each added row becomes the list's selected row, and that stays: "Insert" then inserts above
  // the last clip until the user picks a cell.
  for (const AnimationClip& c : settings.clips) clips.AddClipRow(c.name, c.startKey, c.endKey);

  if (!settings.sceneRootName.empty()) d.SetText(kSceneRootName, settings.sceneRootName);
  if (o.SpaceScale < 1.0f) {
    std::string s = FormatG(static_cast<double>(o.SpaceScale) + 1.0);
    s[0] = '0';
    d.SetText(kScaleEdit, s);
  } else {
    d.SetText(kScaleEdit, FormatG(static_cast<double>(o.SpaceScale)));
  }
  d.SetText(kZRotEdit, std::fabs(o.ZRot) <= 0.00001f ? "0" : FormatG(static_cast<double>(o.ZRot)));
  d.SetText(kXRotEdit, std::fabs(o.XRot) <= 0.00001f ? "0" : FormatG(static_cast<double>(o.XRot)));

  d.Find(kXFileFormat)->items = {"Text", "Binary", "Compress"};
  d.Select(kXFileFormat, o.XFileType >= 3 ? 0 : o.XFileType);
  d.Find(kTextureFormat)->items = {"dds", "png", "tga", "jpg", "bmp"};
  d.Select(kTextureFormat, o.TextureFormat >= 5 ? 0 : o.TextureFormat);

  for (const CheckBinding& b : kChecks) d.SetCheck(b.id, o.*b.field != 0);
  d.SetCheck(o.Timeline == 0 ? kTimelineMax : kTimelineCustom, true);
  d.SetCheck(o.KeyType == 0 ? kMatrix : kSrt, true);
  d.SetCheck(kAnimationType, o.AnimationOptions != 0);
  if (o.NormalMapCode) SetChecks(d, {kCreateShader, kTexCoords, kNormal, kTangent, kBitangent}, true);

  d.Enable(kOverwriteFx, o.DxFx != 0);
  SetEnabled(d, {kSkin, kWeightFix, kPrecisionEdit}, o.Meshs != 0);
  EnableTextureControls(d, o.TextureFiles != 0);
  SetEnabled(d, {kTangent, kBitangent}, o.DeclData != 0);
  if (!o.DeclData) SetChecks(d, {kCreateShader, kNormalMap}, false);
  d.Enable(kOnlyAnimationSet, o.Animation != 0);

  d.Find(kOpenClose)->items = {"Closed", "Open"};
  d.Select(kOpenClose, o.AnimationOpenClose ? 1 : 0);
  d.Find(kQuality)->items = {"Spline", "Linear"};
  d.Select(kQuality, o.AnimationQuality ? 1 : 0);

  o.Precision = std::min(o.Precision, 10);
  Spinner(d, kPrecisionSpin, true, 0, 1.0f, 0.1f, static_cast<float>(o.Precision) * 0.1f);
  Spinner(d, kCustomSpin, false, 1, 999999, 1, static_cast<float>(o.TimelineCustom));
  Spinner(d, kOptimizeSpin, false, 1, 3, 1, static_cast<float>(o.KeyOptimizeLevel));

  d.SetText(kSampleRate, std::to_string(o.SampleRate));
  d.SetText(kProcMapX, std::to_string(o.ProcMapX));
  d.SetText(kProcMapY, std::to_string(o.ProcMapY));
}

void ReadOptionsDialog(DialogModel& d, const ExportContext& ctx, ExportSettings& settings) {
  ExportOptions& o = settings.options;
  for (int spin : {kPrecisionSpin, kCustomSpin, kOptimizeSpin}) d.CommitSpinnerText(spin);
  o.Precision = static_cast<int32_t>(d.SpinnerValue(kPrecisionSpin) * 10);
  o.TimelineCustom = static_cast<int32_t>(d.SpinnerValue(kCustomSpin));
  o.KeyOptimizeLevel = static_cast<int32_t>(d.SpinnerValue(kOptimizeSpin));

  for (const CheckBinding& b : kChecks) o.*b.field = d.Checked(b.id) ? 1 : 0;
  o.Timeline = d.Checked(kTimelineCustom) ? 1 : 0;
  o.KeyType = d.Checked(kSrt) ? 1 : 0;
  o.AnimationOptions = 0;

  o.AnimationOpenClose = d.Selection(kOpenClose) != 0 ? 1 : 0;
  o.AnimationQuality = d.Selection(kQuality) != 0 ? 1 : 0;
  const int format = d.Selection(kXFileFormat);
  o.XFileType = format < 0 || format > 2 ? 0 : format;
  const int texture = d.Selection(kTextureFormat);
  o.TextureFormat = texture < 0 || texture > 4 ? 0 : texture;

  o.ProcMapX = std::max(1, std::atoi(Read(d, kProcMapX, 4).c_str()));
  o.ProcMapY = std::max(1, std::atoi(Read(d, kProcMapY, 4).c_str()));

  const int32_t frameRate = ctx.host ? ctx.host->FrameRate() : 30;
  const int32_t ticksPerSecond = ctx.ticksPerFrame * frameRate;
  int32_t rate = std::atoi(Read(d, kSampleRate, 3).c_str());
  if (rate < 1 || rate > ticksPerSecond) rate = frameRate;
  if (o.Timeline == 1) rate = frameRate;
  o.SampleRate = rate;

  std::vector<AnimationClip>& clips = settings.clips;
  clips.clear();
  if (const DialogControl* list = d.Find(kClipList))
    for (const std::vector<std::string>& row : list->rows) {
      AnimationClip c;
      c.name = row.size() > 0 ? row[0].substr(0, 31) : std::string();
      c.startKey = row.size() > 1 ? std::atoi(row[1].c_str()) : 0;
      c.endKey = row.size() > 2 ? std::atoi(row[2].c_str()) : 0;
      clips.push_back(std::move(c));
    }

  float scale = Decimal(Read(d, kScaleEdit, 63));
  if (scale <= 0) scale = 0.00001f;
  if (scale > 999999) scale = 999999;
  o.SpaceScale = scale;
  auto rotation = [&](int id) {
    float v = Decimal(Read(d, id, 63));
    if (std::fabs(v) <= 0.000001f) v = 0;
    return std::clamp(v, -999999.0f, 999999.0f);
  };
  o.ZRot = rotation(kZRotEdit);
  o.XRot = rotation(kXRotEdit);

  std::string root = Read(d, kSceneRootName, 63).substr(0, 255);
  std::erase(root, ' ');
  settings.sceneRootName = CleanName(root) != root ? ctx.rootName : root;
}

void ApplyClickRules(DialogModel& d, const ExportContext& ctx, int id) {
  const bool on = d.Checked(id);
  switch (id) {
    case kMesh:
      SetEnabled(d, {kSkin, kWeightFix, kPrecisionEdit}, on);
      break;
    case kMaterial:
      if (!on) {
        d.Enable(kOverwriteFx, false);
        SetChecks(d, {kFx, kEffectParams, kInline, kCreateShader, kNormalMap, kTextures, kPowerOf2}, false);
        EnableTextureControls(d, false);
      }
      break;
    case kInline:
    case kEffectParams:
      if (on) d.SetCheck(kMaterial, true);
      break;
    case kNormal:
    case kTangent:
    case kBitangent:
      if (id == kNormal && !on) {
        d.SetCheck(kNormalMap, false);
        break;
      }
      if (on) d.SetCheck(kMesh, true);
      if (!(d.Checked(kNormal) && d.Checked(kTangent) && d.Checked(kBitangent))) d.SetCheck(kNormalMap, false);
      break;
    case kAnimation:
      d.Enable(kOnlyAnimationSet, on);
      break;
    case kBone:
      if (!on) d.SetCheck(kBoneMesh, false);
      break;
    case kCreateShader:
      if (on) {
        SetEnabled(d, {kTangent, kBitangent}, true);
        SetChecks(d, {kDeclData, kMesh, kTexCoords, kMaterial, kMultiTextures}, true);
      } else {
        d.SetCheck(kNormalMap, false);
      }
      break;
    case kNormalMap:
      if (on) {
        SetEnabled(d, {kTangent, kBitangent}, true);
        SetChecks(d, {kDeclData, kMesh, kCreateShader, kTexCoords, kNormal, kTangent, kBitangent, kMaterial,
                      kMultiTextures},
                  true);
      }
      break;
    case kVertexColor:
      if (on) d.SetCheck(kMesh, true);
      break;
    case kTexCoords:
      if (on)
        SetChecks(d, {kMesh, kMaterial}, true);
      else
        SetChecks(d, {kCreateShader, kNormalMap}, false);
      break;
    case kTimelineCustom:
      d.SetText(kSampleRate, std::to_string(ctx.host ? ctx.host->FrameRate() : 30));
      break;
    case kConvertTo:
      if (!on) d.SetCheck(kPowerOf2, false);
      break;
    case kTextures:
      EnableTextureControls(d, on);
      if (on) d.SetCheck(kMaterial, true);
      break;
    case kFx:
      d.Enable(kOverwriteFx, on);
      if (on) d.SetCheck(kMaterial, true);
      break;
    case kDeclData:
      ApplyDeclDataState(d, on);
      break;
    case kMultiTextures:
      if (on)
        d.SetCheck(kMaterial, true);
      else
        SetChecks(d, {kCreateShader, kNormalMap}, false);
      break;
    default:
      break;
  }
}

void OptionsDialogProc::OnInit(DialogModel& dialog) { InitOptionsDialog(dialog, ctx_, settings_, clips_); }

int OptionsDialogProc::OnCommand(DialogModel& dialog, int id) {
  CAnimListView& clips = clips_;
  switch (id) {
    case kCancel:
      return 0;
    case kOk:
      ReadOptionsDialog(dialog, ctx_, settings_);
      return 1;
    case kAdd: {
      ClipDialog proc(clips);
      DialogModel clipDialog = ClipDialog::Layout();
      if (ctx_.host)
        ctx_.host->RunDialog(clipDialog, proc);
      else
        RunDialogUnshown(clipDialog, proc);
      return -1;
    }
    case kInsert:
      clips.InsertClipRow();
      return -1;
    case kDelete:
      clips.DeleteSelectedRow();
      return -1;
    default:
      ApplyClickRules(dialog, ctx_, id);
      return -1;
  }
}

bool OptionsDialogProc::FilterChar(const DialogModel& dialog, int id, const std::string& text, int selStart,
                                   int selEnd, char ch) {
  (void)dialog;
  if (id == kScaleEdit) return PositiveNumberFilter(text, selStart, selEnd, ch);
  if (id == kZRotEdit || id == kXRotEdit) return SignedNumberFilter(text, selStart, selEnd, ch);
  return true;
}

bool OptionsDialogProc::OnListClick(DialogModel& dialog, int id, int row, int column) {
  (void)dialog;
  return id == kClipList && clips_.OnNotifyClick(row, column);
}

bool OptionsDialogProc::OnListDoubleClick(DialogModel& dialog, int id, int row, int column) {
  (void)dialog;
  return id == kClipList && clips_.OnNotifyDoubleClick(row, column);
}

bool OptionsDialogProc::OnBeginEdit(DialogModel& dialog, int id, std::string& text, bool& digitsOnly) {
  (void)dialog;
  return id == kClipList && clips_.OnNotifyBeginEdit(text, digitsOnly);
}

void OptionsDialogProc::OnEndEdit(DialogModel& dialog, int id, const std::string* text) {
  (void)dialog;
  if (id == kClipList) clips_.OnNotifyEndEdit(text);
}

}  // namespace vorn
