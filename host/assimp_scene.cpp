// Builds scene document records from an assimp scene. assimp's matrices act on column vectors;
// the host's act on row vectors, so every matrix is transposed on the way in.
#include "host/assimp_scene.h"

#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <unordered_map>

#include "host/assimp_vertex_join.h"
#include "host/scene_document_data.h"
#include "platform/atomic_file.h"

namespace vorn {

using namespace scene_doc;

namespace {

namespace fs = std::filesystem;

// Standard material map slots as the host numbers them.
constexpr int kDiffuseSlot = 1;
constexpr int kBumpSlot = 8;
constexpr int kStandardSlots = 12;

// assimp scenes are Y-up; the host is Z-up. Points turn +90 degrees about X (Y becomes Z) and
// transforms are conjugated by the same turn, so the default conversion (Y and Z exchanged)
// gives the usual left-handed Y-up file: identity frames stay identity, z is negated.
const Matrix3 kPresentation = RotateXMatrix(kPi / 2);
const Matrix3 kPresentationInverse = RotateXMatrix(-kPi / 2);

Matrix3 Present(const Matrix3& m) { return kPresentationInverse * m * kPresentation; }

Matrix3 ToMatrix3(const aiMatrix4x4& m) {
  Matrix3 r;
  for (int i = 0; i < 4; ++i) r.row[i] = {m[0][i], m[1][i], m[2][i]};
  return r;
}

// Files hold rotations rounded off the unit sphere; they are meant as unit quaternions.
Quat ToQuat(aiQuaternion q) {
  const aiMatrix3x3 m = q.Normalize().GetMatrix();
  Matrix3 r;
  for (int i = 0; i < 3; ++i) r.row[i] = {m[0][i], m[1][i], m[2][i]};
  return MatrixToQuat(r);
}

Point3 ToPoint(const aiVector3D& v) { return {v.x, v.y, v.z}; }
Color ToColor(const aiColor4D& c) { return {c.r, c.g, c.b}; }

// A uniform scale times a rotation: such a transform moves through S, R and T keys unchanged
// in kind.
bool IsSimilarity(const Matrix3& m, float* scale) {
  const float s = Length(m.row[0]);
  if (s <= 0) return false;
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(Length(m.row[i]) - s) > 1e-5f * s) return false;
    for (int j = i + 1; j < 3; ++j)
      if (std::fabs(Dot(m.row[i], m.row[j])) > 1e-5f * s * s) return false;
  }
  if (m.Determinant() < 0) return false;
  *scale = s;
  return true;
}

// Embedded textures go to a folder of their own for the life of the process; the exporter
// copies them beside the .X file like any other texture.
class EmbeddedFolder {
 public:
  ~EmbeddedFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& Path() {
    if (path_.empty()) {
      std::string tmpl = (fs::temp_directory_path() / "vorn-embedded-XXXXXX").string();
      if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    return path_;
  }

 private:
  std::string path_;
};
EmbeddedFolder& Embedded() {
  static EmbeddedFolder folder;
  return folder;
}

// Uncompressed texels as a 32-bit TGA, top row first (aiTexel is already B, G, R, A).
bool WriteTga(const std::string& path, const aiTexture& t) {
  unsigned char header[18] = {};
  header[2] = 2;
  header[12] = static_cast<unsigned char>(t.mWidth & 0xff);
  header[13] = static_cast<unsigned char>(t.mWidth >> 8);
  header[14] = static_cast<unsigned char>(t.mHeight & 0xff);
  header[15] = static_cast<unsigned char>(t.mHeight >> 8);
  header[16] = 32;
  header[17] = 0x28;
  platform::AtomicFileWriter out(path);
  out.Write(header, sizeof header);
  out.Write(t.pcData, size_t(t.mWidth) * t.mHeight * 4);
  return out.Commit();
}

class Builder {
 public:
  Builder(const aiScene& s, const std::string& path, Data& d) : s_(s), path_(path), d_(d) {
    dir_ = fs::path(path).parent_path().string();
  }

