// Finding texture sources on disk and copying or rendering a material's textures beside the .X file.
#pragma once

#include <string>

namespace vorn {

struct ExportContext;
struct XMaterial;

// An existing source for a host texture path, searched by bare name in the three search folders,
// or the scene folder followed by the bare name as a guess.
std::string ResolveTexturePath(const std::string& path);
// Depth-first, in name order; folders starting with '.' and links back into the walk are skipped.
std::string FindFileInTree(const std::string& folder, const std::string& fileName);
// Copies the used bitmap slots and renders the procedural ones into the output folder; returns
// the number of used slots.
int CopyTextureFiles(ExportContext& ctx, XMaterial& record);

// True when name is a plain file name: writing outputDirectory + name stays in that folder.
bool IsSafeTargetName(const std::string& name);

}  // namespace vorn
