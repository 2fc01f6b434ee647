// Reads a file through assimp and hands its scene over as imported-scene records; the records
// are made into the host's by BuildImportedScene, as for the readers of our own.
#include "importers/assimp_scene.h"

#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <iterator>
#include <stdexcept>

#include "importers/assimp_vertex_join.h"

namespace vorn {

namespace {

import::Matrix4 ToMatrix(const aiMatrix4x4& m) {
  import::Matrix4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = m[i][j];
  return r;
}

import::Vec3 ToVec(const aiVector3D& v) { return {v.x, v.y, v.z}; }

double FileFrameRate(const aiScene& s) {
  if (const aiMetadata* md = s.mMetaData) {
    double custom = 0;
    float customF = 0;
    if (md->Get("CustomFrameRate", customF) && customF > 0) return customF;
    if (md->Get("CustomFrameRate", custom) && custom > 0) return custom;
    int32_t mode = -1;
    if (md->Get("FrameRate", mode)) {
      // FBX time modes.
      static const double kModes[] = {0,     120, 100, 60,   50,     48, 30, 30, 29.97,
                                      29.97, 25,  24,  1000, 23.976, 0,  96, 72, 59.94};
      if (mode > 0 && size_t(mode) < std::size(kModes) && kModes[mode] > 0) return kModes[mode];
    }
  }
  return 0;
}

import::Wrap ToWrap(int mode) {
  switch (mode) {
    case aiTextureMapMode_Wrap: return import::Wrap::Repeat;
    case aiTextureMapMode_Mirror: return import::Wrap::Mirror;
    case aiTextureMapMode_Decal: return import::Wrap::Decal;
    default: return import::Wrap::Clamp;
  }
}

import::MaterialMap ToMap(const aiScene& s, const aiMaterial& m, aiTextureType type) {
  import::MaterialMap map;
  aiString file;
  unsigned uv = 0;
  if (m.GetTexture(type, 0, &file, nullptr, &uv) != AI_SUCCESS) return map;
  if (const aiTexture* t = s.GetEmbeddedTexture(file.C_Str()))
    map.embedded = int(std::find(s.mTextures, s.mTextures + s.mNumTextures, t) - s.mTextures);
  else
    map.file = file.C_Str();
  map.uvSet = uv;
  int mode[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
  m.Get(AI_MATKEY_MAPPINGMODE_U(type, 0), mode[0]);
  m.Get(AI_MATKEY_MAPPINGMODE_V(type, 0), mode[1]);
  map.wrap[0] = ToWrap(mode[0]);
  map.wrap[1] = ToWrap(mode[1]);
  return map;
}

import::Material ToMaterial(const aiScene& s, const aiMaterial& m) {
  import::Material r;
  aiString name;
  if (m.Get(AI_MATKEY_NAME, name) == AI_SUCCESS) r.name = name.C_Str();
  aiColor4D c;
  auto color = [&](import::Rgba& out) {
    out = {c.r, c.g, c.b, c.a};
    return true;
  };
  r.hasDiffuse = m.Get(AI_MATKEY_COLOR_DIFFUSE, c) == AI_SUCCESS && color(r.diffuse);
  r.hasAmbient = m.Get(AI_MATKEY_COLOR_AMBIENT, c) == AI_SUCCESS && color(r.ambient);
  r.hasSpecular = m.Get(AI_MATKEY_COLOR_SPECULAR, c) == AI_SUCCESS && color(r.specular);
  r.hasEmissive = m.Get(AI_MATKEY_COLOR_EMISSIVE, c) == AI_SUCCESS && color(r.emissive);
  r.hasShininess = m.Get(AI_MATKEY_SHININESS, r.shininess) == AI_SUCCESS;
  r.hasShininessStrength = m.Get(AI_MATKEY_SHININESS_STRENGTH, r.shininessStrength) == AI_SUCCESS;
  r.hasOpacity = m.Get(AI_MATKEY_OPACITY, r.opacity) == AI_SUCCESS;
  r.diffuseMap = ToMap(s, m, aiTextureType_DIFFUSE);
  r.baseColorMap = ToMap(s, m, aiTextureType_BASE_COLOR);
  r.normalMap = ToMap(s, m, aiTextureType_NORMALS);
  return r;
}

import::Mesh ToMesh(const aiMesh& m) {
  import::Mesh r;
  const size_t n = m.mNumVertices;
  r.positions.resize(n);
  std::transform(m.mVertices, m.mVertices + n, r.positions.begin(), ToVec);
  if (m.HasNormals()) {
    r.normals.resize(n);
    std::transform(m.mNormals, m.mNormals + n, r.normals.begin(), ToVec);
  }
  if (m.HasVertexColors(0)) {
    r.colors.resize(n);
    std::transform(m.mColors[0], m.mColors[0] + n, r.colors.begin(),
                   [](const aiColor4D& c) { return import::Rgba{c.r, c.g, c.b, c.a}; });
  }
  for (unsigned c = 0; c < r.uvs.size() && c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c)
    if (m.HasTextureCoords(c)) {
      r.uvs[c].resize(n);
      std::transform(m.mTextureCoords[c], m.mTextureCoords[c] + n, r.uvs[c].begin(), ToVec);
    }
  r.triangles.reserve(m.mNumFaces);
  for (unsigned f = 0; f < m.mNumFaces; ++f) {
    const aiFace& face = m.mFaces[f];
    if (face.mNumIndices != 3) continue;  // points and lines are not triangle faces
    r.triangles.push_back({face.mIndices[0], face.mIndices[1], face.mIndices[2]});
  }
  r.material = m.mMaterialIndex;
  for (unsigned b = 0; b < m.mNumBones; ++b) {
    const aiBone& bone = *m.mBones[b];
    import::Bone& out = r.bones.emplace_back();
    out.name = bone.mName.C_Str();
    out.offset = ToMatrix(bone.mOffsetMatrix);
    out.weights.reserve(bone.mNumWeights);
    for (unsigned w = 0; w < bone.mNumWeights; ++w) out.weights.push_back({bone.mWeights[w].mVertexId, bone.mWeights[w].mWeight});
  }
  return r;
}

void ToNode(const aiNode& n, import::Node& out) {
  out.name = n.mName.C_Str();
  out.transform = ToMatrix(n.mTransformation);
  out.meshes.assign(n.mMeshes, n.mMeshes + n.mNumMeshes);
  out.children.resize(n.mNumChildren);
  for (unsigned i = 0; i < n.mNumChildren; ++i) ToNode(*n.mChildren[i], out.children[i]);
}

import::Animation ToAnimation(const aiAnimation& a) {
  import::Animation r;
  r.name = a.mName.C_Str();
  r.ticksPerSecond = a.mTicksPerSecond;
  r.duration = a.mDuration;
  r.channels.resize(a.mNumChannels);
  for (unsigned c = 0; c < a.mNumChannels; ++c) {
    const aiNodeAnim& ch = *a.mChannels[c];
    import::Channel& out = r.channels[c];
    out.node = ch.mNodeName.C_Str();
    auto vectors = [](const aiVectorKey* keys, unsigned count, std::vector<import::VectorKey>& to) {
      to.resize(count);
      for (unsigned k = 0; k < count; ++k) to[k] = {keys[k].mTime, ToVec(keys[k].mValue)};
    };
    vectors(ch.mPositionKeys, ch.mNumPositionKeys, out.positions);
    vectors(ch.mScalingKeys, ch.mNumScalingKeys, out.scalings);
    out.rotations.resize(ch.mNumRotationKeys);
    for (unsigned k = 0; k < ch.mNumRotationKeys; ++k) {
      const aiQuaternion& q = ch.mRotationKeys[k].mValue;
      out.rotations[k] = {ch.mRotationKeys[k].mTime, {q.w, q.x, q.y, q.z}};
    }
  }
  return r;
}

import::Texture ToTexture(const aiTexture& t) {
  import::Texture r;
  r.fileName = t.mFilename.C_Str();
  r.formatHint = t.achFormatHint;
  r.width = t.mWidth;
  r.height = t.mHeight;
  const auto* bytes = reinterpret_cast<const uint8_t*>(t.pcData);
  r.data.assign(bytes, bytes + (t.mHeight == 0 ? size_t(t.mWidth) : size_t(t.mWidth) * t.mHeight * 4));
  if (t.mHeight == 0) r.width = 0;
  return r;
}

}  // namespace

import::Scene ToImportedScene(const aiScene& s) {
  import::Scene r;
  ToNode(*s.mRootNode, r.root);
  r.meshes.reserve(s.mNumMeshes);
  for (unsigned i = 0; i < s.mNumMeshes; ++i) r.meshes.push_back(ToMesh(*s.mMeshes[i]));
  for (unsigned i = 0; i < s.mNumMaterials; ++i) r.materials.push_back(ToMaterial(s, *s.mMaterials[i]));
  for (unsigned i = 0; i < s.mNumTextures; ++i) r.textures.push_back(ToTexture(*s.mTextures[i]));
  for (unsigned i = 0; i < s.mNumAnimations; ++i) r.animations.push_back(ToAnimation(*s.mAnimations[i]));
  r.frameRate = FileFrameRate(s);
  return r;
}

const aiScene* ReadAssimpFile(Assimp::Importer& importer, const std::string& path) {
  // FBX pivots and geometric transforms fold into the node's own transform instead of helper
  // nodes named "<node>_$AssimpFbx$_<part>".
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  // Joining identical vertices runs last of these steps anyway; apart, it runs only on the
  // meshes it may change (indexed sources, glTF above all, have none).
  const aiScene* scene = importer.ReadFile(
      path, aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_GenNormals | aiProcess_ValidateDataStructure);
  return JoinIdenticalVerticesWhereNeeded(importer, scene);
}

std::unique_ptr<SceneDocument> LoadAssimpScene(const std::string& path, std::vector<ImportedClip>* clips) {
  Assimp::Importer importer;
  const aiScene* scene = ReadAssimpFile(importer, path);
  // A scene without meshes is flagged incomplete; its nodes and animations still export.
  if (!scene || !scene->mRootNode) {
    const std::string message = importer.GetErrorString();
    throw std::runtime_error(path + ": " + (message.empty() ? "assimp found no scene in the file" : message));
  }
  return BuildImportedScene(ToImportedScene(*scene), path, clips);
}

std::unique_ptr<SceneDocument> LoadScene(const std::string& path, std::vector<ImportedClip>* clips) {
  if (clips) clips->clear();
  return IsSceneDocumentPath(path) ? LoadSceneDocument(path) : LoadAssimpScene(path, clips);
}

}  // namespace vorn
