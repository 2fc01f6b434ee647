#include "material/texture_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "material/procedural_render.h"
#include "material/texture_convert.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/search_folders.h"
#include "platform/file_system.h"

namespace vorn {

namespace {

using FolderId = std::pair<dev_t, ino_t>;

std::string SearchFind(const std::string& folder, const std::string& fileName, std::set<FolderId>& walk) {
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  // A folder already on the walk (reached again through a link) holds nothing new.
  struct stat st {};
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) return {};
  const FolderId id{st.st_dev, st.st_ino};
  if (!walk.insert(id).second) return {};
  std::vector<platform::DirEntry> entries;
  std::string found;
  if (platform::ListDirectory(dir, entries)) {
    for (const platform::DirEntry& e : entries) {
      if (!e.isDirectory) {
        if (e.name == fileName) {
          found = dir + fileName;
          break;
        }
      } else if (!e.name.empty() && e.name[0] != '.') {
        found = SearchFind(dir + e.name, fileName, walk);
        if (!found.empty()) break;
      }
    }
  }
  walk.erase(id);
  return found;
}

// The name ResolveTexturePath looks for: forward slashes do not separate folders there.
std::string SearchedName(const std::string& path) {
  const size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool SourceIsFile(ExportContext& ctx, const std::string& hostPath, const std::string& sourcePath, const char* kind) {
  if (platform::FileExists(sourcePath)) return true;
  if (!ctx.texturesTold.insert("missing\n" + hostPath).second) return false;
  if (platform::PathExists(sourcePath)) {
    std::fprintf(stderr, "vorn: %s '%s' is a folder, not a file\n", kind, sourcePath.c_str());
    return false;
  }
  const SearchFolders& f = ctx.searchFolders;
  std::string where;
  int count = 0;
  for (const std::string* folder : {&f.sceneDir, &f.hostDir7, &f.hostDir32}) {
    if (folder->empty()) continue;
    where += (where.empty() ? "'" : ", '") + *folder + "'";
    ++count;
  }
  if (count == 0)
    std::fprintf(stderr, "vorn: %s '%s' not found, and there was no folder to search\n", kind, hostPath.c_str());
  else
    std::fprintf(stderr, "vorn: %s '%s' not found: looked for '%s' in %s and %s\n", kind, hostPath.c_str(),
                 SearchedName(hostPath).c_str(), where.c_str(), count > 1 ? "their subfolders" : "its subfolders");
  return false;
}

void ReportNotWritten(ExportContext& ctx, const std::string& target, int error) {
  // A texture several materials share fails the same way each time: told once.
  if (ctx.texturesTold.insert("unwritten\n" + target).second) platform::ReportNotWritten(target, error);
}

namespace {

void ReportKept(ExportContext& ctx, const std::string& source, const std::string& doing) {
  if (!ctx.texturesTold.insert("kept\n" + source).second) return;
  std::fprintf(stderr, "vorn: texture '%s' kept unconverted (not %s): the copy would replace the source itself\n",
               source.c_str(), doing.c_str());
}

}  // namespace

namespace {

// Calls fn on every material record the export writes: the shared ones, then each node's own.
template <class Fn>
void ForEachWrittenRecord(const ExportContext& ctx, Fn&& fn) {
  for (const auto& m : ctx.materials) fn(*m);
  for (const XNode* node : ctx.nodeOrder)
    if (const XRenderableNode* r = node->AsRenderable())
      for (const XMaterialEntry& e : r->nodeMaterials)
        if (const XMaterial* m = EntryRecord(ctx, e); m && e.kind != MaterialKind::Reference) fn(*m);
}

// The format a source is converted to, or -1 when it is copied as it is: converted to
// TextureFormat, or with PowerOf2 alone re-encoded in its own format when its size is not a power
// of two already. w and h are the source's size.
int32_t ConversionFormat(const ExportOptions& o, const std::string& fileName, const std::string& sourcePath, int& w,
                         int& h) {
  const int32_t format = o.TextureConvert ? o.TextureFormat : o.PowerOf2 ? TextureFormatOfName(fileName) : -1;
  if (*TextureFormatExtension(format) && TextureSize(sourcePath, w, h) &&
      (o.TextureConvert || NearestPowerOfTwo(w) != w || NearestPowerOfTwo(h) != h))
    return format;
  return -1;
}

// Progress units of one conversion: its texels, in steps of 65536.
uint32_t ConversionUnits(int w, int h) { return 1 + static_cast<uint32_t>(int64_t{w} * h >> 16); }

}  // namespace

void NoteSourceFiles(ExportContext& ctx) {
  ctx.sourceFiles.clear();
  auto note = [&](const std::string& path) {
    if (auto id = platform::FileIdOf(path)) ctx.sourceFiles.insert(*id);
  };
  ForEachWrittenRecord(ctx, [&](const XMaterial& record) {
    for (const XTextureSlot& slot : record.slots)
      if (!slot.proceduralMap) note(slot.sourcePath);
    if (record.kind != MaterialKind::Effect) return;
    const auto& effect = static_cast<const XEffectMaterial&>(record);
    if (effect.hasOwnEffectFile) note(effect.effect.effectFile);
    for (const XEffectParams::StringParam& p : effect.effect.stringParams) note(p.sourcePath);
  });
}

uint32_t TextureWorkUnits(const ExportContext& ctx) {
  const ExportOptions& o = ctx.options;
  if (!o.Mtl || !o.TextureFiles || (o.Animation && o.OnlyAnimationSet)) return 0;
  uint32_t units = 0;
  ForEachWrittenRecord(ctx, [&](const XMaterial& record) {
    for (const XTextureSlot& slot : record.slots) {
      int w = 0, h = 0;
      if (slot.mapChannel >= 1 && !slot.proceduralMap && !slot.sourcePath.empty() &&
          ConversionFormat(o, slot.fileName, slot.sourcePath, w, h) >= 0)
        units += ConversionUnits(w, h);
    }
  });
  return units;
}

std::string SourceContent(const std::string& sourcePath) {
  const auto id = platform::FileIdOf(sourcePath);
  return id ? "file " + std::to_string(id->device) + ":" + std::to_string(id->inode) : "path " + sourcePath;
}

std::string FreeTargetName(ExportContext& ctx, const std::string& name, const std::string& content,
                           const std::string& what, NameClash clash) {
  auto isSource = [&](const std::string& n) {
    const auto id = ctx.sourceFiles.empty() ? std::nullopt : platform::FileIdOf(ctx.outputDirectory + n);
    return id && ctx.sourceFiles.count(*id) > 0;
  };
  auto taken = [&](const std::string& n, NameClash c) {
    const auto given = ctx.namesGiven.find(n);
    if (given != ctx.namesGiven.end() && given->second == content) return false;
    if (given != ctx.namesGiven.end() && c == NameClash::AnyContent) return true;
    return isSource(n);
  };
  std::string chosen = name;
  if (taken(name, clash)) {
    // A name of its own: neither a source nor any other file this export wrote.
    const size_t dot = name.find_last_of('.');
    const size_t cut = dot == std::string::npos || dot == 0 ? name.size() : dot;
    for (int n = 1; n < 100000; ++n) {
      chosen = name.substr(0, cut) + "_" + std::to_string(n) + name.substr(cut);
      if (!taken(chosen, NameClash::AnyContent)) break;
    }
    if (ctx.texturesTold.insert("renamed\n" + content + "\n" + name).second)
      std::fprintf(stderr, "vorn: %s written as '%s': '%s' in the output folder is %s\n", what.c_str(),
                   chosen.c_str(), name.c_str(),
                   isSource(name) ? "a source of this export and is only read" : "another file of this export");
  } else if (const auto given = ctx.namesGiven.find(name); given != ctx.namesGiven.end() && given->second != content) {
    // The name stays, as the host gives it; the material that named the other file now shows this one.
    if (ctx.texturesTold.insert("shared\n" + content + "\n" + name).second)
      std::fprintf(stderr, "vorn: %s and another file of this export are both named '%s': the folder keeps one\n",
                   what.c_str(), name.c_str());
  }
  ctx.namesGiven.emplace(chosen, content);
  return chosen;
}

bool IsSafeTargetName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name)
    if (c == '/' || c == '\\' || c == '\0') return false;
  return true;
}

