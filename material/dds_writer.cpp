#include "material/dds_writer.h"

#include <algorithm>
#include <cstring>

#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb/stb_dxt.h>
#pragma GCC diagnostic pop

#include "host/parallel.h"

namespace vorn {

namespace {

constexpr uint32_t kCaps = 0x1, kHeight = 0x2, kWidth = 0x4, kPixelFormat = 0x1000, kMipMapCount = 0x20000,
                   kLinearSize = 0x80000;
constexpr uint32_t kCapsComplex = 0x8, kCapsTexture = 0x1000, kCapsMipMap = 0x400000;
constexpr uint32_t kFourCC = 0x4;

void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

size_t LevelBytes(int w, int h, size_t blockBytes) { return size_t((w + 3) / 4) * size_t((h + 3) / 4) * blockBytes; }

// The blocks of one level, written at out; block rows are split over two threads.
void CompressLevel(const uint8_t* rgba, int w, int h, bool alpha, bool twoCores, uint8_t* out) {
  const int bw = (w + 3) / 4, bh = (h + 3) / 4;
  const size_t blockBytes = alpha ? 16 : 8;
  ForEachHalf(size_t(bh), twoCores && WorthTwoCores(size_t(w) * size_t(h)), [&](size_t by0, size_t by1) {
    uint8_t block[64];
    for (size_t by = by0; by < by1; ++by) {
      uint8_t* dst = out + by * size_t(bw) * blockBytes;
      for (int bx = 0; bx < bw; ++bx, dst += blockBytes) {
        for (int y = 0; y < 4; ++y) {
          const int sy = std::min(int(by) * 4 + y, h - 1);
          for (int x = 0; x < 4; ++x) {
            const int sx = std::min(bx * 4 + x, w - 1);
            std::memcpy(block + (y * 4 + x) * 4, rgba + (size_t(sy) * size_t(w) + size_t(sx)) * 4, 4);
          }
        }
        stb_compress_dxt_block(dst, block, alpha ? 1 : 0, STB_DXT_HIGHQUAL);
      }
    }
  });
}

}  // namespace

std::vector<uint8_t> EncodeDds(const uint8_t* rgba, int w, int h, const DdsSettings& settings) {
  bool alpha = false;
  for (size_t i = 3; i < size_t(w) * size_t(h) * 4 && !alpha; i += 4) alpha = rgba[i] != 255;
  const size_t blockBytes = alpha ? 16 : 8;
  const int levels = settings.mipmaps ? MipLevelCount(w, h) : 1;
  size_t total = 128;
  for (int l = 0; l < levels; ++l) total += LevelBytes(std::max(1, w >> l), std::max(1, h >> l), blockBytes);
  std::vector<uint8_t> out(total, 0);
  uint8_t* header = out.data();
  std::memcpy(header, "DDS ", 4);
  Put32(header + 4, 124);
  Put32(header + 8, kCaps | kHeight | kWidth | kPixelFormat | kLinearSize | (levels > 1 ? kMipMapCount : 0));
  Put32(header + 12, uint32_t(h));
  Put32(header + 16, uint32_t(w));
  Put32(header + 20, uint32_t(LevelBytes(w, h, blockBytes)));  // the top level's size
  Put32(header + 28, levels > 1 ? uint32_t(levels) : 0);
  Put32(header + 76, 32);  // pixel format size
  Put32(header + 80, kFourCC);
  std::memcpy(header + 84, alpha ? "DXT5" : "DXT1", 4);
  Put32(header + 108, kCapsTexture | (levels > 1 ? kCapsComplex | kCapsMipMap : 0));

  uint8_t* at = out.data() + 128;
  MipChain chain(rgba, w, h, settings.space);
  for (int l = 0; l < levels; ++l) {
    if (l > 0) chain.Next(settings.twoCores);
    CompressLevel(chain.Rgba(), chain.Width(), chain.Height(), alpha, settings.twoCores, at);
    at += LevelBytes(chain.Width(), chain.Height(), blockBytes);
  }
  return out;
}

}  // namespace vorn
