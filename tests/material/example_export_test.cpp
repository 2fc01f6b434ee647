// The textured example exported whole: materials, texture names and the files beside the .X file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/driver.h"
#include "host/scene_document.h"
#include "tests/support/temp_dir.h"
#include "xformat/template_ids.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_tree.h"

namespace vorn {
namespace {

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TexturedExample : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "cfg");
  }
  // Exports the example with these settings lines and reads the file back.
  bool Export(const std::string& settings, XFileTree& tree) {
    std::ofstream(dir_ / "cfg" / "vorn_max_config.ini") << "[Option]\n" << settings;
    auto doc = LoadSceneDocument(examples_ + "/textured_box.json");
    doc->SetDirectory(kHostPluginConfigDir, (dir_ / "cfg").string());
    const std::string path = (dir_ / "box.x").string();
    XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
    std::string error;
    return ReadXFileFromPath(path, {}, &tree, &error);
  }
  // "Template name" or "Template name: text" for every object, in file order, nested by two spaces.
  static std::string Outline(const XFileTree& tree) {
    std::string out;
    auto walk = [&](auto&& self, uint32_t first, int depth) -> void {
      for (uint32_t i = first; i != kNoObject; i = tree.objects[i].nextSibling) {
        const XTreeObject& o = tree.objects[i];
        out += std::string(size_t(depth) * 2, ' ');
        if (o.isReference) {
          out += "{" + o.name + "}\n";
          continue;
        }
        const std::string t = tree.TemplateOf(o)->name;
        if (t == "Frame" || t == "Mesh" || t == "MeshMaterialList" || t == "Material" || t == "TextureFilename" ||
            t == "EffectInstance" || t == "EffectParamString") {
          out += t;
          if (!o.name.empty()) out += " " + o.name;
          if (t == "TextureFilename" || t == "EffectInstance" || t == "EffectParamString") {
            auto d = tree.Data(o);
            std::string text(d.begin(), d.end());
            for (char& c : text)
              if (c == '\0') c = '|';
            out += ": " + text;
          }
          out += "\n";
          self(self, o.firstChild, depth + 1);
        } else {
          out.resize(out.size() - size_t(depth) * 2);
        }
      }
    };
    walk(walk, tree.firstTop, 0);
    return out;
  }
  testing::TempDir temp_;
  std::filesystem::path dir_{temp_.path()};
  const std::string examples_ = std::string(VORN_SOURCE_DIR) + "/examples";
};

TEST_F(TexturedExample, PlainMaterialsNameTheirTexturesAndTheFilesAreCopied) {
  XFileTree tree;
  ASSERT_TRUE(Export("Multi-Textures=1\n", tree));
  EXPECT_EQ(Outline(tree),
            "Material Crate_Wood\n  TextureFilename: crate_diffuse.png|\n  TextureFilename: crate_normal.bmp|\n"
            "Material Tiles\n  TextureFilename: Checker__1.bmp|\n"
            "Material Material_NULL\n"
            "Frame Crate\n  Mesh Crate\n    MeshMaterialList\n      {Crate_Wood}\n      {Tiles}\n      {Material_NULL}\n"
            "Frame Lamp\n  Mesh Lamp\n    MeshMaterialList\n      Material Glow\n"
            "        EffectInstance: glow.fx|\n          EffectParamString: GlowTexture|crate_diffuse.png|\n");
  EXPECT_EQ(ReadAll(dir_ / "crate_diffuse.png"), ReadAll(examples_ + "/textures/crate_diffuse.png"));
  EXPECT_EQ(ReadAll(dir_ / "crate_normal.bmp"), ReadAll(examples_ + "/textures/crate_normal.bmp"));
  EXPECT_EQ(ReadAll(dir_ / "glow.fx"), ReadAll(examples_ + "/textures/glow.fx"));
  EXPECT_EQ(ReadAll(dir_ / "Checker__1.bmp").size(), 54u + 256 * 256 * 3);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Crate.fx")) << "FX is off";
}

TEST_F(TexturedExample, WithFxTheNormalMappedMaterialGetsAGeneratedEffect) {
  XFileTree tree;
  ASSERT_TRUE(Export("FX=1\nTangent=1\nBiTangent=1\nNormalMapCode=1\nInlineMtl=1\n", tree));
  const std::string outline = Outline(tree);
  EXPECT_NE(outline.find("    MeshMaterialList\n      Material Crate_Wood\n        EffectInstance: Crate.fx|\n"
                         "          EffectParamString: Crate_Diffuse|crate_diffuse.png|\n"
                         "          EffectParamString: Crate_Normal_Bitmap|crate_normal.bmp|\n"
                         "      Material Tiles\n        TextureFilename: Checker__1.bmp|\n"
                         "      Material Material_NULL\n"),
            std::string::npos)
      << outline;
  const std::string fx = ReadAll(dir_ / "Crate.fx");
  EXPECT_NE(fx.find("texture Crate_Diffuse; \ntexture Crate_Normal_Bitmap; \n"), std::string::npos);
  EXPECT_NE(fx.find("float3 bumpNormal =  2 * tex2D( Crate_Normal_BitmapSampler, vout.TexCoord0 ) - 1 ;\n"),
            std::string::npos);
}

