// An imported scene exported as the plug-in exports it, for tests that compare the files two
// import paths give.
#pragma once

#include <gtest/gtest.h>

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

// The two scenes, from one file through assimp and through a reader of ours, give the same clips
// and the same text files, sampled and with the sources' key frames (another path than sampling).
// With mustWrite, no file from both is a fault too.
inline void ExpectSameExports(SceneDocument& theirs, const std::vector<ImportedClip>& theirClips, SceneDocument& ours,
                              const std::vector<ImportedClip>& ourClips, bool mustWrite) {
  ASSERT_EQ(theirClips.size(), ourClips.size());
  for (size_t i = 0; i < ourClips.size(); ++i) {
    EXPECT_EQ(theirClips[i].name, ourClips[i].name);
    EXPECT_EQ(theirClips[i].startFrame, ourClips[i].startFrame);
    EXPECT_EQ(theirClips[i].endFrame, ourClips[i].endFrame);
  }
  TempDir dir;
  for (const std::string settings : {"XFileType=0\n", "XFileType=0\nKeyFrames=1\nKeyType=1\n"}) {
    const std::string a = ExportScene(theirs, theirClips, dir.path(), "assimp", settings);
    const std::string b = ExportScene(ours, ourClips, dir.path(), "ours", settings);
    if (mustWrite) {
      ASSERT_GT(a.size(), 100u) << settings;
    }
    if (a != b) {  // the line where they part, which text shows
      size_t at = 0;
      while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
      const size_t from = a.rfind('\n', at) == std::string::npos ? 0 : a.rfind('\n', at) + 1;
      ADD_FAILURE() << settings << "the files differ at byte " << at << ":\nassimp: " << a.substr(from, 160)
                    << "\nours:   " << b.substr(from, 160);
    }
  }
}

}  // namespace vorn::testing
