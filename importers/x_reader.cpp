// .X files through the format library's reader (xformat/), then into imported-scene records the
// way assimp's X import makes its scene: the frame hierarchy as read (an unnamed frame holding
// the only child's meshes folded into its parent, several top frames under "$dummy_root"), one
// mesh per material of each file mesh, materials named "material<line>" when unnamed, keys
// mirrored into right-handed space, missing tracks filled from the frame's rest transform.
#include "importers/x_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>

#include "importers/assimp_arithmetic.h"
#include "importers/x_mesh_build.h"
#include "platform/mapped_file.h"
#include "xformat/mszip.h"
#include "xformat/xfile_reader.h"

namespace vorn {

namespace {

using namespace xfile_import;
using assimp_arithmetic::Decompose;
using assimp_arithmetic::FromMatrix;
using assimp_arithmetic::Length3;
using assimp_arithmetic::Matrix3;
using assimp_arithmetic::ToMatrix;
using import::Matrix4;
using import::Quaternion;
using import::Rgba;
using import::Vec3;

// ---- The file as assimp's parser holds it -----------------------------------------------------

struct SourceMaterial {
  std::string name;
  bool isReference = false;
  Rgba diffuse;
  float power = 0;
  Vec3 specular, emissive;
  std::vector<std::pair<std::string, bool>> textures;  // file, whether a normal map
  size_t sceneIndex = SIZE_MAX;
};

struct SourceNode {
  std::string name;
  Matrix4 transform;
  std::vector<size_t> meshes;  // into Parsed::meshes
  std::vector<SourceNode> children;
};

struct MatrixKey {
  double time = 0;
  Matrix4 matrix;
};

struct SourceChannel {
  std::string node;
  std::vector<import::VectorKey> positions, scalings;
  std::vector<import::QuatKey> rotations;
  std::vector<MatrixKey> matrices;
};

struct SourceAnimation {
  std::string name;
  std::vector<SourceChannel> channels;
};

struct Parsed {
  bool hasRoot = false;
  SourceNode root;
  std::vector<SourceMesh> meshes;
  std::vector<std::vector<SourceMaterial>> materialsOf;  // per mesh
  std::vector<size_t> globalMeshes;
  std::vector<SourceMaterial> globalMaterials;
  std::vector<SourceAnimation> animations;
  uint32_t ticksPerSecond = 0;
};

enum class Kind : uint8_t {
  Other,
  Frame,
  FrameTransformMatrix,
  Mesh,
  MeshNormals,
  MeshTextureCoords,
  MeshVertexColors,
  MeshMaterialList,
  Material,
  TextureFilename,
  NormalmapFilename,
  SkinWeights,
  AnimTicksPerSecond,
  AnimationSet,
  Animation,
  AnimationKey,
};

struct KindName {
  const char* name;
  Kind kind;
};
constexpr KindName kKinds[] = {
    {"Frame", Kind::Frame},
    {"FrameTransformMatrix", Kind::FrameTransformMatrix},
    {"Mesh", Kind::Mesh},
    {"MeshNormals", Kind::MeshNormals},
    {"MeshTextureCoords", Kind::MeshTextureCoords},
    {"MeshVertexColors", Kind::MeshVertexColors},
    {"MeshMaterialList", Kind::MeshMaterialList},
    {"Material", Kind::Material},
    {"TextureFilename", Kind::TextureFilename},
    {"NormalmapFilename", Kind::NormalmapFilename},
    {"SkinWeights", Kind::SkinWeights},
    {"AnimTicksPerSecond", Kind::AnimTicksPerSecond},
    {"AnimationSet", Kind::AnimationSet},
    {"Animation", Kind::Animation},
    {"AnimationKey", Kind::AnimationKey},
};

// "Mesh 'body' (line 12)": an object as messages name it.
std::string ObjectWhere(const XFileTree& tree, uint32_t o) {
  const XTreeObject& x = tree.objects[o];
  std::string w = x.isReference ? std::string("reference") : tree.templates.At(size_t(x.templateIndex)).name;
  if (!x.name.empty()) w += " '" + x.name + "'";
  if (x.line > 0) w += " (line " + std::to_string(x.line) + ")";
  return w;
}

// An object's data bytes, read value by value in template order; bounds are checked (the reader
// made them fit the template).
class Values {
 public:
  Values(const XFileTree& tree, uint32_t o)
      : p_(tree.Data(tree.objects[o]).data()), left_(tree.Data(tree.objects[o]).size()), tree_(tree), object_(o) {}

