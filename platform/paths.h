// Splitting paths into folder and file name.
#pragma once

#include <string>
#include <string_view>

namespace vorn::platform {

// Local paths of this machine: split at the last '/'.
// FileNameOf: the text after the last '/', or the whole text when there is none.
std::string FileNameOf(std::string_view path);
// DirectoryOf: the text up to and including the last '/', or "./" when there is none.
std::string DirectoryOf(std::string_view path);

// Host data paths (texture, bitmap and effect paths written on the host's side) use backslashes:
// split at the last backslash; only when there is none, at the last '/'.
std::string HostFileNameOf(std::string_view path);
// The folder with its separator kept, or "./" when the path has neither separator.
std::string HostDirectoryOf(std::string_view path);

// path followed by '/' unless it is empty or already ends with '/' or a backslash.
std::string WithTrailingSeparator(std::string_view path);

}  // namespace vorn::platform