std::string FindFileInTree(const std::string& folder, const std::string& fileName) {
  std::set<FolderId> walk;
  return SearchFind(folder, fileName, walk);
}

std::string ResolveTexturePath(const SearchFolders& folders, const std::string& path) {
  if (path.empty()) return path;
  const std::string fileName = SearchedName(path);
  if (platform::PathExists(path)) return path;
  std::string result;
  // A folder the host did not report is not the process's current folder: searching that could
  // walk the whole machine.
  for (const std::string* folder : {&folders.sceneDir, &folders.hostDir7, &folders.hostDir32})
    if (result.empty() && !folder->empty()) result = FindFileInTree(*folder, fileName);
  if (result.empty() && !fileName.empty()) result = folders.sceneDir + fileName;
  return result;
}

std::string PlaceTextureFile(ExportContext& ctx, const std::string& hostPath, const std::string& sourcePath,
                             const std::string& fileName, bool normalMap) {
  const ExportOptions& o = ctx.options;
  if (!SourceIsFile(ctx, hostPath.empty() ? sourcePath : hostPath, sourcePath, "texture")) return fileName;
  int w = 0, h = 0;
  if (const int32_t format = ConversionFormat(o, fileName, sourcePath, w, h); format >= 0) {
    std::string name = ConvertedTextureName(fileName, format);
    if (!IsSafeTargetName(name)) return fileName;
    const TextureConversion how{format, o.PowerOf2 != 0, true, normalMap, ctx.secondCore};
    // Mip levels of a normal map differ from those of the same file as a colour texture.
    const bool asNormals = format == 0 && how.mipmaps && normalMap;
    // Another texture's or effect's source of that name is only read: the conversion goes elsewhere.
    if (!platform::SameFile(sourcePath, ctx.outputDirectory + name))
      name = FreeTargetName(ctx, name, SourceContent(sourcePath) + (asNormals ? " as normals" : ""),
                            "texture '" + sourcePath + "'", NameClash::AnyContent);
    const std::string target = ctx.outputDirectory + name;
    if (!o.OverwriteTexture && platform::PathExists(target)) return name;
    // The source is only ever read: exported into its own folder it stays as it is.
    if (platform::SameFile(sourcePath, target)) {
      const bool resize = o.PowerOf2 && (NearestPowerOfTwo(w) != w || NearestPowerOfTwo(h) != h);
      std::string doing;
      // A source in the format already would only be copied: nothing is lost by leaving it.
      if (o.TextureConvert && !HoldsTextureFormat(sourcePath, format))
        doing = std::string("converted to ") + (TextureFormatExtension(format) + 1);
      if (resize)
        doing += (doing.empty() ? "resized to " : " and resized to ") + std::to_string(NearestPowerOfTwo(w)) + " x " +
                 std::to_string(NearestPowerOfTwo(h));
      if (!doing.empty()) ReportKept(ctx, sourcePath, doing);
      ctx.namesGiven.emplace(name, SourceContent(sourcePath));
      return name;
    }
    errno = 0;
    const Conversion done = ConvertTexture(sourcePath, target, how);
    for (uint32_t i = ConversionUnits(w, h); i > 0; --i) AdvanceProgress(ctx);
    if (done == Conversion::kNotWritten) ReportNotWritten(ctx, target, errno);
    if (done != Conversion::kNotDecoded) return name;
    // Its header read, its pixels not (a damaged file): copied as it is, as any undecodable source.
    if (ctx.texturesTold.insert("undecoded\n" + sourcePath).second)
      std::fprintf(stderr, "vorn: texture '%s' could not be decoded: copied as it is\n", sourcePath.c_str());
  }
  // Not converted: copied as it is, unless it is there already.
  if (!IsSafeTargetName(fileName)) return fileName;
  if (platform::SameFile(sourcePath, ctx.outputDirectory + fileName)) {
    ctx.namesGiven.emplace(fileName, SourceContent(sourcePath));
    return fileName;
  }
  const std::string name = FreeTargetName(ctx, fileName, SourceContent(sourcePath), "texture '" + sourcePath + "'");
  const std::string target = ctx.outputDirectory + name;
  if ((o.OverwriteTexture || !platform::PathExists(target)) &&
      !platform::CopyFileAtomic(sourcePath, target, o.OverwriteTexture != 0))
    ReportNotWritten(ctx, target, errno);
  return name;
}

