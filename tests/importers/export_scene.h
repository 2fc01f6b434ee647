// An imported scene exported as the plug-in exports it, for tests that compare the files two
// import paths give.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/driver.h"
#include "host/scene_document.h"
#include "importers/assimp_scene.h"
#include "tests/support/temp_dir.h"

namespace vorn::testing {

// Exports the scene under dir/name with the settings lines (each "Key=Value\n") and the clips
// as the app makes them the clip list; returns the file's bytes.
inline std::string ExportScene(SceneDocument& scene, const std::vector<ImportedClip>& clips,
                               const std::filesystem::path& dir, const std::string& name,
                               const std::string& settings) {
  const std::filesystem::path cfg = dir / ("cfg-" + name);
  std::filesystem::create_directories(cfg);
  {
    std::ofstream ini(cfg / "vorn_max_config.ini");
    ini << "[Option]\n" << settings;
    for (const std::string& s : ClipSettings(clips, (cfg / "none.ini").string())) ini << s << "\n";
  }
  scene.SetDirectory(kHostPluginConfigDir, cfg.string());
  const std::filesystem::path out = dir / name / "scene.x";
  std::filesystem::create_directories(out.parent_path());
  XDoExport(out.string().c_str(), nullptr, &scene, true, 0);
  return ReadText(out.string());
}

}  // namespace vorn::testing
