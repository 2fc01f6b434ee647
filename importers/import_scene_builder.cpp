// Builds scene document records from an imported scene. Imported matrices act on column vectors;
// the host's act on row vectors, so every matrix is transposed on the way in.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "importers/import_scene.h"
#include "host/parallel.h"
#include "host/scene_document_data.h"

namespace vorn {

using namespace scene_doc;
using import::Rgba;
using import::Vec3;

namespace {

namespace fs = std::filesystem;

// Standard material map slots as the host numbers them.
constexpr int kDiffuseSlot = 1;
constexpr int kBumpSlot = 8;
constexpr int kStandardSlots = 12;

// Imported scenes are Y-up; the host is Z-up. Points turn +90 degrees about X (Y becomes Z) and
// transforms are conjugated by the same turn, so the default conversion (Y and Z exchanged)
// gives the usual left-handed Y-up file: identity frames stay identity, z is negated.
const Matrix3 kPresentation = RotateXMatrix(kPi / 2);
const Matrix3 kPresentationInverse = RotateXMatrix(-kPi / 2);

Matrix3 Present(const Matrix3& m) { return kPresentationInverse * m * kPresentation; }

Matrix3 ToMatrix3(const import::Matrix4& t) {
  const auto& m = t.m;
  Matrix3 r;
  for (int i = 0; i < 4; ++i) r.row[i] = {m[0][i], m[1][i], m[2][i]};
  return r;
}

// Files hold rotations rounded off the unit sphere; they are meant as unit quaternions.
Quat ToQuat(import::Quaternion q) {
  const float mag = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  if (mag != 0) {
    const float inv = 1.0f / mag;
    q.x *= inv, q.y *= inv, q.z *= inv, q.w *= inv;
  }
  const float x = q.x, y = q.y, z = q.z, w = q.w;
  // The column-vector matrix of q, read transposed: its rows are the host's rows.
  const float m[3][3] = {{1.0f - 2.0f * (y * y + z * z), 2.0f * (x * y - z * w), 2.0f * (x * z + y * w)},
                         {2.0f * (x * y + z * w), 1.0f - 2.0f * (x * x + z * z), 2.0f * (y * z - x * w)},
                         {2.0f * (x * z - y * w), 2.0f * (y * z + x * w), 1.0f - 2.0f * (x * x + y * y)}};
  Matrix3 r;
  for (int i = 0; i < 3; ++i) r.row[i] = {m[0][i], m[1][i], m[2][i]};
  return MatrixToQuat(r);
}

Point3 ToPoint(const Vec3& v) { return {v.x, v.y, v.z}; }
Color ToColor(const Rgba& c) { return {c.r, c.g, c.b}; }

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

// The embedded folder is the process's scratch space, removed at exit: plain writes, no flush
// to disk (two fsyncs per texture cost more than the rest of a small model's import).
bool WriteScratch(const std::string& path, std::initializer_list<std::string_view> parts) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (std::string_view part : parts) ok = ok && std::fwrite(part.data(), 1, part.size(), f) == part.size();
  return std::fclose(f) == 0 && ok;
}

// Uncompressed texels as a 32-bit TGA, top row first (texels are already B, G, R, A).
bool WriteTga(const std::string& path, const import::Texture& t) {
  unsigned char header[18] = {};
  header[2] = 2;
  header[12] = static_cast<unsigned char>(t.width & 0xff);
  header[13] = static_cast<unsigned char>(t.width >> 8);
  header[14] = static_cast<unsigned char>(t.height & 0xff);
  header[15] = static_cast<unsigned char>(t.height >> 8);
  header[16] = 32;
  header[17] = 0x28;
  return WriteScratch(path, {std::string_view(reinterpret_cast<const char*>(header), sizeof header),
                             std::string_view(reinterpret_cast<const char*>(t.data.data()),
                                              std::min(t.data.size(), size_t(t.width) * t.height * 4))});
}

class Builder {
 public:
  Builder(const import::Scene& s, const std::string& path, Data& d) : s_(s), path_(path), d_(d) {
    dir_ = fs::path(path).parent_path().string();
    IndexNames(s_.root);
  }

