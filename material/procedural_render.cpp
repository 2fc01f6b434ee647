#include "material/procedural_render.h"

#include <cerrno>
#include <vector>

namespace vorn {

ShaderContextTex::ShaderContextTex(int width, int height) : width_(width), height_(height) {
  duv_[0] = 1.0f / static_cast<float>(width);
  duv_[1] = 1.0f / static_cast<float>(height);
  halfSize_[0] = static_cast<float>(width) / 2.0f;
  halfSize_[1] = static_cast<float>(height) / 2.0f;
}

void ShaderContextTex::SetPixel(int x, int r) {
  // Single-precision steps in this order, so that u = x / W and v = y / H come out as the
  // host computes them.
  const float w = static_cast<float>(width_), h = static_cast<float>(height_);
  const float y = static_cast<float>(height_ - r);
  uv_[1] = ((y - halfSize_[1]) / halfSize_[1] + 1.0f) * 0.5f;
  point_.y = y * 100.0f / h;
  pixel_[1] = r;
  const float fx = static_cast<float>(x);
  uv_[0] = ((fx - halfSize_[0]) / halfSize_[0] + 1.0f) * 0.5f;
  point_.x = fx * 100.0f / w;
  point_.z = 0;
  pixel_[0] = x;
}

Point3 ShaderContextTex::UVW(int) const { return {uv_[0], uv_[1], 0}; }
Point3 ShaderContextTex::DUVW(int) const { return {duv_[0], duv_[1], 0}; }

bool RenderProceduralMap(HostScene& host, const std::string& path, const HostTexmap* map, int width, int height) {
  if (!map || path.empty() || width < 1 || height < 1) return false;
  HostBitmap* bm = host.CreateBitmap(path, width, height);
  if (!bm) return false;
  ShaderContextTex sc(width, height);
  std::vector<AColor> row(static_cast<size_t>(width));
  for (int r = 0; r < height; ++r) {
    for (int x = 0; x < width; ++x) {
      sc.SetPixel(x, r);
      row[static_cast<size_t>(x)] = host.EvalColor(map, sc);
    }
    host.PutPixels(bm, 0, r, width, row.data());
  }
  const bool ok = host.WriteBitmap(bm);
  const int error = errno;
  host.CloseBitmap(bm);
  errno = error;  // why the write failed, for the caller's message
  return ok;
}

}  // namespace vorn
