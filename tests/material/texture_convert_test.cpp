#include "material/texture_convert.h"

#include <sys/stat.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "material/png_writer.h"
#include "material/texture_files.h"
#include "material_fixture.h"
#include "tests/support/dds_reader.h"

namespace vorn {
namespace {

using testing::MaterialTest;

// An uncompressed 24-bit BMP written here byte by byte, one colour; bottom row first, or top row
// first (a negative height) when topDown.
std::string SolidBmp(int w, int h, uint8_t r, uint8_t g, uint8_t b, bool topDown = false) {
  const int row = (w * 3 + 3) & ~3;
  std::vector<uint8_t> out;
  auto put16 = [&](uint32_t v) { out.push_back(uint8_t(v)); out.push_back(uint8_t(v >> 8)); };
  auto put32 = [&](uint32_t v) { put16(v & 0xffff); put16(v >> 16); };
  out.push_back('B');
  out.push_back('M');
  put32(uint32_t(54 + row * h));
  put32(0);
  put32(54);
  put32(40);
  put32(uint32_t(w));
  put32(topDown ? uint32_t(-h) : uint32_t(h));
  put16(1);
  put16(24);
  for (int i = 0; i < 6; ++i) put32(0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      out.push_back(b);
      out.push_back(g);
      out.push_back(r);
    }
    for (int p = w * 3; p < row; ++p) out.push_back(0);
  }
  return std::string(out.begin(), out.end());
}

uint32_t U32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
         uint32_t(uint8_t(s[at + 3])) << 24;
}

class TextureConvert : public MaterialTest {
 protected:
  void SetUp() override {
    MaterialTest::SetUp();
    Load(R"("materials": {})");
    Touch(dir_ / "src" / "red.bmp", SolidBmp(5, 3, 255, 0, 0));
    ctx_.options.TextureConvert = 1;
  }
  XMaterial Record(const std::string& source, const std::string& fileName) {
    XMaterial r;
    r.slots[0].mapChannel = 1;
    r.slots[0].fileName = fileName;
    r.slots[0].sourcePath = Dir() + "/src/" + source;
    return r;
  }
  struct Decoded {
    int w = 0, h = 0;
    std::array<int, 4> first{};
  };
  Decoded Decode(const std::string& name) {
    Decoded d;
    int n = 0;
    unsigned char* px = stbi_load((dir_ / "out" / name).c_str(), &d.w, &d.h, &n, 4);
    if (px) {
      d.first = {px[0], px[1], px[2], px[3]};
      stbi_image_free(px);
    }
    return d;
  }
};

TEST(TextureConvertNames, ExtensionsAndPowersOfTwo) {
  EXPECT_EQ(ConvertedTextureName("wood.png", 0), "wood.dds");
  EXPECT_EQ(ConvertedTextureName("a.b.jpeg", 3), "a.b.jpg");
  EXPECT_EQ(ConvertedTextureName("noext", 2), "noext.tga");
  EXPECT_EQ(TextureFormatOfName("X.JPEG"), 3);
  EXPECT_EQ(TextureFormatOfName("x.Bmp"), 4);
  EXPECT_EQ(TextureFormatOfName("x.gif"), -1);
  EXPECT_STREQ(TextureFormatExtension(5), "");
  const int cases[][2] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 4}, {6, 8}, {256, 256}, {300, 256}, {400, 512}, {1000, 1024}};
  for (const auto& c : cases) EXPECT_EQ(NearestPowerOfTwo(c[0]), c[1]) << c[0];
}

TEST_F(TextureConvert, EachFormatOpensInAnImageReaderWithItsColours) {
  for (int32_t format : {1, 2, 3, 4}) {
    ctx_.options.TextureFormat = format;
    XMaterial r = Record("red.bmp", "red.bmp");
    EXPECT_EQ(CopyTextureFiles(ctx_, r), 1);
    const std::string name = std::string("red") + TextureFormatExtension(format);
    EXPECT_EQ(r.slots[0].fileName, name);
    const Decoded d = Decode(name);
    EXPECT_EQ(d.w, 5) << name;
    EXPECT_EQ(d.h, 3) << name;
    EXPECT_GE(d.first[0], 250) << name;
    EXPECT_LE(d.first[1], 5) << name;
  }
  EXPECT_EQ(Read(dir_ / "out" / "red.tga")[16], 24) << "an opaque tga has no alpha channel";
}

