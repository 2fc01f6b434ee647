// Any bytes are either a scene or a runtime_error; nothing else may escape, crash or hang. Every
// triangle and bone weight of a scene read points at a vertex of its mesh.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "importers/x_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const vorn::import::Scene s = vorn::ReadXBytes(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.x");
    for (const auto& m : s.meshes) {
      if (m.material >= s.materials.size() || (!m.normals.empty() && m.normals.size() != m.positions.size())) __builtin_trap();
      for (const auto& t : m.triangles)
        for (uint32_t v : t)
          if (v >= m.positions.size()) __builtin_trap();
      for (const auto& b : m.bones)
        for (const auto& [v, w] : b.weights)
          if (v >= m.positions.size() || !(w > 0)) __builtin_trap();
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
