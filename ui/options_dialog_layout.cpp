// Where each control of the options dialog sits, with its label and size.
#include "ui/options_dialog_proc.h"

#include <string>

namespace vorn {

using namespace ids;

DialogModel OptionsDialogProc::Layout() {
  using K = ControlKind;
  DialogModel d;
  d.width = 78;
  d.height = 32;
  d.okId = kOk;
  d.cancelId = kCancel;
  d.status = "Tab/arrows: move  Space: toggle  Enter: OK, edit cell  Esc: Cancel  +/-: spin";
  auto len = [](const char* text) { return static_cast<int>(std::char_traits<char>::length(text)); };
  auto check = [&](int id, const char* label, int x, int y) { d.Add(id, K::Check, label, x, y, 4 + len(label)); };
  auto radio = [&](int id, const char* label, int x, int y, int group) {
    d.Add(id, K::Radio, label, x, y, 4 + len(label)).radioGroup = group;
  };
  auto edit = [&](int id, int x, int y, int w, bool digits = false) {
    d.Add(id, K::Edit, "", x, y, w).digitsOnly = digits;
  };
  auto spin = [&](int id, int linked, int x, int y) { d.Add(id, K::Spinner, "", x, y, 3).linkedEdit = linked; };
  auto label = [&](const char* text, int x, int y) { d.Add(0, K::Label, text, x, y, len(text)); };
  auto group = [&](const char* text, int x, int y, int w, int h) { d.Add(0, K::Group, text, x, y, w, h); };
  auto hidden = [&](int id, ControlKind kind, const char* text) { d.Add(id, kind, text, 0, 0, 0).visible = false; };

  // Left column: two columns of boxes at 2 and 21, long labels on rows of their own.
  group("General", 0, 0, 39, 11);
  check(kSceneRoot, "Scene Root", 2, 1);
  edit(kSceneRootName, 17, 1, 20);
  d.Find(kSceneRootName)->maxLength = 63;
  check(kMaterial, "Material", 2, 2);
  check(kInline, "Inline", 21, 2);
  check(kBone, "Bone", 2, 3);
  check(kBoneMesh, "Bone Mesh", 21, 3);
  check(kMesh, "Mesh", 2, 4);
  check(kSkin, "Skin", 21, 4);
  check(kWeightFix, "Weight Fix", 2, 5);
  edit(kPrecisionEdit, 21, 5, 6);
  spin(kPrecisionSpin, kPrecisionEdit, 27, 5);
  check(kAnimation, "Animation", 2, 6);
  check(kDummy, "Dummy", 21, 6);
  check(kOnlyAnimationSet, "Only AnimationSet", 2, 7);
  check(kDuplicateName, "Duplicate Name", 2, 8);
  check(kOther, "Other Nodes", 21, 8);
  check(kVertexDup, "Vertex Duplication", 2, 9);
  group("", 0, 11, 39, 5);
  check(kDeclData, "Vertex Elements in DeclData", 2, 12);
  check(kNormal, "Normal", 2, 13);
  check(kTangent, "Tangent", 13, 13);
  check(kBitangent, "Bitangent", 25, 13);
  check(kVertexColor, "VertexColor", 2, 14);
  check(kTexCoords, "TexCoords", 21, 14);
  // Hidden in the dialog; kept so that they are set and read like the others.
  hidden(0, K::Group, "Animation Options");
  hidden(kAnimationType, K::Check, "Type");
  hidden(kOpenClose, K::Combo, "");
  hidden(kQuality, K::Combo, "Quality");
  group("", 0, 16, 39, 5);
  check(kTextures, "Textures", 2, 17);
  check(kOverwriteTexture, "Overwrite", 21, 17);
  check(kMultiTextures, "Multi-Textures", 2, 18);
  check(kPowerOf2, "Power of 2", 21, 18);
  check(kConvertTo, "Convert to", 2, 19);
  d.Add(kTextureFormat, K::Combo, "", 17, 19, 7);
  group("Multiple UV Sets", 0, 21, 39, 5);
  check(kRemoveDuplicates, "Remove Duplicates", 2, 22);
  check(kCreateShader, "Create Shader (.fx)", 2, 23);
  check(kNormalMap, "Normal map", 2, 24);
  label("Procedural Texture Size:", 1, 26);
  edit(kProcMapX, 26, 26, 6, true);
  d.Find(kProcMapX)->maxLength = 4;  // the characters read on OK
  label("\xC3\x97", 33, 26);
  edit(kProcMapY, 35, 26, 6, true);
  d.Find(kProcMapY)->maxLength = 4;

  // Right column.
  group("Animation Clips", 40, 0, 38, 11);
  d.Add(kClipList, K::List, "", 42, 1, 34, 6);
  d.Add(kAdd, K::Button, "Add", 42, 7, 7);
  d.Add(kInsert, K::Button, "Insert", 50, 7, 10);
  d.Add(kDelete, K::Button, "Delete", 61, 7, 10);
  label("Sampling Rate", 42, 9);
  edit(kSampleRate, 56, 9, 5, true);
  d.Find(kSampleRate)->maxLength = 3;
  check(kKeyFrames, "Key Frames", 63, 9);
  group("Timeline", 40, 11, 38, 3);
  radio(kTimelineMax, "3ds Max", 42, 12, 1);
  radio(kTimelineCustom, "Custom", 54, 12, 1);
  edit(kCustomEdit, 65, 12, 8, true);
  spin(kCustomSpin, kCustomEdit, 73, 12);
  group("Keys", 40, 14, 38, 3);
  radio(kMatrix, "Matrix", 42, 15, 2);
  radio(kSrt, "SRT", 53, 15, 2);
  label("Optimize", 61, 15);
  edit(kOptimizeEdit, 70, 15, 3, true);
  spin(kOptimizeSpin, kOptimizeEdit, 73, 15);
  group("Standard Material", 40, 17, 38, 3);
  check(kDiffuseMapColor, "Diffuse Map Color", 42, 18);
  group("DirectX Shader Material", 40, 20, 38, 4);
  check(kFx, "fx", 42, 21);
  check(kOverwriteFx, "Overwrite", 50, 21);
  check(kEffectParams, "Effect Parameters", 42, 22);

  // Across the bottom.
  group("Coordinate System", 0, 27, 78, 4);
  check(kScale, "Scale", 2, 28);
  edit(kScaleEdit, 12, 28, 10);
  d.Find(kScaleEdit)->maxLength = 63;
  check(kXRot, "X-Rot", 26, 28);
  edit(kXRotEdit, 36, 28, 10);
  check(kZRot, "Z-Rot", 50, 28);
  edit(kZRotEdit, 60, 28, 10);
  check(kRightHanded, "Right-handed", 2, 29);
  check(kWorldSpace, "World Space", 26, 29);
  label("X File Format", 1, 31);
  d.Add(kXFileFormat, K::Combo, "", 15, 31, 11);
  d.Add(kOk, K::Button, "OK", 52, 31, 8);
  d.Add(kCancel, K::Button, "Cancel", 62, 31, 10);
  return d;
}

}  // namespace vorn