  void Run(std::vector<ImportedClip>* clips) {
    d_.documentPath = path_;
    d_.filePath = path_;
    d_.root.name = "Scene Root";
    SetTime();
    for (size_t i = 0; i < s_.materials.size(); ++i) materials_.push_back(MakeMaterial(s_.materials[i], i));
    const import::Node* root = &s_.root;
    // A root without meshes or animation only carries a transform; it is folded into its
    // children when that keeps their keys plain.
    float scale = 1;
    const Matrix3 rootTm = ToMatrix3(root->transform);
    if (root->meshes.empty() && !animated_.count(root) && IsSimilarity(rootTm, &scale)) {
      for (const import::Node& child : root->children) MakeNode(child, &d_.root, rootTm);
    } else {
      MakeNode(*root, &d_.root, Matrix3{});
    }
    for (const auto& [node, tm] : pendingSkins_) MakeSkins(*node, *tm);
    MakeControllers();
    if (clips) *clips = clips_;
  }

 private:
  // ---- Time ------------------------------------------------------------------------------

  // First node of each name in depth-first order, as a channel finds its node.
  void IndexNames(const import::Node& n) {
    byImportName_.emplace(n.name, &n);
    for (const import::Node& c : n.children) IndexNames(c);
  }

  const import::Node* FindNode(const std::string& name) const {
    auto it = byImportName_.find(name);
    return it == byImportName_.end() ? nullptr : it->second;
  }

  static double TicksPerSecond(const import::Animation& a) { return a.ticksPerSecond > 0 ? a.ticksPerSecond : 25.0; }

  void SetTime() {
    const double fps = s_.frameRate > 0 ? s_.frameRate : 30;
    d_.ticksPerFrame = std::clamp(int(std::lround(kTicksPerSecond / fps)), 1, kTicksPerSecond);
    const int tpf = d_.ticksPerFrame;
    // Animations one after another on the timeline, each starting on a whole frame.
    int frame = 0;
    for (size_t i = 0; i < s_.animations.size(); ++i) {
      const import::Animation& a = s_.animations[i];
      double last = a.duration;
      for (const import::Channel& ch : a.channels) {
        if (!ch.positions.empty()) last = std::max(last, ch.positions.back().time);
        if (!ch.rotations.empty()) last = std::max(last, ch.rotations.back().time);
        if (!ch.scalings.empty()) last = std::max(last, ch.scalings.back().time);
      }
      const double seconds = last / TicksPerSecond(a);
      const int frames = std::max(0, int(std::ceil(seconds * kTicksPerSecond / tpf - 1e-6)));
      ImportedClip clip;
      clip.name = !a.name.empty() ? a.name : "Anim" + std::to_string(i + 1);
      clip.startFrame = frame;
      clip.endFrame = frame + frames;
      clips_.push_back(clip);
      clipTicks_.push_back({frame * tpf, (frame + frames) * tpf});
      frame += frames + 1;
      for (const import::Channel& ch : a.channels)
        if (const import::Node* n = FindNode(ch.node)) animated_[n].push_back({unsigned(i), &ch});
    }
    d_.range = {0, clips_.empty() ? 0 : clipTicks_.back().end};
  }

  // ---- Materials -------------------------------------------------------------------------

  std::string EmbeddedPath(int index) {
    auto it = embedded_.find(index);
    if (it != embedded_.end()) return it->second;
    const import::Texture& t = s_.textures[size_t(index)];
    const std::string folder = Embedded().Path();
    if (folder.empty()) return {};
    std::string stem = fs::path(t.fileName).stem().string();
    if (stem.empty()) stem = fs::path(path_).stem().string() + "_texture" + std::to_string(index);
    std::string out;
    if (t.height == 0) {
      std::string ext = !t.formatHint.empty() ? t.formatHint : "bin";
      if (ext == "jpeg") ext = "jpg";
      out = folder + "/" + stem + "." + ext;
      if (!WriteScratch(out, {std::string_view(reinterpret_cast<const char*>(t.data.data()), t.data.size())})) out.clear();
    } else {
      out = folder + "/" + stem + ".tga";
      if (!WriteTga(out, t)) out.clear();
    }
    embedded_[index] = out;
    return out;
  }

