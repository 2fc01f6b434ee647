#include "material/png_writer.h"

#include <libdeflate.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>

#include "host/parallel.h"

namespace vorn {

namespace {

// Level 2 of libdeflate: about as small as zlib's default level 6 with adaptive filters, at a
// third of its time (docs/performance.md).
constexpr int kDeflateLevel = 2;

void Put32BE(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void AppendChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
  const size_t at = out.size();
  out.resize(at + 12 + size);
  Put32BE(&out[at], static_cast<uint32_t>(size));
  std::memcpy(&out[at + 4], type, 4);
  if (size) std::memcpy(&out[at + 8], data, size);
  Put32BE(&out[at + 8 + size], libdeflate_crc32(0, &out[at + 4], size + 4));
}

inline int Paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// One row packed to `channels` bytes a texel.
void PackRow(const uint8_t* rgba, int w, int channels, uint8_t* out) {
  if (channels == 4) {
    std::memcpy(out, rgba, size_t(w) * 4);
    return;
  }
  for (int x = 0; x < w; ++x) std::memcpy(out + size_t(x) * 3, rgba + size_t(x) * 4, 3);
}

// The filter of one row that gives the smallest sum of absolute differences (the usual
// heuristic), written with its type byte at out.
void FilterRow(const uint8_t* cur, const uint8_t* up, size_t n, int bpp, uint8_t* trial, uint8_t* out) {
  uint32_t best = ~0u;
  for (int f = 0; f < 5; ++f) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
      const int a = i >= size_t(bpp) ? cur[i - size_t(bpp)] : 0, b = up ? up[i] : 0;
      const int c = up && i >= size_t(bpp) ? up[i - size_t(bpp)] : 0;
      int predicted = 0;
      switch (f) {
        case 1: predicted = a; break;
        case 2: predicted = b; break;
        case 3: predicted = (a + b) >> 1; break;
        case 4: predicted = Paeth(a, b, c); break;
        default: break;
      }
      trial[i] = static_cast<uint8_t>(cur[i] - predicted);
      sum += static_cast<uint32_t>(std::abs(static_cast<int8_t>(trial[i])));
    }
    if (sum < best) {
      best = sum;
      out[0] = static_cast<uint8_t>(f);
      std::memcpy(out + 1, trial, n);
    }
  }
}

}  // namespace

std::vector<uint8_t> EncodePng(const uint8_t* rgba, int w, int h, bool twoCores) {
  if (w <= 0 || h <= 0) return {};
  bool opaque = true;
  for (size_t i = 3; i < size_t(w) * size_t(h) * 4 && opaque; i += 4) opaque = rgba[i] == 255;
  const int channels = opaque ? 3 : 4;
  const size_t rowBytes = size_t(w) * size_t(channels);
  std::vector<uint8_t> filtered(size_t(h) * (rowBytes + 1));
  ForEachHalf(size_t(h), twoCores && WorthTwoCores(size_t(w) * size_t(h)), [&](size_t y0, size_t y1) {
    std::vector<uint8_t> rows(rowBytes * 3);
    uint8_t *up = rows.data(), *cur = up + rowBytes, *trial = cur + rowBytes;
    if (y0 > 0) PackRow(rgba + (y0 - 1) * size_t(w) * 4, w, channels, up);
    for (size_t y = y0; y < y1; ++y) {
      PackRow(rgba + y * size_t(w) * 4, w, channels, cur);
      FilterRow(cur, y > 0 ? up : nullptr, rowBytes, channels, trial, &filtered[y * (rowBytes + 1)]);
      std::swap(up, cur);
    }
  });
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
      libdeflate_alloc_compressor(kDeflateLevel), libdeflate_free_compressor);
  if (!compressor) return {};
  std::vector<uint8_t> idat(libdeflate_zlib_compress_bound(compressor.get(), filtered.size()));
  const size_t packed = libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered.size(), idat.data(),
                                                 idat.size());
  if (packed == 0) return {};
  filtered = {};

  std::vector<uint8_t> out;
  out.reserve(packed + packed / 65536 * 12 + 64);
  out.resize(8);
  std::memcpy(out.data(), "\x89PNG\r\n\x1a\n", 8);
  uint8_t ihdr[13] = {};
  Put32BE(ihdr, uint32_t(w));
  Put32BE(ihdr + 4, uint32_t(h));
  ihdr[8] = 8;                         // bits a channel
  ihdr[9] = opaque ? 2 : 6;            // truecolour, with alpha or not
  AppendChunk(out, "IHDR", ihdr, sizeof ihdr);
  // Chunks of 1 MiB, as common writers do.
  constexpr size_t kChunk = size_t{1} << 20;
  for (size_t at = 0; at < packed; at += kChunk) AppendChunk(out, "IDAT", idat.data() + at, std::min(kChunk, packed - at));
  AppendChunk(out, "IEND", nullptr, 0);
  return out;
}

}  // namespace vorn
