// Our files loaded by the DirectX loader (d3dx9 under Wine, through dxcheck.exe): the trees
// it sees must be exactly the ones handed to the sink, whatever templates the loading program
// registered. Skipped where Wine or the cross-built program is missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "export/driver.h"
#include "host/scene_document.h"
#include "tests/support/dx_loader.h"
#include "tests/support/temp_dir.h"
#include "tests/xformat/sample_scene.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_writer.h"

namespace vorn {
namespace {

using testing::DataBytes;

using testing::ShellQuote;
std::string Quote(const std::string& s) { return ShellQuote(s); }

class DirectXLoader : public testing::DirectXLoaderTest {
 protected:
  // Exports a bundled example silently in the encoding with extra settings; the file's path.
  std::string ExportExample(const std::filesystem::path& scene, int type, const std::string& ini) {
    auto doc = LoadSceneDocument(scene.string());
    const std::string settings = dir_ / "settings";
    std::filesystem::create_directories(settings);
    std::ofstream(settings + "/vorn_max_config.ini") << "[Option]\nXFileType=" << type << "\n" << ini;
    doc->SetDirectory(kHostPluginConfigDir, settings);
    const std::string path = dir_ / (scene.stem().string() + std::to_string(type) + ".x");
    XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
    return path;
  }

  // Exports a scene document given as text, like ExportExample.
  std::string ExportScene(const std::string& json, const std::string& stem, int type, const std::string& ini) {
    const std::filesystem::path scene = dir_ / (stem + ".json");
    std::ofstream(scene) << json;
    return ExportExample(scene, type, ini);
  }

  // Reads the exported file with our reader and the loader, which must agree; assimp must read
  // it too.
  XFileTree ReadInEveryReader(const std::string& path) {
    XFileTree tree;
    std::string error;
    EXPECT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << path << ": " << error;
    std::string failure;
    EXPECT_EQ(Load(path, "standard", &failure), DumpTree(tree)) << path << ": " << failure;
    if (!std::string(VORN_ASSIMP).empty()) {
      const std::string out = dir_ / "info.txt";
      const std::string command = "timeout 60 " + Quote(VORN_ASSIMP) + " info " + Quote(path) + " >" + Quote(out) + " 2>&1";
      EXPECT_EQ(std::system(command.c_str()), 0) << path << ": " << testing::ReadText(out);
    }
    return tree;
  }

  template <class Writer>
  // Writes the file; *dump gets the tree it was written from.
  std::string Write(const std::string& name, XFileFormat format, Writer&& write, std::string* dump,
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
    *dump = DumpTree(writer.Tree());
    return path;
  }

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
    std::string expected;
    const std::string path = Write(f.name, f.format, testing::WriteSampleScene, &expected);
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
    std::string expected;
    const std::string path = Write(chain ? "chained.x" : "independent.x", XFileFormat::Compressed,
                                   WriteLargeMesh, &expected, chain);
    ASSERT_GT(testing::ReadBytes(path).size(), 3 * 1024u);
    std::string failure;
    const std::string dump = Load(path, "standard", &failure);
    ASSERT_TRUE(failure.empty()) << failure;
    EXPECT_EQ(dump, expected) << (chain ? "chained" : "independent");
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
      const std::string path = ExportExample(entry.path(), type, "Dummy=1\n");
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

// The flat box: 24 vertices (three per corner, one for each side), 12 faces, 24 normals each a
// unit axis, as our reader, the DirectX loader and assimp see it.
TEST_F(DirectXLoader, FlatBoxSplitsItsCornersInEveryReader) {
  const std::filesystem::path scene = std::filesystem::path(VORN_SOURCE_DIR) / "examples/box.json";
  for (int type = 0; type < 3; ++type) {
    const std::string path = ExportExample(scene, type, "");
    XFileTree tree;
    std::string error;
    ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
    int meshes = 0;
    for (const XTreeObject& o : tree.objects) {
      const XTemplate* t = tree.TemplateOf(o);
      if (!t || (t->name != "Mesh" && t->name != "MeshNormals")) continue;
      ++meshes;
      const auto bytes = tree.Data(o);
      uint32_t n, f;
      std::memcpy(&n, bytes.data(), 4);
      std::memcpy(&f, bytes.data() + 4 + 12 * n, 4);
      EXPECT_EQ(n, 24u) << t->name;
      EXPECT_EQ(f, 12u) << t->name;
      if (t->name != "MeshNormals") continue;
      for (uint32_t i = 0; i < n; ++i) {
        float v[3];
        std::memcpy(v, bytes.data() + 4 + 12 * i, 12);
        EXPECT_EQ(std::fabs(v[0]) + std::fabs(v[1]) + std::fabs(v[2]), 1.0f) << "normal " << i;
      }
    }
    EXPECT_EQ(meshes, 2);
    std::string failure;
    EXPECT_EQ(Load(path, "standard", &failure), DumpTree(tree)) << failure;
    if (std::string(VORN_ASSIMP).empty()) continue;
    const std::string out = dir_ / "info.txt";
    EXPECT_EQ(std::system(("timeout 60 " + Quote(VORN_ASSIMP) + " info " + Quote(path) + " >" + Quote(out) + " 2>&1").c_str()), 0);
    const std::string info = testing::ReadText(out);
    EXPECT_NE(info.find("Vertices:           24\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Faces:              12\n"), std::string::npos) << info;
  }
}

// Every mesh object the exporter writes (normals, two texture sets, vertex colours, tangent
// frames in DeclData, duplication indices), in each encoding, as the loader and assimp see it.
TEST_F(DirectXLoader, LoadsEveryMeshObjectInEveryEncoding) {
  const std::string scene = std::string(VORN_SOURCE_DIR) + "/examples/smooth_sphere.json";
  for (const char* options : {"VertexColor=1\nVertexDup=1\n", "VertexColor=1\nTangent=1\nBiTangent=1\nDeclData=1\n"}) {
    const bool declData = std::string(options).find("DeclData") != std::string::npos;
    std::string first;
    for (int type = 0; type < 3; ++type) {
      const std::string path = ExportExample(scene, type, options);
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

// Top-level triangle nodes with the given names, each moved along x by its own distance.
std::string MovingTriangles(const std::vector<std::string>& names) {
  std::string nodes;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string x = std::to_string(i + 1);
    nodes += std::string(i ? "," : "") + R"({"name": ")" + names[i] + R"(", "handle": )" + std::to_string(i + 1) +
             R"(, "object": "tri", "controller": {"position": {"keys": [[0, 0, 0, 0], [4800, )" + x + R"(, 0, 0]]}}})";
  }
  return R"({"format": "vorn-scene", "version": 1, "nodes": [)" + nodes + R"(],
    "objects": {"tri": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2,1]]}}}})";
}

