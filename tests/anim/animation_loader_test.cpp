// The animated example as other programs read it: the DirectX loader (d3dx9 under Wine, through
// dxcheck.exe) in every encoding, and assimp's animation channels. Skipped where the tools are
// missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "export/driver.h"
#include "host/scene_document.h"
#include "tests/support/dx_loader.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

using testing::ReadText;
std::string Quote(const std::string& s) { return testing::ShellQuote(s); }

// Exports the arm example with its own clips in the given encoding; returns the file's path.
std::string ExportArm(const testing::TempDir& dir, int xfileType, const std::string& extra = "") {
  const std::string settings = dir / ("settings" + std::to_string(xfileType));
  std::filesystem::create_directories(settings);
  {
    std::ofstream ini(settings + "/vorn_max_config.ini");
    ini << ReadText(std::string(VORN_SOURCE_DIR) + "/examples/arm/vorn_max_config.ini") << "XFileType=" << xfileType
        << "\n" << extra;
  }
  auto doc = LoadSceneDocument(std::string(VORN_SOURCE_DIR) + "/examples/arm.json");
  doc->SetDirectory(kHostPluginConfigDir, settings);
  const std::string path = dir / ("arm" + std::to_string(xfileType) + ".x");
  XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
  return path;
}

class ArmInDirectX : public testing::DirectXLoaderTest {};

TEST_F(ArmInDirectX, LoadsAlikeInEveryEncoding) {
  for (const char* keys : {"KeyType=1\n", "KeyType=0\nAnimationOptions=1\n"}) {
    std::string first;
    for (int type = 0; type < 3; ++type) {
      const std::string path = ExportArm(dir_, type, keys);
      XFileTree tree;
      std::string error;
      ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
      const std::string ours = DumpTree(tree);
      ASSERT_NE(ours.find("AnimationSet <3D82AB50-62DA-11CF-AB39-0020AF71E433> Wave"), std::string::npos) << ours;
      std::string failure;
      const std::string dump = Load(path, "standard", &failure);
      ASSERT_TRUE(failure.empty()) << path << ": " << failure;
      EXPECT_EQ(dump, ours) << path;
      if (type == 0) first = dump;
      EXPECT_EQ(dump, first) << keys << "encoding " << type << " differs from the text encoding";
    }
  }
}

// "Clip/Node:T2,S2,R31 ..." from assimp's XML dump, channels in the order assimp lists them.
std::string AssimpChannels(const std::string& xml) {
  std::string out;
  static const std::regex token(
      R"re(<Animation name="([^"]*)"|<NodeAnim node="([^"]*)"|<(Position|Scaling|Rotation)KeyList num="(\d+)")re");
  std::string clip;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), token); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    if (m[1].matched) {
      clip = m[1];
    } else if (m[2].matched) {
      out += (out.empty() ? "" : " ") + clip + "/" + std::string(m[2]) + ":";
    } else {
      if (out.back() != ':') out += ",";
      out += std::string(1, std::string(m[3])[0]) + std::string(m[4]);
    }
  }
  return out;
}

TEST(ArmInAssimp, ReadsTheAnimationChannelsWithTheirKeyCounts) {
  if (std::string(VORN_ASSIMP).empty()) GTEST_SKIP() << "assimp not available";
  testing::TempDir dir;
  for (int type = 0; type < 3; ++type) {
    const std::string path = ExportArm(dir, type);
    const std::string xml = dir / ("arm" + std::to_string(type) + ".assxml");
    const std::string command = "timeout 60 " + Quote(VORN_ASSIMP) + " dump " + Quote(path) + " " + Quote(xml) +
                                " >" + Quote(dir / "log.txt") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadText(dir / "log.txt");
    EXPECT_EQ(AssimpChannels(ReadText(xml)),
              "Raise/UpperArm:P2,S2,R31 Raise/Forearm:P2,S2,R31 Raise/Hand:P2,S2,R2 "
              "Wave/UpperArm:P2,S2,R2 Wave/Forearm:P2,S2,R31 Wave/Hand:P2,S2,R31")
        << "encoding " << type;
  }
}

}  // namespace
}  // namespace vorn
