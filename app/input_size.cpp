#include "app/input_size.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/ini_file.h"

namespace vorn::app {

namespace {

// A document this size or larger is large input whatever buffers it names.
constexpr uint64_t kDocumentScanLimit = uint64_t{1} << 20;

uint64_t RegularFileBytes(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool EndsWithJson(std::string_view path) {
  if (path.size() < 5) return false;
  std::string_view ext = path.substr(path.size() - 5);
  for (size_t i = 0; i < ext.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(ext[i])) != ".json"[i]) return false;
  return true;
}

// The files named by "buffer": "NAME" in a document's text, each counted once.
uint64_t SidecarBytes(const std::string& doc, uint64_t docBytes) {
  FILE* f = std::fopen(doc.c_str(), "rb");
  if (!f) return 0;
  std::string text(docBytes, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);
  const size_t slash = doc.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : doc.substr(0, slash + 1);
  std::set<std::string> names;
  constexpr std::string_view kKey = "\"buffer\"";
  for (size_t at = text.find(kKey); at != std::string::npos; at = text.find(kKey, at + kKey.size())) {
    size_t i = at + kKey.size();
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (i >= text.size() || text[i] != '"') continue;
    const size_t end = text.find('"', i + 1);
    if (end == std::string::npos) break;
    names.insert(text.substr(i + 1, end - i - 1));
  }
  uint64_t total = 0;
  for (const std::string& name : names) total += RegularFileBytes(!name.empty() && name[0] == '/' ? name : dir + name);
  return total;
}

}  // namespace

uint64_t CommandInputBytes(int argc, const char* const* argv) {
  int i = 1;
  while (i < argc && argv[i][0] == '-') ++i;
  if (i >= argc) return 0;
  const std::string_view command = argv[i];
  if (command != "export" && command != "inspect") return 0;
  // The first argument that is no option nor an option's value is the file read.
  for (++i; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.size() > 1 && a[0] == '-') {
      const bool takesValue =
          a == "--config-dir" || a == "--maps-dir" || a == "--set" || a == "--plugin" || a == "--importer";
      if (takesValue) ++i;
      continue;
    }
    const std::string path(a);
    const uint64_t bytes = RegularFileBytes(path);
    if (bytes == 0 || command != "export" || !EndsWithJson(path) || bytes >= kDocumentScanLimit) return bytes;
    return bytes + SidecarBytes(path, bytes);
  }
  return 0;
}

bool CommandConvertsTextures(int argc, const char* const* argv) {
  int i = 1;
  while (i < argc && argv[i][0] == '-') ++i;
  if (i >= argc || std::string_view(argv[i]) != "export") return false;
  std::string configDir;
  const char* convert = nullptr;  // the last --set of the key wins, as in the export
  constexpr std::string_view kKey = "TextureConvert=";
  for (++i; i < argc; ++i) {
    std::string_view a = argv[i], value;
    if ((a == "--set" || a == "--config-dir") && i + 1 < argc) {
      value = argv[++i];
    } else if (a.starts_with("--set=") || a.starts_with("--config-dir=")) {
      value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
    } else {
      continue;
    }
    if (a == "--config-dir") configDir = std::string(value);
    else if (value.starts_with(kKey)) convert = value.data() + kKey.size();
  }
  if (convert) return std::atoi(convert) != 0;
  if (configDir.empty()) configDir = platform::UserConfigDirectory();
  platform::IniFile ini;
  return ini.Load(configDir + "/vorn_max_config.ini") && ini.GetInt("Option", "TextureConvert", 0) != 0;
}

}  // namespace vorn::app
