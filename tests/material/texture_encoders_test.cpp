// The DDS and PNG writers read back by readers of their own: levels, filters, exact pixels, and
// the same bytes on one core and two.
#include <gtest/gtest.h>

#include <libdeflate.h>

#include <cmath>
#include <filesystem>
#include <cstdint>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "material/dds_writer.h"
#include "material/png_reader.h"
#include "material/png_writer.h"
#include "tests/support/dds_reader.h"
#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

using testing::DdsFile;
using testing::ReadDds;

struct Image {
  int w, h;
  std::vector<uint8_t> rgba;
  Image(int width, int height) : w(width), h(height), rgba(size_t(width) * size_t(height) * 4, 255) {}
  uint8_t* At(int x, int y) { return &rgba[(size_t(y) * size_t(w) + size_t(x)) * 4]; }
};

// Texels that compress badly and filter differently on every row: a fixed pseudo-random noise
// over a gradient.
Image Noise(int w, int h, bool alpha) {
  Image im(w, h);
  uint32_t s = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = im.At(x, y);
      for (int c = 0; c < 4; ++c) {
        s = s * 1664525u + 1013904223u;
        p[c] = uint8_t((x * 255 / w + (s >> 27)) & 255);
      }
      if (!alpha) p[3] = 255;
    }
  return im;
}

std::string Dds(const Image& im, DdsSettings settings) {
  const std::vector<uint8_t> bytes = EncodeDds(im.rgba.data(), im.w, im.h, settings);
  return std::string(bytes.begin(), bytes.end());
}

TEST(DdsWriter, EveryLevelDownToOneTexelAsTheLayoutSays) {
  const DdsFile f = ReadDds(Dds(Noise(37, 10, false), {}));
  ASSERT_EQ(f.error, "");
  EXPECT_EQ(f.fourCC, "DXT1");
  EXPECT_EQ(f.flags, 0x1u | 0x2 | 0x4 | 0x1000 | 0x20000 | 0x80000) << "mip count and linear size set";
  EXPECT_EQ(f.caps, 0x1000u | 0x8 | 0x400000) << "texture, complex, mip map";
  EXPECT_EQ(f.mipMapCount, 6u);
  EXPECT_EQ(f.pitchOrLinearSize, 10u * 3 * 8) << "the top level's bytes";
  const int sizes[][2] = {{37, 10}, {18, 5}, {9, 2}, {4, 1}, {2, 1}, {1, 1}};
  ASSERT_EQ(f.levels.size(), 6u);
  for (size_t l = 0; l < 6; ++l) {
    EXPECT_EQ(f.levels[l].width, sizes[l][0]) << l;
    EXPECT_EQ(f.levels[l].height, sizes[l][1]) << l;
  }
  EXPECT_EQ(f.unreadBytes, 0u) << "nothing after the last level";

  const DdsFile one = ReadDds(Dds(Noise(37, 10, true), {false, TexelSpace::Colour, true}));
  EXPECT_EQ(one.fourCC, "DXT5");
  EXPECT_EQ(one.flags & 0x20000, 0u);
  EXPECT_EQ(one.caps, 0x1000u) << "a single level is a plain texture";
  EXPECT_EQ(one.levels.size(), 1u);
  EXPECT_EQ(one.unreadBytes, 0u);
  EXPECT_EQ(one.pitchOrLinearSize, 10u * 3 * 16);
}

// Black and white texels side by side: in linear light their average is half the light, which is
// 188 in sRGB, not the 128 of averaging the stored numbers. Alpha averages as it is.
TEST(DdsWriter, ColourLevelsAverageLightAndAlphaAsNumbers) {
  Image im(8, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      uint8_t* p = im.At(x, y);
      p[0] = p[1] = p[2] = (x + y) % 2 ? 255 : 0;
      p[3] = (x + y) % 2 ? 255 : 55;
    }
  const DdsFile f = ReadDds(Dds(im, {}));
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.levels.size(), 4u);
  for (int l = 1; l < 4; ++l) {
    const uint8_t* p = f.At(l, 0, 0);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], 188, 4) << "level " << l;
    EXPECT_NEAR(p[3], 155, 3) << "level " << l;
  }
}