  void Run(std::vector<ImportedClip>* clips) {
    d_.documentPath = path_;
    d_.filePath = path_;
    d_.root.name = "Scene Root";
    SetTime();
    for (unsigned i = 0; i < s_.mNumMaterials; ++i) materials_.push_back(MakeMaterial(*s_.mMaterials[i], i));
    const aiNode* root = s_.mRootNode;
    // A root without meshes or animation only carries a transform; it is folded into its
    // children when that keeps their keys plain.
    float scale = 1;
    const Matrix3 rootTm = ToMatrix3(root->mTransformation);
    if (root->mNumMeshes == 0 && !animated_.count(root) && IsSimilarity(rootTm, &scale)) {
      for (unsigned i = 0; i < root->mNumChildren; ++i) MakeNode(*root->mChildren[i], &d_.root, rootTm);
    } else {
      MakeNode(*root, &d_.root, Matrix3{});
    }
    for (const auto& [node, tm] : pendingSkins_) MakeSkins(*node, *tm);
    MakeControllers();
    if (clips) *clips = clips_;
  }

 private:
  // ---- Time ------------------------------------------------------------------------------

  double FileFrameRate() const {
    if (const aiMetadata* md = s_.mMetaData) {
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
    return 30;
  }

  static double TicksPerSecond(const aiAnimation& a) { return a.mTicksPerSecond > 0 ? a.mTicksPerSecond : 25.0; }

  void SetTime() {
    const double fps = FileFrameRate();
    d_.ticksPerFrame = std::clamp(int(std::lround(kTicksPerSecond / fps)), 1, kTicksPerSecond);
    const int tpf = d_.ticksPerFrame;
    // Animations one after another on the timeline, each starting on a whole frame.
    int frame = 0;
    for (unsigned i = 0; i < s_.mNumAnimations; ++i) {
      const aiAnimation& a = *s_.mAnimations[i];
      double last = a.mDuration;
      for (unsigned c = 0; c < a.mNumChannels; ++c) {
        const aiNodeAnim& ch = *a.mChannels[c];
        if (ch.mNumPositionKeys) last = std::max(last, ch.mPositionKeys[ch.mNumPositionKeys - 1].mTime);
        if (ch.mNumRotationKeys) last = std::max(last, ch.mRotationKeys[ch.mNumRotationKeys - 1].mTime);
        if (ch.mNumScalingKeys) last = std::max(last, ch.mScalingKeys[ch.mNumScalingKeys - 1].mTime);
      }
      const double seconds = last / TicksPerSecond(a);
      const int frames = std::max(0, int(std::ceil(seconds * kTicksPerSecond / tpf - 1e-6)));
      ImportedClip clip;
      clip.name = a.mName.length ? a.mName.C_Str() : "Anim" + std::to_string(i + 1);
      clip.startFrame = frame;
      clip.endFrame = frame + frames;
      clips_.push_back(clip);
      clipTicks_.push_back({frame * tpf, (frame + frames) * tpf});
      frame += frames + 1;
      for (unsigned c = 0; c < a.mNumChannels; ++c) {
        const aiNode* n = s_.mRootNode->FindNode(a.mChannels[c]->mNodeName);
        if (n) animated_[n].push_back({i, a.mChannels[c]});
      }
    }
    d_.range = {0, clips_.empty() ? 0 : clipTicks_.back().end};
  }

  // ---- Materials -------------------------------------------------------------------------

  std::string TexturePath(const aiString& file) {
    const std::string name = file.C_Str();
    if (const aiTexture* t = s_.GetEmbeddedTexture(file.C_Str())) {
      auto it = embedded_.find(t);
      if (it != embedded_.end()) return it->second;
      const std::string folder = Embedded().Path();
      if (folder.empty()) return {};
      const size_t index = size_t(std::find(s_.mTextures, s_.mTextures + s_.mNumTextures, t) - s_.mTextures);
      std::string stem = fs::path(t->mFilename.C_Str()).stem().string();
      if (stem.empty()) stem = fs::path(path_).stem().string() + "_texture" + std::to_string(index);
      std::string out;
      if (t->mHeight == 0) {
        std::string ext = t->achFormatHint[0] ? std::string(t->achFormatHint) : "bin";
        if (ext == "jpeg") ext = "jpg";
        out = folder + "/" + stem + "." + ext;
        if (!platform::WriteFileAtomic(out, std::string_view(reinterpret_cast<const char*>(t->pcData), t->mWidth)))
          out.clear();
      } else {
        out = folder + "/" + stem + ".tga";
        if (!WriteTga(out, *t)) out.clear();
      }
      embedded_[t] = out;
      return out;
    }
    if (name.empty()) return name;
    fs::path p(name);
    if (p.is_relative()) p = fs::path(dir_) / p;
    return p.lexically_normal().string();
  }

  static int Tiling(const aiMaterial& m, aiTextureType type) {
    int mode[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
    m.Get(AI_MATKEY_MAPPINGMODE_U(type, 0), mode[0]);
    m.Get(AI_MATKEY_MAPPINGMODE_V(type, 0), mode[1]);
    int tiling = 0;
    for (int k = 0; k < 2; ++k) {
      if (mode[k] == aiTextureMapMode_Wrap) tiling |= 1 << k;
      if (mode[k] == aiTextureMapMode_Mirror) tiling |= 4 << k;
    }
    return tiling;
  }

  const Texmap* Bitmap(const aiMaterial& m, aiTextureType type) {
    aiString file;
    unsigned uv = 0;
    if (m.GetTexture(type, 0, &file, nullptr, &uv) != AI_SUCCESS) return nullptr;
    const std::string path = TexturePath(file);
    if (path.empty()) return nullptr;
    auto map = std::make_unique<Texmap>();
    map->kind = Texmap::Kind::Bitmap;
    map->cls = kBitmapTexClass;
    map->file = path;
    map->name = fs::path(path).stem().string();
    map->channel = int(uv) + 1;
    map->tiling = Tiling(m, type);
    const Texmap* raw = map.get();
    d_.texmaps.push_back(std::move(map));
    return raw;
  }

  const Material* MakeMaterial(const aiMaterial& m, unsigned index) {
    auto mat = std::make_unique<Material>();
    aiString name;
    mat->name = m.Get(AI_MATKEY_NAME, name) == AI_SUCCESS && name.length ? name.C_Str()
                                                                         : "Material" + std::to_string(index + 1);
    mat->id = "material" + std::to_string(index);
    mat->cls = kStandardMtlClass;
    aiColor4D c;
    if (m.Get(AI_MATKEY_COLOR_DIFFUSE, c) == AI_SUCCESS) mat->diffuse = ToColor(c);
    if (m.Get(AI_MATKEY_COLOR_AMBIENT, c) == AI_SUCCESS) mat->ambient = ToColor(c);
    float strength = 1;
    m.Get(AI_MATKEY_SHININESS_STRENGTH, strength);
    mat->specular = {0, 0, 0};
    if (m.Get(AI_MATKEY_COLOR_SPECULAR, c) == AI_SUCCESS) mat->specular = ToColor(c);
    // The exporter's specular colour is specular x strength / 10, its power shininess x 100.
    mat->shinStr = strength * 10.0f;
    float shininess = 0;
    mat->shininess = m.Get(AI_MATKEY_SHININESS, shininess) == AI_SUCCESS ? shininess / 100.0f : 0.0f;
    float opacity = 1;
    if (m.Get(AI_MATKEY_OPACITY, opacity) == AI_SUCCESS) mat->transparency = std::clamp(1.0f - opacity, 0.0f, 1.0f);
    if (m.Get(AI_MATKEY_COLOR_EMISSIVE, c) == AI_SUCCESS) {
      mat->selfIllumColor = ToColor(c);
      mat->selfIllumColorOn = true;
    }
    mat->maps.assign(kStandardSlots, nullptr);
    mat->mapOn.assign(kStandardSlots, 0);
    const Texmap* diffuse = Bitmap(m, aiTextureType_DIFFUSE);
    if (!diffuse) diffuse = Bitmap(m, aiTextureType_BASE_COLOR);
    if (diffuse) {
      mat->maps[kDiffuseSlot] = diffuse;
      mat->mapOn[kDiffuseSlot] = 1;
    }
    if (const Texmap* normal = Bitmap(m, aiTextureType_NORMALS)) {
      auto bump = std::make_unique<Texmap>();
      bump->kind = Texmap::Kind::NormalMap;
      bump->cls = kNormalMapClass;
      bump->name = normal->name + "_normal";
      bump->channel = normal->channel;
      bump->subs = {normal};
      mat->maps[kBumpSlot] = bump.get();
      mat->mapOn[kBumpSlot] = 1;
      d_.texmaps.push_back(std::move(bump));
    }
    const Material* raw = mat.get();
    d_.materialIds[mat->id] = raw;
    d_.materials.push_back(std::move(mat));
    return raw;
  }

  const Material* NodeMaterial(const aiNode& n) {
    if (n.mNumMeshes == 1) return materials_[s_.mMeshes[n.mMeshes[0]]->mMaterialIndex];
    // Meshes sharing a node: one sub-material per mesh, the faces numbered by mesh.
    auto multi = std::make_unique<Material>();
    multi->cls = kMultiMtlClass;
    multi->name = std::string(n.mName.C_Str()) + "_materials";
    multi->id = "multi" + std::to_string(d_.materials.size());
    for (unsigned k = 0; k < n.mNumMeshes; ++k)
      multi->subs.push_back(materials_[s_.mMeshes[n.mMeshes[k]]->mMaterialIndex]);
    const Material* raw = multi.get();
    d_.materials.push_back(std::move(multi));
    return raw;
  }

  // ---- Meshes ----------------------------------------------------------------------------

  // The node's meshes as one triangle mesh; points are the meshes' vertices one after another.
  void FillMesh(const aiNode& n, TriMesh& out) {
    bool normals = true, colors = false;
    bool uv[AI_MAX_NUMBER_OF_TEXTURECOORDS] = {};
    size_t verts = 0, faces = 0;
    for (unsigned k = 0; k < n.mNumMeshes; ++k) {
      const aiMesh& m = *s_.mMeshes[n.mMeshes[k]];
      normals = normals && m.HasNormals();
      colors = colors || m.HasVertexColors(0);
      for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c) uv[c] = uv[c] || m.HasTextureCoords(c);
      verts += m.mNumVertices;
      faces += m.mNumFaces;
    }
    out.verts.reserve(verts);
    out.faces.reserve(faces);
    std::vector<MapChannel*> channels;
    auto channel = [&](int ch) {
      MapChannel& mc = out.Map(ch);
      mc.supported = true;
      mc.verts.reserve(verts);
      return &mc;
    };
    MapChannel* color = colors ? channel(0) : nullptr;
    MapChannel* alpha = colors ? channel(-2) : nullptr;
    for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c)
      channels.push_back(uv[c] ? channel(int(c) + 1) : nullptr);
    out.hasSpecifiedNormals = normals;
    if (normals) out.specified.normals.reserve(verts);
    // Every channel indexes the points themselves: one face array, shared by all of them.
    SharedArray<MapFace> cornerFaces;
    cornerFaces.reserve(faces);

    for (unsigned k = 0; k < n.mNumMeshes; ++k) {
      const aiMesh& m = *s_.mMeshes[n.mMeshes[k]];
      const uint32_t base = uint32_t(out.verts.size());
      for (unsigned v = 0; v < m.mNumVertices; ++v) {
        out.verts.push_back(ToPoint(m.mVertices[v]) * kPresentation);
        if (normals) out.specified.normals.push_back(Normalize(VectorTransform(ToPoint(m.mNormals[v]), kPresentation)));
        if (colors) {
          const aiColor4D c = m.HasVertexColors(0) ? m.mColors[0][v] : aiColor4D(1, 1, 1, 1);
          color->verts.push_back({c.r, c.g, c.b});
          alpha->verts.push_back({c.a, c.a, c.a});
        }
        for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c)
          if (channels[c])
            channels[c]->verts.push_back(m.HasTextureCoords(c) ? ToPoint(m.mTextureCoords[c][v]) : Point3{});
      }
      for (unsigned f = 0; f < m.mNumFaces; ++f) {
        const aiFace& face = m.mFaces[f];
        if (face.mNumIndices != 3) continue;  // points and lines are not triangle faces
        TriFace tf;
        MapFace mf;
        for (int i = 0; i < 3; ++i) tf.v[i] = mf.t[i] = base + face.mIndices[i];
        tf.smGroup = 1;
        tf.matID = uint16_t(n.mNumMeshes > 1 ? k : 0);
        tf.flags = 7;  // all edges visible
        out.faces.push_back(tf);
        cornerFaces.push_back(mf);
      }
    }
    if (normals) out.specified.faces = cornerFaces;
    if (colors) color->faces = alpha->faces = cornerFaces;
    for (MapChannel* c : channels)
      if (c) c->faces = cornerFaces;
  }

