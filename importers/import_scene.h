// A scene read from another tool's file, as plain records: what every importer fills (assimp,
// or a reader of our own for formats where assimp's import costs more than the export) and what
// BuildImportedScene turns into the records of a scene document.
//
// Conventions are assimp's, so that importers agree with one another: right-handed and Y-up,
// matrices act on column vectors and are stored row by row (m[row][column], translation in the
// last column), key times are in the animation's own ticks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/scene_document.h"

namespace vorn {

// One imported animation laid out on the host's single timeline, in frames.
struct ImportedClip {
  std::string name;
  int startFrame = 0, endFrame = 0;
};

namespace import {

struct Vec3 {
  float x = 0, y = 0, z = 0;
};
struct Rgba {
  float r = 0, g = 0, b = 0, a = 1;
};
struct Quaternion {
  float w = 1, x = 0, y = 0, z = 0;
};
struct Matrix4 {
  float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

// How a map's coordinates leave [0, 1].
enum class Wrap { Repeat, Clamp, Mirror, Decal };

struct MaterialMap {
  std::string file;   // as the source names it; empty for an embedded texture
  int embedded = -1;  // index into Scene::textures, or -1
  unsigned uvSet = 0;
  Wrap wrap[2] = {Wrap::Repeat, Wrap::Repeat};
  bool Present() const { return embedded >= 0 || !file.empty(); }
};

// A property the source does not give stays unset (has* false) and takes the host's default.
struct Material {
  std::string name;
  bool hasDiffuse = false, hasAmbient = false, hasSpecular = false, hasEmissive = false;
  Rgba diffuse, ambient, specular, emissive;
  bool hasShininess = false, hasShininessStrength = false, hasOpacity = false;
  float shininess = 0, shininessStrength = 1, opacity = 1;
  MaterialMap diffuseMap, baseColorMap, normalMap;
};

// A texture carried inside the source file: a whole image file (height 0, `data` holds its
// bytes, `formatHint` its extension) or raw texels (B, G, R, A bytes, top row first).
struct Texture {
  std::string fileName;  // the name the source gives it, may be empty
  std::string formatHint;
  unsigned width = 0, height = 0;
  std::vector<uint8_t> data;
};

struct Bone {
  std::string name;  // the node it moves
  Matrix4 offset;    // mesh space to bone space at rest
  std::vector<std::pair<uint32_t, float>> weights;  // (vertex, weight)
};

// Per-vertex arrays are empty or hold one entry per position.
struct Mesh {
  std::vector<Vec3> positions, normals;
  std::vector<Rgba> colors;
  std::array<std::vector<Vec3>, 8> uvs;
  std::vector<std::array<uint32_t, 3>> triangles;
  unsigned material = 0;
  std::vector<Bone> bones;
};

struct Node {
  std::string name;
  Matrix4 transform;
  std::vector<unsigned> meshes;
  std::vector<Node> children;
};

struct VectorKey {
  double time = 0;
  Vec3 value;
};
struct QuatKey {
  double time = 0;
  Quaternion value;
};

struct Channel {
  std::string node;
  std::vector<VectorKey> positions, scalings;
  std::vector<QuatKey> rotations;
};

struct Animation {
  std::string name;
  double ticksPerSecond = 0;  // 0: the source does not say (25 is assumed)
  double duration = 0;        // in ticks
  std::vector<Channel> channels;
};

struct Scene {
  Node root;
  std::vector<Mesh> meshes;
  std::vector<Material> materials;
  std::vector<Texture> textures;
  std::vector<Animation> animations;
  double frameRate = 0;  // the source's frames per second; 0: 30
  std::vector<std::string> notes;  // what the reader left out, for the user
};

}  // namespace import

// The host's records for an imported scene read from `path` (textures named relative to it are
// looked up beside it). Clips, when asked for, get one entry per animation.
std::unique_ptr<SceneDocument> BuildImportedScene(const import::Scene& scene, const std::string& path,
                                                  std::vector<ImportedClip>* clips = nullptr);

}  // namespace vorn
