// The export settings record, the scene-root name and the animation clip list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// 54 fields of 32 bits, in record order; named by their settings-file keys.
struct ExportOptions {
  int32_t SceneRoot, Mtl, Meshs, Bones, Dummy, OTHER, Normal, Tangent, BiTangent, InlineMtl, Precision,
      WorldSpace, MultiTexCoordsOptimize, XFileType, Animation, RightHand, FX, VertexDup, EffectParam,
      NormalMapCode, DiffuseMapColor, AnimationOptions, AnimationOpenClose, AnimationQuality, VertexColor,
      OverwriteTexture, OverwriteFX, BoneMesh, TexCoords, TextureConvert, TextureFormat, SkinFix, SampleRate,
      Timeline, TimelineCustom, KeyType, KeyFrames, KeyOptimizeLevel, SpaceScaleEnable;
  float SpaceScale;
  int32_t DuplicateNodeName, DxFx, TextureFiles, ProcMapX, ProcMapY, Skin, DeclData, OnlyAnimationSet,
      MultiTextures, ZRotEnable;
  float ZRot;
  int32_t XRotEnable;
  float XRot;
  int32_t PowerOf2;
};
static_assert(sizeof(ExportOptions) == 54 * 4);

// Defaults of the settings table with the given host frame rate.
ExportOptions DefaultOptions(int32_t frameRate);

struct AnimationClip {
  std::string name;
  int32_t startKey = 0;
  int32_t endKey = 0;
  friend bool operator==(const AnimationClip&, const AnimationClip&) = default;
};


// What the settings file and the options dialog hold: the record, the scene-root name and the
// clips.
struct ExportSettings {
  ExportOptions options = DefaultOptions(30);
  std::string sceneRootName;
  std::vector<AnimationClip> clips;
};

// One field of the record by its settings-file key.
struct OptionField {
  std::string_view key;
  bool isFloat;
  int32_t ExportOptions::*intField;
  float ExportOptions::*floatField;
  int32_t intDefault;     // the sample-rate default is the host frame rate, given at load
  float floatDefault;
  // Places of an integer field in the settings file's read and write orders; -1 for the floats,
  // which follow the integers as text.
  int8_t loadAt;
  int8_t saveAt;
};
// All 54 fields in record order.
const std::vector<OptionField>& OptionFields();
const OptionField* FindOptionField(std::string_view key);
// The integer fields in the order the settings file is read, and in the order it is written.
const std::vector<const OptionField*>& LoadOrder();
const std::vector<const OptionField*>& SaveOrder();
// The settings-file key of one field of clip `index`: "Animation<index>_<field>", with field
// "Name", "StartKey" or "EndKey".
std::string ClipKey(size_t index, std::string_view field);
// True for every key the settings file's section holds, as the file compares keys (case and
// surrounding whitespace aside): the fields, "SceneRootName", "AnimationCount" and the clips' keys.
bool IsSettingKey(std::string_view key);


// Sets one field from text as the settings file would hold it; false for an unknown key.
bool SetOptionFromText(ExportOptions& o, std::string_view key, std::string_view value);

}  // namespace vorn
