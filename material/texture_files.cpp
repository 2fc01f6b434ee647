#include "material/texture_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <utility>
#include <vector>

#include "export/export_context.h"
#include "export/options.h"
#include "export/search_folders.h"
#include "material/procedural_render.h"
#include "material/texture_convert.h"
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

}  // namespace

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

std::string ResolveTexturePath(const std::string& path) {
  if (path.empty()) return path;
  const size_t cut = path.find_last_of('\\');
  const std::string fileName = cut == std::string::npos ? path : path.substr(cut + 1);
  if (platform::PathExists(path)) return path;
  const SearchFolders& folders = TextureSearchFolders();
  std::string result;
  // A folder the host did not report is not the process's current folder: searching that could
  // walk the whole machine.
  for (const std::string* folder : {&folders.sceneDir, &folders.hostDir7, &folders.hostDir32})
    if (result.empty() && !folder->empty()) result = FindFileInTree(*folder, fileName);
  if (result.empty() && !fileName.empty()) result = folders.sceneDir + fileName;
  return result;
}

int CopyTextureFiles(ExportContext& ctx, XMaterial& record) {
  const ExportOptions& o = Options();
  int used = 0;
  for (XTextureSlot& slot : record.slots) {
    if (slot.mapChannel < 1) continue;
    ++used;
    if (!o.TextureFiles) continue;
    if (!slot.proceduralMap) {
      if (slot.sourcePath.empty()) continue;
      // Converted to TextureFormat, or with PowerOf2 alone re-encoded in its own format when its
      // size is not a power of two already.
      const int32_t format = o.TextureConvert ? o.TextureFormat : o.PowerOf2 ? TextureFormatOfName(slot.fileName) : -1;
      int w = 0, h = 0;
      if (*TextureFormatExtension(format) && TextureSize(slot.sourcePath, w, h) &&
          (o.TextureConvert || NearestPowerOfTwo(w) != w || NearestPowerOfTwo(h) != h)) {
        const std::string name = ConvertedTextureName(slot.fileName, format);
        if (!IsSafeTargetName(name)) continue;
        const std::string target = ctx.outputDirectory + name;
        errno = 0;
        if ((o.OverwriteTexture || !platform::PathExists(target)) &&
            !ConvertTexture(slot.sourcePath, target, format, o.PowerOf2 != 0))
          platform::ReportNotWritten(target, errno);
        slot.fileName = name;
        continue;
      }
      // Not converted: copied as it is.
      if (!IsSafeTargetName(slot.fileName)) continue;
      const std::string target = ctx.outputDirectory + slot.fileName;
      if ((o.OverwriteTexture || !platform::PathExists(target)) && !platform::CopyFileAtomic(slot.sourcePath, target, o.OverwriteTexture != 0))
        platform::ReportNotWritten(target, errno);
      continue;
    }
    const std::string name = slot.name + ".bmp";
    if (IsSafeTargetName(name)) {
      const std::string target = ctx.outputDirectory + name;
      errno = 0;
      if ((o.OverwriteTexture || !platform::PathExists(target)) &&
          !RenderProceduralMap(*ctx.host, target, slot.proceduralMap, o.ProcMapX, o.ProcMapY))
        platform::ReportNotWritten(target, errno);
    }
    slot.fileName = name;
  }
  return used;
}

}  // namespace vorn
