// The BVH reader against assimp's import of the same take: node names, hierarchy and transforms,
// the animation and every key, equal to the last bit. assimp also makes a stand-in mesh of the
// skeleton (pyramids between joints, a skin on them); the reader leaves it out, so meshes and
// materials are not compared. More takes: set VORN_BVH_DIR to a folder of .bvh files.
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/assimp_scene.h"
#include "host/bvh_reader.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

const std::string kTake = std::string(VORN_SOURCE_DIR) + "/tests/importers/data/take.bvh";

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void CompareNodes(const aiNode& a, const import::Node& b) {
  SCOPED_TRACE(b.name);
  EXPECT_EQ(b.name, a.mName.C_Str());
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_TRUE(SameBits(a.mTransformation[r][c], b.transform.m[r][c])) << r << c;
  ASSERT_EQ(a.mNumChildren, b.children.size());
  for (unsigned i = 0; i < a.mNumChildren; ++i) CompareNodes(*a.mChildren[i], b.children[i]);
}

// The number of keys that differ, with the first few reported.
int CompareKeys(const aiNodeAnim& a, const import::Channel& b) {
  int differ = 0;
  auto report = [&](const char* kind, unsigned k) {
    if (differ++ < 5) ADD_FAILURE() << b.node << ": " << kind << " key " << k << " differs";
  };
  if (a.mNumPositionKeys != b.positions.size() || a.mNumRotationKeys != b.rotations.size() ||
      a.mNumScalingKeys != b.scalings.size()) {
    ADD_FAILURE() << b.node << ": key counts differ";
    return 1;
  }
  for (unsigned k = 0; k < a.mNumPositionKeys; ++k) {
    const aiVectorKey& p = a.mPositionKeys[k];
    const import::VectorKey& q = b.positions[k];
    if (p.mTime != q.time || !SameBits(p.mValue.x, q.value.x) || !SameBits(p.mValue.y, q.value.y) ||
        !SameBits(p.mValue.z, q.value.z))
      report("position", k);
  }
  for (unsigned k = 0; k < a.mNumRotationKeys; ++k) {
    const aiQuatKey& p = a.mRotationKeys[k];
    const import::QuatKey& q = b.rotations[k];
    if (p.mTime != q.time || !SameBits(p.mValue.w, q.value.w) || !SameBits(p.mValue.x, q.value.x) ||
        !SameBits(p.mValue.y, q.value.y) || !SameBits(p.mValue.z, q.value.z))
      report("rotation", k);
  }
  for (unsigned k = 0; k < a.mNumScalingKeys; ++k) {
    const aiVectorKey& p = a.mScalingKeys[k];
    const import::VectorKey& q = b.scalings[k];
    if (p.mTime != q.time || !SameBits(p.mValue.x, q.value.x) || !SameBits(p.mValue.y, q.value.y) ||
        !SameBits(p.mValue.z, q.value.z))
      report("scaling", k);
  }
  return differ;
}

void CompareWithAssimp(const std::string& path) {
  SCOPED_TRACE(path);
  Assimp::Importer importer;
  const aiScene* a = ReadAssimpFile(importer, path);
  ASSERT_TRUE(a && a->mRootNode) << importer.GetErrorString();
  const import::Scene b = ReadBvh(path);
  CompareNodes(*a->mRootNode, b.root);
  ASSERT_EQ(a->mNumAnimations, b.animations.size());
  for (unsigned i = 0; i < a->mNumAnimations; ++i) {
    const aiAnimation& aa = *a->mAnimations[i];
    const import::Animation& ba = b.animations[i];
    EXPECT_EQ(ba.name, aa.mName.C_Str());
    EXPECT_EQ(ba.ticksPerSecond, aa.mTicksPerSecond);
    EXPECT_EQ(ba.duration, aa.mDuration);
    ASSERT_EQ(aa.mNumChannels, ba.channels.size());
    int differ = 0;
    for (unsigned c = 0; c < aa.mNumChannels; ++c) {
      EXPECT_EQ(ba.channels[c].node, aa.mChannels[c]->mNodeName.C_Str());
      differ += CompareKeys(*aa.mChannels[c], ba.channels[c]);
    }
    EXPECT_EQ(differ, 0);
  }
}

TEST(BvhAssimpTest, TakeReadsAsAssimpReadsIt) { CompareWithAssimp(kTake); }

// Every key of real captures (several thousand frames each).
TEST(BvhAssimpTest, TakesInVornBvhDir) {
  const char* dir = std::getenv("VORN_BVH_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "VORN_BVH_DIR not set";
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!IsBvhPath(e.path().string())) continue;
    CompareWithAssimp(e.path().string());
    ++files;
  }
  EXPECT_GT(files, 0) << "no .bvh files in " << dir;
}

}  // namespace
}  // namespace vorn
