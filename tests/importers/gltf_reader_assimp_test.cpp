// Our glTF reader against assimp's glTF import on every glTF file at hand (the shared models and
// the samples in tests/importers/gltf): both read the same files, refuse the same broken ones
// (or differ for a stated reason), and give the same records, so the two export paths agree.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "export/driver.h"
#include "importers/assimp_scene.h"
#include "importers/gltf_reader.h"
#include "tests/importers/export_scene.h"
#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// VORN_EXTRA_GLTF_DIR adds a folder of one's own (the bench models, say) to the comparison.
std::vector<fs::path> GltfFiles() {
  std::vector<fs::path> found, roots = {fs::path(VORN_MODELS_DIR), fs::path(VORN_SOURCE_DIR) / "tests/importers/gltf"};
  if (const char* extra = std::getenv("VORN_EXTRA_GLTF_DIR")) roots.push_back(extra);
  for (const fs::path& root : roots) {
    if (!fs::exists(root)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (IsGltfPath(e.path().string())) found.push_back(e.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Files where the two readers part ways on purpose, and why.
const std::map<std::string, std::string> kOnlyAssimpReads = {
    // assimp drops the faces whose indices point past the vertices; a file with such indices is
    // broken, and exporting what is left would hide that from the user.
    {"IndexOutOfRange.gltf", "vertex index out of range"},
};
// Members the reader has no use for are not checked: a wrongly typed scene name or texture
// transform does not stop the export.
const std::map<std::string, std::string> kOnlyWeRead = {
    {"badString.gltf", "a scene's name is not read"},
    {"badExtension.gltf", "KHR_texture_transform is not read"},
};

bool Near(float a, float b, float tolerance = 1e-5f) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::fabs(a - b) <= tolerance * std::max(1.0f, std::max(std::fabs(a), std::fabs(b)));
}

#define EXPECT_NEAR_F(a, b) EXPECT_TRUE(Near(a, b)) << #a << " = " << (a) << ", " << #b << " = " << (b)

class Compare {
 public:
  Compare(const aiScene& a, const import::Scene& o) : a_(a), o_(o) {}

  void Run() {
    // A lone node with only points or lines in it hangs under a root of ours; assimp's root is
    // the node itself.
    const bool lone = a_.mRootNode->mNumChildren == 0 && o_.root.meshes.empty() && o_.root.children.size() == 1;
    Node(*a_.mRootNode, lone ? o_.root.children[0] : o_.root);
    ASSERT_EQ(a_.mNumAnimations, o_.animations.size());
    for (unsigned i = 0; i < a_.mNumAnimations; ++i) Animation(*a_.mAnimations[i], o_.animations[i]);
  }

 private:
  void Matrix(const aiMatrix4x4& a, const import::Matrix4& o, const std::string& what) {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_NEAR_F(a[r][c], o.m[r][c]) << what << " [" << r << "][" << c << "]";
  }

  void Node(const aiNode& a, const import::Node& o) {
    SCOPED_TRACE("node " + o.name);
    EXPECT_EQ(a.mName.C_Str(), o.name);
    Matrix(a.mTransformation, o.transform, "transform");
    // assimp keeps point and line meshes apart from the triangles; we drop them.
    std::vector<unsigned> triangles;
    for (unsigned k = 0; k < a.mNumMeshes; ++k)
      if (a_.mMeshes[a.mMeshes[k]]->mPrimitiveTypes & aiPrimitiveType_TRIANGLE) triangles.push_back(a.mMeshes[k]);
    ASSERT_EQ(triangles.size(), o.meshes.size());
    for (size_t k = 0; k < triangles.size(); ++k) Mesh(*a_.mMeshes[triangles[k]], o_.meshes.at(o.meshes[k]));
    ASSERT_EQ(a.mNumChildren, o.children.size());
    for (unsigned i = 0; i < a.mNumChildren; ++i) Node(*a.mChildren[i], o.children[i]);
  }

  void Mesh(const aiMesh& a, const import::Mesh& o) {
    ASSERT_EQ(a.mNumVertices, o.positions.size());
    ASSERT_EQ(a.mNumFaces, o.triangles.size());
    for (unsigned v = 0; v < a.mNumVertices; ++v) {
      EXPECT_EQ(a.mVertices[v].x, o.positions[v].x);
      EXPECT_EQ(a.mVertices[v].y, o.positions[v].y);
      EXPECT_EQ(a.mVertices[v].z, o.positions[v].z);
    }
    ASSERT_EQ(a.HasNormals(), !o.normals.empty());
    for (unsigned v = 0; a.HasNormals() && v < a.mNumVertices; ++v) {
      EXPECT_NEAR_F(a.mNormals[v].x, o.normals[v].x) << "vertex " << v;
      EXPECT_NEAR_F(a.mNormals[v].y, o.normals[v].y) << "vertex " << v;
      EXPECT_NEAR_F(a.mNormals[v].z, o.normals[v].z) << "vertex " << v;
    }
    for (unsigned c = 0; c < 8; ++c) {
      ASSERT_EQ(a.HasTextureCoords(c), !o.uvs[c].empty()) << "uv set " << c;
      for (unsigned v = 0; a.HasTextureCoords(c) && v < a.mNumVertices; ++v) {
        EXPECT_EQ(a.mTextureCoords[c][v].x, o.uvs[c][v].x);
        EXPECT_EQ(a.mTextureCoords[c][v].y, o.uvs[c][v].y);
      }
    }
    ASSERT_EQ(a.HasVertexColors(0), !o.colors.empty());
    for (unsigned v = 0; a.HasVertexColors(0) && v < a.mNumVertices; ++v) {
      EXPECT_NEAR_F(a.mColors[0][v].r, o.colors[v].r);
      EXPECT_NEAR_F(a.mColors[0][v].a, o.colors[v].a);
    }
    for (unsigned f = 0; f < a.mNumFaces; ++f) {
      ASSERT_EQ(a.mFaces[f].mNumIndices, 3u);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(a.mFaces[f].mIndices[i], o.triangles[f][size_t(i)]) << "face " << f;
    }
    Material(*a_.mMaterials[a.mMaterialIndex], o_.materials.at(o.material));
    Bones(a, o);
  }

  void Bones(const aiMesh& a, const import::Mesh& o) {
    // assimp's bones are the joints that carry weight, by name.
    std::map<std::string, const import::Bone*> ours;
    for (const import::Bone& b : o.bones)
      if (!b.weights.empty()) ours[b.name] = &b;
    unsigned weighted = 0;
    for (unsigned b = 0; b < a.mNumBones; ++b) {
      const aiBone& bone = *a.mBones[b];
      std::set<std::pair<uint32_t, float>> theirs;
      for (unsigned k = 0; k < bone.mNumWeights; ++k)
        if (bone.mWeights[k].mWeight > 0) theirs.insert({bone.mWeights[k].mVertexId, bone.mWeights[k].mWeight});
      if (theirs.empty()) continue;
      ++weighted;
      auto it = ours.find(bone.mName.C_Str());
      ASSERT_NE(it, ours.end()) << "bone " << bone.mName.C_Str();
      Matrix(bone.mOffsetMatrix, it->second->offset, std::string("offset of ") + bone.mName.C_Str());
      const std::set<std::pair<uint32_t, float>> mine(it->second->weights.begin(), it->second->weights.end());
      EXPECT_EQ(theirs, mine);
    }
    EXPECT_EQ(weighted, ours.size());
  }

  void Map(const aiMaterial& a, aiTextureType type, const import::MaterialMap& o) {
    aiString file;
    unsigned uv = 0;
    if (a.GetTexture(type, 0, &file, nullptr, &uv) != AI_SUCCESS) {
      EXPECT_FALSE(o.Present());
      return;
    }
    EXPECT_EQ(uv, o.uvSet);
    if (file.C_Str()[0] == '*') {
      const int index = std::atoi(file.C_Str() + 1);
      ASSERT_EQ(index, o.embedded);
      const aiTexture& t = *a_.mTextures[index];
      const import::Texture& ot = o_.textures.at(size_t(index));
      EXPECT_EQ(t.mHeight, 0u);
      EXPECT_EQ(t.mFilename.C_Str(), ot.fileName);
      EXPECT_EQ(std::string(t.achFormatHint), ot.formatHint);
      ASSERT_EQ(t.mWidth, ot.data.size());
      EXPECT_EQ(std::memcmp(t.pcData, ot.data.data(), ot.data.size()), 0);
    } else {
      EXPECT_EQ(file.C_Str(), o.file);
    }
    int mode[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
    a.Get(AI_MATKEY_MAPPINGMODE_U(type, 0), mode[0]);
    a.Get(AI_MATKEY_MAPPINGMODE_V(type, 0), mode[1]);
    const import::Wrap expected[] = {import::Wrap::Repeat, import::Wrap::Clamp, import::Wrap::Mirror, import::Wrap::Decal};
    for (int k = 0; k < 2; ++k) EXPECT_EQ(expected[mode[k]], o.wrap[k]) << "axis " << k;
  }

  void Material(const aiMaterial& a, const import::Material& o) {
    aiString name;
    a.Get(AI_MATKEY_NAME, name);
    SCOPED_TRACE("material " + std::string(name.C_Str()));
    EXPECT_EQ(name.C_Str(), o.name);
    aiColor4D c;
    ASSERT_EQ(a.Get(AI_MATKEY_COLOR_DIFFUSE, c), AI_SUCCESS);
    EXPECT_TRUE(o.hasDiffuse);
    EXPECT_NEAR_F(c.r, o.diffuse.r);
    EXPECT_NEAR_F(c.g, o.diffuse.g);
    EXPECT_NEAR_F(c.b, o.diffuse.b);
    EXPECT_EQ(a.Get(AI_MATKEY_COLOR_SPECULAR, c) == AI_SUCCESS, o.hasSpecular);
    if (o.hasSpecular) {
      EXPECT_NEAR_F(c.r, o.specular.r);
    }
    ASSERT_EQ(a.Get(AI_MATKEY_COLOR_EMISSIVE, c), AI_SUCCESS);
    EXPECT_NEAR_F(c.r, o.emissive.r);
    EXPECT_NEAR_F(c.b, o.emissive.b);
    float value = 0;
    ASSERT_EQ(a.Get(AI_MATKEY_SHININESS, value), AI_SUCCESS);
    EXPECT_NEAR_F(value, o.shininess);
    // assimp takes the colour's alpha as opacity even for opaque materials, which ignore it.
    aiString alphaMode;
    a.Get("$mat.gltf.alphaMode", 0, 0, alphaMode);
    if (std::string(alphaMode.C_Str()) != "OPAQUE" && a.Get(AI_MATKEY_OPACITY, value) == AI_SUCCESS) {
      EXPECT_NEAR_F(value, o.opacity);
    }
    Map(a, aiTextureType_DIFFUSE, o.diffuseMap);
    Map(a, aiTextureType_NORMALS, o.normalMap);
  }

  template <class Key, class OurKey, class Value>
  void Keys(const Key* a, unsigned n, const std::vector<OurKey>& o, Value&& same) {
    ASSERT_EQ(n, o.size());
    for (unsigned k = 0; k < n; ++k) {
      EXPECT_EQ(a[k].mTime, o[k].time) << "key " << k;
      EXPECT_TRUE(same(a[k].mValue, o[k].value)) << "key " << k;
    }
  }

  void Animation(const aiAnimation& a, const import::Animation& o) {
    SCOPED_TRACE("animation " + o.name);
    EXPECT_EQ(a.mName.C_Str(), o.name);
    EXPECT_EQ(a.mTicksPerSecond, o.ticksPerSecond);
    EXPECT_EQ(a.mDuration, o.duration);
    std::map<std::string, const import::Channel*> ours;
    for (const import::Channel& c : o.channels) ours[c.node] = &c;
    ASSERT_EQ(a.mNumChannels, ours.size());
    for (unsigned i = 0; i < a.mNumChannels; ++i) {
      const aiNodeAnim& ch = *a.mChannels[i];
      auto it = ours.find(ch.mNodeName.C_Str());
      ASSERT_NE(it, ours.end()) << ch.mNodeName.C_Str();
      const import::Channel& oc = *it->second;
      auto vec = [](const aiVector3D& x, const import::Vec3& y) { return Near(x.x, y.x) && Near(x.y, y.y) && Near(x.z, y.z); };
      Keys(ch.mPositionKeys, ch.mNumPositionKeys, oc.positions, vec);
      Keys(ch.mScalingKeys, ch.mNumScalingKeys, oc.scalings, vec);
      Keys(ch.mRotationKeys, ch.mNumRotationKeys, oc.rotations, [](const aiQuaternion& x, const import::Quaternion& y) {
        return Near(x.w, y.w) && Near(x.x, y.x) && Near(x.y, y.y) && Near(x.z, y.z);
      });
    }
  }

  const aiScene& a_;
  const import::Scene& o_;
};

TEST(GltfReaderAgainstAssimp, EveryFileReadsAsAssimpReadsItOrIsRefusedForAReason) {
  const std::vector<fs::path> files = GltfFiles();
  ASSERT_GT(files.size(), 20u);
  size_t compared = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    Assimp::Importer importer;
    const aiScene* theirs = ReadAssimpFile(importer, file.string());
    if (theirs && !theirs->mRootNode) theirs = nullptr;
    std::string error;
    bool notForUs = false;
    import::Scene ours;
    try {
      ours = ReadGltf(file.string());
    } catch (const GltfNotRead& e) {
      error = e.what();
      notForUs = true;
    } catch (const std::runtime_error& e) {
      error = e.what();
      EXPECT_EQ(error.rfind(file.string() + ": ", 0), 0u) << "the message names the file: " << error;
    }
    auto reason = kOnlyAssimpReads.find(file.filename().string());
    if (!theirs) {
      // Both refuse what assimp cannot read, except files only assimp's checks are strict about.
      if (error.empty() && !kOnlyWeRead.count(file.filename().string()))
        ADD_FAILURE() << "assimp refuses it (" << importer.GetErrorString() << ") but we read it";
      continue;
    }
    if (!error.empty()) {
      // What the reader leaves to assimp on purpose (glTF 1.0, some extensions) goes there.
      if (notForUs) continue;
      EXPECT_NE(reason, kOnlyAssimpReads.end()) << "we refuse what assimp reads: " << error;
      continue;
    }
    EXPECT_EQ(reason, kOnlyAssimpReads.end()) << "read though listed as refused";
    // Triangles at infinite or NaN places are left out here; assimp keeps them.
    if (std::any_of(ours.notes.begin(), ours.notes.end(),
                    [](const std::string& n) { return n.find("not a finite number") != std::string::npos; })) {
      bool unplaced = false;
      for (unsigned m = 0; m < theirs->mNumMeshes; ++m)
        for (unsigned v = 0; v < theirs->mMeshes[m]->mNumVertices; ++v) {
          const aiVector3D& p = theirs->mMeshes[m]->mVertices[v];
          unplaced = unplaced || !std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z);
        }
      EXPECT_TRUE(unplaced) << "left out what assimp reads as finite";
      continue;
    }
    Compare(*theirs, ours).Run();
    ++compared;
  }
  EXPECT_GT(compared, 15u);
}

// Both paths exported with the same settings give the same bytes: the reader's records go
// through the same builder as assimp's, so a difference is a mapping fault in the reader.
TEST(GltfReaderAgainstAssimp, BothPathsExportTheSameFile) {
  size_t compared = 0;
  for (const fs::path& file : GltfFiles()) {
    SCOPED_TRACE(file.string());
    std::vector<ImportedClip> theirClips, ourClips;
    std::unique_ptr<SceneDocument> theirs, ours;
    try {
      theirs = LoadAssimpScene(file.string(), &theirClips);
      ours = BuildImportedScene(ReadGltf(file.string()), file.string(), &ourClips);
    } catch (const std::runtime_error&) {
      continue;  // refused by one or both: the test above says which may be
    }
    testing::ExpectSameExports(*theirs, theirClips, *ours, ourClips, false);
    ++compared;
  }
  EXPECT_GT(compared, 15u);
}

}  // namespace
}  // namespace vorn
