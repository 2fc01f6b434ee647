// Any bytes (a document or a .zae archive) are either a scene or a runtime_error naming the
// file; nothing else may escape, crash or hang.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "importers/collada_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const vorn::import::Scene scene =
        vorn::ReadColladaBytes(std::string_view(reinterpret_cast<const char*>(data), size), "/nonexistent/fuzz.dae");
    // Every index the records hold points inside them.
    for (const vorn::import::Mesh& m : scene.meshes) {
      for (const auto& t : m.triangles)
        for (uint32_t v : t)
          if (v >= m.positions.size()) __builtin_trap();
      for (const vorn::import::Bone& b : m.bones)
        for (const auto& w : b.weights)
          if (w.first >= m.positions.size()) __builtin_trap();
      if (m.material >= scene.materials.size()) __builtin_trap();
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
