// One mesh of an .X file as the file holds it, and the imported meshes made from it: the faces
// of one material with a vertex per face corner, mirrored into right-handed space, triangulated,
// given face normals where the file has none and joined, in the order and with the float
// operations assimp's import and post-processing steps use, so the records match its bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "importers/import_scene.h"

namespace vorn::xfile_import {

inline constexpr unsigned kMaxSets = 8;  // texture coordinate and colour sets

struct SourceBone {
  std::string name;  // the frame it moves
  std::vector<uint32_t> vertices;
  std::vector<float> weights;
  import::Matrix4 offset;  // as read, not yet mirrored
};

// Indices are checked against the counts when read.
struct SourceMesh {
  std::vector<import::Vec3> positions;
  std::vector<uint32_t> faceStart;  // face f: corners faceStart[f] .. faceStart[f + 1]
  std::vector<uint32_t> corners;    // position index per corner
  std::vector<import::Vec3> normals;
  std::vector<uint32_t> normalCorners;  // empty, or a normal index per corner
  std::array<std::vector<std::array<float, 2>>, kMaxSets> uvs;
  unsigned uvSets = 0;
  std::array<std::vector<import::Rgba>, kMaxSets> colors;
  unsigned colorSets = 0;
  std::vector<uint32_t> faceMaterials;  // empty, or one per face
  std::vector<SourceBone> bones;
  uint32_t FaceCount() const { return faceStart.empty() ? 0 : uint32_t(faceStart.size() - 1); }
};

// The imported meshes of the given faces (in that order): one, or where faces of one or two
// corners are mixed with larger ones, a mesh of points, of lines and of triangles, in that
// order. `material` is their scene material.
std::vector<import::Mesh> BuildMeshes(const SourceMesh& source, std::span<const uint32_t> faces, uint32_t cornerCount,
                                      unsigned material);

}  // namespace vorn::xfile_import