// With conversion every name the file holds is a file beside it, in every encoding: the shader's
// texture parameter names the converted copy, not the source.
TEST_F(TexturedExample, ConvertedTexturesAreNamedWhereverTheFileNamesThem) {
  for (int type = 0; type < 3; ++type) {
    SCOPED_TRACE(type);
    XFileTree tree;
    ASSERT_TRUE(Export("FX=1\nTextureConvert=1\nTextureFormat=0\nXFileType=" + std::to_string(type) + "\n", tree));
    EXPECT_NE(Outline(tree).find("EffectParamString: GlowTexture|crate_diffuse.dds|\n"), std::string::npos)
        << Outline(tree);
    int named = 0;
    for (const XTreeObject& o : tree.objects) {
      if (o.isReference) continue;
      const std::string t = tree.TemplateOf(o)->name;
      if (t != "TextureFilename" && t != "EffectInstance" && t != "EffectParamString") continue;
      auto d = tree.Data(o);
      std::string text(d.begin(), d.end() - 1);
      const std::string name = text.substr(text.find('\0') == std::string::npos ? 0 : text.find('\0') + 1);
      EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / name)) << t << " names " << name;
      ++named;
    }
    EXPECT_EQ(named, 6) << "the checker's name, two effect instances, three texture parameters";
    EXPECT_FALSE(std::filesystem::exists(dir_ / "crate_diffuse.png"));
  }
}

// A grey 24-bit BMP of n x n texels.
std::string GreyBmp(int n) {
  const uint32_t row = uint32_t(n) * 3, size = 54 + row * uint32_t(n);
  std::string out = "BM";
  auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char(v >> (8 * i)));
  };
  put(size, 4), put(0, 4), put(54, 4), put(40, 4), put(uint32_t(n), 4), put(uint32_t(n), 4), put(1, 2), put(24, 2);
  for (int i = 0; i < 6; ++i) put(0, 4);
  out.append(size_t(row) * size_t(n), char(128));
  return out;
}

// Big textures converted while the file is written: the display moves on between them instead of
// holding at the end of the build phase until all of them are done.
TEST_F(TexturedExample, ProgressMovesWhileTexturesConvert) {
  const std::filesystem::path scene = dir_ / "scene";
  std::filesystem::create_directories(scene / "textures");
  std::filesystem::copy_file(examples_ + "/textured_box.json", scene / "box.json");
  std::filesystem::copy_file(examples_ + "/textures/glow.fx", scene / "textures" / "glow.fx");
  for (const char* name : {"crate_diffuse.png", "crate_normal.bmp"})
    std::ofstream(scene / "textures" / name, std::ios::binary) << GreyBmp(1024);
  std::ofstream(dir_ / "cfg" / "vorn_max_config.ini") << "[Option]\nTextureConvert=1\nTextureFormat=0\n";
  auto doc = LoadSceneDocument(scene / "box.json");
  doc->SetDirectory(9, (dir_ / "cfg").string());
  struct Shown {
    int percent;
    int converted;  // .dds files written by then
  };
  std::vector<Shown> shown;
  doc->SetProgressSink([&](ProgressEvent ev, int percent, const std::string&) {
    if (ev != ProgressEvent::Update) return;
    int converted = 0;
    for (const char* name : {"crate_diffuse.dds", "crate_normal.dds"}) converted += std::filesystem::exists(dir_ / name);
    shown.push_back({percent, converted});
  });
  const std::string path = (dir_ / "box.x").string();
  XDoExport(path.c_str(), nullptr, doc.get(), true, 0);
  ASSERT_TRUE(std::filesystem::exists(dir_ / "crate_normal.dds"));
  bool between = false;
  for (const Shown& s : shown) {
    between |= s.percent > 95 && s.percent < 100 && s.converted == 1;
    // The two conversions are most of the write phase: half of them is not most of the display.
    if (s.converted < 2) {
      EXPECT_LE(s.percent, 97) << "the display ran ahead of the conversions";
    }
  }
  EXPECT_TRUE(between) << "an update above 95 % after the first texture and before the second";
}

}  // namespace
}  // namespace vorn
