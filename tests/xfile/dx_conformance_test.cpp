// Our files loaded by the DirectX loader (d3dx9 under Wine, through dxcheck.exe): the trees
// it sees must be exactly the ones handed to the sink, whatever templates the loading program
// registered. Skipped where Wine or the cross-built program is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "export/driver.h"
#include "host/scene_document.h"
#include "tests/xfile/sample_scene.h"
#include "tests/xfile/test_util.h"
#include "xfile/xfile_reader.h"
#include "xfile/xfile_writer.h"

namespace vorn {
namespace {

using testing::DataBytes;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class DirectXLoader : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::string(VORN_WINE).empty() || std::string(VORN_DXCHECK_EXE).empty() ||
        !std::filesystem::exists(VORN_DXCHECK_EXE))
      return;
    prefix_ = std::string(VORN_BINARY_DIR) + "/wineprefix";
    // One prefix for all tests; the first user initialises it while the others wait.
    const int lock = ::open((prefix_ + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    const std::string ready = prefix_ + "/vorn-ready";
    if (!std::filesystem::exists(ready)) {
      // wineboot returns before the server has written the prefix; wineserver -w waits for it
      const std::string server = std::filesystem::path(VORN_WINE).parent_path() / "wineserver";
      const std::string env = "WINEPREFIX=" + Quote(prefix_) + " WINEDEBUG=-all ";
      const std::string boot = env + "timeout 300 " + Quote(VORN_WINE) + " wineboot -i >/dev/null 2>&1 && " +
                               env + "timeout 120 " + Quote(server) + " -w && touch " + Quote(ready);
      (void)std::system(boot.c_str());
    }
    if (lock >= 0) ::close(lock);
    available_ = std::filesystem::exists(ready);
  }

  void SetUp() override {
    if (!available_) GTEST_SKIP() << "wine64 or dxcheck.exe not available";
  }

  // The loader's dump of the file; empty with *failure set when dxcheck fails.
  std::string Load(const std::string& file, const char* templates, std::string* failure) {
    const std::string out = file + ".dump", err = file + ".err";
    const std::string command = "cd " + Quote(dir_.path()) + " && WINEPREFIX=" + Quote(prefix_) +
                                " WINEDEBUG=-all timeout 120 " + Quote(VORN_WINE) + " " +
                                Quote(VORN_DXCHECK_EXE) + " --templates " + templates + " " +
                                Quote("Z:" + file) + " >" + Quote(out) + " 2>" + Quote(err);
    const int rc = std::system(command.c_str());
    const std::vector<uint8_t> dump = testing::ReadBytes(out);
    if (rc != 0) {
      const std::vector<uint8_t> e = testing::ReadBytes(err);
      *failure = "dxcheck exit " + std::to_string(rc) + ": " + std::string(e.begin(), e.end());
      return {};
    }
    return {dump.begin(), dump.end()};
  }

  template <class Writer>
  std::string Write(const std::string& name, XFileFormat format, Writer&& write, XFileTree* tree,
                    bool chainBlocks = false) {
    XFileWriter writer;
    EXPECT_TRUE(testing::RegisterTemplateBlocks(writer));
    XEncodeOptions options;
    options.chainBlocks = chainBlocks;
    writer.SetEncodeOptions(options);
    const std::string path = dir_ / name;
    EXPECT_TRUE(writer.Open(path, format));
    write(writer);
    EXPECT_TRUE(writer.Save()) << writer.Error();
    *tree = writer.Tree();
    return path;
  }

  static inline std::string prefix_;
  static inline bool available_ = false;
  testing::ScratchDir dir_;
};

void WriteLargeMesh(XFileSink& sink) {
  // several MSZIP blocks' worth of vertices and faces
  const uint32_t n = 6000;
  DataBytes mesh;
  mesh.Dword(n);
  for (uint32_t i = 0; i < n; ++i)
    mesh.Floats({static_cast<float>(i) * 0.001f, static_cast<float>(i % 97) / 7.0f, -static_cast<float>(i) / 3.0f});
  mesh.Dword(n - 2);
  for (uint32_t i = 0; i + 2 < n; ++i) mesh.Dword(3).Dword(i).Dword(i + 1).Dword(i + 2);
  XObjectHandle frame = testing::Add(sink, {}, kFrameGuid, "Strip", {});
  sink.Release(testing::Add(sink, frame, kMeshGuid, "Strip", mesh));
  sink.Release(frame);
}

TEST_F(DirectXLoader, LoadsOurFilesAsWrittenInEveryEncoding) {
  const struct {
    XFileFormat format;
    const char* name;
  } formats[] = {{XFileFormat::Text, "text.x"}, {XFileFormat::Binary, "binary.x"},
                 {XFileFormat::Compressed, "compressed.x"}};
  std::string first;
  for (const auto& f : formats) {
    XFileTree tree;
    const std::string path = Write(f.name, f.format, testing::WriteSampleScene, &tree);
    const std::string expected = DumpTree(tree);
    for (const char* templates : {"none", "standard", "all"}) {
      std::string failure;
      const std::string dump = Load(path, templates, &failure);
      ASSERT_TRUE(failure.empty()) << f.name << ": " << failure;
      EXPECT_EQ(dump, expected) << f.name << " with templates " << templates;
    }
    if (first.empty()) first = expected;
    EXPECT_EQ(expected, first);
  }
}

TEST_F(DirectXLoader, LoadsMultiBlockCompressedFilesInBothBlockStyles) {
  for (bool chain : {false, true}) {
    XFileTree tree;
    const std::string path = Write(chain ? "chained.x" : "independent.x", XFileFormat::Compressed,
                                   WriteLargeMesh, &tree, chain);
    ASSERT_GT(testing::ReadBytes(path).size(), 3 * 1024u);
    std::string failure;
    const std::string dump = Load(path, "standard", &failure);
    ASSERT_TRUE(failure.empty()) << failure;
    EXPECT_EQ(dump, DumpTree(tree)) << (chain ? "chained" : "independent");
  }
}

TEST_F(DirectXLoader, OurReaderAgreesWithTheLoaderOnOtherExportersFiles) {
  for (const char* name : {"test_cube_text.x", "test_cube_binary.x", "test_cube_compressed.x", "anim_test.x"}) {
    const std::string source = std::string(VORN_SOURCE_DIR) + "/../shared/models/x/" + name;
    if (!std::filesystem::exists(source)) GTEST_SKIP() << "sample files not present";
    const std::string path = dir_ / name;
    std::filesystem::copy_file(source, path);
    std::string failure;
    const std::string dump = Load(path, "all", &failure);
    ASSERT_TRUE(failure.empty()) << name << ": " << failure;
    XFileTree tree;
    std::string error;
    ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
    EXPECT_EQ(DumpTree(tree), dump) << name;
  }
}

// Every bundled example, exported by the exporter in the three encodings: the loader sees the
// same objects and data bytes in each, and what our reader sees.
TEST_F(DirectXLoader, LoadsTheExportedExamplesInEveryEncoding) {
  const std::filesystem::path examples = std::filesystem::path(VORN_SOURCE_DIR) / "examples";
  int exported = 0;
  for (const auto& entry : std::filesystem::directory_iterator(examples)) {
    if (entry.path().extension() != ".json") continue;
    std::string first;
    for (int type = 0; type < 3; ++type) {
      auto doc = LoadSceneDocument(entry.path().string());
      const std::string settings = dir_ / "settings";
      std::filesystem::create_directories(settings);
      {
        std::ofstream ini(settings + "/vorn_max_config.ini");
        ini << "[Option]\nXFileType=" << type << "\nDummy=1\n";
      }
      doc->SetDirectory(9, settings);
      const std::string path = dir_ / (entry.path().stem().string() + std::to_string(type) + ".x");
      XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
      ASSERT_TRUE(std::filesystem::exists(path)) << entry.path();
      XFileTree tree;
      std::string error;
      ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
      std::string failure;
      const std::string dump = Load(path, "standard", &failure);
      ASSERT_TRUE(failure.empty()) << path << ": " << failure;
      EXPECT_EQ(dump, DumpTree(tree)) << path;
      if (type == 0) first = dump;
      EXPECT_EQ(dump, first) << path << " differs from the text encoding";
    }
    ++exported;
  }
  EXPECT_GT(exported, 0);
}

// Every mesh object the exporter writes (normals, two texture sets, vertex colours, tangent
// frames in DeclData, duplication indices), in each encoding, as the loader and assimp see it.
TEST_F(DirectXLoader, LoadsEveryMeshObjectInEveryEncoding) {
  const std::string scene = std::string(VORN_SOURCE_DIR) + "/examples/smooth_sphere.json";
  for (const char* options : {"VertexColor=1\nVertexDup=1\n", "VertexColor=1\nTangent=1\nBiTangent=1\nDeclData=1\n"}) {
    const bool declData = std::string(options).find("DeclData") != std::string::npos;
    std::string first;
    for (int type = 0; type < 3; ++type) {
      auto doc = LoadSceneDocument(scene);
      const std::string settings = dir_ / "settings";
      std::filesystem::create_directories(settings);
      std::ofstream(settings + "/vorn_max_config.ini") << "[Option]\nXFileType=" << type << "\n" << options;
      doc->SetDirectory(9, settings);
      const std::string path = dir_ / ("sphere" + std::to_string(type) + ".x");
      XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
      XFileTree tree;
      std::string error;
      ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
      std::string failure;
      const std::string dump = Load(path, "standard", &failure);
      ASSERT_TRUE(failure.empty()) << path << ": " << failure;
      EXPECT_EQ(dump, DumpTree(tree)) << options;
      if (type == 0) first = dump;
      EXPECT_EQ(dump, first) << options << " differs from the text encoding";
      if (std::string(VORN_ASSIMP).empty() || declData) continue;  // assimp does not read DeclData
      // assimp's dump lists the channels it read; its vertex counts are after its own welding.
      const std::string out = dir_ / "dump.xml";
      const std::string command = "timeout 60 " + Quote(VORN_ASSIMP) + " dump " + Quote(path) + " " + Quote(out) +
                                  " >/dev/null 2>&1";
      EXPECT_EQ(std::system(command.c_str()), 0);
      const std::vector<uint8_t> bytes = testing::ReadBytes(out);
      const std::string info(bytes.begin(), bytes.end());
      EXPECT_NE(info.find("<TextureCoords num=\"672\" set=\"1\""), std::string::npos) << options;
      EXPECT_NE(info.find("<Colors num=\"672\" set=\"0\""), std::string::npos) << options;
      EXPECT_NE(info.find("<FaceList num=\"224\">"), std::string::npos) << options;
    }
  }
}

// assimp's text reader overflows on 39-digit floats, so it gets the strip mesh, not the sample
// scene with its extreme values.
TEST(Assimp, ReadsOurFilesInEveryEncoding) {
  if (std::string(VORN_ASSIMP).empty()) GTEST_SKIP() << "assimp not available";
  testing::ScratchDir dir;
  for (XFileFormat format : {XFileFormat::Text, XFileFormat::Binary, XFileFormat::Compressed}) {
    XFileWriter writer;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    const std::string path = dir / "scene.x";
    ASSERT_TRUE(writer.Open(path, format));
    WriteLargeMesh(writer);
    ASSERT_TRUE(writer.Save()) << writer.Error();
    const std::string out = dir / "info.txt";
    const std::string command = "timeout 60 " + Quote(VORN_ASSIMP) + " info " + Quote(path) + " >" + Quote(out) + " 2>&1";
    const int rc = std::system(command.c_str());
    const std::vector<uint8_t> bytes = testing::ReadBytes(out);
    const std::string info(bytes.begin(), bytes.end());
    EXPECT_EQ(rc, 0) << info;
    EXPECT_NE(info.find("Meshes:             1\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Faces:              5998\n"), std::string::npos) << info;
  }
}

}  // namespace
}  // namespace vorn