TEST_F(TextureConvert, DdsIsDxt1WhenOpaqueWithItsHeaderAndBlocks) {
  ctx_.options.TextureFormat = 0;
  XMaterial r = Record("red.bmp", "red.bmp");
  CopyTextureFiles(ctx_, r);
  ASSERT_EQ(r.slots[0].fileName, "red.dds");
  const std::string dds = Read(dir_ / "out" / "red.dds");
  ASSERT_EQ(dds.size(), 128u + (2 + 1 + 1) * 8) << "two by one blocks of 8 bytes, then levels 2 x 1 and 1 x 1";
  EXPECT_EQ(dds.substr(0, 4), "DDS ");
  EXPECT_EQ(U32(dds, 4), 124u);
  EXPECT_EQ(U32(dds, 12), 3u) << "height";
  EXPECT_EQ(U32(dds, 16), 5u) << "width";
  EXPECT_EQ(U32(dds, 20), 16u) << "linear size";
  EXPECT_EQ(U32(dds, 28), 3u) << "mip levels";
  EXPECT_EQ(U32(dds, 76), 32u);
  EXPECT_EQ(dds.substr(84, 4), "DXT1");
  // A solid block: both end colours pure red in 5:6:5.
  EXPECT_EQ(U32(dds, 128) & 0xffff, 0xF800u);
}

// A 4 x 4 32-bit TGA with one transparent pixel, written by hand: uncompressed true colour.
std::string AlphaTga() {
  std::string tga(18, '\0');
  tga[2] = 2;
  tga[12] = 4;
  tga[14] = 4;
  tga[16] = 32;
  tga[17] = 8;
  for (int i = 0; i < 16; ++i) tga += std::string{'\0', '\0', char(0xff), char(i == 0 ? 0 : 0xff)};
  return tga;
}

TEST_F(TextureConvert, DdsIsDxt5WithAlpha) {
  Touch(dir_ / "src" / "a.tga", AlphaTga());
  ctx_.options.TextureFormat = 0;
  XMaterial r = Record("a.tga", "a.tga");
  CopyTextureFiles(ctx_, r);
  const std::string dds = Read(dir_ / "out" / "a.dds");
  ASSERT_EQ(dds.size(), 128u + 3 * 16) << "4 x 4, 2 x 2, 1 x 1";
  EXPECT_EQ(dds.substr(84, 4), "DXT5");
  ctx_.options.TextureFormat = 2;
  XMaterial t = Record("a.tga", "a.tga");
  CopyTextureFiles(ctx_, t);
  EXPECT_EQ(Read(dir_ / "out" / "a.tga")[16], 32) << "a tga with a transparent pixel keeps its alpha";
}

// A bmp keeps a source's alpha (32-bit, a V4 header with an alpha mask) and is 24-bit when
// opaque; a top-down bmp source is decoded like any other.
TEST_F(TextureConvert, BmpKeepsAlphaAndTopDownSourcesAreDecoded) {
  Touch(dir_ / "src" / "a.tga", AlphaTga());
  Touch(dir_ / "src" / "down.bmp", SolidBmp(5, 3, 0, 0, 255, true));
  ctx_.options.TextureFormat = 4;
  ctx_.options.PowerOf2 = 1;
  for (const char* name : {"a.tga", "red.bmp", "down.bmp"}) {
    XMaterial r = Record(name, name);
    CopyTextureFiles(ctx_, r);
  }
  const std::string a = Read(dir_ / "out" / "a.bmp");
  ASSERT_GT(a.size(), 54u);
  EXPECT_EQ(U32(a, 14), 108u) << "V4 header";
  EXPECT_EQ(uint8_t(a[28]), 32);
  int w = 0, h = 0, n = 0;
  unsigned char* px = stbi_load((dir_ / "out" / "a.bmp").c_str(), &w, &h, &n, 4);
  ASSERT_NE(px, nullptr);
  int clear = 0;
  for (int i = 0; i < w * h; ++i) clear += px[i * 4 + 3] == 0;
  stbi_image_free(px);
  EXPECT_EQ(clear, 1) << "the transparent pixel stays transparent";
  EXPECT_EQ(uint8_t(Read(dir_ / "out" / "red.bmp")[28]), 24) << "opaque: 24-bit";
  const Decoded down = Decode("down.bmp");
  EXPECT_EQ(down.w, 4) << "resized, so it was decoded";
  EXPECT_EQ(down.h, 4);
  EXPECT_GE(down.first[2], 250);
}

