// Our .X reader against assimp's X import on every .X file at hand: the shared models, the samples
// in tests/importers/x, the files vorn itself writes (text, binary, compressed; from the examples
// and test scenes) and, with VORN_EXTRA_X_DIR set, a folder of one's own. Both read the same
// records to the last bit and export the same file byte for byte.
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "export/driver.h"
#include "importers/assimp_scene.h"
#include "importers/x_reader.h"
#include "tests/importers/export_scene.h"
#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> XFilesIn(const fs::path& root) {
  std::vector<fs::path> found;
  if (!fs::exists(root)) return found;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && IsXPath(e.path().string())) found.push_back(e.path());
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<fs::path> SampleFiles() {
  std::vector<fs::path> all = XFilesIn(fs::path(VORN_MODELS_DIR) / "x");
  for (const fs::path& p : XFilesIn(fs::path(VORN_SOURCE_DIR) / "tests/importers/x")) all.push_back(p);
  if (const char* extra = std::getenv("VORN_EXTRA_X_DIR"))
    for (const fs::path& p : XFilesIn(extra)) all.push_back(p);
  return all;
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Records compared to the bit; the first few differences of each kind are reported.
class Compare {
 public:
  Compare(const aiScene& a, const import::Scene& o) : a_(a), o_(o) {}

  void Run() {
    Node(*a_.mRootNode, o_.root);
    ASSERT_EQ(a_.mNumAnimations, o_.animations.size());
    for (unsigned i = 0; i < a_.mNumAnimations; ++i) Animation(*a_.mAnimations[i], o_.animations[i]);
    EXPECT_EQ(differ_, 0) << "values that differ";
  }

 private:
  void Same(float a, float b, const std::string& what) {
    if (!SameBits(a, b) && differ_++ < 8) ADD_FAILURE() << what << ": assimp " << a << ", ours " << b;
  }
  void Matrix(const aiMatrix4x4& a, const import::Matrix4& o, const std::string& what) {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) Same(a[r][c], o.m[r][c], what + " [" + std::to_string(r) + "][" + std::to_string(c) + "]");
  }

  void Node(const aiNode& a, const import::Node& o) {
    SCOPED_TRACE("node " + o.name);
    EXPECT_EQ(a.mName.C_Str(), o.name);
    Matrix(a.mTransformation, o.transform, "transform of " + o.name);
    ASSERT_EQ(a.mNumMeshes, o.meshes.size());
    for (unsigned k = 0; k < a.mNumMeshes; ++k) Mesh(*a_.mMeshes[a.mMeshes[k]], o_.meshes.at(o.meshes[k]));
    ASSERT_EQ(a.mNumChildren, o.children.size());
    for (unsigned i = 0; i < a.mNumChildren; ++i) Node(*a.mChildren[i], o.children[i]);
  }

  void Mesh(const aiMesh& a, const import::Mesh& o) {
    ASSERT_EQ(a.mNumVertices, o.positions.size());
    // A mesh of points or lines has no triangles, and no normals unless the file gives them.
    std::vector<const aiFace*> triangles;
    for (unsigned f = 0; f < a.mNumFaces; ++f)
      if (a.mFaces[f].mNumIndices == 3) triangles.push_back(&a.mFaces[f]);
    ASSERT_EQ(triangles.size(), o.triangles.size());
    ASSERT_EQ(a.HasNormals(), !o.normals.empty());
    for (unsigned v = 0; v < a.mNumVertices; ++v) {
      const std::string at = "vertex " + std::to_string(v);
      Same(a.mVertices[v].x, o.positions[v].x, at + " x");
      Same(a.mVertices[v].y, o.positions[v].y, at + " y");
      Same(a.mVertices[v].z, o.positions[v].z, at + " z");
      if (!a.HasNormals()) continue;
      Same(a.mNormals[v].x, o.normals[v].x, at + " normal x");
      Same(a.mNormals[v].y, o.normals[v].y, at + " normal y");
      Same(a.mNormals[v].z, o.normals[v].z, at + " normal z");
    }
    for (unsigned c = 0; c < 8; ++c) {
      ASSERT_EQ(a.HasTextureCoords(c), !o.uvs[c].empty()) << "uv set " << c;
      for (unsigned v = 0; a.HasTextureCoords(c) && v < a.mNumVertices; ++v) {
        Same(a.mTextureCoords[c][v].x, o.uvs[c][v].x, "u");
        Same(a.mTextureCoords[c][v].y, o.uvs[c][v].y, "v");
      }
    }
    ASSERT_EQ(a.HasVertexColors(0), !o.colors.empty());
    for (unsigned v = 0; a.HasVertexColors(0) && v < a.mNumVertices; ++v) {
      Same(a.mColors[0][v].r, o.colors[v].r, "red");
      Same(a.mColors[0][v].a, o.colors[v].a, "alpha");
    }
    for (size_t f = 0; f < triangles.size(); ++f)
      for (int i = 0; i < 3; ++i)
        if (triangles[f]->mIndices[i] != o.triangles[f][size_t(i)] && differ_++ < 8) ADD_FAILURE() << "face " << f;
    Material(*a_.mMaterials[a.mMaterialIndex], o_.materials.at(o.material));
    ASSERT_EQ(a.mNumBones, o.bones.size());
    for (unsigned b = 0; b < a.mNumBones; ++b) {
      const aiBone& ab = *a.mBones[b];
      const import::Bone& ob = o.bones[b];
      EXPECT_EQ(ab.mName.C_Str(), ob.name);
      Matrix(ab.mOffsetMatrix, ob.offset, "offset of " + ob.name);
      ASSERT_EQ(ab.mNumWeights, ob.weights.size()) << ob.name;
      for (unsigned k = 0; k < ab.mNumWeights; ++k) {
        EXPECT_EQ(ab.mWeights[k].mVertexId, ob.weights[k].first);
        Same(ab.mWeights[k].mWeight, ob.weights[k].second, "weight");
      }
    }
  }

  void Material(const aiMaterial& a, const import::Material& o) {
    EXPECT_EQ(a.GetName().C_Str(), o.name);
    aiColor4D c;
    ASSERT_EQ(a.Get(AI_MATKEY_COLOR_DIFFUSE, c), AI_SUCCESS);
    Same(c.r, o.diffuse.r, "diffuse");
    Same(c.a, o.diffuse.a, "diffuse alpha");
    ASSERT_EQ(a.Get(AI_MATKEY_COLOR_SPECULAR, c), AI_SUCCESS);
    Same(c.g, o.specular.g, "specular");
    ASSERT_EQ(a.Get(AI_MATKEY_COLOR_EMISSIVE, c), AI_SUCCESS);
    Same(c.b, o.emissive.b, "emissive");
    float shininess = 0;
    ASSERT_EQ(a.Get(AI_MATKEY_SHININESS, shininess), AI_SUCCESS);
    Same(shininess, o.shininess, "shininess");
    EXPECT_NE(a.Get(AI_MATKEY_OPACITY, shininess), AI_SUCCESS);
    for (auto [type, map] : {std::pair{aiTextureType_DIFFUSE, &o.diffuseMap}, std::pair{aiTextureType_NORMALS, &o.normalMap}}) {
      aiString file;
      if (a.GetTexture(type, 0, &file) == AI_SUCCESS)
        EXPECT_EQ(file.C_Str(), map->file);
      else
        EXPECT_TRUE(map->file.empty());
    }
  }

  template <class Key, class OurKey, class Check>
  void Keys(const Key* a, unsigned n, const std::vector<OurKey>& o, Check&& check) {
    ASSERT_EQ(n, o.size());
    for (unsigned k = 0; k < n; ++k) {
      EXPECT_EQ(a[k].mTime, o[k].time) << "key " << k;
      check(a[k].mValue, o[k].value);
    }
  }

  void Animation(const aiAnimation& a, const import::Animation& o) {
    SCOPED_TRACE("animation " + o.name);
    EXPECT_EQ(a.mName.C_Str(), o.name);
    EXPECT_EQ(a.mTicksPerSecond, o.ticksPerSecond);
    EXPECT_EQ(a.mDuration, o.duration);
    ASSERT_EQ(a.mNumChannels, o.channels.size());
    for (unsigned i = 0; i < a.mNumChannels; ++i) {
      const aiNodeAnim& ch = *a.mChannels[i];
      const import::Channel& oc = o.channels[i];
      EXPECT_EQ(ch.mNodeName.C_Str(), oc.node);
      auto vec = [&](const aiVector3D& x, const import::Vec3& y) {
        Same(x.x, y.x, oc.node + " key x");
        Same(x.y, y.y, oc.node + " key y");
        Same(x.z, y.z, oc.node + " key z");
      };
      Keys(ch.mPositionKeys, ch.mNumPositionKeys, oc.positions, vec);
      Keys(ch.mScalingKeys, ch.mNumScalingKeys, oc.scalings, vec);
      Keys(ch.mRotationKeys, ch.mNumRotationKeys, oc.rotations, [&](const aiQuaternion& x, const import::Quaternion& y) {
        Same(x.w, y.w, oc.node + " rotation w");
        Same(x.x, y.x, oc.node + " rotation x");
        Same(x.y, y.y, oc.node + " rotation y");
        Same(x.z, y.z, oc.node + " rotation z");
      });
    }
  }

  const aiScene& a_;
  const import::Scene& o_;
  int differ_ = 0;
};

