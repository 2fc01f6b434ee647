// Motion capture takes in the BVH format read into the records of an imported scene, as assimp
// gives them, without assimp: one node per joint (End Sites become "EndSite_<joint>"), assimp's
// stand-in mesh of the skeleton, one animation "Motion" with a key per frame, ticks = frames.
// Mapping: docs/importers.md.
#pragma once

#include <string>
#include <string_view>

#include "importers/import_scene.h"

namespace vorn {

// True for the files ReadBvh reads (by extension, any case).
bool IsBvhPath(const std::string& path);

// Throws std::runtime_error naming the file and line for a file it cannot read or that is
// malformed.
import::Scene ReadBvh(const std::string& path);

// The same from text already in memory; `name` is the file named in messages.
import::Scene ParseBvh(std::string_view text, const std::string& name);

}  // namespace vorn
