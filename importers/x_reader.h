// DirectX .X files (text, binary, MSZIP-compressed) read into the records of an imported scene
// without assimp, as assimp's X import and the importer's post-processing give them: frames as
// nodes, meshes split by material and triangulated, skins, animation sets. Both paths export the
// same file. Mapping and what differs: docs/importers.md.
#pragma once

#include <string>
#include <string_view>

#include "importers/import_scene.h"

namespace vorn {

// True for the extension ReadX takes (.x, any case).
bool IsXPath(const std::string& path);

// Throws std::runtime_error naming the file and the fault for a file it cannot read or that is
// malformed (indices out of range, counts that disagree, no frame and no mesh).
import::Scene ReadX(const std::string& path);

// The same for a file's bytes already in memory; `path` names the file in messages.
import::Scene ReadXBytes(std::string_view bytes, const std::string& path);

}  // namespace vorn
