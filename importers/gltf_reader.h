// glTF 2.0 files (.gltf with external or data: buffers, .glb) read straight into the plain
// records of an imported scene, without assimp. The mapping follows assimp's glTF import where
// a user sees the result (node and material names, flipped V, bone offsets, key times in
// milliseconds), so both paths export the same file. Mapping and losses: docs/importers.md.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "importers/import_scene.h"

namespace vorn {

// Thrown for a well-formed file of a kind the reader leaves to assimp: glTF 1.x, or a required
// extension it does not read (mesh compression among them).
struct GltfNotRead : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// True for the extensions ReadGltf takes (.gltf, .glb, any case).
bool IsGltfPath(const std::string& path);

// Throws std::runtime_error naming the file for anything it cannot read: bad JSON or binary
// container, a missing or short buffer, an accessor or index out of range, a required
// extension it does not support (GltfNotRead, for the two kinds assimp may read).
import::Scene ReadGltf(const std::string& path);

// The same for a file's bytes already in memory; external buffers and images are looked up
// beside `path`.
import::Scene ReadGltfBytes(std::string_view bytes, const std::string& path);

}  // namespace vorn
