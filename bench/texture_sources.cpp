// Makes benchmark texture sources from photographs: the centre square of IMAGE resized to N x N,
// written as an RGB PNG by libpng with its default settings (as most tools write PNG), or as
// normals from its brightness taken as heights with "normals".
//
//   texture_sources IMAGE OUT.png N [normals]
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#pragma GCC diagnostic pop

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: texture_sources IMAGE OUT.png N [normals]\n");
    return 2;
  }
  int w = 0, h = 0, n = 0;
  std::unique_ptr<unsigned char, void (*)(void*)> px(stbi_load(argv[1], &w, &h, &n, 3), stbi_image_free);
  const int size = std::atoi(argv[3]);
  if (!px || size < 1) return 1;
  const int side = std::min(w, h), x0 = (w - side) / 2, y0 = (h - side) / 2;
  std::vector<unsigned char> out(size_t(size) * size_t(size) * 3);
  stbir_resize_uint8(px.get() + (size_t(y0) * size_t(w) + size_t(x0)) * 3, side, side, w * 3, out.data(), size, size,
                     size * 3, 3);
  if (argc > 4) {
    std::vector<float> height(size_t(size) * size_t(size));
    for (size_t i = 0; i < height.size(); ++i)
      height[i] = (0.299f * out[i * 3] + 0.587f * out[i * 3 + 1] + 0.114f * out[i * 3 + 2]) / 255.0f;
    auto at = [&](int x, int y) { return height[size_t((y + size) % size) * size_t(size) + size_t((x + size) % size)]; };
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x) {
        const float dx = (at(x + 1, y) - at(x - 1, y)) * 4, dy = (at(x, y + 1) - at(x, y - 1)) * 4;
        const float len = std::sqrt(dx * dx + dy * dy + 1), v[3] = {-dx / len, -dy / len, 1 / len};
        for (int c = 0; c < 3; ++c)
          out[(size_t(y) * size_t(size) + size_t(x)) * 3 + size_t(c)] = static_cast<unsigned char>(std::lround((v[c] * 0.5f + 0.5f) * 255));
      }
  }
  std::FILE* f = std::fopen(argv[2], "wb");
  if (!f) return 1;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, png_uint_32(size), png_uint_32(size), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < size; ++y) png_write_row(png, out.data() + size_t(y) * size_t(size) * 3);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0 ? 0 : 1;
}
