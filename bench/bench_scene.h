// Synthetic scenes for the benchmarks, written as a scene document with a sidecar buffer (as
// bench/make_scene.py writes them): a terrain grid of about `faces` triangles in smoothing group
// 1 with two texture coordinate channels, optionally skinned to a chain of `bones` bones (every
// vertex on its two nearest), whose bones turn over `frames` frames with a key every 10.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace vorn::bench {

struct SceneSpec {
  int faces = 100000;
  int bones = 0;
  int frames = 0;
};

class SceneFiles {
 public:
  explicit SceneFiles(const SceneSpec& spec) {
    dir_ = std::filesystem::temp_directory_path() /
           ("vorn-bench-" + std::to_string(getpid()) + "-" + std::to_string(spec.faces) + "-" +
            std::to_string(spec.bones) + "-" + std::to_string(spec.frames));
    std::filesystem::create_directories(dir_);
    Write(spec);
  }
  ~SceneFiles() { std::filesystem::remove_all(dir_); }
  SceneFiles(const SceneFiles&) = delete;
  SceneFiles& operator=(const SceneFiles&) = delete;

  std::string Document() const { return (dir_ / "scene.json").string(); }
  std::string Dir() const { return dir_.string(); }
  uint64_t InputBytes() const { return inputBytes_; }
  int Faces() const { return faces_; }

 private:
  template <typename T>
  std::string Ref(std::FILE* f, const std::vector<T>& a, size_t count, const char* type) {
    const long offset = std::ftell(f);
    std::fwrite(a.data(), sizeof(T), a.size(), f);
    return "{\"buffer\": \"mesh.bin\", \"offset\": " + std::to_string(offset) + ", \"count\": " +
           std::to_string(count) + ", \"type\": \"" + type + "\"}";
  }

  void Write(const SceneSpec& spec) {
    const int ny = std::max(1, static_cast<int>(std::lround(std::sqrt(spec.faces / 4.0))));
    const int nx = std::max(1, static_cast<int>(std::lround(spec.faces / (2.0 * ny))));
    const int w = nx + 1;
    const size_t nv = size_t(nx + 1) * size_t(ny + 1);
    std::vector<float> pos, uv1, uv2;
    pos.reserve(3 * nv);
    for (int j = 0; j <= ny; ++j)
      for (int i = 0; i <= nx; ++i) {
        const float x = float(i), y = float(j);
        pos.insert(pos.end(), {x, y, 2.0f * std::sin(0.05f * x) * std::cos(0.07f * y)});
        uv1.insert(uv1.end(), {float(i) / float(nx), float(j) / float(ny)});
        uv2.insert(uv2.end(), {4.0f * float(i) / float(nx), 4.0f * float(j) / float(ny)});
      }
    std::vector<uint32_t> faces;
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i) {
        const uint32_t a = uint32_t(j * w + i), b = a + 1, c = a + uint32_t(w) + 1, d = a + uint32_t(w);
        faces.insert(faces.end(), {a, b, c, a, c, d});
      }
    const size_t nf = faces.size() / 3;
    faces_ = static_cast<int>(nf);
    std::vector<uint32_t> groups(nf, 1);

    std::FILE* f = std::fopen((dir_ / "mesh.bin").c_str(), "wb");
    const std::string vr = Ref(f, pos, nv, "float32x3"), u1 = Ref(f, uv1, nv, "float32x2"),
                      u2 = Ref(f, uv2, nv, "float32x2"), fr = Ref(f, faces, nf, "uint32x3"),
                      gr = Ref(f, groups, nf, "uint32");
    std::string mesh = "{\"vertices\": " + vr + ", \"faces\": " + fr + ", \"smoothingGroups\": " + gr +
                       ", \"maps\": {\"1\": {\"vertices\": " + u1 + ", \"faces\": " + fr +
                       "}, \"2\": {\"vertices\": " + u2 + ", \"faces\": " + fr + "}}}";
    std::string nodes = "{\"name\": \"Terrain\", \"handle\": 1, \"object\": \"terrain\"}";
    std::string object = "{\"type\": \"mesh\", \"mesh\": " + mesh + "}";
    if (spec.bones > 0) {
      std::vector<uint32_t> counts, index;
      std::vector<float> weights;
      for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i) {
          const double t = double(i) * spec.bones / double(nx + 1);
          const int b = std::min(spec.bones - 1, static_cast<int>(t));
          const float fr2 = static_cast<float>(t - b);
          if (b + 1 < spec.bones) {
            counts.push_back(2);
            index.insert(index.end(), {uint32_t(b), uint32_t(b + 1)});
            weights.insert(weights.end(), {1.0f - fr2, fr2});
          } else {
            counts.push_back(1);
            index.push_back(uint32_t(b));
            weights.push_back(1.0f);
          }
        }
      const std::string cr = Ref(f, counts, counts.size(), "uint32"), ir = Ref(f, index, index.size(), "uint32"),
                        wr = Ref(f, weights, weights.size(), "float32");
      std::string list;
      for (int b = 0; b < spec.bones; ++b) {
        const int handle = 2 + b;
        const float x = float(nx) * (float(b) + 0.5f) / float(spec.bones);
        list += (b ? ", " : "") + std::to_string(handle);
        nodes += ",\n{\"name\": \"Bone" + std::to_string(b) + "\", \"handle\": " + std::to_string(handle) +
                 ", \"object\": {\"type\": \"bone\"}, \"transform\": {\"translation\": [" + std::to_string(x) +
                 ", 0, 0]}";
        if (spec.frames > 0) {
          std::string rot;
          for (int k = 0; k <= spec.frames; k += 10) {
            const float a = 0.01f * float(k + b), s = std::sin(a * 0.5f), co = std::cos(a * 0.5f);
            rot += (rot.empty() ? "" : ",") + ("[" + std::to_string(k * 160) + ", 0, 0, " + std::to_string(s) +
                                               ", " + std::to_string(co) + "]");
          }
          nodes += ", \"controller\": {\"rotation\": {\"keys\": [" + rot + "]}}";
        }
        nodes += "}";
      }
      object = "{\"type\": \"derived\", \"input\": " + object + ", \"modifiers\": [{\"type\": \"skin\", \"bones\": [" +
               list + "], \"weights\": {\"counts\": " + cr + ", \"bones\": " + ir + ", \"weights\": " + wr + "}}]}";
    }
    inputBytes_ = static_cast<uint64_t>(std::ftell(f));
    std::fclose(f);
    std::string scene = spec.frames > 0 ? ", \"scene\": {\"animationRange\": [0, " + std::to_string(spec.frames * 160) + "]}"
                                        : std::string();
    const std::string doc = "{\"format\": \"vorn-scene\", \"version\": 1" + scene + ", \"nodes\": [" + nodes +
                            "], \"objects\": {\"terrain\": " + object + "}}";
    std::FILE* j = std::fopen(Document().c_str(), "wb");
    std::fwrite(doc.data(), 1, doc.size(), j);
    std::fclose(j);
    inputBytes_ += doc.size();
  }

  std::filesystem::path dir_;
  uint64_t inputBytes_ = 0;
  int faces_ = 0;
};

}  // namespace vorn::bench
