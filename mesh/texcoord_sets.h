// Texture coordinate sets: which map channels become sets, the per-face UV transforms that the
// face's material chooses, and sets that duplicate earlier ones.
#pragma once

#include <cstdint>
#include <vector>

#include "host/host_scene.h"
#include "model/material_record.h"
#include "model/mesh_data.h"

namespace vorn {

// (u, v) -> (u, 1 - v): the transform of a set no material slot has set.
inline constexpr UVTransform kDefaultUVTransform{{{1, 0}, {0, -1}, {0, 1}}};

inline Point2 ApplyUV(const UVTransform& t, Point2 p) {
  return {p.x * t.m[0][0] + p.y * t.m[1][0] + t.m[2][0], p.x * t.m[0][1] + p.y * t.m[1][1] + t.m[2][1]};
}
// x first, then y.
UVTransform Multiply(const UVTransform& x, const UVTransform& y);

// Working state of one mesh build.
struct TexCoordSetState {
  bool supported[100] = {};  // map channels 0 to 99
  std::vector<UVTransform> transforms;
  std::vector<uint8_t> marks;
  int32_t tangentSet = -1;  // -1: the face has none
  // Whose slots the face transforms and tangent set hold (null: none, reset), once set.
  const XMaterial* faceTransformsOf = nullptr;
  bool faceTransformsSet = false;
};

void DiscoverTexCoordSets(const TriMesh& mesh, XMeshData& data, TexCoordSetState& state);
void ResetFaceTransforms(TexCoordSetState& state);
void ApplyMaterialSlots(const XMaterial& material, const XMeshData& data, TexCoordSetState& state);
// u and v of every set at host corners k of face f, through the sets' current transforms;
// out[c * sets + k] is set k at corner c.
void AppendCornerTexCoords(const TriMesh& mesh, const XMeshData& data, const TexCoordSetState& state, int f,
                           const int corners[3], Point2* out);
void FindDuplicateSets(XMeshData& data);

UVTransform TexmapUVTransform(const HostScene& host, const HostTexmap* map);
int32_t TexCoordSetOfChannel(const XMeshData& data, int32_t channel);

}  // namespace vorn
