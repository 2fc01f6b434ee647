// The input size a command line names, on which the start decides to restart with huge pages.
#include "app/input_size.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vorn::app {
namespace {

void WriteBytes(const std::string& path, size_t n, const std::string& text = {}) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out << std::string(n > text.size() ? n - text.size() : 0, ' ');
}

template <class Fn>
auto OnArgs(Fn fn, std::vector<std::string> args) {
  args.insert(args.begin(), "vorn");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return fn(static_cast<int>(argv.size()), argv.data());
}
uint64_t Bytes(std::vector<std::string> args) { return OnArgs(CommandInputBytes, std::move(args)); }
bool Converts(std::vector<std::string> args) { return OnArgs(CommandConvertsTextures, std::move(args)); }

TEST(CommandInputBytes, TheFileReadAfterOptionsAndTheirValues) {
  testing::TempDir dir;
  WriteBytes(dir / "model.glb", 5000);
  WriteBytes(dir / "vorn.dle", 9000);
  WriteBytes(dir / "old.x", 7000);
  EXPECT_EQ(Bytes({"export", dir / "model.glb", dir / "old.x"}), 5000u);
  EXPECT_EQ(Bytes({"export", "--plugin", dir / "vorn.dle", "--silent", "--config-dir", dir.path(), "--set",
                   "XFileType=0", dir / "model.glb", dir / "old.x"}),
            5000u);
  EXPECT_EQ(Bytes({"export", "--config-dir=" + dir.path(), dir / "model.glb"}), 5000u);
  EXPECT_EQ(Bytes({"export", "--importer", "assimp", dir / "model.glb"}), 5000u);
  EXPECT_EQ(Bytes({"inspect", "--json", dir / "old.x"}), 7000u);
  // Nothing read, or nothing there: no size.
  EXPECT_EQ(Bytes({"templates", "--binary"}), 0u);
  EXPECT_EQ(Bytes({"--version"}), 0u);
  EXPECT_EQ(Bytes({"export", dir / "missing.glb", dir / "old.x"}), 0u);
  EXPECT_EQ(Bytes({"export", dir.path(), dir / "old.x"}), 0u);
  EXPECT_EQ(Bytes({"export"}), 0u);
}

// Texture conversion touches tens of megabytes whatever the scene's size.
TEST(CommandConvertsTextures, TheLastSetOrElseTheSettingsFileSays) {
  testing::TempDir dir, other;
  WriteBytes(dir / "vorn_max_config.ini", 0, "[Option]\nTextureConvert=1\n");
  WriteBytes(other / "vorn_max_config.ini", 0, "[Option]\nTextureConvert=0\n");
  EXPECT_TRUE(Converts({"export", "--config-dir", dir.path(), "a.json", "a.x"}));
  EXPECT_TRUE(Converts({"export", "--config-dir=" + dir.path(), "a.json", "a.x"}));
  EXPECT_FALSE(Converts({"export", "--config-dir", other.path(), "a.json", "a.x"}));
  EXPECT_FALSE(Converts({"export", "--config-dir", dir / "missing", "a.json", "a.x"}));
  // --set overrides the file, the last one winning; other keys and values are not it.
  EXPECT_FALSE(Converts({"export", "--config-dir", dir.path(), "--set", "TextureConvert=0", "a.json", "a.x"}));
  EXPECT_TRUE(Converts({"export", "--config-dir", other.path(), "--set=TextureConvert=1", "a.json", "a.x"}));
  EXPECT_FALSE(Converts({"export", "--config-dir", other.path(), "--set", "TextureConvert=1", "--set",
                         "TextureConvert=0", "a.json", "a.x"}));
  EXPECT_FALSE(Converts({"export", "--config-dir", other.path(), "--set", "XTextureConvert=1", "a.json", "a.x"}));
  EXPECT_FALSE(Converts({"export", "--config-dir", other.path(), "--maps-dir", "TextureConvert=1", "a.x", "b.x"}));
  EXPECT_FALSE(Converts({"inspect", "--config-dir", dir.path(), "a.x"}));
}

TEST(CommandInputBytes, ASceneDocumentCountsTheBuffersItNamesOnce) {
  testing::TempDir dir;
  WriteBytes(dir / "mesh.bin", 30000);
  WriteBytes(dir / "uv.bin", 4000);
  WriteBytes(dir / "abs.bin", 600);
  const std::string doc = R"({"nodes": [{"mesh": {"vertices": {"buffer": "mesh.bin", "offset": 0},
    "faces": {"buffer" :"mesh.bin"}, "uv": {"buffer":
    "uv.bin"}, "more": {"buffer": ")" + dir / "abs.bin" + R"("}, "gone": {"buffer": "missing.bin"},
    "name": "buffer", "note": "\"buffer\" alone"}}]})";
  WriteBytes(dir / "scene.json", 0, doc);
  EXPECT_EQ(Bytes({"export", dir / "scene.json", dir / "out.x"}), doc.size() + 30000u + 4000u + 600u);
  // Other inputs are taken as they are, whatever they hold.
  WriteBytes(dir / "scene.gltf", 0, doc);
  EXPECT_EQ(Bytes({"export", dir / "scene.gltf", dir / "out.x"}), doc.size());
}

}  // namespace
}  // namespace vorn::app
