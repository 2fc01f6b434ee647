// COLLADA 1.4 and 1.5 files (.dae, and .zae archives holding one) read straight into the plain
// records of an imported scene, without assimp. The mapping follows assimp's COLLADA import
// where a user sees the result (node and material names, the unit and up axis in the root,
// vertex order, bone offsets, keys in milliseconds), so both paths export the same file.
// Mapping and losses: docs/importers.md.
#pragma once

#include <string>
#include <string_view>

#include "importers/import_scene.h"

namespace vorn {

// True for the extensions ReadCollada takes (.dae, .zae, any case).
bool IsColladaPath(const std::string& path);

// Throws std::runtime_error naming the file for anything it cannot read: bad XML, a zip archive
// cut short, references to elements the file does not hold, indices out of range.
import::Scene ReadCollada(const std::string& path);

// The same for a file's bytes already in memory (a .dae document or a .zae archive); textures
// named relative to it are looked up beside `path`.
import::Scene ReadColladaBytes(std::string_view bytes, const std::string& path);

}  // namespace vorn