  bool HasBones(const aiNode& n) const {
    for (unsigned k = 0; k < n.mNumMeshes; ++k)
      if (s_.mMeshes[n.mMeshes[k]]->HasBones()) return true;
    return false;
  }

  const Object* MakeObject(const aiNode& n, Node& node) {
    auto obj = std::make_unique<Object>();
    if (n.mNumMeshes == 0) {
      obj->kind = Object::Kind::Helper;
      obj->cls = {0x876234, 0};  // dummy: a plain frame
      obj->super = kHelperSuper;
    } else {
      obj->kind = Object::Kind::Mesh;
      obj->cls = kTriObjectClass;
      obj->super = kGeomObjectSuper;
      obj->hasMesh = true;
      FillMesh(n, obj->mesh);
      node.material = NodeMaterial(n);
    }
    obj->id = "object" + std::to_string(d_.objects.size());
    const Object* raw = obj.get();
    d_.objectIds[obj->id] = raw;
    d_.objects.push_back(std::move(obj));
    return raw;
  }

  // ---- Nodes -----------------------------------------------------------------------------

  // `after` follows the node's own transform: a folded root for top-level nodes, identity
  // elsewhere.
  void MakeNode(const aiNode& n, Node* parent, const Matrix3& after) {
    auto node = std::make_unique<Node>();
    Node& nd = *node;
    nd.name = n.mName.C_Str();
    if (nd.name.empty()) nd.name = "Node" + std::to_string(d_.nodes.size() + 1);
    nd.handle = uint32_t(d_.nodes.size() + 1);
    nd.parent = parent == &d_.root ? nullptr : parent;
    nd.transform = Present(ToMatrix3(n.mTransformation) * after);
    after_[&nd] = after;
    AffineParts parts = DecompAffine(nd.transform);
    nd.staticPos = parts.t;
    nd.staticRot = parts.q;
    nd.staticScale = parts.k;
    nd.object = MakeObject(n, nd);
    nodes_[&n] = &nd;
    byName_.emplace(nd.name, &nd);
    parent->children.push_back(&nd);
    d_.nodes.push_back(std::move(node));
    if (HasBones(n)) pendingSkins_.push_back({&n, &nd});
    for (unsigned i = 0; i < n.mNumChildren; ++i) MakeNode(*n.mChildren[i], &nd, Matrix3{});
  }

