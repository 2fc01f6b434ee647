// Scene loading for the command-line host: scene documents and BVH takes directly, every other
// file through the assimp importer module (vorn_assimp.so beside vorn), loaded on first use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/assimp_scene.h"

namespace vorn::app {

// As vorn::LoadScene; throws std::runtime_error with the importer's message.
std::unique_ptr<SceneDocument> LoadScene(const std::string& path, std::vector<ImportedClip>* clips);

}  // namespace vorn::app
