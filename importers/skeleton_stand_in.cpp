// Points are made in each node's own space and taken to the root's parent space by the node's
// transform from the root down; each bone's offset is the inverse of that transform.
#include "importers/skeleton_stand_in.h"

#include <cmath>
#include <cstring>
#include <algorithm>
#include <tuple>
#include <vector>

#include "importers/assimp_arithmetic.h"
#include "importers/skeleton_shape.h"

namespace vorn {

namespace {

using namespace skeleton_shape;

V3 Apply(const import::Matrix4& m, V3 p) {
  return {m.m[0][0] * p.x + m.m[0][1] * p.y + m.m[0][2] * p.z + m.m[0][3],
          m.m[1][0] * p.x + m.m[1][1] * p.y + m.m[1][2] * p.z + m.m[1][3],
          m.m[2][0] * p.x + m.m[2][1] * p.y + m.m[2][2] * p.z + m.m[2][3]};
}

// The inverse of a transform by cofactors; a singular one gives the identity.
import::Matrix4 Inverse(const import::Matrix4& a) {
  double m[16], inv[16];
  for (int i = 0; i < 16; ++i) m[i] = a.m[i / 4][i % 4];
  inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] + m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
  inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] - m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
  inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] + m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
  inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] - m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
  inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] - m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
  inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] + m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
  inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] - m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
  inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] + m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
  inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] + m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
  inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] - m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
  inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] + m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
  inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] - m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
  inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] - m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
  inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] + m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
  inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] - m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
  inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] + m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
  const double det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
  import::Matrix4 r;
  if (det == 0 || !std::isfinite(det)) return r;
  for (int i = 0; i < 16; ++i) r.m[i / 4][i % 4] = float(inv[i] / det);
  return r;
}

class Builder {
 public:
  explicit Builder(import::Scene& scene) : scene_(scene) {}

  void Build() {
    Add(scene_.root, import::Matrix4{});
    import::Mesh& mesh = scene_.meshes.emplace_back();
    // Face normals (not of unit length); vertices equal in position and normal within one
    // bone shared, first ones first. A bone's points lie together, so equal ones are found by
    // sorting each bone's range rather than hashing the whole mesh.
    std::vector<V3> normals(points_.size());
    for (size_t f = 0; f + 2 < points_.size(); f += 3)
      normals[f] = normals[f + 1] = normals[f + 2] = Cross(points_[f + 2] - points_[f], points_[f + 1] - points_[f]);
    auto key = [&](uint32_t i) {
      const V3 &p = points_[i], &n = normals[i];
      return std::make_tuple(p.x + 0.0f, p.y + 0.0f, p.z + 0.0f, n.x + 0.0f, n.y + 0.0f, n.z + 0.0f);
    };
    std::vector<uint32_t> index(points_.size()), order, firstOf(points_.size());
    for (size_t first = 0; first < points_.size();) {
      size_t last = first;
      while (last < points_.size() && boneOf_[last] == boneOf_[first]) ++last;
      order.resize(last - first);
      for (size_t i = first; i < last; ++i) order[i - first] = uint32_t(i);
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
      for (size_t k = 0; k < order.size(); ++k)
        firstOf[order[k]] = k > 0 && key(order[k]) == key(order[k - 1]) ? firstOf[order[k - 1]] : order[k];
      for (size_t i = first; i < last; ++i) {
        if (firstOf[i] != i) {
          index[i] = index[firstOf[i]];
          continue;
        }
        index[i] = uint32_t(mesh.positions.size());
        mesh.positions.push_back({points_[i].x, points_[i].y, points_[i].z});
        mesh.normals.push_back({normals[i].x, normals[i].y, normals[i].z});
        bones_[boneOf_[i]].weights.push_back({index[i], 1.0f});
      }
      first = last;
    }
    for (size_t i = 0; i + 2 < points_.size(); i += 3) mesh.triangles.push_back({index[i], index[i + 1], index[i + 2]});
    mesh.bones = std::move(bones_);
    mesh.material = unsigned(scene_.materials.size());
    scene_.root.meshes.push_back(0);
    scene_.materials.emplace_back().name = "SkeletonMaterial";
  }

 private:
  void Add(const import::Node& node, const import::Matrix4& parent) {
    const import::Matrix4 world = import::Multiply(node.transform, parent);
    const size_t first = points_.size();
    AppendJointShape(node, points_);
    if (points_.size() > first) {
      import::Bone& bone = bones_.emplace_back();
      bone.name = node.name;
      bone.offset = Inverse(world);
      for (size_t i = first; i < points_.size(); ++i) {
        points_[i] = Apply(world, points_[i]);
        boneOf_.push_back(uint32_t(bones_.size() - 1));
      }
    }
    for (const import::Node& child : node.children) Add(child, world);
  }

  import::Scene& scene_;
  std::vector<V3> points_;        // three a face, in the mesh's space
  std::vector<uint32_t> boneOf_;  // per point
  std::vector<import::Bone> bones_;
};

}  // namespace

void AddSkeletonStandIn(import::Scene& scene) {
  if (!scene.meshes.empty()) return;
  Builder(scene).Build();
}

}  // namespace vorn
