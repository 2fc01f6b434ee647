// DDS files of DXT blocks: DXT1 for opaque images, DXT5 when any texel has alpha.
#pragma once

#include <cstdint>
#include <vector>

#include "material/mip_chain.h"

namespace vorn {

struct DdsSettings {
  bool mipmaps = true;                    // every level down to 1 x 1, else the top level only
  TexelSpace space = TexelSpace::Colour;  // how the smaller levels are filtered
  bool twoCores = true;                   // the bytes are the same on one core
};

// The whole file for w x h RGBA texels: the 128-byte header, then each level's blocks, row after
// row; edge texels pad the blocks of a level that is not a multiple of 4.
std::vector<uint8_t> EncodeDds(const uint8_t* rgba, int w, int h, const DdsSettings& settings);

}  // namespace vorn