  uint32_t U32() {
    uint32_t v;
    std::memcpy(&v, Take(4), 4);
    return v;
  }
  float F32() {
    float v;
    std::memcpy(&v, Take(4), 4);
    return v;
  }
  void Floats(float* out, size_t n) {
    if (n > 0) std::memcpy(out, Take(n * 4), n * 4);
  }
  std::string Str() {
    const void* zero = std::memchr(p_, 0, left_);
    if (!zero) Short();
    std::string s(reinterpret_cast<const char*>(p_), static_cast<const uint8_t*>(zero) - p_);
    Take(s.size() + 1);
    return s;
  }
  // The file's 16 values of a row-vector matrix, as a column-vector one.
  Matrix4 Matrix() {
    float f[16];
    Floats(f, 16);
    Matrix4 m;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) m.m[r][c] = f[c * 4 + r];
    return m;
  }
  Vec3 Vector() {
    float f[3];
    Floats(f, 3);
    return {f[0], f[1], f[2]};
  }
  size_t Left() const { return left_; }

 private:
  const uint8_t* Take(size_t n) {
    if (n > left_) Short();
    const uint8_t* at = p_;
    p_ += n;
    left_ -= n;
    return at;
  }
  [[noreturn]] void Short() const { throw std::runtime_error(ObjectWhere(tree_, object_) + ": its data ends early"); }

  const uint8_t* p_;
  size_t left_;
  const XFileTree& tree_;
  uint32_t object_;
};

// The line number assimp's parser has reached at the start of a text line: one per '\n' before
// it, and one more for each comment (and the header's line) ended by "\r\n", whose '\r' it
// counts as a line end of its own. Lines are asked for in increasing order.
class AssimpLines {
 public:
  // body: the text after the 16-byte header; headerLine: whether the rest of the header's line
  // is skipped (plain text, not compressed text).
  AssimpLines(std::string_view body, bool headerLine) : text_(body) {
    if (headerLine) SkipComment();
  }