// The frames in order, and the frame each Animation names, in order.
void FramesAndAnimated(const XFileTree& tree, std::vector<std::string>* frames, std::vector<std::string>* animated) {
  for (const XTreeObject& o : tree.objects) {
    if (o.isReference && tree.TemplateOf(tree.objects[o.parent])->name == "Animation")
      animated->push_back(o.name);
    else if (!o.isReference && tree.TemplateOf(o)->name == "Frame")
      frames->push_back(o.name);
  }
}

// With the default settings (animation on), a node without a name keeps its frame and mesh;
// only its animation, which could name no frame, is left out.
TEST_F(DirectXLoader, ANodeWithoutANameIsWrittenWithoutItsAnimation) {
  for (int type = 0; type < 3; ++type) {
    const std::string path = ExportScene(MovingTriangles({"", "Named"}), "unnamed", type, "");
    ASSERT_TRUE(std::filesystem::exists(path)) << type;
    std::vector<std::string> frames, animated;
    FramesAndAnimated(ReadInEveryReader(path), &frames, &animated);
    EXPECT_EQ(frames, (std::vector<std::string>{"", "Named"})) << type;
    EXPECT_EQ(animated, std::vector<std::string>{"Named"}) << type;
  }
}

// Host names that the text encoding writes alike: each animation must still name its own frame,
// in every encoding, as the loader resolves it.
TEST_F(DirectXLoader, EachAnimationNamesItsOwnFrameWhateverTheNames) {
  const std::vector<std::string> names = {R"(say \"hi\")", "say__hi_", "-5", "_-5", "template", "_template"};
  for (int type = 0; type < 3; ++type) {
    const std::string path = ExportScene(MovingTriangles(names), "names", type, "");
    ASSERT_TRUE(std::filesystem::exists(path)) << type;
    const XFileTree tree = ReadInEveryReader(path);
    std::vector<std::string> frames, animated;
    FramesAndAnimated(tree, &frames, &animated);
    ASSERT_EQ(frames.size(), names.size()) << type;
    EXPECT_EQ(animated, frames) << type;
    EXPECT_EQ(std::set<std::string>(frames.begin(), frames.end()).size(), names.size()) << type;
    // the position keys of the n-th animation end at x = n + 1 in the host; whichever axis the
    // conversion puts it on, it is the only non-zero component
    uint32_t n = 0;
    for (const XTreeObject& o : tree.objects) {
      if (o.isReference || tree.TemplateOf(o)->name != "AnimationKey" || o.name != "T") continue;
      const auto bytes = tree.Data(o);
      uint32_t count;
      std::memcpy(&count, bytes.data() + 4, 4);
      ASSERT_GE(count, 2u);
      float v[3];
      std::memcpy(v, bytes.data() + 8 + 20 * (count - 1) + 8, 12);
      EXPECT_EQ(std::fabs(v[0]) + std::fabs(v[1]) + std::fabs(v[2]), static_cast<float>(n + 1)) << frames[n];
      ++n;
    }
    EXPECT_EQ(n, names.size());
  }
}

// assimp's text reader overflows on 39-digit floats, so it gets the strip mesh, not the sample
// scene with its extreme values.
TEST(Assimp, ReadsOurFilesInEveryEncoding) {
  if (std::string(VORN_ASSIMP).empty()) GTEST_SKIP() << "assimp not available";
  testing::TempDir dir;
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