// A bump slot filled through a normal map holds vectors: its DDS levels are renormalised. The same
// file as a colour texture elsewhere is another output, under a name of its own.
TEST_F(TextureConvert, ANormalMapSlotGetsNormalLevelsAndItsOwnFile) {
  std::string tga(18, '\0');  // 8 x 8, 24-bit, columns tilted +-0.6 in x
  tga[2] = 2;
  tga[12] = 8;
  tga[14] = 8;
  tga[16] = 24;
  for (int i = 0; i < 64; ++i) tga += std::string{char(230), char(128), char(i % 2 ? 204 : 51)};
  Touch(dir_ / "src" / "n.tga", tga);
  ctx_.options.TextureFormat = 0;
  XMaterial bump = Record("n.tga", "n.tga"), colour = Record("n.tga", "n.tga");
  bump.slots[0].role = TextureSlotRole::NormalMap;
  ::testing::internal::CaptureStderr();
  CopyTextureFiles(ctx_, bump);
  CopyTextureFiles(ctx_, colour);
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(bump.slots[0].fileName, "n.dds");
  ASSERT_EQ(colour.slots[0].fileName, "n_1.dds");
  const testing::DdsFile normals = testing::ReadDds(Read(dir_ / "out" / "n.dds"));
  const testing::DdsFile colours = testing::ReadDds(Read(dir_ / "out" / "n_1.dds"));
  ASSERT_EQ(normals.levels.size(), 4u);
  ASSERT_EQ(colours.levels.size(), 4u);
  EXPECT_GE(normals.At(1, 0, 0)[2], 250) << "back to unit length";
  EXPECT_LE(colours.At(1, 0, 0)[2], 235) << "blue as it was";
}

// Converted into the format it is already in, at its size: the file as it is, not decoded and
// encoded again.
TEST_F(TextureConvert, ASourceAlreadyInTheFormatIsCopied) {
  ctx_.options.TextureFormat = 4;
  const std::string red = Read(dir_ / "src" / "red.bmp");
  XMaterial r = Record("red.bmp", "red.bmp");
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(r.slots[0].fileName, "red.bmp");
  EXPECT_EQ(Read(dir_ / "out" / "red.bmp"), red);
  ctx_.options.PowerOf2 = 1;
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(Decode("red.bmp").w, 4) << "resized, so encoded";
}

TEST_F(TextureConvert, PowerOfTwoResizesAndKeepsFormatWithoutConversion) {
  ctx_.options.TextureFormat = 1;
  ctx_.options.PowerOf2 = 1;
  XMaterial r = Record("red.bmp", "red.bmp");
  CopyTextureFiles(ctx_, r);
  const Decoded d = Decode("red.png");
  EXPECT_EQ(d.w, 4);
  EXPECT_EQ(d.h, 4);

  ctx_.options.TextureConvert = 0;
  XMaterial same = Record("red.bmp", "red.bmp");
  CopyTextureFiles(ctx_, same);
  EXPECT_EQ(same.slots[0].fileName, "red.bmp");
  EXPECT_EQ(Decode("red.bmp").w, 4) << "re-encoded in its own format at 4 x 4";

  const std::string square = SolidBmp(4, 2, 0, 255, 0);
  Touch(dir_ / "src" / "green.bmp", square);
  XMaterial pow2 = Record("green.bmp", "green.bmp");
  CopyTextureFiles(ctx_, pow2);
  EXPECT_EQ(Read(dir_ / "out" / "green.bmp"), square) << "already a power of two: copied as it is";
}