  int At(uint32_t line) {
    while (line_ < line && pos_ < text_.size()) {
      // one line: a comment in it (outside strings) runs to its end
      bool quoted = false;
      while (pos_ < text_.size() && text_[pos_] != '\n') {
        const char c = text_[pos_];
        if (c == '"') quoted = !quoted;
        if (!quoted && (c == '#' || (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/'))) {
          SkipComment();
          break;
        }
        ++pos_;
      }
      if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
      ++line_;
    }
    return int(line) - 1 + extra_;
  }

 private:
  // To the comment's line end, counting a '\r' there; the '\n' after it is left to the line.
  void SkipComment() {
    while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '\r') {
      ++extra_;
      ++pos_;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  uint32_t line_ = 1;
  int extra_ = 0;
};

class TreeReader {
 public:
  TreeReader(const XFileTree& tree, const std::string& path) : tree_(tree), path_(path) {
    // Data objects take the first template of their name, the standard one where there is one;
    // a file's own file-name template must hold the name first.
    kinds_.assign(tree.templates.Count(), Kind::Other);
    for (size_t i = 0; i < tree.templates.Count(); ++i) {
      const XTemplate& t = tree.templates.At(i);
      for (const KindName& k : kKinds) {
        if (t.name != k.name || tree.templates.IndexOf(std::string_view(t.name)) != int32_t(i)) continue;
        if (k.kind == Kind::NormalmapFilename &&
            (t.members.empty() || t.members[0].type != XMemberType::String || t.members[0].isArray))
          Fail("template " + t.name + " does not start with the file name");
        kinds_[i] = k.kind;
      }
    }
  }

  // Unnamed materials are named by the line assimp has counted to (none in binary files).
  void SetText(std::string_view body, bool headerLine) { lines_.emplace(body, headerLine); }
  bool HasUnnamedMaterial() const {
    for (const XTreeObject& o : tree_.objects)
      if (!o.isReference && o.templateIndex >= 0 && kinds_[size_t(o.templateIndex)] == Kind::Material && o.name.empty())
        return true;
    return false;
  }

  Parsed Run() {
    for (uint32_t o = tree_.firstTop; o != kNoObject; o = Obj(o).nextSibling) {
      switch (KindOf(o)) {
        case Kind::Frame: Frame(o, nullptr); break;
        case Kind::Mesh:
          out_.globalMeshes.push_back(Mesh(o));
          break;
        case Kind::Material: out_.globalMaterials.push_back(Material(o)); break;
        case Kind::AnimTicksPerSecond: {
          Values v(tree_, o);
          out_.ticksPerSecond = v.U32();
          break;
        }
        case Kind::AnimationSet: AnimationSet(o); break;
        default: break;
      }
    }
    return std::move(out_);
  }

 private:
  const XTreeObject& Obj(uint32_t o) const { return tree_.objects[o]; }
  Kind KindOf(uint32_t o) const {
    const XTreeObject& x = Obj(o);
    return x.isReference || x.templateIndex < 0 ? Kind::Other : kinds_[size_t(x.templateIndex)];
  }
  std::string Where(uint32_t o) const { return ObjectWhere(tree_, o); }
  [[noreturn]] void Fail(const std::string& what) const { throw std::runtime_error(path_ + ": " + what); }
  [[noreturn]] void Fail(uint32_t o, const std::string& what) const { Fail(Where(o) + ": " + what); }

  void Frame(uint32_t o, SourceNode* parent) {
    SourceNode node;
    node.name = Obj(o).name;
    for (uint32_t c = Obj(o).firstChild; c != kNoObject; c = Obj(c).nextSibling) {
      switch (KindOf(c)) {
        case Kind::Frame: Frame(c, &node); break;
        case Kind::FrameTransformMatrix: {
          Values v(tree_, c);
          node.transform = v.Matrix();
          break;
        }
        case Kind::Mesh: node.meshes.push_back(Mesh(c)); break;
        default: break;
      }
    }
    if (parent) {
      parent->children.push_back(std::move(node));
    } else if (!out_.hasRoot) {
      out_.root = std::move(node);
      out_.hasRoot = true;
    } else {
      // Several top frames: they hang under one root.
      if (out_.root.name != "$dummy_root") {
        SourceNode first = std::move(out_.root);
        out_.root = SourceNode{};
        out_.root.name = "$dummy_root";
        out_.root.children.push_back(std::move(first));
      }
      out_.root.children.push_back(std::move(node));
    }
  }

  size_t Mesh(uint32_t o) {
    SourceMesh m;
    std::vector<SourceMaterial> materials;
    Values v(tree_, o);
    const uint32_t vertices = v.U32();
    if (size_t{vertices} * 12 > v.Left()) Fail(o, "its data ends early");
    m.positions.resize(vertices);
    v.Floats(reinterpret_cast<float*>(m.positions.data()), size_t{vertices} * 3);
    const uint32_t faces = v.U32();
    if (faces > v.Left() / 4) Fail(o, "its data ends early");
    m.faceStart.reserve(size_t{faces} + 1);
    m.corners.reserve(size_t{faces} * 3);
    m.faceStart.push_back(0);
    for (uint32_t f = 0; f < faces; ++f) {
      const uint32_t n = v.U32();
      if (n > v.Left() / 4) Fail(o, "its data ends early");
      if (n == 0) Fail(o, "face " + std::to_string(f) + " has no corners");
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t index = v.U32();
        if (index >= vertices)
          Fail(o, "face " + std::to_string(f) + " uses vertex " + std::to_string(index) + ", the mesh has " +
                      std::to_string(vertices));
        m.corners.push_back(index);
      }
      m.faceStart.push_back(uint32_t(m.corners.size()));
    }
    bool hasMaterialList = false;
    for (uint32_t c = Obj(o).firstChild; c != kNoObject; c = Obj(c).nextSibling) {
      switch (KindOf(c)) {
        case Kind::MeshNormals: Normals(c, m); break;
        case Kind::MeshTextureCoords: {
          if (m.uvSets == kMaxSets) Fail(c, "more than 8 sets of texture coordinates");
          Values t(tree_, c);
          const uint32_t n = t.U32();
          if (n != vertices) Fail(c, std::to_string(n) + " texture coordinates for " + std::to_string(vertices) + " vertices");
          auto& set = m.uvs[m.uvSets++];
          set.resize(n);
          if (n) t.Floats(set[0].data(), size_t{n} * 2);
          break;
        }
        case Kind::MeshVertexColors: {
          if (m.colorSets == kMaxSets) Fail(c, "more than 8 sets of vertex colours");
          Values t(tree_, c);
          const uint32_t n = t.U32();
          if (n != vertices) Fail(c, std::to_string(n) + " vertex colours for " + std::to_string(vertices) + " vertices");
          auto& set = m.colors[m.colorSets++];
          set.assign(n, Rgba{0, 0, 0, 1});
          for (uint32_t k = 0; k < n; ++k) {
            const uint32_t index = t.U32();
            if (index >= vertices) Fail(c, "colour " + std::to_string(k) + " is for vertex " + std::to_string(index) + ", the mesh has " + std::to_string(vertices));
            float rgba[4];
            t.Floats(rgba, 4);
            set[index] = {rgba[0], rgba[1], rgba[2], rgba[3]};
          }
          break;
        }
        case Kind::MeshMaterialList:
          if (hasMaterialList) Fail(c, "a second material list in the mesh");
          hasMaterialList = true;
          MaterialList(c, m, materials);
          break;
        case Kind::SkinWeights: m.bones.push_back(Skin(c, vertices)); break;
        default: break;
      }
    }
    out_.meshes.push_back(std::move(m));
    out_.materialsOf.push_back(std::move(materials));
    return out_.meshes.size() - 1;
  }

  void Normals(uint32_t o, SourceMesh& m) {
    Values v(tree_, o);
    const uint32_t count = v.U32();
    if (size_t{count} * 12 > v.Left()) Fail(o, "its data ends early");
    m.normals.resize(count);
    v.Floats(reinterpret_cast<float*>(m.normals.data()), size_t{count} * 3);
    const uint32_t faces = v.U32();
    if (faces != m.FaceCount())
      Fail(o, std::to_string(faces) + " normal faces for " + std::to_string(m.FaceCount()) + " faces");
    m.normalCorners.clear();
    m.normalCorners.reserve(m.corners.size());
    for (uint32_t f = 0; f < faces; ++f) {
      const uint32_t n = v.U32();
      if (n != m.faceStart[f + 1] - m.faceStart[f])
        Fail(o, "normal face " + std::to_string(f) + " has " + std::to_string(n) + " corners, the face has " +
                    std::to_string(m.faceStart[f + 1] - m.faceStart[f]));
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t index = v.U32();
        if (index >= count)
          Fail(o, "normal face " + std::to_string(f) + " uses normal " + std::to_string(index) + ", there are " +
                      std::to_string(count));
        m.normalCorners.push_back(index);
      }
    }
    if (count == 0) m.normalCorners.clear();
  }

  void MaterialList(uint32_t o, SourceMesh& m, std::vector<SourceMaterial>& materials) {
    Values v(tree_, o);
    v.U32();  // the material count; the materials that follow count
    const uint32_t n = v.U32();
    const uint32_t faces = m.FaceCount();
    if (n != faces && n != 1)
      Fail(o, std::to_string(n) + " face material indices for " + std::to_string(faces) + " faces");
    m.faceMaterials.resize(n);
    for (uint32_t k = 0; k < n; ++k) m.faceMaterials[k] = v.U32();
    // A single index is every face's.
    if (n == 1) m.faceMaterials.assign(faces, m.faceMaterials[0]);
    for (uint32_t c = Obj(o).firstChild; c != kNoObject; c = Obj(c).nextSibling) {
      if (Obj(c).isReference) {
        SourceMaterial ref;
        ref.isReference = true;
        ref.name = Obj(c).name;
        materials.push_back(std::move(ref));
      } else if (KindOf(c) == Kind::Material) {
        materials.push_back(Material(c));
      }
    }
    for (uint32_t f = 0; f < m.faceMaterials.size(); ++f)
      if (m.faceMaterials[f] >= materials.size())
        Fail(o, "face " + std::to_string(f) + " has material " + std::to_string(m.faceMaterials[f]) + ", the list holds " +
                    std::to_string(materials.size()));
  }

  SourceMaterial Material(uint32_t o) {
    SourceMaterial mat;
    mat.name = Obj(o).name;
    if (mat.name.empty()) mat.name = "material" + std::to_string(lines_ && Obj(o).line > 0 ? lines_->At(Obj(o).line) : 0);
    Values v(tree_, o);
    v.Floats(&mat.diffuse.r, 4);
    mat.power = v.F32();
    mat.specular = v.Vector();
    mat.emissive = v.Vector();
    for (uint32_t c = Obj(o).firstChild; c != kNoObject; c = Obj(c).nextSibling) {
      const Kind k = KindOf(c);
      if (k != Kind::TextureFilename && k != Kind::NormalmapFilename) continue;
      Values t(tree_, c);
      std::string file = t.Str();
      // Some exporters double every backslash.
      for (size_t at; (at = file.find("\\\\")) != std::string::npos;) file.replace(at, 2, "\\");
      mat.textures.push_back({std::move(file), k == Kind::NormalmapFilename});
    }
    return mat;
  }

  SourceBone Skin(uint32_t o, uint32_t vertices) {
    SourceBone b;
    Values v(tree_, o);
    b.name = v.Str();
    const uint32_t n = v.U32();
    if (size_t{n} * 8 > v.Left()) Fail(o, "its data ends early");
    b.vertices.resize(n);
    for (uint32_t k = 0; k < n; ++k) {
      b.vertices[k] = v.U32();
      if (b.vertices[k] >= vertices)
        Fail(o, "weight " + std::to_string(k) + " is for vertex " + std::to_string(b.vertices[k]) + ", the mesh has " +
                    std::to_string(vertices));
    }
    b.weights.resize(n);
    if (n) v.Floats(b.weights.data(), n);
    b.offset = v.Matrix();
    return b;
  }

  void AnimationSet(uint32_t o) {
    SourceAnimation a;
    a.name = Obj(o).name;
    for (uint32_t c = Obj(o).firstChild; c != kNoObject; c = Obj(c).nextSibling) {
      if (KindOf(c) != Kind::Animation) continue;
      SourceChannel& ch = a.channels.emplace_back();
      for (uint32_t k = Obj(c).firstChild; k != kNoObject; k = Obj(k).nextSibling) {
        if (Obj(k).isReference)
          ch.node = Obj(k).name;
        else if (KindOf(k) == Kind::AnimationKey)
          Keys(k, ch);
      }
    }
    out_.animations.push_back(std::move(a));
  }

  void Keys(uint32_t o, SourceChannel& ch) {
    Values v(tree_, o);
    const uint32_t type = v.U32();
    const uint32_t n = v.U32();
    if (type > 4) Fail(o, "unknown key type " + std::to_string(type));
    static constexpr uint32_t kValues[] = {4, 3, 3, 16, 16};
    for (uint32_t k = 0; k < n; ++k) {
      const double time = double(v.U32());
      const uint32_t count = v.U32();
      if (count != kValues[type])
        Fail(o, "key " + std::to_string(k) + " has " + std::to_string(count) + " values, its type takes " +
                    std::to_string(kValues[type]));
      if (type == 0) {
        float q[4];
        v.Floats(q, 4);
        ch.rotations.push_back({time, {q[0], q[1], q[2], q[3]}});
      } else if (type <= 2) {
        (type == 2 ? ch.positions : ch.scalings).push_back({time, v.Vector()});
      } else {
        ch.matrices.push_back({time, v.Matrix()});
      }
    }
  }

  const XFileTree& tree_;
  const std::string& path_;
  std::vector<Kind> kinds_;
  std::optional<AssimpLines> lines_;
  Parsed out_;
};

// An unnamed frame that is its parent's only child and holds meshes gives them, and its
// transform, to the parent (its own children are lost, as in assimp).
void FilterHierarchy(SourceNode& node) {
  if (node.children.size() == 1 && node.meshes.empty()) {
    SourceNode& child = node.children.front();
    if (child.name.empty() && !child.meshes.empty()) {
      node.meshes = std::move(child.meshes);
      Matrix4 product;
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
          product.m[i][j] = child.transform.m[0][j] * node.transform.m[i][0] + child.transform.m[1][j] * node.transform.m[i][1] +
                            child.transform.m[2][j] * node.transform.m[i][2] + child.transform.m[3][j] * node.transform.m[i][3];
      node.transform = product;
      node.children.clear();
    }
  }
  for (SourceNode& c : node.children) FilterHierarchy(c);
}

// Mirrored along Z; the Z axis itself flipped back to keep the determinant positive.
void MakeLeftHanded(Matrix4& t) {
  auto& m = t.m;
  for (float* x : {&m[2][0], &m[2][1], &m[2][2], &m[2][3], &m[0][2], &m[1][2], &m[2][2], &m[3][2]}) *x = -*x;
}

// ---- The scene, as assimp's X import builds it --------------------------------------------------

class Converter {
 public:
  explicit Converter(Parsed& p) : p_(p) {}

