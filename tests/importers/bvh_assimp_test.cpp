// The BVH reader against assimp's import of the same take: node names, hierarchy and transforms,
// the skeleton's stand-in mesh, the animation and every key equal to the last bit, and the .X
// files exported from both equal byte for byte. More takes: set VORN_BVH_DIR to a folder of .bvh
// files. Last, the app reads takes without assimp.
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "export/driver.h"
#include "importers/assimp_scene.h"
#include "importers/bvh_reader.h"
#include "tests/support/temp_dir.h"

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
  auto vectors = [&](const char* kind, const aiVectorKey* keys, const std::vector<import::VectorKey>& ours) {
    for (unsigned k = 0; k < ours.size(); ++k) {
      const aiVectorKey& p = keys[k];
      const import::VectorKey& q = ours[k];
      if (p.mTime != q.time || !SameBits(p.mValue.x, q.value.x) || !SameBits(p.mValue.y, q.value.y) ||
          !SameBits(p.mValue.z, q.value.z))
        report(kind, k);
    }
  };
  vectors("position", a.mPositionKeys, b.positions);
  vectors("scaling", a.mScalingKeys, b.scalings);
  for (unsigned k = 0; k < a.mNumRotationKeys; ++k) {
    const aiQuatKey& p = a.mRotationKeys[k];
    const import::QuatKey& q = b.rotations[k];
    if (p.mTime != q.time || !SameBits(p.mValue.w, q.value.w) || !SameBits(p.mValue.x, q.value.x) ||
        !SameBits(p.mValue.y, q.value.y) || !SameBits(p.mValue.z, q.value.z))
      report("rotation", k);
  }
  return differ;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The scene exported with the settings, its clips in the clip list as the app puts them there;
// the file's bytes.
std::string ExportBytes(std::unique_ptr<SceneDocument> scene, const std::vector<ImportedClip>& clips,
                        const std::string& settings, const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::ofstream ini(dir + "/vorn_max_config.ini");
  ini << "[Option]\n" << settings;
  for (const std::string& s : ClipSettings(clips, dir + "/none.ini")) ini << s << "\n";
  ini.close();
  scene->SetDirectory(kHostPluginConfigDir, dir);
  const std::string out = dir + "/out.x";
  XDoExport(out.c_str(), nullptr, scene.get(), true, 0);
  return ReadAll(out);
}
std::string ExportBvh(const std::string& path, const std::string& settings, const std::string& dir) {
  std::vector<ImportedClip> clips;
  auto scene = BuildImportedScene(ReadBvh(path), path, &clips);
  return ExportBytes(std::move(scene), clips, settings, dir);
}
std::string ExportThroughAssimp(const std::string& path, const std::string& settings, const std::string& dir) {
  std::vector<ImportedClip> clips;
  auto scene = LoadAssimpScene(path, &clips);
  return ExportBytes(std::move(scene), clips, settings, dir);
}

