// Any bytes are either a scene or a runtime_error naming the file; nothing else may escape or
// crash. Buffers and images named by the file are looked up in a folder that does not exist.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "importers/gltf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const vorn::import::Scene scene =
        vorn::ReadGltfBytes(std::string_view(reinterpret_cast<const char*>(data), size), "/nonexistent/fuzz.gltf");
    // Every index the records hold points inside them.
    for (const vorn::import::Mesh& m : scene.meshes)
      for (const auto& t : m.triangles)
        for (uint32_t v : t)
          if (v >= m.positions.size()) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
