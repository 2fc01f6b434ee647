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

// Whether vertices a and b of a mesh may be joined, bones aside: the same position, the other
// attributes within 1e-5 (the two triangles of a face get flat normals that differ in the last
// bits).
inline bool SameJoinAttributes(const import::Mesh& m, uint32_t a, uint32_t b) {
  auto close = [](const import::Vec3& u, const import::Vec3& v) {
    const float x = u.x - v.x, y = u.y - v.y, z = u.z - v.z;
    return x * x + y * y + z * z <= 1e-10f;
  };
  const import::Vec3 &p = m.positions[a], &q = m.positions[b];
  if (p.x != q.x || p.y != q.y || p.z != q.z || !close(m.normals[a], m.normals[b])) return false;
  for (const auto& uv : m.uvs)
    if (!uv.empty() && !close(uv[a], uv[b])) return false;
  if (!m.colors.empty()) {
    const import::Rgba &x = m.colors[a], &y = m.colors[b];
    const float dr = x.r - y.r, dg = x.g - y.g, db = x.b - y.b, da = x.a - y.a;
    if (dr * dr + dg * dg + db * db + da * da > 1e-10f) return false;
  }
  return true;
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
