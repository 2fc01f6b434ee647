#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "host/scene_document.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "ui/clip_list.h"
#include "ui/options_dialog_proc.h"

namespace vorn {
namespace {

using namespace ids;

class OptionsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    doc_ = LoadSceneDocumentFromString(R"({"format": "vorn-scene", "version": 1,
        "scene": {"animationRange": [0, 16000], "ticksPerFrame": 160}, "nodes": []})");
    ctx_.host = doc_.get();
    ctx_.ticksPerFrame = 160;
    ctx_.animationRange = {0, 16000};
    ctx_.rootName = "Scene_Root";
  }
  void Open() { proc_->OnInit(dialog_); }
  // A click as the dialog delivers it: the box changes state first, then the procedure runs.
  void Click(int id) {
    DialogControl* c = dialog_.Find(id);
    ASSERT_TRUE(c) << id;
    if (c->kind == ControlKind::Check) dialog_.SetCheck(id, !c->checked);
    if (c->kind == ControlKind::Radio) dialog_.SetCheck(id, true);
    EXPECT_EQ(proc_->OnCommand(dialog_, id), -1);
  }
  void Ok() { EXPECT_EQ(proc_->OnCommand(dialog_, kOk), 1); }
  bool On(int id) const { return dialog_.Checked(id); }

  std::unique_ptr<SceneDocument> doc_;
  ExportContext ctx_;
  ExportSettings settings_;
  DialogModel dialog_ = OptionsDialogProc::Layout();
  std::unique_ptr<OptionsDialogProc> proc_ = std::make_unique<OptionsDialogProc>(ctx_, settings_);
};

TEST_F(OptionsDialog, EveryControlOfTheTableIsThereAndFitsTheLayout) {
  const int ids[] = {1003, 1025, 1004, 1007, 1012, 1033, 1002, 1005, 1041, 1163, 1164, 1010, 1050, 1020, 1018,
                     1049, 1013, 1178, 1006, 1008, 1021, 1032, 1034, 1028, 1029, 1031, 1176, 1171, 1179, 1173,
                     1017, 1030, 1042, 1023, 1026, 1036, 1039, 1014, 1015, 1019, 1016, 1011, 1044, 1037, 1038,
                     1166, 1167, 1045, 1046, 1174, 1175, 1027, 1177, 1172, 1022, 1170, 1168, 1169, 1182, 1181,
                     1180, 1165, 1001, 1009, 1035, 2};
  for (int id : ids) EXPECT_TRUE(dialog_.Find(id)) << id;
  // Inside the frame, clear of each other and of the group borders they sit in.
  std::vector<const DialogControl*> shown, groups;
  for (const DialogControl& c : dialog_.controls) {
    if (!c.visible) continue;
    EXPECT_LE(c.x + c.w, dialog_.width) << c.label << " " << c.id;
    EXPECT_LT(c.y + c.h - 1, dialog_.height) << c.label << " " << c.id;
    (c.kind == ControlKind::Group ? groups : shown).push_back(&c);
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    const DialogControl& a = *shown[i];
    for (size_t j = i + 1; j < shown.size(); ++j) {
      const DialogControl& b = *shown[j];
      const bool apart = a.x + a.w <= b.x || b.x + b.w <= a.x || a.y + a.h <= b.y || b.y + b.h <= a.y;
      EXPECT_TRUE(apart) << "'" << a.label << "' " << a.id << " overlaps '" << b.label << "' " << b.id;
    }
    for (const DialogControl* g : groups) {
      const bool inside = a.x > g->x && a.x + a.w < g->x + g->w && a.y > g->y && a.y + a.h < g->y + g->h;
      const bool outside = a.x + a.w <= g->x || g->x + g->w <= a.x || a.y + a.h <= g->y || g->y + g->h <= a.y;
      EXPECT_TRUE(inside || outside) << "'" << a.label << "' " << a.id << " crosses group '" << g->label << "'";
    }
  }
}

// Every shown control is wide enough for the longest text it can hold, as the host draws it.
void ExpectWholeEntries(const DialogModel& d, const std::map<int, std::string>& longestEdits) {
  const std::string where = "dialog '" + d.caption + "': ";
  EXPECT_LE(TextCells(d.caption), d.width) << where;
  EXPECT_LE(TextCells(d.status), d.width) << where << d.status;
  for (const DialogControl& c : d.controls) {
    if (!c.visible) continue;
    const std::string what = where + "'" + c.label + "' " + std::to_string(c.id);
    EXPECT_LE(TextCells(c.label), TextRoom(c)) << what;
    for (const std::string& item : c.items) EXPECT_LE(TextCells(item), TextRoom(c)) << what << " entry " << item;
    for (const ListColumn& col : c.columns) EXPECT_LE(TextCells(col.title), ColumnRoom(col)) << what;
    if (c.kind == ControlKind::Combo) {
      EXPECT_FALSE(c.items.empty()) << what;
    }
    if (const auto e = longestEdits.find(c.id); e != longestEdits.end()) {
      EXPECT_LE(TextCells(e->second), TextRoom(c)) << what << " text " << e->second;
    }
  }
}

