// Finding texture sources on disk and copying or rendering a material's textures beside the .X file.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

struct ExportContext;
struct SearchFolders;
struct XMaterial;

// An existing source for a host texture path, searched by bare name in the three search folders,
// or the scene folder followed by the bare name as a guess.
std::string ResolveTexturePath(const SearchFolders& folders, const std::string& path);
// Depth-first, in name order; folders starting with '.' and links back into the walk are skipped.
std::string FindFileInTree(const std::string& folder, const std::string& fileName);
// Copies the used bitmap slots and renders the procedural ones into the output folder; returns
// the number of used slots. The texture parameters of a shader material are given the names of the
// files written for them.
int CopyTextureFiles(ExportContext& ctx, XMaterial& record);
// Copies or converts one source into the output folder and returns the name the .X file gives it.
// A source that is its own target is left as it is; one that is missing is reported once, by the
// host path, with the folders searched. A normal map's DDS levels are filtered as normals.
std::string PlaceTextureFile(ExportContext& ctx, const std::string& hostPath, const std::string& sourcePath,
                             const std::string& fileName, bool normalMap = false);

// Notes the file of every texture and effect file that the export's materials read (ctx.sourceFiles),
// before anything is written beside the .X.
void NoteSourceFiles(ExportContext& ctx);
// The progress units of the texture conversions the written materials ask for (one per 65536
// texels of a source), so that the display moves while they run.
uint32_t TextureWorkUnits(const ExportContext& ctx);
// Which earlier files a name given by FreeTargetName must not replace.
enum class NameClash {
  Sources,     // the noted sources only: copies and rendered maps keep their own names otherwise
  AnyContent,  // also a file of another content written by this export (conversions)
};
// The name under which a file goes into the output folder without replacing what `clash` protects:
// name itself, else name with "_1", "_2", ... before its extension. `content` says what the file
// holds (one key per content), `what` says it to the user (e.g. "texture '<source>'") when the name
// is changed, or kept for a second content, once.
std::string FreeTargetName(ExportContext& ctx, const std::string& name, const std::string& content,
                           const std::string& what, NameClash clash = NameClash::Sources);
// Tells once per export that a file beside the .X could not be written, with the reason.
void ReportNotWritten(ExportContext& ctx, const std::string& target, int error);
// The content key of a copy or conversion of a source file.
std::string SourceContent(const std::string& sourcePath);
// True when the source of a texture or effect file (`kind`) is a file; otherwise tells once that
// it was found nowhere (with the folders searched) or that it is a folder.
bool SourceIsFile(ExportContext& ctx, const std::string& hostPath, const std::string& sourcePath, const char* kind);

// True when name is a plain file name: writing outputDirectory + name stays in that folder.
bool IsSafeTargetName(const std::string& name);

}  // namespace vorn
