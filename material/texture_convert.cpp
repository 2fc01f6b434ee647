#include "material/texture_convert.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <memory>
#include <vector>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_WINDOWS_UTF8 0
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

#include "material/dds_writer.h"
#include "material/png_reader.h"
#include "material/png_writer.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"

namespace vorn {

namespace {

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<unsigned char>*>(context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    bytes.resize(size_t(size));
    ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
  }
  std::fclose(f);
  return ok;
}

bool Opaque(const unsigned char* rgba, int w, int h) {
  const size_t n = size_t(w) * size_t(h) * 4;
  for (size_t i = 3; i < n; i += 4)
    if (rgba[i] != 255) return false;
  return true;
}

}  // namespace

// True when the file begins as files of the format do (png, jpg, bmp; tga has no mark, dds is
// never decoded).
bool HoldsTextureFormat(const std::string& path, int32_t format) {
  static const std::string_view marks[] = {{}, "\x89PNG\r\n\x1a\n", "", "\xff\xd8\xff", "BM"};
  if (format < 1 || format > 4 || marks[format].empty()) return false;
  char head[8] = {};
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  const size_t got = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return got >= marks[format].size() && std::string_view(head, marks[format].size()) == marks[format];
}

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
  if (stbi_info(src.c_str(), &width, &height, &n) == 0) return false;
  // stb_image reports a top-down bmp (rows stored from the top) with its height negated.
  if (height < 0 && height > INT_MIN && HoldsTextureFormat(src, 4)) height = -height;
  return width > 0 && height > 0;
}

Conversion ConvertTexture(const std::string& src, const std::string& dst, const TextureConversion& how) {
  const int32_t format = how.format;
  if (*TextureFormatExtension(format) == '\0') return Conversion::kNotWritten;
  // Already a file of that format and size: decoding and encoding it again would only lose
  // quality (jpg) or time.
  int sw = 0, sh = 0;
  if (HoldsTextureFormat(src, format) && TextureSize(src, sw, sh) &&
      (!how.powerOf2 || (NearestPowerOfTwo(sw) == sw && NearestPowerOfTwo(sh) == sh)))
    return platform::CopyFileAtomic(src, dst, true) ? Conversion::kWritten : Conversion::kNotWritten;
  int w = 0, h = 0, n = 0;
  // PNG, the common case, inflated whole by libdeflate; anything else by stb_image.
  DecodedPng png;
  std::unique_ptr<unsigned char, void (*)(void*)> decoded(nullptr, stbi_image_free);
  const unsigned char* pixels = nullptr;
  if (std::string bytes; HoldsTextureFormat(src, 1) && ReadWholeFile(src, bytes) && DecodePng(bytes, png)) {
    pixels = png.rgba.get();
    w = png.width;
    h = png.height;
  } else {
    decoded.reset(stbi_load(src.c_str(), &w, &h, &n, 4));
    if (!decoded) return Conversion::kNotDecoded;
    pixels = decoded.get();
  }
  std::vector<unsigned char> resized;
  if (how.powerOf2) {
    const int nw = NearestPowerOfTwo(w), nh = NearestPowerOfTwo(h);
    if (nw != w || nh != h) {
      if (int64_t(nw) * nh > (int64_t{1} << 28)) return Conversion::kNotWritten;
      resized.resize(size_t(nw) * size_t(nh) * 4);
      if (!stbir_resize_uint8(pixels, w, h, 0, resized.data(), nw, nh, 0, 4)) return Conversion::kNotWritten;
      decoded.reset();
      png.rgba.reset();
      pixels = resized.data();
      w = nw;
      h = nh;
    }
  }
  std::vector<unsigned char> file;
  int ok = 1;
  if (format == 0) {
    file = EncodeDds(pixels, w, h,
                     {how.mipmaps, how.normalMap ? TexelSpace::Normal : TexelSpace::Colour, how.twoCores});
  } else if (format == 1) {
    file = EncodePng(pixels, w, h, how.twoCores);
  } else if ((format == 2 || format == 4) && !Opaque(pixels, w, h)) {
    // A bmp with alpha is 32-bit with a V4 header's alpha mask, which D3DX reads as A8R8G8B8.
    ok = format == 2 ? stbi_write_tga_to_func(AppendBytes, &file, w, h, 4, pixels)
                     : stbi_write_bmp_to_func(AppendBytes, &file, w, h, 4, pixels);
  } else {
    // Opaque tga and bmp are 24-bit, as most tools write them; jpg has no alpha.
    std::vector<unsigned char> rgb(size_t(w) * size_t(h) * 3);
    for (size_t i = 0, j = 0; j < rgb.size(); i += 4, j += 3) std::memcpy(&rgb[j], &pixels[i], 3);
    ok = format == 2   ? stbi_write_tga_to_func(AppendBytes, &file, w, h, 3, rgb.data())
         : format == 3 ? stbi_write_jpg_to_func(AppendBytes, &file, w, h, 3, rgb.data(), 95)
                       : stbi_write_bmp_to_func(AppendBytes, &file, w, h, 3, rgb.data());
  }
  if (!ok || file.empty()) return Conversion::kNotWritten;
  return platform::WriteFileAtomic(dst, std::string_view(reinterpret_cast<const char*>(file.data()), file.size()))
             ? Conversion::kWritten
             : Conversion::kNotWritten;
}

}  // namespace vorn
