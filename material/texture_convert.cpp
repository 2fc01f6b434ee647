#include "material/texture_convert.h"

#include <cstring>
#include <vector>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_WINDOWS_UTF8 0
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <stb/stb_dxt.h>
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

#include "platform/atomic_file.h"

namespace vorn {

namespace {

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<unsigned char>*>(context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

void Put32(std::vector<unsigned char>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// One mip level, DXT1 or DXT5 blocks behind the 128-byte header; edge pixels pad partial blocks.
std::vector<unsigned char> EncodeDds(const unsigned char* rgba, int w, int h) {
  bool alpha = false;
  for (size_t i = 3; i < size_t(w) * size_t(h) * 4 && !alpha; i += 4) alpha = rgba[i] != 255;
  const int bw = (w + 3) / 4, bh = (h + 3) / 4;
  const uint32_t blockBytes = alpha ? 16 : 8;
  const uint32_t linearSize = uint32_t(bw) * uint32_t(bh) * blockBytes;
  std::vector<unsigned char> out;
  out.reserve(128 + linearSize);
  out.insert(out.end(), {'D', 'D', 'S', ' '});
  Put32(out, 124);
  Put32(out, 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000);  // caps, height, width, pixel format, linear size
  Put32(out, uint32_t(h));
  Put32(out, uint32_t(w));
  Put32(out, linearSize);
  Put32(out, 0);  // depth
  Put32(out, 0);  // mip maps
  for (int i = 0; i < 11; ++i) Put32(out, 0);
  Put32(out, 32);   // pixel format size
  Put32(out, 0x4);  // four-character code
  out.insert(out.end(), {'D', 'X', 'T', static_cast<unsigned char>(alpha ? '5' : '1')});
  for (int i = 0; i < 5; ++i) Put32(out, 0);
  Put32(out, 0x1000);  // texture
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  unsigned char block[64];
  unsigned char packed[16];
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
          const int sx = bx * 4 + x < w ? bx * 4 + x : w - 1;
          const int sy = by * 4 + y < h ? by * 4 + y : h - 1;
          std::memcpy(block + (y * 4 + x) * 4, rgba + (size_t(sy) * size_t(w) + size_t(sx)) * 4, 4);
        }
      }
      stb_compress_dxt_block(packed, block, alpha ? 1 : 0, STB_DXT_HIGHQUAL);
      out.insert(out.end(), packed, packed + blockBytes);
    }
  }
  return out;
}

}  // namespace

const char* TextureFormatExtension(int32_t format) {
  switch (format) {
    case 0: return ".dds";
    case 1: return ".png";
    case 2: return ".tga";
    case 3: return ".jpg";
    case 4: return ".bmp";
    default: return "";
  }
}

std::string ConvertedTextureName(const std::string& fileName, int32_t format) {
  const size_t dot = fileName.find_last_of('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
  return stem + TextureFormatExtension(format);
}

int NearestPowerOfTwo(int n) {
  if (n <= 1) return 1;
  int lo = 1;
  while (lo <= n / 2) lo *= 2;
  if (lo == n || lo >= (1 << 30)) return lo;
  const int hi = lo * 2;
  return hi - n <= n - lo ? hi : lo;
}

int32_t TextureFormatOfName(const std::string& fileName) {
  const size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos) return -1;
  std::string ext = fileName.substr(dot);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext == ".jpeg") return 3;
  for (int32_t f = 0; f <= 4; ++f)
    if (ext == TextureFormatExtension(f)) return f;
  return -1;
}

bool TextureSize(const std::string& src, int& width, int& height) {
  int n = 0;
  return stbi_info(src.c_str(), &width, &height, &n) != 0 && width > 0 && height > 0;
}

bool ConvertTexture(const std::string& src, const std::string& dst, int32_t format, bool powerOf2) {
  if (*TextureFormatExtension(format) == '\0') return false;
  int w = 0, h = 0, n = 0;
  unsigned char* decoded = stbi_load(src.c_str(), &w, &h, &n, 4);
  if (!decoded) return false;
  std::vector<unsigned char> rgba(decoded, decoded + size_t(w) * size_t(h) * 4);
  stbi_image_free(decoded);
  if (powerOf2) {
    const int nw = NearestPowerOfTwo(w), nh = NearestPowerOfTwo(h);
    if (nw != w || nh != h) {
      if (int64_t(nw) * nh > (int64_t{1} << 28)) return false;
      std::vector<unsigned char> resized(size_t(nw) * size_t(nh) * 4);
      if (!stbir_resize_uint8(rgba.data(), w, h, 0, resized.data(), nw, nh, 0, 4)) return false;
      rgba.swap(resized);
      w = nw;
      h = nh;
    }
  }
  std::vector<unsigned char> file;
  int ok = 1;
  if (format == 0) {
    file = EncodeDds(rgba.data(), w, h);
  } else if (format == 1) {
    ok = stbi_write_png_to_func(AppendBytes, &file, w, h, 4, rgba.data(), w * 4);
  } else if (format == 2) {
    ok = stbi_write_tga_to_func(AppendBytes, &file, w, h, 4, rgba.data());
  } else {
    std::vector<unsigned char> rgb(size_t(w) * size_t(h) * 3);
    for (size_t i = 0, j = 0; i < rgba.size(); i += 4, j += 3) std::memcpy(&rgb[j], &rgba[i], 3);
    ok = format == 3 ? stbi_write_jpg_to_func(AppendBytes, &file, w, h, 3, rgb.data(), 95)
                     : stbi_write_bmp_to_func(AppendBytes, &file, w, h, 3, rgb.data());
  }
  if (!ok || file.empty()) return false;
  return platform::WriteFileAtomic(dst, std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
}

}  // namespace vorn
