// DXT block encoders side by side on real images: time for every mip level and the error of each
// level against the texels it was made from (RMSE over RGB, 0..255), all on one thread.
//
//   texture_encoders IMAGE... (prefix a normal map's path with "n:")
//
// Levels come from our own mip chain; every encoder's blocks are decoded by libsquish.
#include <nvtt/nvtt.h>
#include <squish.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#define STB_DXT_IMPLEMENTATION
#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_dxt.h>
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "material/mip_chain.h"

namespace {

using Clock = std::chrono::steady_clock;

// Compresses one whole level (w x h RGBA) into blocks; DXT1 only, these images are opaque.
using LevelEncoder = std::function<void(const uint8_t* rgba, int w, int h, uint8_t* blocks)>;

void ForEachBlock(const uint8_t* rgba, int w, int h, uint8_t* out, const std::function<void(const uint8_t*, uint8_t*)>& fn) {
  uint8_t block[64];
  for (int by = 0; by < (h + 3) / 4; ++by)
    for (int bx = 0; bx < (w + 3) / 4; ++bx, out += 8) {
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
          const int sx = std::min(bx * 4 + x, w - 1), sy = std::min(by * 4 + y, h - 1);
          std::memcpy(block + (y * 4 + x) * 4, rgba + (size_t(sy) * size_t(w) + size_t(sx)) * 4, 4);
        }
      fn(block, out);
    }
}

struct Collect : nvtt::OutputHandler {
  uint8_t* at;
  void beginImage(int, int, int, int, int, int) override {}
  bool writeData(const void* data, int size) override {
    std::memcpy(at, data, size_t(size));
    at += size;
    return true;
  }
};

LevelEncoder Nvtt(nvtt::Quality quality) {
  return [quality](const uint8_t* rgba, int w, int h, uint8_t* blocks) {
    std::vector<uint8_t> bgra(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < bgra.size(); i += 4) {
      bgra[i] = rgba[i + 2];
      bgra[i + 1] = rgba[i + 1];
      bgra[i + 2] = rgba[i];
      bgra[i + 3] = rgba[i + 3];
    }
    nvtt::InputOptions in;
    in.setTextureLayout(nvtt::TextureType_2D, w, h);
    in.setMipmapData(bgra.data(), w, h);
    in.setMipmapGeneration(false);
    nvtt::CompressionOptions how;
    how.setFormat(nvtt::Format_DXT1);
    how.setQuality(quality);
    Collect sink;
    sink.at = blocks;
    nvtt::OutputOptions out;
    out.setOutputHeader(false);
    out.setOutputHandler(&sink);
    nvtt::Compressor().process(in, how, out);
  };
}

LevelEncoder Squish(int fit) {
  return [fit](const uint8_t* rgba, int w, int h, uint8_t* blocks) {
    ForEachBlock(rgba, w, h, blocks, [fit](const uint8_t* b, uint8_t* o) { squish::Compress(b, o, squish::kDxt1 | fit); });
  };
}

LevelEncoder Stb(int mode) {
  return [mode](const uint8_t* rgba, int w, int h, uint8_t* blocks) {
    ForEachBlock(rgba, w, h, blocks, [mode](const uint8_t* b, uint8_t* o) { stb_compress_dxt_block(o, b, 0, mode); });
  };
}

double Rmse(const uint8_t* rgba, int w, int h, const uint8_t* blocks) {
  std::vector<uint8_t> back(size_t(w) * size_t(h) * 4);
  squish::DecompressImage(back.data(), w, h, blocks, squish::kDxt1);
  double sum = 0;
  for (size_t i = 0; i < back.size(); ++i)
    if (i % 4 != 3) sum += (double(back[i]) - rgba[i]) * (double(back[i]) - rgba[i]);
  return std::sqrt(sum / (double(w) * h * 3));
}

}  // namespace

int main(int argc, char** argv) {
  struct Named {
    const char* name;
    LevelEncoder encode;
  };
  const Named encoders[] = {
      {"stb_dxt normal", Stb(STB_DXT_NORMAL)},
      {"stb_dxt highqual", Stb(STB_DXT_HIGHQUAL)},
      {"squish range fit", Squish(squish::kColourRangeFit)},
      {"squish cluster fit", Squish(squish::kColourClusterFit)},
      {"nvtt fastest", Nvtt(nvtt::Quality_Fastest)},
      // nvtt 2.0.8's Quality_Normal ends in a segmentation fault here; fastest is its only level measured.
  };
  std::printf("%-20s %-22s %9s %8s %8s %8s %8s\n", "encoder", "image", "ms", "rmse L0", "L1", "L2", "mean");
  for (int a = 1; a < argc; ++a) {
    std::string path = argv[a];
    const bool normal = path.rfind("n:", 0) == 0;
    if (normal) path = path.substr(2);
    int w = 0, h = 0, n = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> px(stbi_load(path.c_str(), &w, &h, &n, 4), stbi_image_free);
    if (!px) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    // Every level's texels, made once.
    std::vector<std::vector<uint8_t>> levels;
    std::vector<std::pair<int, int>> sizes;
    vorn::MipChain chain(px.get(), w, h, normal ? vorn::TexelSpace::Normal : vorn::TexelSpace::Colour);
    do {
      levels.emplace_back(chain.Rgba(), chain.Rgba() + size_t(chain.Width()) * size_t(chain.Height()) * 4);
      sizes.emplace_back(chain.Width(), chain.Height());
    } while (chain.Next(false));
    const std::string label = path.substr(path.find_last_of('/') + 1) + (normal ? " (normals)" : "");
    for (const Named& e : encoders) {
      double seconds = 0, mean = 0, first[3] = {0, 0, 0};
      for (size_t l = 0; l < levels.size(); ++l) {
        const auto [lw, lh] = sizes[l];
        std::vector<uint8_t> blocks(size_t((lw + 3) / 4) * size_t((lh + 3) / 4) * 8);
        const auto t0 = Clock::now();
        e.encode(levels[l].data(), lw, lh, blocks.data());
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        const double r = Rmse(levels[l].data(), lw, lh, blocks.data());
        if (l < 3) first[l] = r;
        mean += r / double(levels.size());
      }
      std::printf("%-20s %-22s %9.0f %8.3f %8.3f %8.3f %8.3f\n", e.name, label.c_str(), seconds * 1000, first[0],
                  first[1], first[2], mean);
      std::fflush(stdout);
    }
  }
  return 0;
}