TEST_F(TextureConvert, UndecodableSourcesAreCopiedUnchanged) {
  Touch(dir_ / "src" / "fake.png", "not an image");
  ctx_.options.TextureFormat = 0;
  XMaterial r = Record("fake.png", "fake.png");
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(r.slots[0].fileName, "fake.png");
  EXPECT_EQ(Read(dir_ / "out" / "fake.png"), "not an image");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "fake.dds"));
}

// A png whose last bytes are lost (its end chunk and checksum) still holds every row and is
// converted; one cut inside its rows is copied as it is, said once, and the .X names the copy.
TEST_F(TextureConvert, ADamagedPngIsConvertedWhileItsRowsAreThereElseCopied) {
  std::vector<uint8_t> rgba(64 * 64 * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i % 4 == 3 ? 255 : (i * 7) % 251);
  const std::vector<uint8_t> png = EncodePng(rgba.data(), 64, 64, false);
  const std::string whole(png.begin(), png.end());
  ASSERT_GT(whole.size(), 400u);
  Touch(dir_ / "src" / "tail.png", whole.substr(0, whole.size() - 20));
  Touch(dir_ / "src" / "half.png", whole.substr(0, whole.size() / 2));
  ctx_.options.TextureFormat = 2;
  XMaterial tail = Record("tail.png", "tail.png"), half = Record("half.png", "half.png"),
            again = Record("half.png", "half.png");
  ::testing::internal::CaptureStderr();
  for (XMaterial* r : {&tail, &half, &again}) CopyTextureFiles(ctx_, *r);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(tail.slots[0].fileName, "tail.tga");
  EXPECT_EQ(Decode("tail.tga").w, 64);
  EXPECT_EQ(Decode("tail.tga").first[1], 7) << "the pixels, not a blank image";
  EXPECT_EQ(half.slots[0].fileName, "half.png");
  EXPECT_EQ(again.slots[0].fileName, "half.png");
  EXPECT_EQ(Read(dir_ / "out" / "half.png"), whole.substr(0, whole.size() / 2));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "half.tga"));
  EXPECT_EQ(err, "vorn: texture '" + Dir() + "/src/half.png' could not be decoded: copied as it is\n");
}

TEST_F(TextureConvert, ExistingConvertedTargetsStayWithoutOverwrite) {
  ctx_.options.TextureFormat = 2;
  ctx_.options.OverwriteTexture = 0;
  Touch(dir_ / "out" / "red.tga", "kept");
  XMaterial r = Record("red.bmp", "red.bmp");
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(Read(dir_ / "out" / "red.tga"), "kept");
  EXPECT_EQ(r.slots[0].fileName, "red.tga");
  ctx_.options.TextureFiles = 0;
  XMaterial off = Record("red.bmp", "red.bmp");
  CopyTextureFiles(ctx_, off);
  EXPECT_EQ(off.slots[0].fileName, "red.bmp") << "nothing copied, nothing renamed";
}

// Exported into the folder that holds its textures: a source is only ever read, whatever the
// spelling of the path that reaches it.
class SourceInOutputFolder : public TextureConvert {
 protected:
  void SetUp() override {
    TextureConvert::SetUp();
    Touch(dir_ / "out" / "red.bmp", SolidBmp(5, 3, 255, 0, 0));
    std::filesystem::create_directory_symlink(dir_ / "out", dir_ / "link");
  }
  XMaterial InOut(const std::string& spelling) {
    XMaterial r;
    r.slots[0].mapChannel = 1;
    r.slots[0].fileName = "red.bmp";
    r.slots[0].sourcePath = Dir() + spelling;
    return r;
  }
  std::filesystem::path Source() const { return dir_ / "out" / "red.bmp"; }
};

