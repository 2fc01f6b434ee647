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

uint64_t Bytes(std::vector<std::string> args) {
  args.insert(args.begin(), "vorn");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return CommandInputBytes(static_cast<int>(argv.size()), argv.data());
}

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
  EXPECT_EQ(Bytes({"inspect", "--json", dir / "old.x"}), 7000u);
  // Nothing read, or nothing there: no size.
  EXPECT_EQ(Bytes({"templates", "--binary"}), 0u);
  EXPECT_EQ(Bytes({"--version"}), 0u);
  EXPECT_EQ(Bytes({"export", dir / "missing.glb", dir / "old.x"}), 0u);
  EXPECT_EQ(Bytes({"export", dir.path(), dir / "old.x"}), 0u);
  EXPECT_EQ(Bytes({"export"}), 0u);
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
