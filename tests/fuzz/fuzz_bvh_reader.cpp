// Any text is either a scene or a runtime_error; nothing else may escape, crash or hang.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "importers/bvh_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const vorn::import::Scene s = vorn::ParseBvh(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.bvh");
    // Every channel names a node and has a key per frame.
    for (const auto& a : s.animations)
      for (const auto& c : a.channels)
        if (c.node.empty() || c.rotations.size() != size_t(a.duration) + 1) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
