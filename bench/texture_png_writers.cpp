// PNG writers side by side on real images: stb_image_write, libspng (zlib inside) and ours
// (adaptive filters, libdeflate), each run's time and file size against the source file's.
//
//   texture_png_writers IMAGE...
#include <spng.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

#include "material/png_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

void Append(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

size_t Spng(const uint8_t* rgba, int w, int h) {
  // Opaque sources as RGB, as ours writes them.
  std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
  for (size_t i = 0, j = 0; j < rgb.size(); i += 4, j += 3) std::memcpy(&rgb[j], &rgba[i], 3);
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = uint32_t(w);
  ihdr.height = uint32_t(h);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(ctx, &ihdr);
  size_t size = 0;
  int error = 0;
  if (spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0) {
    void* png = spng_get_png_buffer(ctx, &size, &error);
    std::free(png);
  }
  spng_ctx_free(ctx);
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("%-24s %-22s %9s %12s %8s\n", "writer", "image", "ms", "bytes", "/source");
  for (int a = 1; a < argc; ++a) {
    const std::string path = argv[a];
    int w = 0, h = 0, n = 0;
    auto t0 = Clock::now();
    std::unique_ptr<uint8_t, void (*)(void*)> px(stbi_load(path.c_str(), &w, &h, &n, 4), stbi_image_free);
    const double decode = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!px) return 1;
    struct stat st {};
    ::stat(path.c_str(), &st);
    const std::string label = path.substr(path.find_last_of('/') + 1);
    std::printf("%-24s %-22s %9.0f %12lld %8s\n", "(stb_image decode)", label.c_str(), decode * 1000,
                static_cast<long long>(st.st_size), "");
    auto row = [&](const char* name, auto&& write) {
      t0 = Clock::now();
      const size_t size = write();
      const double s = std::chrono::duration<double>(Clock::now() - t0).count();
      std::printf("%-24s %-22s %9.0f %12zu %8.3f\n", name, label.c_str(), s * 1000, size,
                  double(size) / double(st.st_size));
      std::fflush(stdout);
    };
    row("stb_image_write", [&] {
      std::vector<uint8_t> out;
      stbi_write_png_to_func(Append, &out, w, h, 4, px.get(), w * 4);
      return out.size();
    });
    row("libspng (zlib)", [&] { return Spng(px.get(), w, h); });
    row("ours, one core", [&] { return vorn::EncodePng(px.get(), w, h, false).size(); });
    row("ours, two cores", [&] { return vorn::EncodePng(px.get(), w, h, true).size(); });
  }
  return 0;
}
