// PNG files: RGB when every texel is opaque, else RGBA; rows filtered as suits each, one deflate
// stream.
#pragma once

#include <cstdint>
#include <vector>

namespace vorn {

// The whole file for w x h RGBA texels; empty when it cannot be made. Rows are filtered on two
// threads when twoCores; the bytes are the same on one core.
std::vector<uint8_t> EncodePng(const uint8_t* rgba, int w, int h, bool twoCores);

}  // namespace vorn