// Two tilted normals side by side average to a shorter vector straight up; renormalised it is
// (0, 0, 1) again, where a colour average would leave blue at 0.8.
TEST(DdsWriter, NormalMapLevelsAreRenormalised) {
  Image im(8, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      uint8_t* p = im.At(x, y);
      p[0] = x % 2 ? 204 : 51;  // x = +-0.6
      p[1] = 128;
      p[2] = 230;  // z = 0.8
    }
  const DdsFile normals = ReadDds(Dds(im, {true, TexelSpace::Normal, true}));
  const DdsFile colours = ReadDds(Dds(im, {true, TexelSpace::Colour, true}));
  ASSERT_EQ(normals.levels.size(), 4u);
  for (int l = 1; l < 4; ++l) {
    EXPECT_NEAR(normals.At(l, 0, 0)[0], 128, 4) << l;
    EXPECT_GE(normals.At(l, 0, 0)[2], 250) << l;
    EXPECT_LE(colours.At(l, 0, 0)[2], 235) << l;
  }
}

TEST(DdsWriter, OneCoreAndTwoWriteTheSameBytes) {
  for (const bool alpha : {false, true}) {
    const Image im = Noise(515, 300, alpha);  // enough texels for the second thread
    for (const TexelSpace space : {TexelSpace::Colour, TexelSpace::Normal}) {
      const std::string two = Dds(im, {true, space, true});
      EXPECT_EQ(Dds(im, {true, space, false}), two);
      EXPECT_EQ(Dds(im, {true, space, true}), two) << "again";
      EXPECT_EQ(ReadDds(two).levels.size(), 10u);
    }
  }
}

std::vector<uint8_t> DecodePng(const std::vector<uint8_t>& file, int& w, int& h, int& channels) {
  unsigned char* px = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &channels, 4);
  std::vector<uint8_t> out;
  if (px) out.assign(px, px + size_t(w) * size_t(h) * 4);
  stbi_image_free(px);
  return out;
}