using testing::ExportScene;

// Records and exported files of one file, through both paths.
void CompareFile(const fs::path& file) {
  SCOPED_TRACE(file.string());
  Assimp::Importer importer;
  const aiScene* theirs = ReadAssimpFile(importer, file.string());
  const import::Scene ours = ReadX(file.string());
  if (!theirs || !theirs->mRootNode) {
    // assimp refuses a file of frames and animation without meshes; its frames still export.
    EXPECT_NE(std::string(importer.GetErrorString()).find("mNumMeshes is 0"), std::string::npos) << importer.GetErrorString();
    EXPECT_TRUE(ours.meshes.empty());
    return;
  }
  Compare(*theirs, ours).Run();

  std::vector<ImportedClip> theirClips, ourClips;
  std::unique_ptr<SceneDocument> a = LoadAssimpScene(file.string(), &theirClips);
  std::unique_ptr<SceneDocument> b = BuildImportedScene(ours, file.string(), &ourClips);
  testing::ExpectSameExports(*a, theirClips, *b, ourClips, true);
}

TEST(XReaderAgainstAssimp, SampleFilesReadAndExportAsThroughAssimp) {
  const std::vector<fs::path> files = SampleFiles();
  ASSERT_GE(files.size(), 5u);
  for (const fs::path& file : files) CompareFile(file);
}