// The skeleton's stand-in mesh: every float as assimp's, except that a zero may have the other
// sign (assimp's vertices pass through two general matrix inverses on the way, which leave
// some zeros negative; the reader adds the joint's place instead).
void CompareMesh(const aiMesh& a, const import::Mesh& b) {
  ASSERT_EQ(a.mNumVertices, b.positions.size());
  ASSERT_EQ(b.normals.size(), b.positions.size());
  int differ = 0;
  for (unsigned v = 0; v < a.mNumVertices; ++v) {
    const aiVector3D& p = a.mVertices[v];
    const aiVector3D& n = a.mNormals[v];
    const import::Vec3& q = b.positions[v];
    const import::Vec3& m = b.normals[v];
    if (!(p.x == q.x && p.y == q.y && p.z == q.z) || !SameBits(n.x, m.x) || !SameBits(n.y, m.y) ||
        !SameBits(n.z, m.z))
      if (differ++ < 5) ADD_FAILURE() << "vertex " << v << " differs";
  }
  EXPECT_EQ(differ, 0);
  ASSERT_EQ(a.mNumFaces, b.triangles.size());
  for (unsigned f = 0; f < a.mNumFaces; ++f) {
    ASSERT_EQ(a.mFaces[f].mNumIndices, 3u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(a.mFaces[f].mIndices[k], b.triangles[f][size_t(k)]);
  }
  ASSERT_EQ(a.mNumBones, b.bones.size());
  for (unsigned i = 0; i < a.mNumBones; ++i) {
    const aiBone& ab = *a.mBones[i];
    const import::Bone& bb = b.bones[i];
    EXPECT_EQ(bb.name, ab.mName.C_Str());
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_EQ(ab.mOffsetMatrix[r][c], bb.offset.m[r][c]) << bb.name << r << c;
    ASSERT_EQ(ab.mNumWeights, bb.weights.size());
    for (unsigned k = 0; k < ab.mNumWeights; ++k) {
      EXPECT_EQ(ab.mWeights[k].mVertexId, bb.weights[k].first);
      EXPECT_EQ(ab.mWeights[k].mWeight, bb.weights[k].second);
    }
  }
}

void CompareWithAssimp(const std::string& path) {
  SCOPED_TRACE(path);
  Assimp::Importer importer;
  const aiScene* a = ReadAssimpFile(importer, path);
  ASSERT_TRUE(a && a->mRootNode) << importer.GetErrorString();
  const import::Scene b = ReadBvh(path);

  ASSERT_EQ(a->mNumMeshes, 1u);
  ASSERT_EQ(b.meshes.size(), 1u);
  CompareMesh(*a->mMeshes[0], b.meshes[0]);
  ASSERT_EQ(b.materials.size(), 1u);
  EXPECT_EQ(b.materials[0].name, a->mMaterials[0]->GetName().C_Str());

  // Text and binary, keys sampled and as they are.
  const testing::TempDir tmp;
  for (const char* settings : {"XFileType=0\n", "XFileType=1\n", "XFileType=1\nKeyFrames=1\nKeyOptimizeLevel=0\n"}) {
    SCOPED_TRACE(settings);
    const std::string ours = ExportBvh(path, settings, tmp / "ours");
    EXPECT_GT(ours.size(), 1000u);
    EXPECT_TRUE(ours == ExportThroughAssimp(path, settings, tmp / "assimp")) << "the .X files differ";
  }

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

// The app reads a take with the reader: beside a copy of vorn without the assimp module, a take
// exports (the same file as in process) and a file for assimp does not.
TEST(BvhApp, TakesExportWithoutTheAssimpModule) {
  const testing::TempDir tmp;
  namespace fs = std::filesystem;
  fs::copy_file(VORN_EXE, tmp / "vorn");
  fs::copy_file(VORN_PLUGIN, tmp / "vorn.dle");
  ASSERT_FALSE(fs::exists(tmp / "vorn_assimp.so"));
  auto run = [&](const std::string& args) {
    const std::string cmd = "'" + (tmp / "vorn") + "' " + args + " --silent --config-dir '" + (tmp / "cfg") +
                            "' </dev/null >/dev/null 2>'" + (tmp / "err.txt") + "'";
    return std::system(cmd.c_str());
  };
  ASSERT_EQ(run("export '" + kTake + "' '" + (tmp / "take.x") + "' --set XFileType=1"), 0) << ReadAll(tmp / "err.txt");
  EXPECT_EQ(ReadAll(tmp / "take.x"), ExportBvh(kTake, "XFileType=1\n", tmp / "inprocess"));

  std::ofstream(tmp / "box.obj") << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  EXPECT_NE(run("export '" + (tmp / "box.obj") + "' '" + (tmp / "box.x") + "'"), 0);
  EXPECT_NE(ReadAll(tmp / "err.txt").find("vorn_assimp.so"), std::string::npos) << ReadAll(tmp / "err.txt");

  std::ofstream(tmp / "cut.bvh") << ReadAll(kTake).substr(0, 2000);
  EXPECT_NE(run("export '" + (tmp / "cut.bvh") + "' '" + (tmp / "cut.x") + "'"), 0);
  EXPECT_NE(ReadAll(tmp / "err.txt").find("cut.bvh:"), std::string::npos) << ReadAll(tmp / "err.txt");
  EXPECT_FALSE(fs::exists(tmp / "cut.x"));
}

}  // namespace
}  // namespace vorn
