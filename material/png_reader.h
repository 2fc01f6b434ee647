// Decoding of the common PNG files at memory speed: 8-bit, non-interlaced, grey, grey with alpha,
// RGB, RGBA or palette, inflated whole by libdeflate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vorn {

struct DecodedPng {
  int width = 0, height = 0;
  std::unique_ptr<uint8_t[]> rgba;  // width * height * 4
};

// The file's texels as RGBA; false for a file this reader does not take (other bit depths,
// interlacing, transparency keys, damage), which the general decoder then reads. The file's
// buffer is used as scratch space and emptied once inflated, so that both are not held at once.
bool DecodePng(std::string& file, DecodedPng& out);

}  // namespace vorn
