// A reader of DXT1 and DXT5 DDS files written from the published layout, independent of our
// writer: the header, each mip level's size and offset, and its texels decoded.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vorn::testing {

struct DdsLevel {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // decoded, width * height * 4
};

struct DdsFile {
  uint32_t flags = 0, pitchOrLinearSize = 0, mipMapCount = 0, caps = 0;
  int width = 0, height = 0;
  std::string fourCC;
  std::vector<DdsLevel> levels;
  size_t unreadBytes = 0;  // after the last level; 0 in a well-formed file
  std::string error;
  const uint8_t* At(int level, int x, int y) const {
    const DdsLevel& l = levels[size_t(level)];
    return &l.rgba[(size_t(y) * size_t(l.width) + size_t(x)) * 4];
  }
};

namespace dds_detail {

inline uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(s[at + size_t(i)]);
  return v;
}

inline void Colour565(uint32_t c, int out[3]) {
  out[0] = int((c >> 11) & 31) * 255 / 31;
  out[1] = int((c >> 5) & 63) * 255 / 63;
  out[2] = int(c & 31) * 255 / 31;
}

// One colour block: 4 x 4 RGB (alpha set to 255 here, DXT1's transparent index to 0).
inline void DecodeColour(const uint8_t* b, bool dxt1, uint8_t out[64]) {
  const uint32_t c0 = uint32_t(b[0] | b[1] << 8), c1 = uint32_t(b[2] | b[3] << 8);
  int p[4][4];
  Colour565(c0, p[0]);
  Colour565(c1, p[1]);
  p[0][3] = p[1][3] = p[2][3] = p[3][3] = 255;
  for (int k = 0; k < 3; ++k) {
    if (c0 > c1 || !dxt1) {
      p[2][k] = (2 * p[0][k] + p[1][k]) / 3;
      p[3][k] = (p[0][k] + 2 * p[1][k]) / 3;
    } else {
      p[2][k] = (p[0][k] + p[1][k]) / 2;
      p[3][k] = 0;
    }
  }
  if (dxt1 && c0 <= c1) p[3][3] = 0;
  const uint32_t bits = uint32_t(b[4] | b[5] << 8 | b[6] << 16) | uint32_t(b[7]) << 24;
  for (int i = 0; i < 16; ++i)
    for (int k = 0; k < 4; ++k) out[i * 4 + k] = uint8_t(p[(bits >> (2 * i)) & 3][k]);
}

inline void DecodeAlpha(const uint8_t* b, uint8_t out[64]) {
  int a[8] = {b[0], b[1]};
  for (int i = 2; i < 8; ++i)
    a[i] = a[0] > a[1] ? ((8 - i) * a[0] + (i - 1) * a[1]) / 7
                       : i < 6 ? ((6 - i) * a[0] + (i - 1) * a[1]) / 5 : i == 6 ? 0 : 255;
  uint64_t bits = 0;
  for (int i = 7; i >= 2; --i) bits = bits << 8 | b[i];
  for (int i = 0; i < 16; ++i) out[i * 4 + 3] = uint8_t(a[(bits >> (3 * i)) & 7]);
}

}  // namespace dds_detail

inline DdsFile ReadDds(const std::string& bytes) {
  using namespace dds_detail;
  DdsFile f;
  if (bytes.size() < 128 || bytes.compare(0, 4, "DDS ") != 0 || U32(bytes, 4) != 124 || U32(bytes, 76) != 32) {
    f.error = "not a DDS header";
    return f;
  }
  f.flags = U32(bytes, 8);
  f.height = int(U32(bytes, 12));
  f.width = int(U32(bytes, 16));
  f.pitchOrLinearSize = U32(bytes, 20);
  f.mipMapCount = U32(bytes, 28);
  f.fourCC = bytes.substr(84, 4);
  f.caps = U32(bytes, 108);
  const bool dxt1 = f.fourCC == "DXT1";
  if (!dxt1 && f.fourCC != "DXT5") {
    f.error = "not DXT1 or DXT5";
    return f;
  }
  const size_t blockBytes = dxt1 ? 8 : 16;
  const int count = (f.flags & 0x20000) && f.mipMapCount > 0 ? int(f.mipMapCount) : 1;
  size_t at = 128;
  for (int l = 0; l < count; ++l) {
    DdsLevel level;
    level.width = f.width >> l > 0 ? f.width >> l : 1;
    level.height = f.height >> l > 0 ? f.height >> l : 1;
    const int bw = (level.width + 3) / 4, bh = (level.height + 3) / 4;
    if (at + size_t(bw) * size_t(bh) * blockBytes > bytes.size()) {
      f.error = "level " + std::to_string(l) + " runs past the end";
      return f;
    }
    level.rgba.resize(size_t(level.width) * size_t(level.height) * 4);
    uint8_t texels[64];
    for (int by = 0; by < bh; ++by) {
      for (int bx = 0; bx < bw; ++bx, at += blockBytes) {
        const auto* b = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        DecodeColour(dxt1 ? b : b + 8, dxt1, texels);
        if (!dxt1) DecodeAlpha(b, texels);
        for (int y = 0; y < 4; ++y)
          for (int x = 0; x < 4; ++x)
            if (bx * 4 + x < level.width && by * 4 + y < level.height)
              std::memcpy(&level.rgba[(size_t(by * 4 + y) * size_t(level.width) + size_t(bx * 4 + x)) * 4],
                          texels + (y * 4 + x) * 4, 4);
      }
    }
    f.levels.push_back(std::move(level));
  }
  f.unreadBytes = bytes.size() - at;
  return f;
}

}  // namespace vorn::testing
