#include "material/mip_chain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "host/parallel.h"

namespace vorn {

namespace {

// 8-bit sRGB to 16-bit linear light and back; alpha and normals map straight.
struct Tables {
  std::array<uint16_t, 256> toLinear;
  std::vector<uint8_t> toSrgb;  // 65536 entries
  Tables() : toSrgb(65536) {
    for (int v = 0; v < 256; ++v) {
      const double c = v / 255.0;
      const double l = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
      toLinear[v] = static_cast<uint16_t>(std::lround(l * 65535.0));
    }
    for (int l = 0; l < 65536; ++l) {
      const double x = l / 65535.0;
      const double c = x <= 0.0031308 ? x * 12.92 : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
      toSrgb[l] = static_cast<uint8_t>(std::lround(std::clamp(c, 0.0, 1.0) * 255.0));
    }
  }
};

const Tables& LightTables() {
  static const Tables tables;
  return tables;
}

// The source texels one destination texel covers along one axis, with their weights. Halving an
// even size takes two texels; an odd one takes the fractional footprint n/m (up to three).
struct Taps {
  int first[3];
  float weight[3];
  int count;
};

std::vector<Taps> AxisTaps(int n, int m) {
  std::vector<Taps> taps(static_cast<size_t>(m));
  const double scale = static_cast<double>(n) / m;
  for (int x = 0; x < m; ++x) {
    Taps& t = taps[static_cast<size_t>(x)];
    t.count = 0;
    const double lo = x * scale, hi = (x + 1) * scale;
    for (int i = static_cast<int>(lo); i < n && i < hi && t.count < 3; ++i) {
      const double cover = std::min<double>(i + 1, hi) - std::max<double>(i, lo);
      if (cover <= 1e-9) continue;
      t.first[t.count] = i;
      t.weight[t.count] = static_cast<float>(cover / scale);
      ++t.count;
    }
  }
  return taps;
}

uint16_t Round16(float v) { return static_cast<uint16_t>(std::clamp(v, 0.0f, 65535.0f) + 0.5f); }

}  // namespace

int MipLevelCount(int width, int height) {
  int levels = 1;
  for (int size = std::max(width, height); size > 1; size /= 2) ++levels;
  return levels;
}

MipChain::MipChain(const uint8_t* rgba, int width, int height, TexelSpace space)
    : source_(rgba), space_(space), width_(width), height_(height) {}

bool MipChain::Next(bool twoCores) {
  if (width_ <= 1 && height_ <= 1) return false;
  const Tables& tables = LightTables();
  const bool colour = space_ == TexelSpace::Colour;
  const int w = width_, dw = std::max(1, width_ / 2), dh = std::max(1, height_ / 2);
  const std::vector<Taps> tx = AxisTaps(w, dw), ty = AxisTaps(height_, dh);
  // Every texel is written below: no need to clear them first.
  std::unique_ptr<uint16_t[]> linear(new uint16_t[size_t(dw) * size_t(dh) * 4]);
  std::unique_ptr<uint8_t[]> rgba(new uint8_t[size_t(dw) * size_t(dh) * 4]);
  const uint8_t* source = level_ == 0 ? source_ : nullptr;
  const uint16_t* above = linear_.get();
  // One texel of the level above, 16-bit linear.
  auto texel = [&](int x, int y, int c) -> float {
    const size_t i = (size_t(y) * size_t(w) + size_t(x)) * 4 + size_t(c);
    if (!source) return above[i];
    return colour && c < 3 ? tables.toLinear[source[i]] : static_cast<float>(source[i] * 257);
  };
  ForEachHalf(size_t(dh), twoCores && WorthTwoCores(size_t(dw) * size_t(dh)), [&](size_t y0, size_t y1) {
    for (size_t y = y0; y < y1; ++y) {
      const Taps& vy = ty[y];
      for (int x = 0; x < dw; ++x) {
        const Taps& vx = tx[size_t(x)];
        float sum[4] = {0, 0, 0, 0};
        for (int j = 0; j < vy.count; ++j) {
          for (int i = 0; i < vx.count; ++i) {
            const float k = vy.weight[j] * vx.weight[i];
            for (int c = 0; c < 4; ++c) sum[c] += k * texel(vx.first[i], vy.first[j], c);
          }
        }
        uint16_t* out = &linear[(y * size_t(dw) + size_t(x)) * 4];
        uint8_t* out8 = &rgba[(y * size_t(dw) + size_t(x)) * 4];
        if (!colour) {
          // The average of unit vectors is shorter than one: back onto the sphere.
          float n[3], len2 = 0;
          for (int c = 0; c < 3; ++c) {
            n[c] = sum[c] / 65535.0f * 2.0f - 1.0f;
            len2 += n[c] * n[c];
          }
          if (len2 < 1e-12f) {
            n[0] = n[1] = 0;
            n[2] = len2 = 1;
          }
          const float inv = 1.0f / std::sqrt(len2);
          for (int c = 0; c < 3; ++c) sum[c] = (n[c] * inv * 0.5f + 0.5f) * 65535.0f;
        }
        for (int c = 0; c < 4; ++c) {
          out[c] = Round16(sum[c]);
          out8[c] = colour && c < 3 ? tables.toSrgb[out[c]] : static_cast<uint8_t>((out[c] * 255u + 32767u) / 65535u);
        }
      }
    }
  });
  linear_.swap(linear);
  rgba_.swap(rgba);
  width_ = dw;
  height_ = dh;
  ++level_;
  return true;
}

}  // namespace vorn
