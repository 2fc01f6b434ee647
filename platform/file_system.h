// File attributes, folders, copies and the per-user config folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/atomic_file.h"

namespace vorn::platform {

// Paths handed to buffer-bound platform calls hold fewer than this many characters.
constexpr size_t kMaxPath = 260;

bool PathExists(const std::string& path);       // a file or a folder
bool FileExists(const std::string& path);       // anything but a folder
bool DirectoryExists(const std::string& path);
// True when both paths name one existing file (same device and inode), however each is spelt and
// whatever links lead there.
bool SameFile(const std::string& a, const std::string& b);
// What SameFile compares: the device and inode of an existing file, links followed.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend auto operator<=>(const FileId&, const FileId&) = default;
};
std::optional<FileId> FileIdOf(const std::string& path);

// Creates the folder and its missing parents; true when the folder exists afterwards.
bool CreateDirectories(const std::string& path);

struct DirEntry {
  std::string name;
  bool isDirectory = false;  // links are followed
  bool isLink = false;
};
// The entries of a folder except "." and "..", sorted by name (byte order) so that every run and
// every file system enumerates alike. An empty folder string lists the current folder.
// False when the folder cannot be read.
bool ListDirectory(const std::string& folder, std::vector<DirEntry>& entries);

// Copies src to dst through a temporary beside dst. With overwrite=false an existing dst is left
// alone and the copy fails with errno EEXIST. The copy gets default permissions, not those of src.
bool CopyFileAtomic(const std::string& src, const std::string& dst, bool overwrite,
                    LinkPolicy links = LinkPolicy::kReplaceLink);

// Tells the user on stderr that a file the export writes beside the .X (a texture, map or effect)
// could not be written; the export goes on without it. error is an errno value, or 0 when unknown.
void ReportNotWritten(const std::string& path, int error);

// Opens the file for writing and closes it, leaving it empty. Not atomic: to replace a file's
// content, write the new content whole with WriteFileAtomic or IniFile::Save instead.
bool TruncateFile(const std::string& path);

// Creates a new file holding bytes, for this run only: not flushed to disk, since nothing is lost
// when it is lost. Fails on an existing file; a partly written file is removed.
bool WriteScratchFile(const std::string& path, std::string_view bytes);

// The absolute canonical form of path when the file exists, or when its folder exists or the file
// is a symbolic link (then the folder's canonical form followed by the file name). Nothing when neither exists or the result
// does not fit in kMaxPath characters; the caller then uses the path as given.
std::optional<std::string> LongPathName(const std::string& path);

// The per-user config folder, $XDG_CONFIG_HOME/vorn or ~/.config/vorn, without a trailing
// separator; created when missing. Empty when there is no home folder or it cannot be created.
std::string UserConfigDirectory();

}  // namespace vorn::platform
