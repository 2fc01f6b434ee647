// The mip levels of an 8-bit RGBA image, each made from the one above it by a box filter.
#pragma once

#include <cstdint>
#include <memory>

namespace vorn {

// What the texels of an image mean, which decides how four of them are averaged.
enum class TexelSpace {
  Colour,  // sRGB colour: averaged in linear light, alpha as it is
  Normal,  // unit vectors in 0..255: averaged as vectors, then renormalised
};

// Levels down to 1 x 1: floor(log2(max(w, h))) + 1.
int MipLevelCount(int width, int height);

// Walks the chain level by level; only the current level and the one being made are held.
class MipChain {
 public:
  // rgba (w * h * 4 bytes) must outlive the chain; it is level 0.
  MipChain(const uint8_t* rgba, int width, int height, TexelSpace space);
  int Width() const { return width_; }
  int Height() const { return height_; }
  // The current level as 8-bit RGBA, row after row.
  const uint8_t* Rgba() const { return level_ == 0 ? source_ : rgba_.get(); }
  // Makes the next level (half the size, at least 1); false at 1 x 1. Rows are split over two
  // threads when twoCores; the texels are the same either way.
  bool Next(bool twoCores);

 private:
  const uint8_t* source_;
  TexelSpace space_;
  int width_, height_, level_ = 0;
  std::unique_ptr<uint16_t[]> linear_;  // the current level, linear 16-bit (none at level 0)
  std::unique_ptr<uint8_t[]> rgba_;     // the current level, 8-bit (level 0 is source_)
};

}  // namespace vorn