TEST_F(OptionsDialog, EveryControlShowsItsLongestEntryWhole) {
  Open();
  // Edits that hold numbers, with the longest text each can hold: the limits of its setting or
  // spinner, or what its filter lets through.
  ExpectWholeEntries(dialog_, {{kPrecisionEdit, "0.0"},
                               {kCustomEdit, "999999"},
                               {kOptimizeEdit, "3"},
                               {kSampleRate, "999"},
                               {kProcMapX, "9999"},
                               {kProcMapY, "9999"},
                               {kScaleEdit, "999999."},
                               {kXRotEdit, "-999999."},
                               {kZRotEdit, "-999999."}});
  const DialogControl* list = dialog_.Find(kClipList);
  ASSERT_EQ(list->columns.size(), 3u);
  for (int column : {1, 2})
    EXPECT_LE(TextCells("-999999"), ColumnRoom(list->columns[static_cast<size_t>(column)])) << "frame numbers";

  CAnimListView& clips = proc_->Clips();
  ClipDialog proc(clips);
  DialogModel clipDialog = ClipDialog::Layout();
  proc.OnInit(clipDialog);
  ExpectWholeEntries(clipDialog, {{ClipDialog::kStartEdit, "-999999"}, {ClipDialog::kEndEdit, "-999999"}});
}

TEST_F(OptionsDialog, UncheckingMaterialClearsWhatNeedsIt) {
  ExportOptions& o = settings_.options;
  o.DxFx = o.EffectParam = o.InlineMtl = o.FX = o.NormalMapCode = o.TextureFiles = o.PowerOf2 = o.DeclData = 1;
  Open();
  ASSERT_TRUE(On(kNormalMap));
  ASSERT_TRUE(dialog_.Enabled(kOverwriteFx));
  Click(kMaterial);
  for (int id : {kFx, kEffectParams, kInline, kCreateShader, kNormalMap, kTextures, kPowerOf2})
    EXPECT_FALSE(On(id)) << id;
  for (int id : {kOverwriteFx, kConvertTo, kTextureFormat, kOverwriteTexture, kProcMapX, kProcMapY,
                 kRemoveDuplicates, kCreateShader, kNormalMap, kMultiTextures})
    EXPECT_FALSE(dialog_.Enabled(id)) << id;
  Ok();
  EXPECT_EQ(o.Mtl, 0);
  EXPECT_EQ(o.TextureFiles, 0);
}

TEST_F(OptionsDialog, CheckingNormalMapChecksEverythingItNeeds) {
  ExportOptions& o = settings_.options;
  o.Meshs = o.Mtl = o.Normal = o.TexCoords = o.MultiTextures = 0;
  Open();
  EXPECT_FALSE(dialog_.Enabled(kTangent)) << "without DeclData";
  Click(kNormalMap);
  for (int id : {kDeclData, kMesh, kCreateShader, kTexCoords, kNormal, kTangent, kBitangent, kMaterial, kMultiTextures})
    EXPECT_TRUE(On(id)) << id;
  EXPECT_TRUE(dialog_.Enabled(kTangent));
  Click(kTangent);
  EXPECT_FALSE(On(kNormalMap)) << "not all three vertex elements";
  Click(kTangent);
  Click(kNormalMap);
  Click(kNormal);
  EXPECT_FALSE(On(kNormalMap));
  Click(kDeclData);
  EXPECT_FALSE(On(kCreateShader)) << "DeclData off takes the shader with it";
  EXPECT_FALSE(dialog_.Enabled(kBitangent));
}

