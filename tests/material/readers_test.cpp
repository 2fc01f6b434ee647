// The textured example as other programs read it: the DirectX loader under Wine in every
// encoding, assimp's materials and texture names, and an independent image reader (Pillow)
// on the copied, converted and rendered textures. Each is skipped where it is missing.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "export/driver.h"
#include "host/scene_document.h"
#include "material/dds_writer.h"
#include "tests/support/dx_loader.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

using testing::ReadText;
using testing::ShellQuote;

class TexturedReaders : public testing::DirectXLoaderTest {
 protected:
  // Exports the textured example into its own folder; the .X file's path.
  std::string Export(const std::string& name, int type, const std::string& ini) {
    const std::string out = dir_ / name;
    std::filesystem::create_directories(out);
    auto doc = LoadSceneDocument(std::string(VORN_SOURCE_DIR) + "/examples/textured_box.json");
    std::ofstream(out + "/vorn_max_config.ini") << "[Option]\nXFileType=" << type << "\n" << ini;
    doc->SetDirectory(kHostPluginConfigDir, out);
    const std::string path = out + "/box" + std::to_string(type) + ".x";
    XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
    return path;
  }

  // assimp's dump of the file; empty where assimp is missing (a failed run is a test failure).
  std::string AssimpDump(const std::string& path) {
    if (std::string(VORN_ASSIMP).empty()) return {};
    const std::string xml = path + ".xml";
    const std::string command =
        "timeout 60 " + ShellQuote(VORN_ASSIMP) + " dump " + ShellQuote(path) + " " + ShellQuote(xml) + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << path;
    return ReadText(xml);
  }

  // The DirectX loader reads the file as our reader does.
  void ExpectLoaderAgrees(const std::string& path, const XFileTree& tree) {
    std::string failure;
    const std::string dump = Load(path, "standard", &failure);
    EXPECT_TRUE(failure.empty()) << path << ": " << failure;
    EXPECT_EQ(dump, DumpTree(tree)) << path;
  }
};

TEST_F(TexturedReaders, LoaderAndAssimpSeeTheMaterialsInEveryEncoding) {
  struct Variant {
    const char* ini;
    const char* texture;  // a texture name the file must carry
  };
  for (const Variant& v : {Variant{"FX=1\n", "crate_diffuse.png"},
                           Variant{"FX=1\nTextureConvert=1\nTextureFormat=0\n", "crate_diffuse.dds"},
                           Variant{"Multi-Textures=1\n", "Checker__1.bmp"}}) {
    std::string first;
    for (int type = 0; type < 3; ++type) {
      const std::string path = Export("v" + std::to_string(std::hash<std::string>{}(v.ini) % 1000), type, v.ini);
      XFileTree tree;
      std::string error;
      ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
      const std::string ours = DumpTree(tree);
      const std::string bytes(tree.data.begin(), tree.data.end());
      EXPECT_NE(bytes.find(v.texture), std::string::npos) << v.ini;
      std::string failure;
      const std::string dump = Load(path, "standard", &failure);
      ASSERT_TRUE(failure.empty()) << path << ": " << failure;
      EXPECT_EQ(dump, ours) << v.ini;
      if (type == 0) first = dump;
      EXPECT_EQ(dump, first) << v.ini << " encoding " << type << " differs from the text encoding";

      const std::string info = AssimpDump(path);
      if (info.empty()) continue;
      for (const char* material : {"\"Tiles\"", "\"Crate_Wood\"", "\"Glow\""})
        EXPECT_NE(info.find(material), std::string::npos) << material << " in " << v.ini;
      EXPECT_NE(info.find("\"Checker__1.bmp\""), std::string::npos) << "the procedural map's image, " << v.ini;
    }
  }
}

