// The shapes of the mesh assimp draws for a skeleton, node by node, as both the BVH reader and
// the stand-in for mesh-less scenes make them: from a node a four-sided pointer to each child,
// or an eight-sided knob on a node without children. Float for float as assimp computes them.
#pragma once

#include <cmath>
#include <vector>

#include "importers/import_scene.h"

namespace vorn::skeleton_shape {

struct V3 {
  float x = 0, y = 0, z = 0;
};
inline V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 operator-(V3 a) { return {-a.x, -a.y, -a.z}; }
inline V3 operator*(V3 a, float f) { return {a.x * f, a.y * f, a.z * f}; }
inline V3 Cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline float Length(V3 a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
inline V3 Normalized(V3 a) {
  const float l = Length(a);
  return l == 0 ? a : a * (1.0f / l);
}
inline V3 Translation(const import::Matrix4& m) { return {m.m[0][3], m.m[1][3], m.m[2][3]}; }

// The node's faces, three points each, in its own space: a pointer to each child not at its
// origin, or, without children, a knob sized by the node's distance from its parent.
inline void AppendJointShape(const import::Node& node, std::vector<V3>& points) {
  if (!node.children.empty()) {
    for (const import::Node& child : node.children) {
      const V3 to = Translation(child.transform);
      const float distance = Length(to);
      if (distance < 1e-6f) continue;
      const V3 up = Normalized(to);
      V3 orth{1, 0, 0};
      if (std::fabs(up.x) > 0.99f) orth = {0, 1, 0};
      const V3 front = Normalized(Cross(up, orth));
      const V3 side = Normalized(Cross(front, up));
      const V3 f = front * distance * 0.1f, b = -front * distance * 0.1f;
      const V3 r = side * distance * 0.1f, l = -side * distance * 0.1f;
      for (const V3& p : {b, to, l, l, to, f, f, to, r, r, to, b}) points.push_back(p);
    }
    return;
  }
  const float size = Length(Translation(node.transform)) * 0.18f;
  const V3 px{size, 0, 0}, nx{-size, 0, 0}, py{0, size, 0}, ny{0, -size, 0}, pz{0, 0, size}, nz{0, 0, -size};
  for (const V3& p : {nx, py, nz, py, px, nz, px, ny, nz, ny, nx, nz, nx, pz, py, py, pz, px, px, pz, ny, ny, pz, nx})
    points.push_back(p);
}

}  // namespace vorn::skeleton_shape