TEST_F(OptionsDialog, SmallerDependencies) {
  settings_.options.Bones = settings_.options.Meshs = 1;
  settings_.options.Animation = 0;
  Open();
  Click(kBone);
  ASSERT_FALSE(On(kBone));
  dialog_.SetCheck(kBoneMesh, true);
  Click(kBone);
  Click(kBone);
  EXPECT_FALSE(On(kBoneMesh));
  Click(kMesh);
  EXPECT_FALSE(dialog_.Enabled(kSkin));
  Click(kVertexColor);
  EXPECT_TRUE(On(kMesh));
  EXPECT_TRUE(dialog_.Enabled(kSkin) == false) << "checking Mesh by rule does not re-enable";
  Click(kAnimation);
  EXPECT_EQ(dialog_.Enabled(kOnlyAnimationSet), On(kAnimation));
  dialog_.SetCheck(kPowerOf2, true);
  dialog_.SetCheck(kConvertTo, true);
  Click(kConvertTo);
  EXPECT_FALSE(On(kPowerOf2));
}

TEST_F(OptionsDialog, SceneRootNameIsCleanedOrReplaced) {
  Open();
  dialog_.SetText(kSceneRootName, " My Root ");
  Ok();
  EXPECT_EQ(settings_.sceneRootName, "MyRoot");
  for (const char* bad : {"1Root", "Ro#ot"}) {
    dialog_.SetText(kSceneRootName, bad);
    Ok();
    EXPECT_EQ(settings_.sceneRootName, "Scene_Root") << bad;
  }
}

TEST_F(OptionsDialog, ScaleAndRotationsShownAndLimited) {
  ExportOptions& o = settings_.options;
  o.SpaceScale = 0.00001f;
  o.ZRot = 0.000005f;
  o.XRot = -90;
  Open();
  EXPECT_EQ(dialog_.Text(kScaleEdit), "0.00001") << "no exponent form";
  EXPECT_EQ(dialog_.Text(kZRotEdit), "0");
  EXPECT_EQ(dialog_.Text(kXRotEdit), "-90");
  dialog_.SetText(kScaleEdit, "0");
  dialog_.SetText(kZRotEdit, "0.0000005");
  dialog_.SetText(kXRotEdit, "12345678");
  Ok();
  EXPECT_EQ(o.SpaceScale, 0.00001f);
  EXPECT_EQ(o.ZRot, 0.0f);
  EXPECT_EQ(o.XRot, 999999.0f);
  dialog_.SetText(kScaleEdit, "1234567");
  Ok();
  EXPECT_EQ(o.SpaceScale, 999999.0f);
  o.SpaceScale = 0.5f;
  Open();
  EXPECT_EQ(dialog_.Text(kScaleEdit), "0.5");
}

TEST_F(OptionsDialog, SpinnersKeepTheirLimits) {
  ExportOptions& o = settings_.options;
  o.Precision = 25;
  o.KeyOptimizeLevel = 7;
  Open();
  EXPECT_EQ(dialog_.Text(kPrecisionEdit), "1.0");
  EXPECT_EQ(dialog_.Text(kOptimizeEdit), "3");
  Ok();
  EXPECT_EQ(o.Precision, 10);
  EXPECT_EQ(o.KeyOptimizeLevel, 3);
  // Three steps down from 1.0 read back as 7, not 6.
  for (int i = 0; i < 3; ++i) dialog_.StepSpinner(kPrecisionSpin, -1);
  Ok();
  EXPECT_EQ(o.Precision, 7);
  EXPECT_EQ(dialog_.Text(kPrecisionEdit), "0.7");
  // A typed weight is read as typed: the integer part of its tenths.
  for (const auto& [typed, tenths] : {std::pair{"0.59", 5}, std::pair{"0.25", 2}, std::pair{"0.3", 3}}) {
    dialog_.SetText(kPrecisionEdit, typed);
    Ok();
    EXPECT_EQ(o.Precision, tenths) << typed;
  }
  // Typed text that is no number reads as 0, then within the limits.
  for (const char* typed : {"nan", "-nan", "-inf", "abc"}) {
    dialog_.SetText(kPrecisionEdit, typed);
    dialog_.SetText(kCustomEdit, typed);
    Ok();
    EXPECT_EQ(o.Precision, 0) << typed;
    EXPECT_EQ(o.TimelineCustom, 1) << typed;
  }
}

TEST_F(OptionsDialog, CustomTimelineTakesTheFrameRate) {
  ExportOptions& o = settings_.options;
  Open();
  dialog_.SetText(kSampleRate, "15");
  Ok();
  EXPECT_EQ(o.SampleRate, 15);
  dialog_.SetText(kSampleRate, "9999");
  Ok();
  EXPECT_EQ(o.SampleRate, 999) << "three characters are read";
  dialog_.SetText(kSampleRate, "0");
  Ok();
  EXPECT_EQ(o.SampleRate, 30);
  Click(kTimelineCustom);
  EXPECT_EQ(dialog_.Text(kSampleRate), "30");
  EXPECT_FALSE(On(kTimelineMax));
  dialog_.SetText(kSampleRate, "12");
  Ok();
  EXPECT_EQ(o.Timeline, 1);
  EXPECT_EQ(o.SampleRate, 30) << "the frame rate whatever was typed";
}