TEST_F(SourceInOutputFolder, ConversionToItsOwnFormatOrSizeLeavesItAndSaysWhy) {
  const std::string before = Read(Source());
  struct stat was {};
  ASSERT_EQ(::stat(Source().c_str(), &was), 0);
  struct Case {
    int convert, format, pow2;
    const char* said;
  };
  // Converted to the format it holds it would only be copied: that loses nothing, so nothing is said.
  for (const Case& c : {Case{0, 0, 1, "not resized to 4 x 4"}, Case{1, 4, 1, "not resized to 4 x 4"},
                        Case{1, 4, 0, nullptr}}) {
    for (const char* spelling : {"/out/red.bmp", "/out/../out/./red.bmp", "/link/red.bmp"}) {
      SCOPED_TRACE(std::string(spelling) + " " + (c.said ? c.said : "silent"));
      ExportContext ctx;
      ctx.options.TextureConvert = c.convert;
      ctx.options.TextureFormat = c.format;
      ctx.options.PowerOf2 = c.pow2;
      ctx.outputDirectory = ctx_.outputDirectory;
      XMaterial r = InOut(spelling);
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(CopyTextureFiles(ctx, r), 1);
      CopyTextureFiles(ctx, r);
      const std::string err = ::testing::internal::GetCapturedStderr();
      EXPECT_EQ(Read(Source()), before);
      EXPECT_EQ(r.slots[0].fileName, "red.bmp") << "named as it is";
      if (!c.said) {
        EXPECT_EQ(err, "");
        continue;
      }
      EXPECT_NE(err.find(std::string("texture '") + Dir() + spelling + "' kept unconverted (" + c.said + ")"),
                std::string::npos) << err;
      EXPECT_EQ(err.find("kept"), err.rfind("kept")) << "told once: " << err;
    }
  }
  struct stat is {};
  ASSERT_EQ(::stat(Source().c_str(), &is), 0);
  EXPECT_EQ(is.st_ino, was.st_ino) << "the source file itself, not a copy";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "out"), {}), 1) << "nothing else written";
}

// Named as a bmp but holding a png: converting it to bmp would change it, so leaving it is said.
TEST_F(SourceInOutputFolder, ASourceNotInTheFormatItsNameSaysIsNotConvertedOverItself) {
  const std::vector<uint8_t> rgba(5 * 3 * 4, 0xff);
  const std::vector<uint8_t> png = EncodePng(rgba.data(), 5, 3, false);
  const std::string bytes(png.begin(), png.end());
  Touch(dir_ / "out" / "pic.bmp", bytes);
  ctx_.options.TextureFormat = 4;
  XMaterial r = InOut("/out/pic.bmp");
  r.slots[0].fileName = "pic.bmp";
  ::testing::internal::CaptureStderr();
  CopyTextureFiles(ctx_, r);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Read(dir_ / "out" / "pic.bmp"), bytes);
  EXPECT_NE(err.find("kept unconverted (not converted to bmp)"), std::string::npos) << err;
}

TEST_F(SourceInOutputFolder, AHardLinkOrALinkAtTheTargetIsTheSourceToo) {
  const std::string before = Read(Source());
  Touch(dir_ / "src" / "keep.bmp", before);
  std::filesystem::create_hard_link(dir_ / "src" / "keep.bmp", dir_ / "out" / "hard.bmp");
  std::filesystem::create_symlink(dir_ / "src" / "keep.bmp", dir_ / "out" / "soft.bmp");
  ctx_.options.TextureConvert = 0;
  ctx_.options.PowerOf2 = 1;
  for (const char* name : {"hard.bmp", "soft.bmp"}) {
    XMaterial r = Record("keep.bmp", name);
    ctx_.texturesTold.clear();  // one source, told once per export: each name as its own export
    ::testing::internal::CaptureStderr();
    CopyTextureFiles(ctx_, r);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("kept unconverted"), std::string::npos) << name;
    EXPECT_EQ(r.slots[0].fileName, name);
  }
  EXPECT_EQ(Read(dir_ / "src" / "keep.bmp"), before);
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "out" / "soft.bmp")) << "the link is kept, it names the source";
  EXPECT_EQ(std::filesystem::hard_link_count(dir_ / "src" / "keep.bmp"), 2u);
}

