// The parts of the importer the command-line host needs before, or without, assimp: which
// loader a file goes to, and the settings an imported scene's clips give. They live apart from
// importers/assimp_scene.cpp so that the host starts without loading assimp.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "importers/assimp_scene.h"
#include "platform/ini_file.h"

namespace vorn {

bool IsSceneDocumentPath(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".json";
}

std::vector<std::string> ClipSettings(const std::vector<ImportedClip>& clips, const std::string& settingsPath) {
  std::vector<std::string> sets;
  if (clips.empty()) return sets;
  platform::IniFile ini;
  if (ini.Load(settingsPath) && ini.Has("Option", "AnimationCount")) return sets;
  sets.push_back("AnimationCount=" + std::to_string(clips.size()));
  for (size_t i = 0; i < clips.size(); ++i) {
    const std::string key = "Animation" + std::to_string(i) + "_";
    sets.push_back(key + "Name=" + clips[i].name);
    sets.push_back(key + "StartKey=" + std::to_string(clips[i].startFrame));
    sets.push_back(key + "EndKey=" + std::to_string(clips[i].endFrame));
  }
  return sets;
}

}  // namespace vorn