  import::Scene Run() {
    if (p_.hasRoot) FilterHierarchy(p_.root);
    ConvertMaterials(p_.globalMaterials);
    if (p_.hasRoot) CreateNode(p_.root, scene_.root);
    CreateAnimations();
    if (!p_.globalMeshes.empty()) {
      if (!p_.hasRoot) {
        scene_.root.name = "$dummy_node";
        MakeLeftHanded(scene_.root.transform);
      }
      CreateMeshes(p_.globalMeshes, scene_.root);
    } else if (!p_.hasRoot) {
      throw std::runtime_error("the file holds no frame and no mesh");
    }
    if (scene_.materials.empty()) {
      import::Material& m = scene_.materials.emplace_back();
      m.hasEmissive = m.hasSpecular = m.hasDiffuse = true;
      m.emissive = m.specular = {0, 0, 0, 1};
      m.diffuse = {0.5f, 0.5f, 0.5f, 1};
      m.hasShininess = true;
      m.shininess = 1;
    }
    FillTracks();
    return std::move(scene_);
  }

 private:
  void ConvertMaterials(std::vector<SourceMaterial>& materials) {
    for (SourceMaterial& old : materials) {
      if (old.isReference) {
        old.sceneIndex = 0;  // an unknown name takes the first material, as in assimp
        for (size_t b = 0; b < scene_.materials.size(); ++b)
          if (scene_.materials[b].name == old.name) {
            old.sceneIndex = b;
            break;
          }
        continue;
      }
      import::Material m;
      m.name = old.name;
      m.hasEmissive = m.hasDiffuse = m.hasSpecular = m.hasShininess = true;
      m.emissive = {old.emissive.x, old.emissive.y, old.emissive.z, 1};
      m.diffuse = old.diffuse;
      m.specular = {old.specular.x, old.specular.y, old.specular.z, 1};
      m.shininess = old.power;
      if (old.textures.size() == 1) {
        if (!old.textures[0].first.empty()) (old.textures[0].second ? m.normalMap : m.diffuseMap).file = old.textures[0].first;
      } else {
        // Several textures: the kind by words in the file name, the first of each kind counts.
        for (const auto& [file, normal] : old.textures) {
          if (file.empty()) continue;
          std::string lower = file;
          const size_t slash = lower.find_last_of("\\/");
          const size_t s = slash == std::string::npos ? 0 : slash;
          const size_t dot = lower.find_last_of('.');
          if (dot != std::string::npos) lower[dot] = '\0';
          for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
          auto has = [&](const char* w) { return lower.find(w, s) != std::string::npos; };
          if (has("bump") || has("height")) continue;
          if (normal || has("normal") || has("nm")) {
            if (m.normalMap.file.empty()) m.normalMap.file = file;
          } else if (has("spec") || has("glanz") || has("ambi") || has("env") || has("emissive") || has("self")) {
            continue;
          } else if (m.diffuseMap.file.empty()) {
            m.diffuseMap.file = file;
          }
        }
      }
      old.sceneIndex = scene_.materials.size();
      scene_.materials.push_back(std::move(m));
    }
  }

