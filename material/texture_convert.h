// Conversion of copied textures to another image format, optionally resized to powers of two.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// The TextureFormat values: 0 dds, 1 png, 2 tga, 3 jpg, 4 bmp.
// The extension of a format with its dot; empty for an unknown value.
const char* TextureFormatExtension(int32_t format);
// fileName with its extension replaced by the format's.
std::string ConvertedTextureName(const std::string& fileName, int32_t format);
// The format an image file name's extension names (".jpeg" too, any case), or -1.
int32_t TextureFormatOfName(const std::string& fileName);
// True when the file begins as files of the format do (png, jpg, bmp; tga has no mark, dds is
// never decoded).
bool HoldsTextureFormat(const std::string& path, int32_t format);
// The size of src when it is an image this system can decode.
bool TextureSize(const std::string& src, int& width, int& height);
// How one texture is converted.
struct TextureConversion {
  int32_t format = 0;      // a TextureFormat value
  bool powerOf2 = false;   // resized to the nearest powers of two first
  bool mipmaps = true;     // DDS: every mip level down to 1 x 1
  bool normalMap = false;  // DDS levels: averaged as unit vectors and renormalised, not as colours
  bool twoCores = true;    // pixel work split over two threads; the file is the same on one
};
enum class Conversion {
  kWritten,
  kNotDecoded,  // src is no image this system decodes (a damaged one): dst is not touched
  kNotWritten,  // dst could not be written; errno says why where the system said
};
// Decodes src and writes it at dst in the format, replacing dst only by a complete file. DDS is
// DXT5 when any pixel is not opaque, else DXT1; tga and bmp are 32-bit only then; jpg drops the
// alpha.
Conversion ConvertTexture(const std::string& src, const std::string& dst, const TextureConversion& how);
// The power of two nearest to n (the larger one on a tie), at least 1.
int NearestPowerOfTwo(int n);

}  // namespace vorn
