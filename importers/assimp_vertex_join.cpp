#include "importers/assimp_vertex_join.h"

#include <assimp/Importer.hpp>
#include <assimp/mesh.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vorn {

namespace {

// The join merges positions a few units in the last place apart, and near zero up to about 1e-5
// apart (measured; see the tests); these bounds are ten times wider. Other attributes: 1e-3,
// relative above 1.
constexpr float kPositionAbsolute = 1e-4f, kPositionRelative = 1e-5f, kNear = 1e-3f;

bool Near(float a, float b) { return std::fabs(a - b) <= kNear * std::max({1.0f, std::fabs(a), std::fabs(b)}); }

bool PositionNear(float a, float b) {
  return std::fabs(a - b) <= std::max(kPositionAbsolute, kPositionRelative * std::max(std::fabs(a), std::fabs(b)));
}

bool Near(const aiVector3D& a, const aiVector3D& b) { return Near(a.x, b.x) && Near(a.y, b.y) && Near(a.z, b.z); }

bool Near(const aiColor4D& a, const aiColor4D& b) {
  return Near(a.r, b.r) && Near(a.g, b.g) && Near(a.b, b.b) && Near(a.a, b.a);
}

// Everything but the position, which the grid has already compared.
bool AttributesNear(const aiMesh& m, unsigned a, unsigned b) {
  if (m.mNormals && !Near(m.mNormals[a], m.mNormals[b])) return false;
  if (m.mTangents && !Near(m.mTangents[a], m.mTangents[b])) return false;
  if (m.mBitangents && !Near(m.mBitangents[a], m.mBitangents[b])) return false;
  for (unsigned c = 0; c < AI_MAX_NUMBER_OF_COLOR_SETS; ++c)
    if (m.mColors[c] && !Near(m.mColors[c][a], m.mColors[c][b])) return false;
  for (unsigned t = 0; t < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++t)
    if (m.mTextureCoords[t] && !Near(m.mTextureCoords[t][a], m.mTextureCoords[t][b])) return false;
  return true;
}

// Faces use vertices 0, 1, 2, ... in that order the first time, and all of them: a join that
// merges nothing then keeps every vertex where it is.
bool FirstUseInOrder(const aiMesh& m) {
  unsigned next = 0;
  for (unsigned f = 0; f < m.mNumFaces; ++f) {
    const aiFace& face = m.mFaces[f];
    for (unsigned i = 0; i < face.mNumIndices; ++i) {
      const unsigned v = face.mIndices[i];
      if (v == next)
        ++next;
      else if (v > next)
        return false;
    }
  }
  return next == m.mNumVertices;
}

uint64_t CellHash(int64_t x, int64_t y, int64_t z) {
  uint64_t h = static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
  h ^= static_cast<uint64_t>(z) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
  return h ^ (h >> 29);
}

// Any two vertices near in every attribute? Vertices go into a grid of cells twice as wide as
// the widest position tolerance; a vertex can only be near those in its own cell or, on each
// axis, the neighbour on the side of the cell's middle it lies on: 8 cells.
bool AnyNearPair(const aiMesh& m) {
  const unsigned n = m.mNumVertices;
  aiVector3D lo = m.mVertices[0], hi = m.mVertices[0];
  for (unsigned v = 0; v < n; ++v) {
    const aiVector3D& p = m.mVertices[v];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return true;
    lo = aiVector3D(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
    hi = aiVector3D(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
  }
  const float reach = std::max({std::fabs(lo.x), std::fabs(lo.y), std::fabs(lo.z), std::fabs(hi.x), std::fabs(hi.y),
                                std::fabs(hi.z)});
  // At most 50,000 cells across, so a point's place in its cell is known to far better than 1 %.
  const float cell = 2 * std::max(kPositionAbsolute, kPositionRelative * reach);

  size_t buckets = 1;
  while (buckets < 2 * size_t{n}) buckets <<= 1;
  std::vector<uint32_t> head(buckets, UINT32_MAX), next(n, UINT32_MAX);
  std::vector<int64_t> cells(3 * size_t{n});
  for (unsigned v = 0; v < n; ++v) {
    const aiVector3D& p = m.mVertices[v];
    int64_t* c = &cells[3 * size_t{v}];
    int64_t side[3];
    const float scaled[3] = {p.x / cell, p.y / cell, p.z / cell};
    for (int k = 0; k < 3; ++k) {
      const float f = std::floor(scaled[k]);
      c[k] = static_cast<int64_t>(f);
      side[k] = scaled[k] - f < 0.5f ? -1 : 1;
    }
    for (int dx = 0; dx < 2; ++dx)
      for (int dy = 0; dy < 2; ++dy)
        for (int dz = 0; dz < 2; ++dz) {
          const int64_t x = c[0] + dx * side[0], y = c[1] + dy * side[1], z = c[2] + dz * side[2];
          for (uint32_t o = head[CellHash(x, y, z) & (buckets - 1)]; o != UINT32_MAX; o = next[o]) {
            const int64_t* oc = &cells[3 * size_t{o}];
            if (oc[0] != x || oc[1] != y || oc[2] != z) continue;
            const aiVector3D& q = m.mVertices[o];
            if (PositionNear(p.x, q.x) && PositionNear(p.y, q.y) && PositionNear(p.z, q.z) && AttributesNear(m, o, v))
              return true;
          }
        }
    uint32_t& h = head[CellHash(c[0], c[1], c[2]) & (buckets - 1)];
    next[v] = h;
    h = v;
  }
  return false;
}

}  // namespace

bool JoinMayChangeMesh(const aiMesh& mesh) {
  if (mesh.mNumVertices == 0) return false;
  if (!mesh.mVertices || mesh.mNumAnimMeshes > 0) return true;
  return !FirstUseInOrder(mesh) || AnyNearPair(mesh);
}

namespace {

// The step carries bone weights over by searching, which on skinned meshes costs several times
// the join itself (skeleton.fbx: 11 of 13 ms). It keeps each joined vertex's weights from the
// lowest vertex merged into it, in their order, and faces keep their order and corner count;
// so the bones are taken off the meshes for the step and their weights renumbered here.
class DetachedBones {
 public:
  explicit DetachedBones(const std::vector<aiMesh*>& meshes) {
    for (aiMesh* m : meshes) {
      if (m->mNumBones == 0 || !m->mBones) continue;
      Detached& d = meshes_.emplace_back();
      d.mesh = m;
      d.bones = m->mBones;
      d.boneCount = m->mNumBones;
      d.vertexCount = m->mNumVertices;
      for (unsigned f = 0; f < m->mNumFaces; ++f)
        d.corners.insert(d.corners.end(), m->mFaces[f].mIndices, m->mFaces[f].mIndices + m->mFaces[f].mNumIndices);
      m->mBones = nullptr;
      m->mNumBones = 0;
    }
  }
  DetachedBones(const DetachedBones&) = delete;
  DetachedBones& operator=(const DetachedBones&) = delete;
  // Bones never put back (the step failed and took the meshes with it) are freed here.
  ~DetachedBones() {
    for (Detached& d : meshes_) {
      if (!d.bones) continue;
      for (unsigned b = 0; b < d.boneCount; ++b) delete d.bones[b];
      delete[] d.bones;
    }
  }

  // Gives each mesh its bones back, weights renumbered by the joined faces.
  void Attach() {
    for (Detached& d : meshes_) {
      aiMesh& m = *d.mesh;
      std::vector<uint32_t> joined(d.vertexCount, UINT32_MAX), lowest(m.mNumVertices, UINT32_MAX);
      size_t c = 0;
      bool same = true;
      for (unsigned f = 0; f < m.mNumFaces && same; ++f)
        for (unsigned k = 0; k < m.mFaces[f].mNumIndices && same; ++k) {
          same = c < d.corners.size() && d.corners[c] < d.vertexCount && m.mFaces[f].mIndices[k] < m.mNumVertices;
          if (same) joined[d.corners[c++]] = m.mFaces[f].mIndices[k];
        }
      if (!same || c != d.corners.size()) throw std::runtime_error("assimp's vertex join changed a mesh's faces");
      for (uint32_t v = 0; v < d.vertexCount; ++v)
        if (joined[v] != UINT32_MAX && lowest[joined[v]] == UINT32_MAX) lowest[joined[v]] = v;
      for (unsigned b = 0; b < d.boneCount; ++b) {
        aiBone& bone = *d.bones[b];
        unsigned kept = 0;
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
          const unsigned v = bone.mWeights[w].mVertexId;
          if (v < d.vertexCount && joined[v] != UINT32_MAX && lowest[joined[v]] == v)
            bone.mWeights[kept++] = aiVertexWeight(joined[v], bone.mWeights[w].mWeight);
        }
        bone.mNumWeights = kept;
      }
      m.mBones = d.bones;
      m.mNumBones = d.boneCount;
      d.bones = nullptr;
    }
  }

 private:
  struct Detached {
    aiMesh* mesh = nullptr;
    aiBone** bones = nullptr;
    unsigned boneCount = 0, vertexCount = 0;
    std::vector<uint32_t> corners;  // the faces' vertex indices before the join, in order
  };
  std::vector<Detached> meshes_;
};

const aiScene* Join(Assimp::Importer& importer, const std::vector<aiMesh*>& meshes) {
  DetachedBones bones(meshes);
  const aiScene* after = importer.ApplyPostProcessing(aiProcess_JoinIdenticalVertices);
  if (after) bones.Attach();
  return after;
}

}  // namespace

const aiScene* JoinIdenticalVerticesWhereNeeded(Assimp::Importer& importer, const aiScene* scene) {
  if (!scene || scene->mNumMeshes == 0) return scene;
  std::vector<aiMesh*> all(scene->mMeshes, scene->mMeshes + scene->mNumMeshes), joined;
  for (aiMesh* m : all)
    if (m && JoinMayChangeMesh(*m)) joined.push_back(m);
  if (joined.empty()) return scene;
  // The step treats each mesh on its own, so it is shown only the meshes it may change: the
  // scene's mesh list is cut to them for the step and put back after.
  aiScene* s = importer.GetScene() == scene ? const_cast<aiScene*>(scene) : nullptr;
  if (!s || joined.size() == all.size()) return Join(importer, s ? joined : std::vector<aiMesh*>{});
  std::copy(joined.begin(), joined.end(), s->mMeshes);
  s->mNumMeshes = static_cast<unsigned>(joined.size());
  const aiScene* after = Join(importer, joined);
  if (after != s) return after;
  std::copy(all.begin(), all.end(), s->mMeshes);
  s->mNumMeshes = static_cast<unsigned>(all.size());
  return s;
}

}  // namespace vorn
