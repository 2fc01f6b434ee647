// The importer runs assimp's vertex join only where it may change a mesh. A wrong "may not"
// changes the exported file, so the check is tried against the step itself.
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "importers/assimp_scene.h"
#include "importers/assimp_vertex_join.h"

namespace vorn {
namespace {

constexpr unsigned kBeforeJoin =
    aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_GenNormals | aiProcess_ValidateDataStructure;

const aiScene* ReadObj(Assimp::Importer& importer, const std::string& obj, unsigned steps) {
  return importer.ReadFileFromMemory(obj.data(), obj.size(), steps, "obj");
}

// Two coplanar triangles (same face normal) whose first corners are `gap` apart along x.
std::string TwoTriangles(double offset, double size, double gap) {
  char obj[512];
  std::snprintf(obj, sizeof obj,
                "v %.12g 0 0\nv %.12g 0 0\nv %.12g %.12g 0\n"
                "v %.12g 0 0\nv %.12g 0 0\nv %.12g -%.12g 0\nf 1 2 3\nf 4 5 6\n",
                offset, offset + size, offset, size, offset + gap, offset - size, offset + gap, size);
  return obj;
}

TEST(AssimpVertexJoin, NeverSkipsAJoinThatWouldMerge) {
  // Gaps from clearly apart to equal, at scales and offsets where the step's own tolerance
  // behaves differently (near zero it merges pairs farther apart than elsewhere).
  int merged = 0, skipped = 0;
  for (double size : {0.01, 1.0, 1000.0})
    for (double offset : {0.0, 0.5, 3.0, -70.0})
      for (double rel = 1e-2; rel > 1e-12; rel /= std::sqrt(10.0)) {
        const std::string obj = TwoTriangles(offset * size, size, rel * size);
        Assimp::Importer plain, joined;
        const aiScene* before = ReadObj(plain, obj, kBeforeJoin);
        const aiScene* after = ReadObj(joined, obj, kBeforeJoin | aiProcess_JoinIdenticalVertices);
        ASSERT_TRUE(before && after);
        const bool merges = after->mMeshes[0]->mNumVertices < before->mMeshes[0]->mNumVertices;
        merged += merges;
        if (!JoinMayChangeMesh(*before->mMeshes[0])) {
          ++skipped;
          EXPECT_FALSE(merges) << "size " << size << " offset " << offset << " gap " << rel * size;
        }
      }
  EXPECT_GT(merged, 0);
  EXPECT_GT(skipped, 0);  // far-apart pairs need no join
}

// A mesh of triangles over the given points, as an indexed source gives it.
struct IndexedMesh {
  aiMesh mesh;
  IndexedMesh(std::initializer_list<aiVector3D> points, std::initializer_list<unsigned> corners) {
    mesh.mNumVertices = static_cast<unsigned>(points.size());
    mesh.mVertices = new aiVector3D[points.size()];
    std::copy(points.begin(), points.end(), mesh.mVertices);
    mesh.mNumFaces = static_cast<unsigned>(corners.size() / 3);
    mesh.mFaces = new aiFace[mesh.mNumFaces];
    auto c = corners.begin();
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
      mesh.mFaces[f].mNumIndices = 3;
      mesh.mFaces[f].mIndices = new unsigned[3]{c[0], c[1], c[2]};
      c += 3;
    }
  }
};

TEST(AssimpVertexJoin, VertexOrderUseAndNearnessDecide) {
  const aiVector3D a(0, 0, 0), b(1, 0, 0), c(0, 1, 0), d(1, 1, 0);
  EXPECT_FALSE(JoinMayChangeMesh(IndexedMesh({a, b, c, d}, {0, 1, 2, 1, 3, 2}).mesh));
  // First used out of order: the join renumbers.
  EXPECT_TRUE(JoinMayChangeMesh(IndexedMesh({a, b, c, d}, {0, 2, 1, 1, 3, 2}).mesh));
  // A vertex no face uses: the join drops it.
  EXPECT_TRUE(JoinMayChangeMesh(IndexedMesh({a, b, c, d}, {0, 1, 2}).mesh));
  // Two equal points, and two a hair apart.
  EXPECT_TRUE(JoinMayChangeMesh(IndexedMesh({a, b, c, b}, {0, 1, 2, 3, 2, 0}).mesh));
  EXPECT_TRUE(JoinMayChangeMesh(IndexedMesh({a, b, c, aiVector3D(1, 1e-6f, 0)}, {0, 1, 2, 3, 2, 0}).mesh));
  // Equal points with different normals stay apart.
  IndexedMesh split({a, b, c, b}, {0, 1, 2, 3, 2, 0});
  split.mesh.mNormals = new aiVector3D[4]{{0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {1, 0, 0}};
  EXPECT_FALSE(JoinMayChangeMesh(split.mesh));
  // Far from the origin, points a float step apart are near.
  const aiVector3D far(1e6f, 0, 0), next(std::nextafter(1e6f, 2e6f), 0, 0);
  EXPECT_TRUE(JoinMayChangeMesh(IndexedMesh({far, b, c, next}, {0, 1, 2, 3, 2, 1}).mesh));
}

TEST(AssimpVertexJoin, JoinOnSomeMeshesEqualsJoinOnAll) {
  // Three objects: two indexed with nothing to merge, one of separate triangles with shared corners.
  const std::string obj =
      "o a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 3\nf 2 4 3\n"
      "o b\nv 0 0 1\nv 1 0 1\nv 0 1 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\nf 5 6 7\nf 8 9 10\n"
      "o c\nv 3 0 0\nv 4 0 0\nv 3 1 0\nf 11 12 13\n";
  Assimp::Importer all, some;
  const aiScene* reference = ReadObj(all, obj, kBeforeJoin | aiProcess_JoinIdenticalVertices);
  const aiScene* scene = JoinIdenticalVerticesWhereNeeded(some, ReadObj(some, obj, kBeforeJoin));
  ASSERT_TRUE(reference && scene);
  ASSERT_EQ(scene->mNumMeshes, reference->mNumMeshes);
  bool anyJoined = false;
  for (unsigned i = 0; i < scene->mNumMeshes; ++i) {
    const aiMesh& m = *scene->mMeshes[i];
    const aiMesh& r = *reference->mMeshes[i];
    EXPECT_EQ(std::string(m.mName.C_Str()), r.mName.C_Str());
    ASSERT_EQ(m.mNumVertices, r.mNumVertices) << m.mName.C_Str();
    ASSERT_EQ(m.mNumFaces, r.mNumFaces);
    for (unsigned v = 0; v < m.mNumVertices; ++v) EXPECT_EQ(m.mVertices[v], r.mVertices[v]);
    for (unsigned f = 0; f < m.mNumFaces; ++f)
      for (unsigned k = 0; k < 3; ++k) EXPECT_EQ(m.mFaces[f].mIndices[k], r.mFaces[f].mIndices[k]);
    anyJoined |= m.mNumVertices < 3 * m.mNumFaces && std::string(m.mName.C_Str()) == "b";
  }
  EXPECT_TRUE(anyJoined);
}

// The bones go round the step (it renumbers weights slowly); the weights they come back with
// must be those the step gives, on skinned files whose corners the join merges.
TEST(AssimpVertexJoin, BonesTakenRoundTheJoinComeBackAsTheStepLeavesThem) {
  std::vector<std::filesystem::path> files = {std::filesystem::path(VORN_SOURCE_DIR) / "tests/importers/x/skinned.x",
                                              std::filesystem::path(VORN_SOURCE_DIR) / "tests/importers/x/mixed_skin.x"};
  for (const char* shared : {"x/anim_test.x", "x/test_cube_binary.x"})
    if (std::filesystem::exists(std::filesystem::path(VORN_MODELS_DIR) / shared))
      files.push_back(std::filesystem::path(VORN_MODELS_DIR) / shared);
  unsigned merged = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    Assimp::Importer theirs, ours;
    const aiScene* reference = theirs.ReadFile(file.string(), kBeforeJoin | aiProcess_JoinIdenticalVertices);
    const aiScene* scene = JoinIdenticalVerticesWhereNeeded(ours, ours.ReadFile(file.string(), kBeforeJoin));
    ASSERT_TRUE(reference && scene);
    ASSERT_EQ(scene->mNumMeshes, reference->mNumMeshes);
    for (unsigned i = 0; i < scene->mNumMeshes; ++i) {
      const aiMesh& m = *scene->mMeshes[i];
      const aiMesh& r = *reference->mMeshes[i];
      ASSERT_EQ(m.mNumVertices, r.mNumVertices);
      ASSERT_EQ(m.mNumBones, r.mNumBones);
      for (unsigned b = 0; b < m.mNumBones; ++b) {
        const aiBone& ob = *m.mBones[b];
        const aiBone& rb = *r.mBones[b];
        EXPECT_EQ(std::string(ob.mName.C_Str()), rb.mName.C_Str());
        EXPECT_EQ(ob.mOffsetMatrix, rb.mOffsetMatrix);
        ASSERT_EQ(ob.mNumWeights, rb.mNumWeights) << ob.mName.C_Str();
        for (unsigned w = 0; w < ob.mNumWeights; ++w) {
          EXPECT_EQ(ob.mWeights[w].mVertexId, rb.mWeights[w].mVertexId);
          EXPECT_EQ(ob.mWeights[w].mWeight, rb.mWeights[w].mWeight);
        }
      }
      if (m.mNumBones > 0 && m.mNumVertices < 3 * m.mNumFaces) ++merged;
    }
  }
  EXPECT_GT(merged, 0u);  // some skinned mesh had corners to merge
}

}  // namespace
}  // namespace vorn