  void CreateNode(const SourceNode& src, import::Node& out) {
    out.name = src.name;
    out.transform = src.transform;
    MakeLeftHanded(out.transform);
    CreateMeshes(src.meshes, out);
    out.children.resize(src.children.size());
    for (size_t i = 0; i < src.children.size(); ++i) CreateNode(src.children[i], out.children[i]);
  }

  void CreateMeshes(const std::vector<size_t>& meshes, import::Node& node) {
    if (meshes.empty()) return;
    node.meshes.clear();
    std::vector<uint32_t> faces;
    for (const size_t index : meshes) {
      const SourceMesh& src = p_.meshes[index];
      std::vector<SourceMaterial>& materials = p_.materialsOf[index];
      ConvertMaterials(materials);
      const size_t count = std::max<size_t>(materials.size(), 1);
      for (size_t b = 0; b < count; ++b) {
        faces.clear();
        uint32_t corners = 0;
        for (uint32_t f = 0; f < src.FaceCount(); ++f)
          if (src.faceMaterials.empty() || src.faceMaterials[f] == b) {
            faces.push_back(f);
            corners += src.faceStart[f + 1] - src.faceStart[f];
          }
        if (corners == 0) continue;
        const unsigned material = src.faceMaterials.empty() ? 0u : unsigned(materials[b].sceneIndex);
        for (import::Mesh& m : BuildMeshes(src, faces, corners, material)) {
          node.meshes.push_back(unsigned(scene_.meshes.size()));
          scene_.meshes.push_back(std::move(m));
        }
      }
    }
  }