TEST_F(SourceInOutputFolder, ACopyWithoutConversionIsNotWrittenOverItself) {
  ctx_.options.TextureConvert = 0;
  ctx_.options.PowerOf2 = 0;
  struct stat before {};
  ASSERT_EQ(::stat(Source().c_str(), &before), 0);
  XMaterial r = InOut("/link/red.bmp");
  ::testing::internal::CaptureStderr();
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "nothing to tell: the file is where it belongs";
  struct stat after {};
  ASSERT_EQ(::stat(Source().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "not replaced by a copy of itself";
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(r.slots[0].fileName, "red.bmp");
}

TEST_F(SourceInOutputFolder, AnotherFileOfTheTargetsNameIsStillReplaced) {
  // A stale copy beside the .X is not the source: conversion goes on over it.
  ctx_.options.PowerOf2 = 1;
  ctx_.options.TextureConvert = 0;
  Touch(dir_ / "out" / "stale.bmp", "stale");
  XMaterial r = Record("red.bmp", "stale.bmp");
  ::testing::internal::CaptureStderr();
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Decode("stale.bmp").w, 4);
}

// Another material's source in the output folder is only read too: a copy, a conversion or a
// rendered image whose name would land on it takes the next free name, and the record names that.
TEST_F(SourceInOutputFolder, AnotherMaterialsSourceIsNeverAnOutput) {
  Load(R"("texmaps": {"chk": {"type": "checker"}})");
  const std::string blue = SolidBmp(2, 2, 0, 0, 255);
  Touch(Source(), blue);
  Touch(dir_ / "out" / "red_1.bmp", blue);
  Touch(dir_ / "out" / "red.png", "a source of its own");
  Touch(dir_ / "out" / "chk.bmp", blue);
  auto other = std::make_unique<XMaterial>();
  for (int k = 0; k < 4; ++k) {
    other->slots[k].mapChannel = 1;
    other->slots[k].sourcePath = Dir() + "/out/" + std::array{"red.bmp", "red_1.bmp", "red.png", "chk.bmp"}[k];
  }
  ctx_.materials.push_back(std::move(other));
  NoteSourceFiles(ctx_);
  const std::string told = "' in the output folder is a source of this export and is only read\n";
  struct Case {
    int convert;
    const char* name;  // what the record names
    int width;         // of the file under that name
  };
  for (const Case& c : {Case{0, "red_2.bmp", 5}, Case{1, "red_1.png", 5}}) {
    SCOPED_TRACE(c.name);
    ctx_.options.TextureConvert = c.convert;
    ctx_.options.TextureFormat = 1;
    XMaterial r = Record("red.bmp", "red.bmp");
    ::testing::internal::CaptureStderr();
    CopyTextureFiles(ctx_, r);
    CopyTextureFiles(ctx_, r);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.slots[0].fileName, c.name);
    EXPECT_EQ(Decode(c.name).w, c.width);
    EXPECT_EQ(Decode(c.name).first, (std::array<int, 4>{255, 0, 0, 255})) << "the red source, not a blue one";
    EXPECT_EQ(err, "vorn: texture '" + Dir() + "/src/red.bmp' written as '" + c.name + "': '" +
                       (c.convert ? "red.png" : "red.bmp") + told) << "once, on the first write";
  }
  XMaterial map;
  map.slots[0].mapChannel = 1;
  map.slots[0].name = "chk";
  map.slots[0].proceduralMap = doc_->FindTexmap("chk");
  ::testing::internal::CaptureStderr();
  CopyTextureFiles(ctx_, map);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn: procedural map 'chk' written as 'chk_1.bmp': 'chk.bmp" + told);
  EXPECT_EQ(map.slots[0].fileName, "chk_1.bmp");
  EXPECT_EQ(Decode("chk_1.bmp").w, 256);
  for (const char* name : {"red.bmp", "red_1.bmp", "chk.bmp"}) EXPECT_EQ(Read(dir_ / "out" / name), blue) << name;
  EXPECT_EQ(Read(dir_ / "out" / "red.png"), "a source of its own");
}

