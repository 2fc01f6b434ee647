// Scene loading for the command-line host: scene documents directly, glTF files and BVH takes
// through our own readers, every other file through the assimp importer module (vorn_assimp.so
// beside vorn), loaded on first use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "importers/assimp_scene.h"

namespace vorn::app {

// As vorn::LoadScene; throws std::runtime_error with the importer's message. `forceAssimp`
// sends glTF files to assimp too (for a file the reader refuses, or to compare).
std::unique_ptr<SceneDocument> LoadScene(const std::string& path, std::vector<ImportedClip>* clips,
                                         bool forceAssimp = false);

}  // namespace vorn::app