  void CreateAnimations() {
    for (const SourceAnimation& a : p_.animations) {
      if (a.channels.empty()) continue;  // some exporters write empty sets
      import::Animation& out = scene_.animations.emplace_back();
      out.name = a.name;
      out.ticksPerSecond = p_.ticksPerSecond;
      for (const SourceChannel& c : a.channels) {
        import::Channel& ch = out.channels.emplace_back();
        ch.node = c.node;
        if (!c.matrices.empty()) {
          for (const MatrixKey& k : c.matrices) {
            const auto& m = k.matrix.m;
            const Vec3 scale{Length3(m[0][0], m[1][0], m[2][0]), Length3(m[0][1], m[1][1], m[2][1]),
                             Length3(m[0][2], m[1][2], m[2][2])};
            const Matrix3 r{m[0][0] / scale.x, m[0][1] / scale.y, m[0][2] / scale.z, m[1][0] / scale.x, m[1][1] / scale.y,
                            m[1][2] / scale.z, m[2][0] / scale.x, m[2][1] / scale.y, m[2][2] / scale.z};
            ch.positions.push_back({k.time, {m[0][3], m[1][3], m[2][3]}});
            ch.scalings.push_back({k.time, scale});
            ch.rotations.push_back({k.time, FromMatrix(r)});
          }
          out.duration = std::max(out.duration, c.matrices.back().time);
        } else {
          ch.positions = c.positions;
          ch.scalings = c.scalings;
          ch.rotations.reserve(c.rotations.size());
          for (const import::QuatKey& k : c.rotations) {
            Quaternion q = FromMatrix(ToMatrix(k.value));
            q.w *= -1.0f;  // the file's rotations turn the other way
            ch.rotations.push_back({k.time, q});
          }
          for (const auto* keys : {&c.positions, &c.scalings})
            if (!keys->empty()) out.duration = std::max(out.duration, keys->back().time);
          if (!c.rotations.empty()) out.duration = std::max(out.duration, c.rotations.back().time);
        }
        for (import::VectorKey& k : ch.positions) k.value.z *= -1.0f;
        for (import::QuatKey& k : ch.rotations) k.value.x *= -1.0f, k.value.y *= -1.0f;
      }
    }
  }

