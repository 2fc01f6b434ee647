// The join of a mesh's vertices in first-use order, shared by the readers that repeat assimp's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "importers/import_scene.h"

namespace vorn {

// A hash of a position for the join: -0 and 0 hash alike, as they are one position.
inline uint32_t PositionHash(const import::Vec3& p) {
  uint32_t h = 2166136261u;
  for (float f : {p.x, p.y, p.z}) {
    if (f == 0) f = 0;
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    h = (h ^ bits) * 16777619u;
  }
  return h ^ (h >> 15);
}

class VertexJoin {
 public:
  static constexpr uint32_t kUnset = std::numeric_limits<uint32_t>::max();

  // Maps each vertex that used(v) keeps to the first earlier kept vertex that same(kept, v)
  // calls equal, or keeps it. hash(v) must be equal for vertices same() calls equal.
  template <class Used, class Hash, class Same>
  void Run(uint32_t count, Used used, Hash hash, Same same) {
    remap.assign(count, kUnset);
    keep.clear();
    size_t capacity = 16;
    while (capacity < 2 * size_t{count}) capacity *= 2;
    table_.assign(capacity, kUnset);
    for (uint32_t v = 0; v < count; ++v) {
      if (!used(v)) continue;
      size_t h = hash(v) & (capacity - 1);
      uint32_t match = kUnset;
      for (; table_[h] != kUnset; h = (h + 1) & (capacity - 1))
        if (same(keep[table_[h]], v)) {
          match = table_[h];
          break;
        }
      if (match == kUnset) {
        match = uint32_t(keep.size());
        keep.push_back(v);
        table_[h] = match;
      }
      remap[v] = match;
    }
  }

  std::vector<uint32_t> remap;  // per vertex: the index of its kept vertex; kUnset when not used
  std::vector<uint32_t> keep;   // per kept vertex: the vertex it is

 private:
  std::vector<uint32_t> table_;
};

}  // namespace vorn
