// Material records of the exported model: plain materials, effect materials and references to
// shared records.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorn {

class HostTexmap;

enum class MaterialKind : uint32_t { Plain = 0, Effect = 1, Reference = 2 };
enum class TextureSlotRole : uint32_t { None = 0, Diffuse = 1, NormalMap = 2 };
enum class TextureAddress : uint32_t { Clamp = 0, Wrap = 1, Mirror = 2 };

// Two linear rows and a translation row.
struct UVTransform {
  float m[3][2] = {{1, 0}, {0, 1}, {0, 0}};
  bool IsIdentity() const {
    return m[0][0] == 1 && m[0][1] == 0 && m[1][0] == 0 && m[1][1] == 1 && m[2][0] == 0 && m[2][1] == 0;
  }
  friend bool operator==(const UVTransform&, const UVTransform&) = default;
};

struct XTextureSlot {
  TextureSlotRole role = TextureSlotRole::None;
  std::string name;
  std::string fileName;
  std::string sourcePath;
  std::string hostPath;  // the bitmap's path as the host gave it, for telling that it was not found
  int32_t mapChannel = 0;
  UVTransform uvTransform;
  TextureAddress addressU = TextureAddress::Clamp;
  TextureAddress addressV = TextureAddress::Clamp;
  const HostTexmap* proceduralMap = nullptr;
  bool Empty() const { return mapChannel < 1; }
};

inline constexpr int kTextureSlotCount = 11;

struct XMaterial {
  XMaterial() = default;
  XMaterial(const XMaterial&) = default;
  XMaterial& operator=(const XMaterial&) = default;
  // Records are held by their base while being converted and registered.
  virtual ~XMaterial() = default;

  MaterialKind kind = MaterialKind::Plain;
  std::string name;
  float faceColor[4] = {1, 1, 1, 1};
  float power = 0;
  float specularColor[3] = {0, 0, 0};
  float emissiveColor[3] = {0, 0, 0};
  std::array<XTextureSlot, kTextureSlotCount> slots;
};

struct XEffectParams {
  struct DWordParam { std::string name; int32_t value = 0; };
  struct FloatParam { std::string name; float values[4] = {0, 0, 0, 0}; uint32_t floatCount = 1; };
  // A texture parameter also keeps where its bitmap comes from, so that the copy step can give it
  // the name of the file it writes.
  struct StringParam {
    std::string name;
    std::string value;
    std::string sourcePath = {};  // empty for a parameter that names no texture
    std::string hostPath = {};
  };
  std::string effectFile;
  std::string effectHostPath = {};  // a shader material's effect file as the host gave it
  std::vector<DWordParam> dwordParams;
  std::vector<FloatParam> floatParams;
  std::vector<StringParam> stringParams;
};

struct XEffectMaterial : XMaterial {
  XEffectMaterial() { kind = MaterialKind::Effect; }
  uint8_t hasOwnEffectFile = 0;
  XEffectParams effect;
};

struct XMaterialRef {
  MaterialKind kind = MaterialKind::Reference;
  uint32_t index = 0;
};

// One entry of a node's material list: exactly one of the three is set, as `kind` says.
struct XMaterialEntry {
  MaterialKind kind = MaterialKind::Plain;
  std::unique_ptr<XMaterial> plain;            // Plain
  std::unique_ptr<XEffectMaterial> effect;     // Effect
  XMaterialRef ref;                            // Reference
};

}  // namespace vorn