int CopyTextureFiles(ExportContext& ctx, XMaterial& record) {
  const ExportOptions& o = ctx.options;
  int used = 0;
  for (XTextureSlot& slot : record.slots) {
    if (slot.mapChannel < 1) continue;
    ++used;
    if (!o.TextureFiles) continue;
    if (!slot.proceduralMap) {
      if (!slot.sourcePath.empty())
        slot.fileName = PlaceTextureFile(ctx, slot.hostPath, slot.sourcePath, slot.fileName,
                                         slot.role == TextureSlotRole::NormalMap);
      continue;
    }
    std::string name = slot.name + ".bmp";
    // The host's bitmap sizes are 16-bit; the dialog keeps them in range, a settings file need not.
    const bool sized = o.ProcMapX >= 1 && o.ProcMapX <= 65535 && o.ProcMapY >= 1 && o.ProcMapY <= 65535;
    if (!sized && ctx.texturesTold.insert("size\n").second)
      std::fprintf(stderr, "vorn: procedural maps not rendered: ProcMapX x ProcMapY is %d x %d, each must be 1 to 65535\n",
                   o.ProcMapX, o.ProcMapY);
    if (IsSafeTargetName(name) && sized) {
      char map[32];
      std::snprintf(map, sizeof map, "map %p", static_cast<const void*>(slot.proceduralMap));
      name = FreeTargetName(ctx, name, map, "procedural map '" + slot.name + "'");
      const std::string target = ctx.outputDirectory + name;
      errno = 0;
      if ((o.OverwriteTexture || !platform::PathExists(target)) &&
          !RenderProceduralMap(*ctx.host, target, slot.proceduralMap, o.ProcMapX, o.ProcMapY))
        ReportNotWritten(ctx, target, errno);
    }
    slot.fileName = name;
  }
  // The texture parameters of a shader material name the file the copy wrote: a slot's when it has
  // the same source, else their own copy.
  if (used > 0 && o.TextureFiles && record.kind == MaterialKind::Effect) {
    auto& effect = static_cast<XEffectMaterial&>(record);
    for (XEffectParams::StringParam& p : effect.effect.stringParams) {
      if (p.sourcePath.empty()) continue;
      const XTextureSlot* same = nullptr;
      for (const XTextureSlot& slot : record.slots)
        if (!same && slot.mapChannel >= 1 && !slot.proceduralMap && !slot.sourcePath.empty() &&
            (slot.sourcePath == p.sourcePath || platform::SameFile(slot.sourcePath, p.sourcePath)))
          same = &slot;
      p.value = same ? same->fileName : PlaceTextureFile(ctx, p.hostPath, p.sourcePath, p.value);
    }
  }
  return used;
}

}  // namespace vorn