  std::string TexturePath(const import::MaterialMap& map) {
    if (map.embedded >= 0 && size_t(map.embedded) < s_.textures.size()) return EmbeddedPath(map.embedded);
    if (map.file.empty()) return map.file;
    fs::path p(map.file);
    if (p.is_relative()) p = fs::path(dir_) / p;
    return p.lexically_normal().string();
  }

  static int Tiling(const import::MaterialMap& map) {
    int tiling = 0;
    for (int k = 0; k < 2; ++k) {
      // A mirrored repeat tiles as a repeat in the .X (which holds no sampler state): the host's
      // mirror bit would also double the coordinates, to fit the mirrored copy into one tile.
      if (map.wrap[k] == import::Wrap::Repeat || map.wrap[k] == import::Wrap::Mirror) tiling |= 1 << k;
    }
    return tiling;
  }

  const Texmap* Bitmap(const import::MaterialMap& m) {
    if (!m.Present()) return nullptr;
    const std::string path = TexturePath(m);
    if (path.empty()) return nullptr;
    auto map = std::make_unique<Texmap>();
    map->kind = Texmap::Kind::Bitmap;
    map->cls = kBitmapTexClass;
    map->file = path;
    map->name = fs::path(path).stem().string();
    map->channel = int(m.uvSet) + 1;
    map->tiling = Tiling(m);
    const Texmap* raw = map.get();
    d_.texmaps.push_back(std::move(map));
    return raw;
  }

