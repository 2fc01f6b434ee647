// The options dialog: its controls by id, their layout, and the procedure that fills them from
// the settings, keeps dependent boxes consistent and writes them back on OK.
#pragma once

#include <string>

#include "host/dialog.h"
#include "ui/clip_list.h"

namespace vorn {

struct ExportContext;
struct ExportSettings;

namespace ids {
inline constexpr int kOk = 1035, kCancel = 2;
inline constexpr int kSceneRoot = 1003, kSceneRootName = 1025, kMaterial = 1004, kInline = 1007, kBone = 1012,
                     kBoneMesh = 1033, kMesh = 1002, kSkin = 1005, kWeightFix = 1041, kPrecisionEdit = 1163,
                     kPrecisionSpin = 1164, kAnimation = 1010, kOnlyAnimationSet = 1050, kDummy = 1020,
                     kOther = 1018, kDuplicateName = 1049, kVertexDup = 1013, kDeclData = 1178, kNormal = 1006,
                     kTangent = 1008, kBitangent = 1021, kVertexColor = 1032, kTexCoords = 1034,
                     kAnimationType = 1028, kOpenClose = 1029, kQuality = 1031, kTextures = 1176,
                     kOverwriteTexture = 1171, kMultiTextures = 1179, kConvertTo = 1173, kTextureFormat = 1017,
                     kPowerOf2 = 1030, kRemoveDuplicates = 1042, kCreateShader = 1023, kNormalMap = 1026,
                     kProcMapX = 1036, kProcMapY = 1039, kClipList = 1014, kAdd = 1015, kInsert = 1019,
                     kDelete = 1016, kSampleRate = 1011, kKeyFrames = 1044, kTimelineMax = 1037,
                     kTimelineCustom = 1038, kCustomEdit = 1166, kCustomSpin = 1167, kMatrix = 1045, kSrt = 1046,
                     kOptimizeEdit = 1174, kOptimizeSpin = 1175, kDiffuseMapColor = 1027, kFx = 1177,
                     kOverwriteFx = 1172, kEffectParams = 1022, kScale = 1170, kScaleEdit = 1168, kXRot = 1169,
                     kXRotEdit = 1182, kZRot = 1181, kZRotEdit = 1180, kRightHanded = 1165, kWorldSpace = 1001,
                     kXFileFormat = 1009, kStatus = 1024;
}  // namespace ids

class OptionsDialogProc : public DialogProcedure {
 public:
  OptionsDialogProc(const ExportContext& ctx, ExportSettings& settings) : ctx_(ctx), settings_(settings) {}

  // Dialog 102: every control of the options dialog, laid out for an 80-column terminal.
  static DialogModel Layout();

  void OnInit(DialogModel& dialog) override;
  int OnCommand(DialogModel& dialog, int id) override;
  bool FilterChar(const DialogModel& dialog, int id, const std::string& text, int selStart, int selEnd,
                  char ch) override;
  bool OnListClick(DialogModel& dialog, int id, int row, int column) override;
  bool OnListDoubleClick(DialogModel& dialog, int id, int row, int column) override;
  bool OnBeginEdit(DialogModel& dialog, int id, std::string& text, bool& digitsOnly) override;
  void OnEndEdit(DialogModel& dialog, int id, const std::string* text) override;

  CAnimListView& Clips() { return clips_; }

 private:
  const ExportContext& ctx_;
  ExportSettings& settings_;
  CAnimListView clips_;
};

// Fills the controls from the settings (a precision above 10 is brought down to 10).
void InitOptionsDialog(DialogModel& dialog, const ExportContext& ctx, ExportSettings& settings, CAnimListView& clips);
void ReadOptionsDialog(DialogModel& dialog, const ExportContext& ctx, ExportSettings& settings);
void EnableTextureControls(DialogModel& dialog, bool on);
void ApplyDeclDataState(DialogModel& dialog, bool on);
// The dependency rules of one click on a check box, radio button or button.
void ApplyClickRules(DialogModel& dialog, const ExportContext& ctx, int id);

}  // namespace vorn
