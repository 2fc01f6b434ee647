// Scene documents written inline and a private settings folder for each test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "export/settings.h"
#include "host/scene_document.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "tests/support/temp_dir.h"

namespace vorn::testing {

class SpineTest : public ::testing::Test {
 protected:
  std::unique_ptr<SceneDocument> Load(const std::string& json) {
    auto doc = LoadSceneDocumentFromString(json);
    doc->SetDirectory(kHostPluginConfigDir, dir_.string());
    return doc;
  }
  std::string Dir() const { return dir_.string(); }
  std::string Settings() const { return (dir_ / "vorn_max_config.ini").string(); }
  void WriteSettings(const std::string& text) const { std::ofstream(Settings()) << text; }
  // Loads the settings file into the context as the driver does before the tree build.
  static void LoadSettings(ExportContext& ctx) {
    ExportSettings settings;
    LoadExportOptions(ctx, settings);
    ctx.options = settings.options;
    ctx.clips = settings.clips;
  }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  TempDir temp_;
  std::filesystem::path dir_{temp_.path()};
};

// A scene of plain meshes named as given, one triangle each, all children of the root.
inline std::string TriangleNode(const std::string& name, const std::string& extra = "") {
  return R"({"name": ")" + name + R"(", "object": "tri")" + (extra.empty() ? "" : ", " + extra) + "}";
}
inline std::string SceneOf(const std::string& nodes, const std::string& scene = "") {
  return R"({"format": "vorn-scene", "version": 1,)" + (scene.empty() ? "" : scene + ",") +
         R"( "nodes": [)" + nodes + R"(],
  "objects": {"tri": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2,1]]}}}})";
}

}  // namespace vorn::testing