// Two sources of one bare name. Converted, the second takes the next name instead of replacing the
// first, and the same source converted again keeps its name; copied as they are, both keep the bare
// name and the later copy is the one in the folder.
TEST_F(TextureConvert, OneNameHoldsOneSourceWhenConverted) {
  ctx_.options.TextureConvert = 1;
  ctx_.options.TextureFormat = 1;
  Touch(dir_ / "src" / "sub" / "red.bmp", SolidBmp(2, 2, 0, 0, 255));
  XMaterial first = Record("red.bmp", "red.bmp"), second = Record("sub/red.bmp", "red.bmp"),
            again = Record("red.bmp", "red.bmp");
  ::testing::internal::CaptureStderr();
  for (XMaterial* r : {&first, &second, &again}) CopyTextureFiles(ctx_, *r);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(first.slots[0].fileName, "red.png");
  EXPECT_EQ(second.slots[0].fileName, "red_1.png");
  EXPECT_EQ(again.slots[0].fileName, "red.png");
  EXPECT_EQ(Decode("red.png").first, (std::array<int, 4>{255, 0, 0, 255}));
  EXPECT_EQ(Decode("red_1.png").first, (std::array<int, 4>{0, 0, 255, 255}));
  EXPECT_EQ(err, "vorn: texture '" + Dir() + "/src/sub/red.bmp' written as 'red_1.png': 'red.png' in the output "
                 "folder is another file of this export\n");

  ctx_.options.TextureConvert = 0;
  XMaterial plain = Record("red.bmp", "red.bmp"), plainSub = Record("sub/red.bmp", "red.bmp");
  ::testing::internal::CaptureStderr();
  for (XMaterial* r : {&plain, &plainSub}) CopyTextureFiles(ctx_, *r);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(plain.slots[0].fileName, "red.bmp");
  EXPECT_EQ(plainSub.slots[0].fileName, "red.bmp");
  EXPECT_EQ(Read(dir_ / "out" / "red.bmp"), Read(dir_ / "src" / "sub" / "red.bmp"));
  EXPECT_EQ(err, "vorn: texture '" + Dir() + "/src/sub/red.bmp' and another file of this export are both named "
                 "'red.bmp': the folder keeps one\n");
}

// Two procedural maps under one slot name render to one image name, as the host names them; the
// loss is said once, and the same map in a second material is no loss.
TEST_F(TextureConvert, TwoMapsOfOneNameAreSaid) {
  Load(R"("texmaps": {"a": {"type": "checker"}, "b": {"type": "checker"}})");
  auto slot = [&](const char* map) {
    XMaterial r;
    r.slots[0].mapChannel = 1;
    r.slots[0].name = "Checker";
    r.slots[0].proceduralMap = doc_->FindTexmap(map);
    return r;
  };
  XMaterial a = slot("a"), again = slot("a"), b = slot("b"), bAgain = slot("b");
  ::testing::internal::CaptureStderr();
  for (XMaterial* r : {&a, &again, &b, &bAgain}) CopyTextureFiles(ctx_, *r);
  const std::string err = ::testing::internal::GetCapturedStderr();
  for (XMaterial* r : {&a, &b}) EXPECT_EQ(r->slots[0].fileName, "Checker.bmp");
  EXPECT_EQ(err, "vorn: procedural map 'Checker' and another file of this export are both named 'Checker.bmp': the "
                 "folder keeps one\n");

  // A size the host's bitmaps cannot hold renders nothing and says why, once; the slot still names
  // the image.
  std::filesystem::remove(dir_ / "out" / "Checker.bmp");
  ExportContext small;
  small.host = ctx_.host;
  small.outputDirectory = ctx_.outputDirectory;
  small.options.ProcMapX = 0;
  XMaterial c = slot("a"), d = slot("b");
  ::testing::internal::CaptureStderr();
  for (XMaterial* r : {&c, &d}) CopyTextureFiles(small, *r);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn: procedural maps not rendered: ProcMapX x ProcMapY is 0 x 256, each must be 1 to 65535\n");
  EXPECT_EQ(c.slots[0].fileName, "Checker.bmp");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "Checker.bmp"));
}

}  // namespace
}  // namespace vorn