  static const import::Node* FindNode(const import::Node& n, const std::string& name) {
    if (n.name == name) return &n;
    for (const import::Node& c : n.children)
      if (const import::Node* f = FindNode(c, name)) return f;
    return nullptr;
  }

  // A channel without keys of a kind holds its frame's rest value in that part; a channel of a
  // frame that does not exist and without keys is dropped.
  void FillTracks() {
    for (import::Animation& a : scene_.animations) {
      for (import::Channel& c : a.channels) {
        if (!c.positions.empty() && !c.rotations.empty() && !c.scalings.empty()) continue;
        const import::Node* node = FindNode(scene_.root, c.node);
        if (!node) continue;
        Vec3 scaling, position;
        Quaternion rotation;
        Decompose(node->transform, scaling, rotation, position);
        if (c.rotations.empty()) c.rotations.push_back({0.0, rotation});
        if (c.scalings.empty()) c.scalings.push_back({0.0, scaling});
        if (c.positions.empty()) c.positions.push_back({0.0, position});
      }
      std::erase_if(a.channels, [](const import::Channel& c) {
        return c.positions.empty() && c.rotations.empty() && c.scalings.empty();
      });
    }
  }

  Parsed& p_;
  import::Scene scene_;
};

}  // namespace

bool IsXPath(const std::string& path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  return ext == ".x" || ext == ".X";
}

import::Scene ReadXBytes(std::string_view bytes, const std::string& path) {
  XReadOptions options;
  options.textFloat = assimp_arithmetic::TextFloat;
  XFileTree tree;
  std::string error;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (!ReadXFile(data, bytes.size(), options, &tree, &error)) throw std::runtime_error(path + ": " + error);
  TreeReader reader(tree, path);
  std::vector<uint8_t> inflated;
  if (tree.encoding == "txt") {
    reader.SetText(bytes.substr(16), true);
  } else if (tree.encoding == "tzip" && reader.HasUnnamedMaterial()) {
    if (MszipDecompress(data, bytes.size(), &inflated, &error))
      reader.SetText({reinterpret_cast<const char*>(inflated.data()), inflated.size()}, false);
  }
  Parsed parsed = reader.Run();
  try {
    return Converter(parsed).Run();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

import::Scene ReadX(const std::string& path) {
  platform::MappedFile file;
  if (!file.Open(path)) throw std::runtime_error(path + ": cannot read the file");
  return ReadXBytes(file.Bytes(), path);
}

}  // namespace vorn