// The example exported into its own folder, its textures beside it and one of them lost: the
// textures kept unconverted and the lost one are named, and the file loads in every encoding.
TEST_F(TexturedReaders, ExportedBesideItsTexturesWithOneLost) {
  const std::filesystem::path examples = std::filesystem::path(VORN_SOURCE_DIR) / "examples";
  struct Variant {
    const char* ini;
    const char* plain;  // a texture of a plain material, which assimp lists
  };
  for (const Variant& v : {Variant{"FX=1\nTextureConvert=1\nTextureFormat=1\n", "Checker__1.bmp"},
                           Variant{"PowerOf2=1\nMulti-Textures=1\n", "lost.bmp"}}) {
    const char* ini = v.ini;
    const std::filesystem::path out = dir_ / ("own" + std::to_string(std::hash<std::string>{}(ini) % 1000));
    std::filesystem::create_directories(out);
    for (const char* t : {"crate_diffuse.png", "crate_normal.bmp", "glow.fx"})
      std::filesystem::copy_file(examples / "textures" / t, out / t);
    std::string json = ReadText(examples / "textured_box.json");
    json.replace(json.find("crate_normal.bmp"), 16, "lost.bmp");
    std::ofstream(out / "scene.json") << json;
    const std::string diffuse = ReadText(out / "crate_diffuse.png");
    for (int type = 0; type < 3; ++type) {
      SCOPED_TRACE(std::string(ini) + " encoding " + std::to_string(type));
      auto doc = LoadSceneDocument(out / "scene.json");
      std::ofstream(out / "vorn_max_config.ini") << "[Option]\nXFileType=" << type << "\n" << ini;
      doc->SetDirectory(kHostPluginConfigDir, out);
      const std::string path = out / "box.x";
      ::testing::internal::CaptureStderr();
      XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
      const std::string err = ::testing::internal::GetCapturedStderr();
      EXPECT_NE(err.find("texture 'C:\\textures\\lost.bmp' not found"), std::string::npos) << err;
      EXPECT_EQ(ReadText(out / "crate_diffuse.png"), diffuse);
      XFileTree tree;
      std::string error;
      ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
      const std::string bytes(tree.data.begin(), tree.data.end());
      for (const char* name : {"crate_diffuse.png", "lost.bmp", "Checker__1.bmp"})
        EXPECT_NE(bytes.find(name), std::string::npos) << name;
      ExpectLoaderAgrees(path, tree);
      const std::string xml = AssimpDump(path);
      if (!xml.empty()) {
        EXPECT_NE(xml.find(std::string("\"") + v.plain + "\""), std::string::npos) << v.plain;
      }
    }
  }
}

// The example exported into its own folder where written files would take the names of other
// materials' sources: the generated effect, a conversion and the procedural image go under other
// names, the sources stay, and the file loads in every encoding.
TEST_F(TexturedReaders, ExportedBesideSourcesOfTheNamesItWouldWrite) {
  const std::filesystem::path examples = std::filesystem::path(VORN_SOURCE_DIR) / "examples";
  const std::filesystem::path out = dir_ / "clash";
  std::filesystem::create_directories(out);
  for (const char* t : {"crate_diffuse.png", "crate_normal.bmp", "glow.fx"})
    std::filesystem::copy_file(examples / "textures" / t, out / t);
  std::filesystem::copy_file(examples / "textures/crate_diffuse.png", out / "crate_normal.png");
  std::filesystem::copy_file(examples / "textures/crate_normal.bmp", out / "Checker__1.bmp");
  std::string json = ReadText(examples / "textured_box.json");
  auto replace = [&](const std::string& from, const std::string& to) {
    ASSERT_NE(json.find(from), std::string::npos) << from;
    json.replace(json.find(from), from.size(), to);
  };
  replace("\"name\": \"Crate\"", "\"name\": \"glow\"");
  replace("{\"path\": \"C:\\\\textures\\\\crate_diffuse.png\"", "{\"path\": \"C:\\\\textures\\\\crate_normal.png\"");
  replace("\"value\": \"crate_diffuse.png\"", "\"value\": \"Checker__1.bmp\"");
  std::ofstream(out / "scene.json") << json;
  std::vector<std::pair<std::string, std::string>> sources;
  for (const auto& e : std::filesystem::directory_iterator(out))
    sources.emplace_back(e.path().filename(), ReadText(e.path()));
  for (int type = 0; type < 3; ++type) {
    SCOPED_TRACE("encoding " + std::to_string(type));
    auto doc = LoadSceneDocument(out / "scene.json");
    std::ofstream(out / "vorn_max_config.ini")
        << "[Option]\nXFileType=" << type << "\nFX=1\nTextureConvert=1\nTextureFormat=1\nMulti-Textures=1\n";
    doc->SetDirectory(kHostPluginConfigDir, out);
    const std::string path = out / "box.x";
    ::testing::internal::CaptureStderr();
    XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    for (const auto& [name, bytes] : sources)
      if (name != "vorn_max_config.ini") {
        EXPECT_TRUE(ReadText(out / name) == bytes) << name << " written over";
      }
    for (const char* renamed : {"'glow_1.fx'", "'crate_normal_1.png'", "'Checker__1_1.bmp'"})
      EXPECT_NE(err.find(std::string("written as ") + renamed), std::string::npos) << renamed << "\n" << err;
    XFileTree tree;
    std::string error;
    ASSERT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
    const std::string bytes(tree.data.begin(), tree.data.end());
    for (const char* name : {"glow_1.fx", "glow.fx", "crate_normal_1.png", "Checker__1_1.bmp", "Checker__1.png"}) {
      EXPECT_NE(bytes.find(std::string(name) + '\0'), std::string::npos) << name;
      EXPECT_TRUE(std::filesystem::is_regular_file(out / name)) << name;
    }
    ExpectLoaderAgrees(path, tree);
    const std::string xml = AssimpDump(path);
    if (!xml.empty()) {
      EXPECT_NE(xml.find("\"Checker__1_1.bmp\""), std::string::npos) << "the procedural map's own image";
    }
  }
}