TEST_F(OptionsDialog, CombosAndNumbersRoundTrip) {
  ExportOptions& o = settings_.options;
  o.XFileType = 7;
  o.TextureFormat = 3;
  o.ProcMapX = 64;
  o.KeyType = 1;
  Open();
  EXPECT_EQ(dialog_.Selection(kXFileFormat), 0);
  EXPECT_EQ(dialog_.Selection(kTextureFormat), 3);
  EXPECT_TRUE(On(kSrt));
  dialog_.Select(kXFileFormat, 2);
  dialog_.SetText(kProcMapX, "0");
  dialog_.SetText(kProcMapY, "123456");
  Ok();
  EXPECT_EQ(o.XFileType, 2);
  EXPECT_EQ(o.ProcMapX, 1);
  EXPECT_EQ(o.ProcMapY, 1234);
  EXPECT_EQ(o.KeyType, 1);
}

TEST_F(OptionsDialog, ClipsGoThroughTheList) {
  settings_.clips = {{"Walk", 0, 40}, {"Run", 50, 500}};
  Open();
  const DialogControl* list = dialog_.Find(kClipList);
  ASSERT_EQ(list->rows.size(), 2u);
  EXPECT_EQ(list->rows[1], (std::vector<std::string>{"Run", "50", "100"})) << "clamped to the scene's frames";
  Click(kAdd);  // unshown: the clip dialog is confirmed as it opens
  Ok();
  ASSERT_EQ(settings_.clips.size(), 3u);
  EXPECT_EQ(settings_.clips[1], (AnimationClip{"Run", 50, 100}));
  EXPECT_EQ(settings_.clips[2], (AnimationClip{"Anims_3", 0, 100}));
}

TEST_F(OptionsDialog, InsertBeforeAnyPickGoesAboveTheLastClip) {
  // Filling the list leaves its last row selected, as adding a row does; no cell is picked yet.
  settings_.clips = {{"Walk", 0, 40}, {"Run", 50, 60}};
  Open();
  const DialogControl* list = dialog_.Find(kClipList);
  EXPECT_EQ(list->highlightColumn, -1) << "no cell is drawn as selected";
  Click(kInsert);
  ASSERT_EQ(list->rows.size(), 3u);
  EXPECT_EQ(list->rows[1], (std::vector<std::string>{"Anims_2", "0", "100"}));
  EXPECT_EQ(list->rows[2][0], "Run");
  Click(kInsert);  // the inserted row is the selected one now
  EXPECT_EQ(list->rows[1][0], "Anims_2_");
  EXPECT_EQ(list->rows[2][0], "Anims_2");
  Ok();
  const std::vector<AnimationClip> expected = {
      {"Walk", 0, 40}, {"Anims_2_", 0, 100}, {"Anims_2", 0, 100}, {"Run", 50, 60}};
  EXPECT_EQ(settings_.clips, expected);

  // Without clips nothing is selected, and Insert appends.
  settings_.clips.clear();
  dialog_ = OptionsDialogProc::Layout();
  Open();
  Click(kInsert);
  ASSERT_EQ(dialog_.Find(kClipList)->rows.size(), 1u);
  EXPECT_EQ(dialog_.Find(kClipList)->rows[0][0], "Anims_1");
}

TEST_F(OptionsDialog, CancelChangesNothing) {
  Open();
  Click(kMaterial);
  dialog_.SetText(kSceneRootName, "Other");
  EXPECT_EQ(proc_->OnCommand(dialog_, kCancel), 0);
  EXPECT_EQ(settings_.options.Mtl, 1);
  EXPECT_TRUE(settings_.sceneRootName.empty());
}

TEST_F(OptionsDialog, ScaleAndRotationEditsFilterTheirInput) {
  EXPECT_FALSE(proc_->FilterChar(dialog_, kScaleEdit, "1", 1, 1, '-'));
  EXPECT_TRUE(proc_->FilterChar(dialog_, kXRotEdit, "", 0, 0, '-'));
  EXPECT_TRUE(proc_->FilterChar(dialog_, kZRotEdit, "-", 1, 1, '5'));
  EXPECT_TRUE(proc_->FilterChar(dialog_, kSceneRootName, "", 0, 0, '-')) << "other edits take anything";
}

}  // namespace
}  // namespace vorn
