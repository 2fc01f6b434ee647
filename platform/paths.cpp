#include "platform/paths.h"

namespace vorn::platform {

namespace {

size_t HostSeparator(std::string_view path) {
  size_t cut = path.rfind('\\');
  return cut != std::string_view::npos ? cut : path.rfind('/');
}

}  // namespace

std::string FileNameOf(std::string_view path) {
  size_t cut = path.rfind('/');
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string DirectoryOf(std::string_view path) {
  size_t cut = path.rfind('/');
  return cut == std::string_view::npos ? std::string("./") : std::string(path.substr(0, cut + 1));
}

std::string HostFileNameOf(std::string_view path) {
  size_t cut = HostSeparator(path);
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string HostDirectoryOf(std::string_view path) {
  size_t cut = HostSeparator(path);
  return cut == std::string_view::npos ? std::string("./") : std::string(path.substr(0, cut + 1));
}

std::string WithTrailingSeparator(std::string_view path) {
  std::string out(path);
  if (!out.empty() && out.back() != '/' && out.back() != '\\') out += '/';
  return out;
}

}  // namespace vorn::platform
