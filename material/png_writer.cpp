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

uint32_t AbsSum(const uint8_t* row, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<uint32_t>(std::abs(static_cast<int8_t>(row[i])));
  return sum;
}

// The filter of one row that gives the smallest sum of absolute differences (the usual
// heuristic), written with its type byte at out. up is the row above, zeros for the first;
// trial holds 5 rows of n bytes. One loop per filter, so that each vectorises.
void FilterRow(const uint8_t* cur, const uint8_t* up, size_t n, size_t bpp, uint8_t* trial, uint8_t* out) {
  uint8_t* t[5] = {trial, trial + n, trial + 2 * n, trial + 3 * n, trial + 4 * n};
  std::memcpy(t[0], cur, n);
  for (size_t i = 0; i < bpp; ++i) {
    t[1][i] = cur[i];
    t[2][i] = static_cast<uint8_t>(cur[i] - up[i]);
    t[3][i] = static_cast<uint8_t>(cur[i] - (up[i] >> 1));
    t[4][i] = static_cast<uint8_t>(cur[i] - up[i]);  // Paeth of (0, b, 0) is b
  }
  for (size_t i = bpp; i < n; ++i) t[1][i] = static_cast<uint8_t>(cur[i] - cur[i - bpp]);
  for (size_t i = bpp; i < n; ++i) t[2][i] = static_cast<uint8_t>(cur[i] - up[i]);
  for (size_t i = bpp; i < n; ++i) t[3][i] = static_cast<uint8_t>(cur[i] - ((cur[i - bpp] + up[i]) >> 1));
  for (size_t i = bpp; i < n; ++i)
    t[4][i] = static_cast<uint8_t>(cur[i] - Paeth(cur[i - bpp], up[i], up[i - bpp]));
  int best = 0;
  uint32_t bestSum = AbsSum(t[0], n);
  for (int f = 1; f < 5; ++f) {
    const uint32_t sum = AbsSum(t[f], n);
    if (sum < bestSum) {
      bestSum = sum;
      best = f;
    }
  }
  out[0] = static_cast<uint8_t>(best);
  std::memcpy(out + 1, t[best], n);
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
    std::vector<uint8_t> rows(rowBytes * 7);  // the row above (zeros above the first), this row, 5 trials
    uint8_t *up = rows.data(), *cur = up + rowBytes, *trial = cur + rowBytes;
    if (y0 > 0) PackRow(rgba + (y0 - 1) * size_t(w) * 4, w, channels, up);
    for (size_t y = y0; y < y1; ++y) {
      PackRow(rgba + y * size_t(w) * 4, w, channels, cur);
      FilterRow(cur, up, rowBytes, size_t(channels), trial, &filtered[y * (rowBytes + 1)]);
      std::swap(up, cur);
    }
  });
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
      libdeflate_alloc_compressor(kDeflateLevel), libdeflate_free_compressor);
  if (!compressor) return {};
  // Deflated straight into the file, into one IDAT chunk after the signature and the header, so
  // that no second copy of the data is held.
  constexpr size_t kIdatData = 8 + 25 + 8;
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filtered.size());
  if (bound > 0x7fffffffu) return {};
  std::vector<uint8_t> out(kIdatData + bound);
  const size_t packed = libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered.size(),
                                                 out.data() + kIdatData, bound);
  if (packed == 0) return {};
  filtered = {};
  out.resize(kIdatData + packed);
  std::vector<uint8_t> head(8);
  std::memcpy(head.data(), "\x89PNG\r\n\x1a\n", 8);
  uint8_t ihdr[13] = {};
  Put32BE(ihdr, uint32_t(w));
  Put32BE(ihdr + 4, uint32_t(h));
  ihdr[8] = 8;               // bits a channel
  ihdr[9] = opaque ? 2 : 6;  // truecolour, with alpha or not
  AppendChunk(head, "IHDR", ihdr, sizeof ihdr);
  std::memcpy(out.data(), head.data(), 33);
  Put32BE(&out[33], static_cast<uint32_t>(packed));
  std::memcpy(&out[37], "IDAT", 4);
  const uint32_t crc = libdeflate_crc32(libdeflate_crc32(0, "IDAT", 4), out.data() + kIdatData, packed);
  uint8_t tail[4];
  Put32BE(tail, crc);
  out.insert(out.end(), tail, tail + 4);
  AppendChunk(out, "IEND", nullptr, 0);
  return out;
}

}  // namespace vorn
