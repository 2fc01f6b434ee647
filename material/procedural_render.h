// Images of procedural maps: each pixel evaluated on a flat unit square.
#pragma once

#include <string>

#include "host/host_scene.h"

namespace vorn {

// Presents one pixel of a W x H image to a map: texture coordinates (u, v, 0) on every channel,
// a point on a 100 x 100 square, a fixed normal facing the viewer.
class ShaderContextTex final : public ShadeContext {
 public:
  ShaderContextTex(int width, int height);

  // Moves to pixel (x, r), r counted from the top row.
  void SetPixel(int x, int r);

  Point3 UVW(int channel) const override;
  Point3 DUVW(int channel) const override;
  Point3 P() const override { return point_; }
  Point3 Normal() const override { return normal_; }

  Point3 View() const { return view_; }
  void SetView(Point3 v) { view_ = v; }
  // Column and row of the current pixel.
  int PixelX() const { return pixel_[0]; }
  int PixelY() const { return pixel_[1]; }
  float U() const { return uv_[0]; }
  float V() const { return uv_[1]; }

 private:
  Point3 normal_{0, 0, 1};
  Point3 view_{0, 0, -1};
  float uv_[2] = {0, 0};
  float duv_[2] = {0, 0};
  Point3 point_;
  int pixel_[2] = {0, 0};
  float halfSize_[2] = {0, 0};
  int width_ = 0, height_ = 0;
};

// Renders the map into the image file at path; true when the host reports the file written.
bool RenderProceduralMap(HostScene& host, const std::string& path, const HostTexmap* map, int width, int height);

}  // namespace vorn