  Matrix3 StaticWorld(const Node* n) const {
    Matrix3 w;
    for (; n; n = n->parent) w = w * n->transform;
    return w;
  }

  // ---- Skin ------------------------------------------------------------------------------

  // The skin sits between the node and its mesh object; the bones' initial transforms come
  // from the offset matrices and the node's transform at rest.
  void MakeSkins(const aiNode& n, Node& node) {
    auto mod = std::make_unique<Modifier>();
    mod->kind = Modifier::Kind::Skin;
    mod->cls = kSkinClass;
    mod->skin = std::make_unique<SkinData>();
    SkinData& skin = *mod->skin;
    const Matrix3 meshWorld = StaticWorld(&node);
    skin.hasNodeInit = skin.hasNodeInitObject = true;
    skin.nodeInit = skin.nodeInitObject = meshWorld;

    std::map<const Node*, int> boneIndex;
    std::vector<std::vector<std::pair<int, float>>> perPoint(
        static_cast<const Object*>(node.object)->mesh.verts.size());
    uint32_t base = 0;
    for (unsigned k = 0; k < n.mNumMeshes; ++k) {
      const aiMesh& m = *s_.mMeshes[n.mMeshes[k]];
      for (unsigned b = 0; b < m.mNumBones; ++b) {
        const aiBone& bone = *m.mBones[b];
        auto it = byName_.find(bone.mName.C_Str());
        if (it == byName_.end()) continue;
        const Node* bn = it->second;
        auto [slot, fresh] = boneIndex.emplace(bn, int(skin.bones.size()));
        if (fresh) {
          SkinData::BoneEntry e;
          e.node = bn;
          e.hasInit = e.hasInitObject = true;
          e.init = e.initObject = Present(Inverse(ToMatrix3(bone.mOffsetMatrix))) * meshWorld;
          skin.bones.push_back(e);
        }
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
          const aiVertexWeight& vw = bone.mWeights[w];
          const size_t p = base + vw.mVertexId;
          if (p < perPoint.size() && vw.mWeight > 0) perPoint[p].push_back({slot->second, vw.mWeight});
        }
      }
      base += m.mNumVertices;
    }
    SkinContextData& c = skin.context;
    c.offsets.assign(1, 0);
    for (const auto& list : perPoint) {
      for (const auto& [b, w] : list) {
        c.bones.push_back(b);
        c.weights.push_back(w);
      }
      c.offsets.push_back(uint32_t(c.bones.size()));
    }

