#include "material/png_reader.h"

#include <libdeflate.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vorn {

namespace {

uint32_t Get32BE(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

inline uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Undoes one row's filter in place; up is the row above, already undone (zeros for the first).
bool Unfilter(uint8_t type, uint8_t* row, const uint8_t* up, size_t n, size_t bpp) {
  switch (type) {
    case 0: return true;
    case 1:
      for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
      return true;
    case 2:
      for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
      return true;
    case 3:
      for (size_t i = 0; i < bpp; ++i) row[i] = static_cast<uint8_t>(row[i] + (up[i] >> 1));
      for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - bpp] + up[i]) >> 1));
      return true;
    case 4:
      for (size_t i = 0; i < bpp; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
      for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + Paeth(row[i - bpp], up[i], up[i - bpp]));
      return true;
    default: return false;
  }
}

}  // namespace

bool DecodePng(std::string& file, DecodedPng& out) {
  auto* p = reinterpret_cast<uint8_t*>(file.data());
  const size_t n = file.size();
  if (n < 8 || std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) != 0) return false;
  uint32_t w = 0, h = 0;
  int type = -1;
  uint8_t palette[256][4];
  std::memset(palette, 0, sizeof palette);
  for (auto& entry : palette) entry[3] = 255;
  size_t packed = 0;  // the IDAT chunks' bytes, joined at the start of the file's buffer
  bool ended = false;
  for (size_t at = 8; at + 8 <= n && !ended;) {
    uint32_t length = Get32BE(p + at);
    const uint8_t* type4 = p + at + 4;
    if (n - at < 12 || length > n - at - 12) {
      // A file cut short in its last image data: what is there may hold every row (readers
      // such as browsers show it); the inflate below says whether it does.
      if (std::memcmp(type4, "IDAT", 4) != 0) return false;
      length = uint32_t(n - at - 8);
      ended = true;
    }
    const uint8_t* data = p + at + 8;
    if (std::memcmp(type4, "IHDR", 4) == 0) {
      if (length != 13) return false;
      w = Get32BE(data);
      h = Get32BE(data + 4);
      type = data[9];
      // 8 bits a channel, standard compression and filters, not interlaced
      if (data[8] != 8 || data[10] != 0 || data[11] != 0 || data[12] != 0) return false;
      if (type != 0 && type != 2 && type != 3 && type != 4 && type != 6) return false;
      if (w == 0 || h == 0 || uint64_t(w) * h > (uint64_t{1} << 28)) return false;
    } else if (std::memcmp(type4, "PLTE", 4) == 0) {
      if (length % 3 != 0 || length > 768) return false;
      for (uint32_t i = 0; i < length / 3; ++i) std::memcpy(palette[i], data + i * 3, 3);
    } else if (std::memcmp(type4, "tRNS", 4) == 0) {
      if (type != 3 || length > 256) return false;  // a colour key: the general decoder's
      for (uint32_t i = 0; i < length; ++i) palette[i][3] = data[i];
    } else if (std::memcmp(type4, "IDAT", 4) == 0) {
      std::memmove(p + packed, data, length);  // only over bytes already read
      packed += length;
    } else if (std::memcmp(type4, "IEND", 4) == 0) {
      ended = true;
    } else if (!(type4[0] & 0x20)) {
      return false;  // a critical chunk this reader does not know
    }
    at += 12 + size_t(length);
  }
  if (type < 0 || packed == 0) return false;
  const size_t channels = type == 0 || type == 3 ? 1 : type == 4 ? 2 : type == 2 ? 3 : 4;
  const size_t stride = size_t(w) * channels;
  std::unique_ptr<uint8_t[]> rows(new uint8_t[size_t(h) * (stride + 1)]);
  {
    std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    const size_t size = size_t(h) * (stride + 1);
    if (!inflater) return false;
    // Without its checksum (the file's last bytes lost), the stream itself is still all the rows.
    if (libdeflate_zlib_decompress(inflater.get(), p, packed, rows.get(), size, nullptr) != LIBDEFLATE_SUCCESS &&
        (packed <= 2 || libdeflate_deflate_decompress(inflater.get(), p + 2, packed - 2, rows.get(), size, nullptr) !=
                            LIBDEFLATE_SUCCESS))
      return false;
  }
  file.clear();
  file.shrink_to_fit();
  std::vector<uint8_t> zeros(stride, 0);
  out.width = int(w);
  out.height = int(h);
  out.rgba.reset(new uint8_t[size_t(w) * size_t(h) * 4]);
  const uint8_t* up = zeros.data();
  for (size_t y = 0; y < h; ++y) {
    uint8_t* row = rows.get() + y * (stride + 1) + 1;
    if (!Unfilter(row[-1], row, up, stride, channels)) return false;
    up = row;
    uint8_t* o = out.rgba.get() + y * size_t(w) * 4;
    switch (type) {
      case 0:
        for (size_t x = 0; x < w; ++x, o += 4) o[0] = o[1] = o[2] = row[x], o[3] = 255;
        break;
      case 2:
        for (size_t x = 0; x < w; ++x, o += 4) std::memcpy(o, row + x * 3, 3), o[3] = 255;
        break;
      case 3:
        for (size_t x = 0; x < w; ++x, o += 4) std::memcpy(o, palette[row[x]], 4);
        break;
      case 4:
        for (size_t x = 0; x < w; ++x, o += 4) o[0] = o[1] = o[2] = row[x * 2], o[3] = row[x * 2 + 1];
        break;
      default: std::memcpy(o, row, stride); break;
    }
  }
  return true;
}

}  // namespace vorn