  const Material* MakeMaterial(const import::Material& m, size_t index) {
    auto mat = std::make_unique<Material>();
    mat->name = !m.name.empty() ? m.name : "Material" + std::to_string(index + 1);
    mat->id = "material" + std::to_string(index);
    mat->cls = kStandardMtlClass;
    if (m.hasDiffuse) mat->diffuse = ToColor(m.diffuse);
    if (m.hasAmbient) mat->ambient = ToColor(m.ambient);
    const float strength = m.hasShininessStrength ? m.shininessStrength : 1;
    mat->specular = {0, 0, 0};
    if (m.hasSpecular) mat->specular = ToColor(m.specular);
    // The exporter's specular colour is specular x strength / 10, its power shininess x 100.
    mat->shinStr = strength * 10.0f;
    mat->shininess = m.hasShininess ? m.shininess / 100.0f : 0.0f;
    if (m.hasOpacity) mat->transparency = std::clamp(1.0f - m.opacity, 0.0f, 1.0f);
    if (m.hasEmissive) {
      mat->selfIllumColor = ToColor(m.emissive);
      mat->selfIllumColorOn = true;
    }
    mat->maps.assign(kStandardSlots, nullptr);
    mat->mapOn.assign(kStandardSlots, 0);
    const Texmap* diffuse = Bitmap(m.diffuseMap);
    if (!diffuse) diffuse = Bitmap(m.baseColorMap);
    if (diffuse) {
      mat->maps[kDiffuseSlot] = diffuse;
      mat->mapOn[kDiffuseSlot] = 1;
    }
    if (const Texmap* normal = Bitmap(m.normalMap)) {
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

  const Material* NodeMaterial(const import::Node& n) {
    if (n.meshes.size() == 1) return MeshMaterial(n.meshes[0]);
    // Meshes sharing a node: one sub-material per mesh, the faces numbered by mesh.
    auto multi = std::make_unique<Material>();
    multi->cls = kMultiMtlClass;
    multi->name = n.name + "_materials";
    multi->id = "multi" + std::to_string(d_.materials.size());
    for (unsigned k : n.meshes) multi->subs.push_back(MeshMaterial(k));
    const Material* raw = multi.get();
    d_.materials.push_back(std::move(multi));
    return raw;
  }

  const Material* MeshMaterial(unsigned mesh) const {
    const unsigned m = s_.meshes[mesh].material;
    return m < materials_.size() ? materials_[m] : nullptr;
  }

  // ---- Meshes ----------------------------------------------------------------------------

  // The node's meshes as one triangle mesh; points are the meshes' vertices one after another.
  void FillMesh(const import::Node& n, TriMesh& out) {
    constexpr unsigned kSets = std::tuple_size_v<decltype(import::Mesh::uvs)>;
    bool normals = true, colors = false;
    bool uv[kSets] = {};
    size_t verts = 0, faces = 0;
    for (unsigned k : n.meshes) {
      const import::Mesh& m = s_.meshes[k];
      normals = normals && !m.normals.empty();
      colors = colors || !m.colors.empty();
      for (unsigned c = 0; c < kSets; ++c) uv[c] = uv[c] || !m.uvs[c].empty();
      verts += m.positions.size();
      faces += m.triangles.size();
    }
    // Every array is sized once and written through its pointer: one element at a time through
    // the shared arrays costs a sharing check each.
    out.verts.resize(verts);
    out.faces.resize(faces);
    Point3* const points = out.verts.MutableData();
    TriFace* const triangles = out.faces.MutableData();
    auto channel = [&](int ch) {
      MapChannel& mc = out.Map(ch);
      mc.supported = true;
      mc.verts.resize(verts);
      return &mc;
    };
    MapChannel* color = colors ? channel(0) : nullptr;
    MapChannel* alpha = colors ? channel(-2) : nullptr;
    Point3* const colorVerts = color ? color->verts.MutableData() : nullptr;
    Point3* const alphaVerts = alpha ? alpha->verts.MutableData() : nullptr;
    Point3* uvVerts[kSets] = {};
    std::vector<MapChannel*> channels;
    for (unsigned c = 0; c < kSets; ++c) {
      channels.push_back(uv[c] ? channel(int(c) + 1) : nullptr);
      if (channels.back()) uvVerts[c] = channels.back()->verts.MutableData();
    }
    out.hasSpecifiedNormals = normals;
    Point3* specified = nullptr;
    if (normals) {
      out.specified.normals.resize(verts);
      specified = out.specified.normals.MutableData();
    }
    // Every channel indexes the points themselves: one face array, shared by all of them.
    SharedArray<MapFace> cornerFaces;
    cornerFaces.resize(faces);
    MapFace* const corners = cornerFaces.MutableData();

    size_t at = 0, face = 0;
    for (size_t k = 0; k < n.meshes.size(); ++k) {
      const import::Mesh& m = s_.meshes[n.meshes[k]];
      const uint32_t base = uint32_t(at);
      const size_t count = m.positions.size();
      for (size_t v = 0; v < count; ++v, ++at) {
        points[at] = ToPoint(m.positions[v]) * kPresentation;
        if (normals) specified[at] = Normalize(VectorTransform(ToPoint(m.normals[v]), kPresentation));
        if (colors) {
          const Rgba c = !m.colors.empty() ? m.colors[v] : Rgba{1, 1, 1, 1};
          colorVerts[at] = {c.r, c.g, c.b};
          alphaVerts[at] = {c.a, c.a, c.a};
        }
        for (unsigned c = 0; c < kSets; ++c)
          if (uvVerts[c]) uvVerts[c][at] = !m.uvs[c].empty() ? ToPoint(m.uvs[c][v]) : Point3{};
      }
      for (const auto& tri : m.triangles) {
        TriFace& tf = triangles[face];
        MapFace& mf = corners[face];
        ++face;
        for (int i = 0; i < 3; ++i) tf.v[i] = mf.t[i] = base + tri[size_t(i)];
        tf.smGroup = 1;
        tf.matID = uint16_t(n.meshes.size() > 1 ? k : 0);
        tf.flags = 7;  // all edges visible
      }
    }
    if (normals) out.specified.faces = cornerFaces;
    if (colors) color->faces = alpha->faces = cornerFaces;
    for (MapChannel* c : channels)
      if (c) c->faces = cornerFaces;
  }

  bool HasBones(const import::Node& n) const {
    for (unsigned k : n.meshes)
      if (!s_.meshes[k].bones.empty()) return true;
    return false;
  }

  const Object* MakeObject(const import::Node& n, Node& node) {
    auto obj = std::make_unique<Object>();
    if (n.meshes.empty()) {
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
  void MakeNode(const import::Node& n, Node* parent, const Matrix3& after) {
    auto node = std::make_unique<Node>();
    Node& nd = *node;
    nd.name = n.name;
    if (nd.name.empty()) nd.name = "Node" + std::to_string(d_.nodes.size() + 1);
    nd.handle = uint32_t(d_.nodes.size() + 1);
    nd.parent = parent == &d_.root ? nullptr : parent;
    nd.transform = Present(ToMatrix3(n.transform) * after);
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
    for (const import::Node& child : n.children) MakeNode(child, &nd, Matrix3{});
  }

  Matrix3 StaticWorld(const Node* n) const {
    Matrix3 w;
    for (; n; n = n->parent) w = w * n->transform;
    return w;
  }

  // ---- Skin ------------------------------------------------------------------------------

  // The skin sits between the node and its mesh object; the bones' initial transforms come
  // from the offset matrices and the node's transform at rest.
  void MakeSkins(const import::Node& n, Node& node) {
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
    for (unsigned k : n.meshes) {
      const import::Mesh& m = s_.meshes[k];
      for (const import::Bone& bone : m.bones) {
        auto it = byName_.find(bone.name);
        if (it == byName_.end()) continue;
        const Node* bn = it->second;
        auto [slot, fresh] = boneIndex.emplace(bn, int(skin.bones.size()));
        if (fresh) {
          SkinData::BoneEntry e;
          e.node = bn;
          e.hasInit = e.hasInitObject = true;
          e.init = e.initObject = Present(Inverse(ToMatrix3(bone.offset))) * meshWorld;
          skin.bones.push_back(e);
        }
        for (const auto& [vertex, weight] : bone.weights) {
          const size_t p = base + vertex;
          if (vertex < m.positions.size() && weight > 0) perPoint[p].push_back({slot->second, weight});
        }
      }
      base += uint32_t(m.positions.size());
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
    const double seconds = t / TicksPerSecond(s_.animations[anim]);
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
  void ClipKeys(Controller& c, unsigned anim, const Key* keys, size_t count, const float* rest, Value&& value) const {
    const Interval span = clipTicks_[anim];
    float v[4];
    if (count == 0) {
      AddKey(c, span.start, rest);
      AddKey(c, span.end, rest);
      return;
    }
    value(keys[0].value, v);
    if (HostTime(anim, keys[0].time) > span.start) AddKey(c, span.start, v);
    for (size_t k = 0; k < count; ++k) {
      value(keys[k].value, v);
      AddKey(c, HostTime(anim, keys[k].time), v);
    }
    if (c.times.back() < span.end) AddKey(c, span.end, v);
  }

  // One animated node's controllers and how its keys are turned.
  struct KeyJob {
    Node* node;
    const std::vector<std::pair<unsigned, const import::Channel*>>* channels;
    Matrix3 after, turn;
    float k;
    Controller *pos, *rot, *scl;
  };

  void MakeControllers() {
    // Controllers are made here in one order; their keys are filled below, node by node, on
    // two cores when there are enough of them (motion capture has hundreds of thousands).
    std::vector<KeyJob> jobs;
    size_t totalKeys = 0;
    for (const auto& [an, channels] : animated_) {
      auto found = nodes_.find(an);
      if (found == nodes_.end()) continue;
      Node& node = *found->second;
      KeyJob job{&node, &channels, after_[&node], {}, 1, nullptr, nullptr, nullptr};
      // Under a folded root A = k Q: p -> p A, R -> R Q, s -> s k; then presented Z-up.
      if (!IsSimilarity(job.after, &job.k)) job.k = 1;
      job.turn = job.after;
      for (int i = 0; i < 3; ++i) job.turn.row[i] = job.turn.row[i] / job.k;
      job.turn.row[3] = {0, 0, 0};

      Controller* prs = NewController(Controller::Value::Transform, kPrsControllerClass, 1);
      prs->hasValue = false;
      prs->keyInterface = false;
      job.pos = NewController(Controller::Value::Position, kLinearPositionClass, 3);
      job.rot = NewController(Controller::Value::Rotation, kLinearRotationClass, 4);
      job.scl = NewController(Controller::Value::Scale, kLinearScaleClass, 3);
      prs->position = job.pos;
      prs->rotation = job.rot;
      prs->scale = job.scl;
      node.controller = prs;
      for (const auto& [i, c] : channels) totalKeys += c->positions.size() + c->rotations.size() + c->scalings.size();
      jobs.push_back(job);
    }
    ForEachHalf(jobs.size(), WorthTwoCores(totalKeys), [&](size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) FillKeys(jobs[j]);
    });
  }

  void FillKeys(const KeyJob& job) const {
    const Node& node = *job.node;
    Controller *pos = job.pos, *rot = job.rot, *scl = job.scl;
    // Keys as the clips will add them: each channel's keys and a start and an end per clip.
    size_t counts[3] = {0, 0, 0};
    for (const auto& [i, c] : *job.channels) {
      counts[0] += c->positions.size();
      counts[1] += c->rotations.size();
      counts[2] += c->scalings.size();
    }
    Controller* parts[3] = {pos, rot, scl};
    for (int p = 0; p < 3; ++p) {
      const size_t keys = counts[p] + 2 * s_.animations.size();
      parts[p]->times.reserve(keys);
      parts[p]->values.reserve(keys * size_t(parts[p]->width));
    }

    const Matrix3& after = job.after;
    const Matrix3& turn = job.turn;
    const float k = job.k;
    const float restPos[3] = {node.staticPos.x, node.staticPos.y, node.staticPos.z};
    const float restRot[4] = {node.staticRot.x, node.staticRot.y, node.staticRot.z, node.staticRot.w};
    const float restScale[3] = {node.staticScale.x, node.staticScale.y, node.staticScale.z};
    for (unsigned anim = 0; anim < s_.animations.size(); ++anim) {
      const import::Channel* ch = nullptr;
      for (const auto& [i, c] : *job.channels)
        if (i == anim) ch = c;
      if (!ch) {
        ClipKeys(*pos, anim, static_cast<const import::VectorKey*>(nullptr), 0, restPos, [](const Vec3&, float*) {});
        ClipKeys(*rot, anim, static_cast<const import::QuatKey*>(nullptr), 0, restRot,
                 [](const import::Quaternion&, float*) {});
        ClipKeys(*scl, anim, static_cast<const import::VectorKey*>(nullptr), 0, restScale, [](const Vec3&, float*) {});
        continue;
      }
      ClipKeys(*pos, anim, ch->positions.data(), ch->positions.size(), restPos, [&](const Vec3& p, float* v) {
        const Point3 q = ToPoint(p) * after * kPresentation;
        v[0] = q.x, v[1] = q.y, v[2] = q.z;
      });
      ClipKeys(*rot, anim, ch->rotations.data(), ch->rotations.size(), restRot,
               [&](const import::Quaternion& q, float* v) {
        const Quat r = MatrixToQuat(Present(QuatToMatrix(ToQuat(q)) * turn));
        v[0] = r.x, v[1] = r.y, v[2] = r.z, v[3] = r.w;
      });
      ClipKeys(*scl, anim, ch->scalings.data(), ch->scalings.size(), restScale, [&](const Vec3& s, float* v) {
        v[0] = s.x * k, v[1] = s.z * k, v[2] = s.y * k;  // the turn exchanges the Y and Z scales
      });
    }
  }

  const import::Scene& s_;
  std::string path_, dir_;
  Data& d_;
  std::vector<const Material*> materials_;
  std::map<const import::Node*, Node*> nodes_;
  std::multimap<std::string, const Node*> byName_;
  std::map<const Node*, Matrix3> after_;
  std::vector<std::pair<const import::Node*, Node*>> pendingSkins_;
  std::map<const import::Node*, std::vector<std::pair<unsigned, const import::Channel*>>> animated_;
  std::unordered_map<std::string, const import::Node*> byImportName_;
  std::vector<ImportedClip> clips_;
  std::vector<Interval> clipTicks_;
  std::unordered_map<int, std::string> embedded_;
};

}  // namespace

std::unique_ptr<SceneDocument> BuildImportedScene(const import::Scene& scene, const std::string& path,
                                                  std::vector<ImportedClip>* clips) {
  auto data = std::make_unique<Data>();
  Builder(scene, path, *data).Run(clips);
  return std::make_unique<SceneDocument>(std::move(data));
}

}  // namespace vorn