// What vorn writes reads back the same both ways, in every encoding: the examples and test
// scenes with their skins, hierarchies, materials and animation, keys sampled, as they are and as matrices.
TEST(XReaderAgainstAssimp, FilesVornWritesReadAsThroughAssimp) {
  testing::TempDir dir;
  std::vector<fs::path> scenes;
  for (const char* folder : {"examples", "tests/scenes"})
    for (const auto& e : fs::directory_iterator(fs::path(VORN_SOURCE_DIR) / folder))
      if (e.path().extension() == ".json") scenes.push_back(e.path());
  std::sort(scenes.begin(), scenes.end());
  ASSERT_GE(scenes.size(), 8u);
  int written = 0;
  for (const fs::path& scene : scenes) {
    for (const std::string settings : {"XFileType=0\n", "XFileType=1\nKeyFrames=1\nKeyType=1\n", "XFileType=2\nKeyFrames=1\nKeyType=0\n"}) {
      std::unique_ptr<SceneDocument> doc = LoadSceneDocument(scene.string());
      const std::string name = scene.stem().string() + "-" + std::to_string(written++);
      ExportScene(*doc, {}, dir.path(), name, settings);
      CompareFile(fs::path(dir.path()) / name / "scene.x");
    }
  }
}

// The app reads .X files with the reader: beside a copy of vorn without the assimp module a
// file exports, the same as through assimp with the module; a broken file is refused by name.
TEST(XReaderApp, ExportsWithoutTheAssimpModuleAsThroughAssimp) {
  const testing::TempDir tmp;
  fs::copy_file(VORN_EXE, tmp / "vorn");
  fs::copy_file(VORN_PLUGIN, tmp / "vorn.dle");
  auto run = [&](const std::string& vorn, const std::string& args) {
    const std::string cmd = "'" + vorn + "' export " + args + " --silent --set XFileType=0 --config-dir '" + (tmp / "cfg") +
                            "' </dev/null >/dev/null 2>'" + (tmp / "err.txt") + "'";
    return std::system(cmd.c_str());
  };
  const std::string model = std::string(VORN_SOURCE_DIR) + "/tests/importers/x/skinned.x";
  ASSERT_EQ(run(tmp / "vorn", "'" + model + "' '" + (tmp / "ours.x") + "'"), 0) << testing::ReadText(tmp / "err.txt");
  ASSERT_EQ(run(VORN_EXE, "'" + model + "' '" + (tmp / "assimp.x") + "' --importer assimp"), 0) << testing::ReadText(tmp / "err.txt");
  EXPECT_EQ(testing::ReadText(tmp / "ours.x"), testing::ReadText(tmp / "assimp.x"));

  testing::WriteText(tmp / "cut.x", testing::ReadText(model).substr(0, 1500));
  EXPECT_NE(run(tmp / "vorn", "'" + (tmp / "cut.x") + "' '" + (tmp / "cut-out.x") + "'"), 0);
  EXPECT_NE(testing::ReadText(tmp / "err.txt").find("cut.x: "), std::string::npos) << testing::ReadText(tmp / "err.txt");
  EXPECT_FALSE(fs::exists(tmp / "cut-out.x"));
}

}  // namespace
}  // namespace vorn
