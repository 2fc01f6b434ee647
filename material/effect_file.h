// Sample HLSL effect files for effect materials without an effect file of their own.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "model/material_record.h"

namespace vorn {

struct ExportOptions;
struct XMeshData;

struct EffectTexture {
  std::string name;
  TextureSlotRole role = TextureSlotRole::None;
  int32_t texCoordSet = 0;
  TextureAddress addressU = TextureAddress::Clamp;
  TextureAddress addressV = TextureAddress::Clamp;
};

struct EffectFileBuilder {
  float diffuseColor[4] = {1, 1, 1, 1};
  float specularPower = 0;
  float specularColor[3] = {0, 0, 0};
  float emissiveColor[3] = {0, 0, 0};
  int32_t hasNormal = 0;
  int32_t hasTangent = 0;
  int32_t hasBinormal = 0;
  int32_t hasVertexColor = 0;
  int32_t diffuseMapColor = 0;
  int32_t normalMapCode = 0;
  int32_t rightHand = 0;
  std::string path;
  std::vector<EffectTexture> textures;
  std::set<int32_t> texCoordSets;
};

// Colours from the record, vertex layout and shading switches from the settings.
EffectFileBuilder MakeEffectFileBuilder(const ExportOptions& options, const XMaterial& record);
void AddEffectTexture(EffectFileBuilder& b, const std::string& name, TextureSlotRole role, int32_t texCoordSet,
                      TextureAddress addressU, TextureAddress addressV);
// The whole effect text.
std::string EffectFileText(const EffectFileBuilder& b);
// Replaces the file at b.path with a complete one; false when it cannot be written.
bool WriteEffectFile(const EffectFileBuilder& b);

// The TEXCOORD number of the written set that the channel reads, or -1.
int32_t EffectTexCoordSet(const XMeshData& data, int32_t channel);

}  // namespace vorn