TEST(PngWriter, LosslessRgbWhenOpaqueRgbaWithAlphaSameOnEveryCoreCount) {
  for (const bool alpha : {false, true}) {
    const Image im = Noise(301, 257, alpha);
    const std::vector<uint8_t> file = EncodePng(im.rgba.data(), im.w, im.h, true);
    ASSERT_GT(file.size(), 33u);
    EXPECT_EQ(file[25], alpha ? 6 : 2) << "colour type";
    int w = 0, h = 0, channels = 0;
    EXPECT_EQ(DecodePng(file, w, h, channels), im.rgba);
    EXPECT_EQ(channels, alpha ? 4 : 3);
    EXPECT_EQ(EncodePng(im.rgba.data(), im.w, im.h, false), file);
    // Every chunk's CRC, which stb_image does not check but libpng does.
    std::vector<std::string> kinds;
    for (size_t at = 8; at + 12 <= file.size();) {
      const uint32_t n = uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 | uint32_t(file[at + 2]) << 8 | file[at + 3];
      ASSERT_LE(at + 12 + n, file.size());
      const uint8_t* crc = &file[at + 8 + n];
      EXPECT_EQ(libdeflate_crc32(0, &file[at + 4], n + 4),
                uint32_t(crc[0]) << 24 | uint32_t(crc[1]) << 16 | uint32_t(crc[2]) << 8 | crc[3]);
      kinds.emplace_back(reinterpret_cast<const char*>(&file[at + 4]), 4);
      at += 12 + n;
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  }
  const Image tiny = Noise(1, 1, false);
  int w = 0, h = 0, channels = 0;
  EXPECT_EQ(DecodePng(EncodePng(tiny.rgba.data(), 1, 1, true), w, h, channels), tiny.rgba);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// A PNG put together chunk by chunk: the given IHDR fields, extra chunks, and rows filtered with
// type 0, deflated whole.
std::string HandMadePng(int w, int h, uint8_t depth, uint8_t type, const std::vector<uint8_t>& rows,
                        const std::vector<std::pair<std::string, std::string>>& extra) {
  std::string out("\x89PNG\r\n\x1a\n", 8);
  auto chunk = [&](const std::string& kind, const std::string& data) {
    for (int i = 3; i >= 0; --i) out.push_back(char(data.size() >> (8 * i)));
    out += kind + data;
    out += "CRC!";  // not read
  };
  std::string ihdr;
  for (uint32_t v : {uint32_t(w), uint32_t(h)})
    for (int i = 3; i >= 0; --i) ihdr.push_back(char(v >> (8 * i)));
  ihdr += std::string{char(depth), char(type), 0, 0, 0};
  chunk("IHDR", ihdr);
  for (const auto& [kind, data] : extra) chunk(kind, data);
  libdeflate_compressor* c = libdeflate_alloc_compressor(6);
  std::vector<uint8_t> z(libdeflate_zlib_compress_bound(c, rows.size()));
  z.resize(libdeflate_zlib_compress(c, rows.data(), rows.size(), z.data(), z.size()));
  libdeflate_free_compressor(c);
  // Split over two IDAT chunks, as most writers do.
  chunk("IDAT", std::string(z.begin(), z.begin() + std::ptrdiff_t(z.size() / 2)));
  chunk("IDAT", std::string(z.begin() + std::ptrdiff_t(z.size() / 2), z.end()));
  chunk("IEND", "");
  return out;
}

std::vector<uint8_t> StbRgba(const std::string& file) {
  int w = 0, h = 0, n = 0;
  unsigned char* px = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(file.data()), int(file.size()), &w,
                                            &h, &n, 4);
  std::vector<uint8_t> out;
  if (px) out.assign(px, px + size_t(w) * size_t(h) * 4);
  stbi_image_free(px);
  return out;
}

std::vector<uint8_t> OursRgba(std::string file) {
  DecodedPng png;
  if (!DecodePng(file, png)) return {};
  return std::vector<uint8_t>(png.rgba.get(), png.rgba.get() + size_t(png.width) * size_t(png.height) * 4);
}

// Every PNG of the examples and the shared models (RGB, RGBA, palette), ours written back, and
// hand-made grey, grey-alpha and palette files with transparency: the texels stb_image reads.
TEST(PngReader, ReadsWhatTheGeneralDecoderReads) {
  std::vector<std::string> files;
  for (const char* dir : {"/examples", "/../shared/models"}) {
    const std::filesystem::path root = std::string(VORN_SOURCE_DIR) + dir;
    if (!std::filesystem::exists(root)) continue;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
      if (e.path().extension() == ".png") files.push_back(testing::ReadText(e.path()));
  }
  ASSERT_GE(files.size(), 1u);
  for (const bool alpha : {false, true}) {
    const Image im = Noise(77, 33, alpha);
    const std::vector<uint8_t> ours = EncodePng(im.rgba.data(), im.w, im.h, true);
    files.emplace_back(ours.begin(), ours.end());
  }
  std::vector<uint8_t> grey, greyAlpha, indexed;
  for (int y = 0; y < 5; ++y) {
    for (auto* rows : {&grey, &greyAlpha, &indexed}) rows->push_back(0);
    for (int x = 0; x < 7; ++x) {
      grey.push_back(uint8_t(x * 30 + y));
      greyAlpha.insert(greyAlpha.end(), {uint8_t(x * 30), uint8_t(y * 50)});
      indexed.push_back(uint8_t((x + y) % 3));
    }
  }
  files.push_back(HandMadePng(7, 5, 8, 0, grey, {}));
  files.push_back(HandMadePng(7, 5, 8, 4, greyAlpha, {{"tEXt", "Comment\0made by hand"}}));
  files.push_back(HandMadePng(7, 5, 8, 3, indexed, {{"PLTE", std::string("\xff\0\0\0\xff\0\0\0\xff", 9)},
                                                    {"tRNS", std::string("\x80\xff", 2)}}));
  for (size_t i = 0; i < files.size(); ++i) {
    const std::vector<uint8_t> expected = StbRgba(files[i]);
    ASSERT_FALSE(expected.empty()) << i;
    EXPECT_EQ(OursRgba(files[i]), expected) << "file " << i;
  }
}

TEST(PngReader, LeavesOtherKindsAndDamageToTheGeneralDecoder) {
  const std::vector<uint8_t> rows = {0, 1, 2, 3, 4, 5, 6};
  EXPECT_TRUE(OursRgba(HandMadePng(1, 1, 16, 2, rows, {})).empty()) << "16 bits";
  EXPECT_TRUE(OursRgba(HandMadePng(3, 1, 8, 0, {0, 1, 2, 3}, {{"tRNS", std::string("\0\1", 2)}})).empty())
      << "a grey colour key";
  const Image im = Noise(40, 20, false);
  const std::vector<uint8_t> good = EncodePng(im.rgba.data(), im.w, im.h, true);
  const std::string whole(good.begin(), good.end());
  for (size_t cut : {size_t(8), size_t(40), whole.size() / 2}) {
    EXPECT_TRUE(OursRgba(whole.substr(0, cut)).empty()) << "cut at " << cut;
  }
  // Cut after its rows (the end chunk, the checksums lost): every row is there, and read.
  for (size_t lost : {size_t(13), size_t(20)})
    EXPECT_EQ(OursRgba(whole.substr(0, whole.size() - lost)), OursRgba(whole)) << lost << " bytes lost";
  std::string bad = whole;
  bad[60] = char(bad[60] ^ 0x55);  // inside the deflate stream
  EXPECT_TRUE(OursRgba(bad).empty());
  EXPECT_EQ(OursRgba(whole).size(), size_t(40 * 20 * 4));
}

}  // namespace
}  // namespace vorn