// Our DDS files as the DirectX loader reads them: every level counted, in the format chosen, and
// a file that lacks even the last 1 x 1 level refused, so the count is of levels it found.
TEST_F(TexturedReaders, DdsLevelsAsTheLoaderReadsThem) {
  struct Case {
    int w, h;
    bool alpha;
    TexelSpace space;
    bool mipmaps;
    const char* info;
  };
  for (const Case& c : {Case{37, 10, true, TexelSpace::Colour, true, "37 10 1 6 DXT5 3 4"},
                        Case{64, 64, false, TexelSpace::Normal, true, "64 64 1 7 DXT1 3 4"},
                        Case{1, 1, false, TexelSpace::Colour, true, "1 1 1 1 DXT1 3 4"},
                        Case{8, 4, false, TexelSpace::Colour, false, "8 4 1 1 DXT1 3 4"}}) {
    SCOPED_TRACE(c.info);
    std::vector<uint8_t> rgba(size_t(c.w) * size_t(c.h) * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 7 % 251);
    if (!c.alpha)
      for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    const std::vector<uint8_t> dds = EncodeDds(rgba.data(), c.w, c.h, {c.mipmaps, c.space, true});
    const std::string path = dir_ / (std::to_string(c.w) + "x" + std::to_string(c.h) + ".dds");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(dds.data()), std::streamsize(dds.size()));
    std::string failure;
    EXPECT_EQ(ImageInfo(path, &failure), c.info);
    EXPECT_EQ(failure, "");
    if (c.w * c.h == 1) continue;
    const std::string cut = path + ".cut.dds";
    std::ofstream(cut, std::ios::binary)
        .write(reinterpret_cast<const char*>(dds.data()), std::streamsize(dds.size() - (c.alpha ? 16 : 8)));
    EXPECT_EQ(ImageInfo(cut, &failure), "");
    EXPECT_NE(failure.find("D3DXGetImageInfoFromFile failed"), std::string::npos) << failure;
  }
}

TEST(TexturedImages, OpenInAnIndependentImageReader) {
  if (std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") != 0) GTEST_SKIP() << "Pillow not available";
  testing::TempDir dir;
  for (const char* ini : {"FX=1\n", "FX=1\nTextureConvert=1\nTextureFormat=0\nPowerOf2=1\n",
                          "TextureConvert=1\nTextureFormat=2\n", "TextureConvert=1\nTextureFormat=3\n"}) {
    const std::string out = dir / std::to_string(std::hash<std::string>{}(ini) % 100000);
    std::filesystem::create_directories(out);
    auto doc = LoadSceneDocument(std::string(VORN_SOURCE_DIR) + "/examples/textured_box.json");
    std::ofstream(out + "/vorn_max_config.ini") << "[Option]\nXFileType=0\n" << ini;
    doc->SetDirectory(kHostPluginConfigDir, out);
    XDoExport((out + "/box.x").c_str(), nullptr, doc.get(), true, 0);
    // Every image beside the .X file decodes whole; the script prints how many it read.
    const std::string script =
        "import glob, sys\nfrom PIL import Image\nn = 0\n"
        "for f in glob.glob(sys.argv[1] + '/*'):\n"
        "    if f.rsplit('.', 1)[-1] in ('png', 'bmp', 'dds', 'tga', 'jpg'):\n"
        "        im = Image.open(f); im.load(); assert im.size[0] > 0 and im.size[1] > 0, f; n += 1\n"
        "print(n)\n";
    std::ofstream(out + "/check.py") << script;
    const std::string command = "/usr/bin/python3 " + ShellQuote(out + "/check.py") + " " + ShellQuote(out) + " >" +
                                ShellQuote(out + "/count.txt") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ini << ReadText(out + "/count.txt");
    EXPECT_GE(std::atoi(ReadText(out + "/count.txt").c_str()), 3) << ini << ReadText(out + "/count.txt");
  }
}

}  // namespace
}  // namespace vorn