    auto derived = std::make_unique<Object>();
    derived->kind = Object::Kind::Derived;
    derived->cls = {0xd, 0};
    derived->super = kGenDerivObjectSuper;
    derived->input = static_cast<const Object*>(node.object);
    derived->modifiers.push_back(mod.get());
    derived->id = "skinned" + std::to_string(d_.objects.size());
    node.object = derived.get();
    d_.objectIds[derived->id] = derived.get();
    d_.objects.push_back(std::move(derived));
    d_.modifiers.push_back(std::move(mod));
  }

  // ---- Animation -------------------------------------------------------------------------

  TimeValue HostTime(unsigned anim, double t) const {
    const double seconds = t / TicksPerSecond(*s_.mAnimations[anim]);
    const TimeValue tick = clipTicks_[anim].start + TimeValue(std::lround(seconds * kTicksPerSecond));
    return std::clamp(tick, clipTicks_[anim].start, clipTicks_[anim].end);
  }

  Controller* NewController(Controller::Value value, ClassID cls, int width) {
    auto c = std::make_unique<Controller>();
    c->value = value;
    c->cls = cls;
    c->width = width;
    c->keyInterface = true;
    c->hasValue = true;
    Controller* raw = c.get();
    d_.controllers.push_back(std::move(c));
    return raw;
  }

  static void AddKey(Controller& c, TimeValue t, const float* v) {
    // Keys of one clip may round onto the same tick; the later one wins.
    if (!c.times.empty() && c.times.back() >= t) {
      if (c.times.back() > t) return;
      std::copy(v, v + c.width, c.values.end() - c.width);
      return;
    }
    c.times.push_back(t);
    c.values.insert(c.values.end(), v, v + c.width);
  }

  // Keys of one component over one clip. Every clip gets keys at its start and end, holding
  // the first and last values as assimp does outside the keys, or the rest value when the
  // animation leaves the component alone, so clips do not bleed into one another.
  template <class Key, class Value>
  void ClipKeys(Controller& c, unsigned anim, const Key* keys, unsigned count, const float* rest, Value&& value) {
    const Interval span = clipTicks_[anim];
    float v[4];
    if (count == 0) {
      AddKey(c, span.start, rest);
      AddKey(c, span.end, rest);
      return;
    }
    value(keys[0].mValue, v);
    if (HostTime(anim, keys[0].mTime) > span.start) AddKey(c, span.start, v);
    for (unsigned k = 0; k < count; ++k) {
      value(keys[k].mValue, v);
      AddKey(c, HostTime(anim, keys[k].mTime), v);
    }
    if (c.times.back() < span.end) AddKey(c, span.end, v);
  }

  void MakeControllers() {
    for (const auto& [an, channels] : animated_) {
      auto found = nodes_.find(an);
      if (found == nodes_.end()) continue;
      Node& node = *found->second;
      // Under a folded root A = k Q: p -> p A, R -> R Q, s -> s k; then presented Z-up.
      const Matrix3 after = after_[&node];
      float k = 1;
      if (!IsSimilarity(after, &k)) k = 1;
      Matrix3 turn = after;
      for (int i = 0; i < 3; ++i) turn.row[i] = turn.row[i] / k;
      turn.row[3] = {0, 0, 0};

      Controller* prs = NewController(Controller::Value::Transform, kPrsControllerClass, 1);
      prs->hasValue = false;
      prs->keyInterface = false;
      Controller* pos = NewController(Controller::Value::Position, kLinearPositionClass, 3);
      Controller* rot = NewController(Controller::Value::Rotation, kLinearRotationClass, 4);
      Controller* scl = NewController(Controller::Value::Scale, kLinearScaleClass, 3);
      prs->position = pos;
      prs->rotation = rot;
      prs->scale = scl;

      const float restPos[3] = {node.staticPos.x, node.staticPos.y, node.staticPos.z};
      const float restRot[4] = {node.staticRot.x, node.staticRot.y, node.staticRot.z, node.staticRot.w};
      const float restScale[3] = {node.staticScale.x, node.staticScale.y, node.staticScale.z};
      for (unsigned anim = 0; anim < s_.mNumAnimations; ++anim) {
        const aiNodeAnim* ch = nullptr;
        for (const auto& [i, c] : channels)
          if (i == anim) ch = c;
        if (!ch) {
          ClipKeys(*pos, anim, static_cast<const aiVectorKey*>(nullptr), 0, restPos, [](const aiVector3D&, float*) {});
          ClipKeys(*rot, anim, static_cast<const aiQuatKey*>(nullptr), 0, restRot, [](const aiQuaternion&, float*) {});
          ClipKeys(*scl, anim, static_cast<const aiVectorKey*>(nullptr), 0, restScale,
                   [](const aiVector3D&, float*) {});
          continue;
        }
        ClipKeys(*pos, anim, ch->mPositionKeys, ch->mNumPositionKeys, restPos, [&](const aiVector3D& p, float* v) {
          const Point3 q = ToPoint(p) * after * kPresentation;
          v[0] = q.x, v[1] = q.y, v[2] = q.z;
        });
        ClipKeys(*rot, anim, ch->mRotationKeys, ch->mNumRotationKeys, restRot, [&](const aiQuaternion& q, float* v) {
          const Quat r = MatrixToQuat(Present(QuatToMatrix(ToQuat(q)) * turn));
          v[0] = r.x, v[1] = r.y, v[2] = r.z, v[3] = r.w;
        });
        ClipKeys(*scl, anim, ch->mScalingKeys, ch->mNumScalingKeys, restScale, [&](const aiVector3D& s, float* v) {
          v[0] = s.x * k, v[1] = s.z * k, v[2] = s.y * k;  // the turn exchanges the Y and Z scales
        });
      }
      node.controller = prs;
    }
  }

  const aiScene& s_;
  std::string path_, dir_;
  Data& d_;
  std::vector<const Material*> materials_;
  std::map<const aiNode*, Node*> nodes_;
  std::multimap<std::string, const Node*> byName_;
  std::map<const Node*, Matrix3> after_;
  std::vector<std::pair<const aiNode*, Node*>> pendingSkins_;
  std::map<const aiNode*, std::vector<std::pair<unsigned, const aiNodeAnim*>>> animated_;
  std::vector<ImportedClip> clips_;
  std::vector<Interval> clipTicks_;
  std::unordered_map<const aiTexture*, std::string> embedded_;
};

}  // namespace

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
  auto data = std::make_unique<Data>();
  Builder(*scene, path, *data).Run(clips);
  return std::make_unique<SceneDocument>(std::move(data));
}

std::unique_ptr<SceneDocument> LoadScene(const std::string& path, std::vector<ImportedClip>* clips) {
  if (clips) clips->clear();
  return IsSceneDocumentPath(path) ? LoadSceneDocument(path) : LoadAssimpScene(path, clips);
}

}  // namespace vorn
