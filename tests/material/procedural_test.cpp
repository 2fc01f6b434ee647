#include "material/procedural_render.h"

#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "material_fixture.h"

namespace vorn {
namespace {

using testing::MaterialTest;

TEST(ShaderContextTex, PixelsCoverTheUnitSquareTopRowAtVOne) {
  ShaderContextTex sc(256, 256);
  sc.SetPixel(0, 0);
  EXPECT_EQ(sc.UVW(1), (Point3{0, 1, 0}));
  EXPECT_EQ(sc.P(), (Point3{0, 100, 0}));
  sc.SetPixel(255, 255);
  EXPECT_EQ(sc.UVW(1), (Point3{255.0f / 256.0f, 1.0f / 256.0f, 0}));
  EXPECT_EQ(sc.UVW(7), sc.UVW(1)) << "every channel sees the same coordinates";
  EXPECT_EQ(sc.UVW(-2), sc.UVW(1));
  EXPECT_EQ(sc.PixelX(), 255);
  EXPECT_EQ(sc.PixelY(), 255) << "rows count from the top";
  EXPECT_FLOAT_EQ(sc.P().x, 255.0f * 100.0f / 256.0f);
  EXPECT_FLOAT_EQ(sc.P().y, 100.0f / 256.0f);
  EXPECT_EQ(sc.DUVW(1), (Point3{1.0f / 256.0f, 1.0f / 256.0f, 0}));
  EXPECT_EQ(sc.Normal(), (Point3{0, 0, 1}));
  EXPECT_EQ(sc.View(), (Point3{0, 0, -1}));
}

TEST(ShaderContextTex, NonSquareImagesStepByTheirOwnSizes) {
  ShaderContextTex sc(8, 2);
  sc.SetPixel(3, 1);
  EXPECT_EQ(sc.UVW(1), (Point3{3.0f / 8.0f, 0.5f, 0}));
  EXPECT_EQ(sc.PixelX(), 3);
  EXPECT_EQ(sc.PixelY(), 1);
  EXPECT_EQ(sc.DUVW(1), (Point3{0.125f, 0.5f, 0}));
}

class Procedural : public MaterialTest {
 protected:
  struct Image {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
    std::array<int, 3> At(int x, int y) const {
      const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 3;
      return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
  };
  Image ReadImage(const std::string& path) {
    Image img;
    int n = 0;
    unsigned char* px = stbi_load(path.c_str(), &img.w, &img.h, &n, 3);
    if (!px) return img;
    img.rgb.assign(px, px + static_cast<size_t>(img.w) * static_cast<size_t>(img.h) * 3);
    stbi_image_free(px);
    return img;
  }
};

TEST_F(Procedural, CheckerImageIsWByHWithRowZeroAtTheTop) {
  Load(R"("texmaps": {"chk": {"type": "checker", "color1": [0, 0, 0], "color2": [1, 1, 1]}})");
  const std::string path = Dir() + "/out/chk.bmp";
  ASSERT_TRUE(RenderProceduralMap(*doc_, path, doc_->FindTexmap("chk"), 8, 4));
  const Image img = ReadImage(path);
  ASSERT_EQ(img.w, 8);
  ASSERT_EQ(img.h, 4);
  // v is 1, 0.75, 0.5, 0.25 from the top row down; u is x / 8.
  const std::array<int, 3> black{0, 0, 0}, white{255, 255, 255};
  EXPECT_EQ(img.At(0, 0), black);
  EXPECT_EQ(img.At(3, 0), black);
  EXPECT_EQ(img.At(4, 0), white);
  EXPECT_EQ(img.At(0, 1), white);
  EXPECT_EQ(img.At(0, 2), white);
  EXPECT_EQ(img.At(0, 3), black);
  EXPECT_EQ(img.At(7, 3), white);
}

TEST_F(Procedural, GradientRunsFromColourOneAtTheTopDown) {
  Load(R"("texmaps": {"g": {"type": "gradient", "color1": [1, 0, 0], "color2": [0, 1, 0], "color3": [0, 0, 1]}})");
  const std::string path = Dir() + "/out/g.bmp";
  ASSERT_TRUE(RenderProceduralMap(*doc_, path, doc_->FindTexmap("g"), 2, 2));
  const Image img = ReadImage(path);
  ASSERT_EQ(img.w, 2);
  EXPECT_EQ(img.At(0, 0), (std::array<int, 3>{255, 0, 0})) << "v = 1";
  EXPECT_EQ(img.At(1, 1), (std::array<int, 3>{0, 255, 0})) << "v = 0.5";
}

TEST_F(Procedural, NothingIsWrittenWithoutAMapPathOrSize) {
  Load(R"("texmaps": {"chk": {"type": "checker"}})");
  const HostTexmap* chk = doc_->FindTexmap("chk");
  EXPECT_FALSE(RenderProceduralMap(*doc_, Dir() + "/out/a.bmp", nullptr, 4, 4));
  EXPECT_FALSE(RenderProceduralMap(*doc_, "", chk, 4, 4));
  EXPECT_FALSE(RenderProceduralMap(*doc_, Dir() + "/out/b.bmp", chk, 0, 4));
  EXPECT_FALSE(RenderProceduralMap(*doc_, Dir() + "/no/such/folder/c.bmp", chk, 4, 4));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "out"));
}

}  // namespace
}  // namespace vorn
