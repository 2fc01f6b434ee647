// Map colour evaluation and bitmap output of the scene document host.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_WINDOWS_UTF8 0
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

#include <cerrno>

#include "host/scene_document.h"
#include "host/scene_document_data.h"
#include "platform/atomic_file.h"

namespace vorn {

using namespace scene_doc;

namespace {

AColor Lerp(AColor a, AColor b, float s) {
  return {a.r + (b.r - a.r) * s, a.g + (b.g - a.g) * s, a.b + (b.b - a.b) * s, a.a + (b.a - a.a) * s};
}

// Lattice value in [0, 1]; the formula is part of the document format.
float LatticeValue(int32_t x, int32_t y, int32_t z) {
  uint32_t h = (uint32_t(x) * 73856093u) ^ (uint32_t(y) * 19349663u) ^ (uint32_t(z) * 83492791u);
  h = (h ^ (h >> 13)) * 1274126177u;
  h ^= h >> 16;
  return float(h & 0xffffffu) / 16777215.0f;
}

float Fade(float t) { return t * t * (3.0f - 2.0f * t); }

float ValueNoise(Point3 p) {
  const float fx = std::floor(p.x), fy = std::floor(p.y), fz = std::floor(p.z);
  const int32_t x = int32_t(fx), y = int32_t(fy), z = int32_t(fz);
  const float tx = Fade(p.x - fx), ty = Fade(p.y - fy), tz = Fade(p.z - fz);
  auto lerp = [](float a, float b, float s) { return a + (b - a) * s; };
  float c[2][2];
  for (int dz = 0; dz < 2; ++dz)
    for (int dy = 0; dy < 2; ++dy)
      c[dz][dy] = lerp(LatticeValue(x, y + dy, z + dz), LatticeValue(x + 1, y + dy, z + dz), tx);
  return lerp(lerp(c[0][0], c[0][1], ty), lerp(c[1][0], c[1][1], ty), tz);
}

}  // namespace

namespace scene_doc {

AColor EvalTexmap(const Texmap& m, ShadeContext& sc) {
  const Point3 p = sc.UVW(m.channel) * m.uvTransform;
  switch (m.kind) {
    case Texmap::Kind::Checker: {
      const int64_t cell = int64_t(std::floor(2.0f * p.x)) + int64_t(std::floor(2.0f * p.y));
      return (cell & 1) == 0 ? m.color1 : m.color2;
    }
    case Texmap::Kind::Gradient: {
      float g;
      if (m.radial) {
        const float du = p.x - 0.5f, dv = p.y - 0.5f;
        g = 1.0f - 2.0f * std::sqrt(du * du + dv * dv);
      } else {
        g = p.y;
      }
      g = std::clamp(g, 0.0f, 1.0f);
      if (g >= m.position) return Lerp(m.color2, m.color1, (g - m.position) / (1.0f - m.position));
      return Lerp(m.color3, m.color2, g / m.position);
    }
    case Texmap::Kind::Noise:
      return Lerp(m.color1, m.color2, ValueNoise(p / m.size));
    case Texmap::Kind::NormalMap:
      if (!m.subs.empty() && m.subs[0]) return EvalTexmap(*m.subs[0], sc);
      return {0.5f, 0.5f, 1.0f, 1.0f};
    default:
      return m.color1;
  }
}

}  // namespace scene_doc

// ---- Bitmap output --------------------------------------------------------------------------

namespace {

struct DocBitmap final : HostBitmap {
  std::string path;
  int width = 0, height = 0;
  std::vector<AColor> pixels;
};

uint8_t Byte(float v) {
  if (!(v > 0.0f)) return 0;  // NaN too
  if (v >= 1.0f) return 255;
  return uint8_t(v * 255.0f + 0.5f);
}

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<unsigned char>*>(context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

std::string LowerExtension(const std::string& path) {
  size_t dot = path.find_last_of('.');
  size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string e = path.substr(dot);
  for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

}  // namespace

HostBitmap* SceneDocument::CreateBitmap(const std::string& path, int width, int height) {
  if (path.empty() || width < 1 || height < 1 || width > 65535 || height > 65535) {
    errno = EINVAL;
    return nullptr;
  }
  if (int64_t(width) * height > (int64_t{1} << 26)) {
    errno = EFBIG;  // more pixels than this stand-in keeps in memory
    return nullptr;
  }
  auto bm = std::make_unique<DocBitmap>();
  bm->path = path;
  bm->width = width;
  bm->height = height;
  bm->pixels.assign(size_t(width) * size_t(height), AColor{0, 0, 0, 1});
  HostBitmap* out = bm.get();
  d_->bitmaps.push_back(std::move(bm));
  return out;
}

bool SceneDocument::PutPixels(HostBitmap* bm, int x, int y, int count, const AColor* pixels) {
  auto* b = static_cast<DocBitmap*>(bm);
  if (!b || !pixels || count < 0 || x < 0 || y < 0 || y >= b->height || x > b->width || count > b->width - x) return false;
  std::copy(pixels, pixels + count, b->pixels.begin() + std::ptrdiff_t(size_t(y) * size_t(b->width) + size_t(x)));
  return true;
}

bool SceneDocument::WriteBitmap(HostBitmap* bm) {
  auto* b = static_cast<DocBitmap*>(bm);
  if (!b) return false;
  // Rows are kept top first, as the image formats lay them out before any flipping of their own.
  std::vector<unsigned char> rgb(b->pixels.size() * 3);
  for (size_t i = 0; i < b->pixels.size(); ++i) {
    rgb[i * 3] = Byte(b->pixels[i].r);
    rgb[i * 3 + 1] = Byte(b->pixels[i].g);
    rgb[i * 3 + 2] = Byte(b->pixels[i].b);
  }
  std::vector<unsigned char> file;
  std::string ext = LowerExtension(b->path);
  int ok;
  if (ext == ".png") ok = stbi_write_png_to_func(AppendBytes, &file, b->width, b->height, 3, rgb.data(), b->width * 3);
  else if (ext == ".tga") ok = stbi_write_tga_to_func(AppendBytes, &file, b->width, b->height, 3, rgb.data());
  else if (ext == ".jpg" || ext == ".jpeg") ok = stbi_write_jpg_to_func(AppendBytes, &file, b->width, b->height, 3, rgb.data(), 95);
  else ok = stbi_write_bmp_to_func(AppendBytes, &file, b->width, b->height, 3, rgb.data());
  if (!ok) return false;
  // Written beside the target and renamed over it, so a reader never sees half a file.
  return platform::WriteFileAtomic(b->path, std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
}

void SceneDocument::CloseBitmap(HostBitmap* bm) {
  auto& list = d_->bitmaps;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const std::unique_ptr<HostBitmap>& p) { return p.get() == bm; }),
             list.end());
}

}  // namespace vorn
