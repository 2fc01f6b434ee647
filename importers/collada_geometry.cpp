// COLLADA geometry into import meshes: one mesh per primitive element (triangles, polylist,
// polygons, tristrips, trifans; lines are dropped), vertices as assimp's join leaves the file's
// corners (identical ones shared, in the order of first use), polygons cut into triangles as
// assimp's triangulation cuts them, and the bones of a skin controller.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "importers/assimp_arithmetic.h"
#include "importers/vertex_join.h"
#include "importers/collada_document.h"

namespace vorn::collada {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
constexpr float kPi = 3.14159265358979f;

enum class Kind { Position, Normal, Uv, Color };

struct Attribute {
  Kind kind;
  const Source* source;
  unsigned offset;
  unsigned set = 0;  // UV channel
};

// Influences of each position index: (joint, weight) pairs, from the skin's vertex_weights.
struct Influences {
  std::vector<uint32_t> first;  // per position index, into pairs; size positions + 1
  std::vector<std::pair<uint32_t, float>> pairs;
  bool Same(uint32_t a, uint32_t b) const {
    if (a == b) return true;
    const bool ha = a + 1 < first.size(), hb = b + 1 < first.size();
    const size_t na = ha ? first[a + 1] - first[a] : 0, nb = hb ? first[b + 1] - first[b] : 0;
    if (na != nb) return false;
    return na == 0 || std::equal(pairs.begin() + first[a], pairs.begin() + first[a + 1], pairs.begin() + first[b]);
  }
};

float Length(const import::Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
import::Vec3 Sub(const import::Vec3& a, const import::Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

import::Vec3 Cross(const import::Vec3& a, const import::Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float Dot(const import::Vec3& a, const import::Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The fan's first corner for a quad: the corner whose inner angle exceeds half a turn, if any.
int QuadStart(const import::Vec3* v) {
  // Plainly convex quads (each corner turning the same way by more than a tenth of a degree or
  // so) have no such corner; the angle sums below are for the rest.
  const import::Vec3 n = Cross(Sub(v[2], v[0]), Sub(v[3], v[1]));
  const float nl = Length(n);
  bool convex = nl > 0;
  for (int i = 0; convex && i < 4; ++i) {
    const import::Vec3 in = Sub(v[i], v[(i + 3) % 4]), out = Sub(v[(i + 1) % 4], v[i]);
    convex = Dot(Cross(in, out), n) > 2e-3f * Length(in) * Length(out) * nl;
  }
  if (convex) return 0;
  for (int i = 0; i < 4; ++i) {
    const import::Vec3& c = v[i];
    import::Vec3 left = Sub(v[(i + 3) % 4], c), diag = Sub(v[(i + 2) % 4], c), right = Sub(v[(i + 1) % 4], c);
    const float ll = Length(left), ld = Length(diag), lr = Length(right);
    if (ll == 0 || ld == 0 || lr == 0) continue;
    left = {left.x / ll, left.y / ll, left.z / ll};
    diag = {diag.x / ld, diag.y / ld, diag.z / ld};
    right = {right.x / lr, right.y / lr, right.z / lr};
    auto dot = [](const import::Vec3& a, const import::Vec3& b) { return std::clamp(a.x * b.x + a.y * b.y + a.z * b.z, -1.0f, 1.0f); };
    if (std::acos(dot(left, diag)) + std::acos(dot(right, diag)) > kPi) return i;
  }
  return 0;
}

// Ear clipping for polygons of five or more corners, in the order assimp's triangles show:
// projected on the plane the polygon's normal (Newell) is most upright to and turned
// counter-clockwise, the sweep goes on from each ear cut to the next corner not yet cut, a
// corner at the position of one of the ear's own does not block it (a bridge to a hole), and
// the last three corners make the last triangle. Ears at odd corners are written starting at
// their next corner, and the last triangle of an odd polygon starting at its last corner, as
// assimp writes them. Appends triangles of corner numbers c0 + k.
void ClipEars(const std::vector<import::Vec3>& p, uint32_t c0, std::vector<std::array<uint32_t, 3>>& out,
              std::vector<float>& xs, std::vector<float>& ys, std::vector<uint32_t>& done) {
  const uint32_t n = uint32_t(p.size());
  double nx = 0, ny = 0, nz = 0;
  for (size_t i = 0; i < n; ++i) {
    const import::Vec3 &a = p[i], &b = p[(i + 1) % n];
    nx += (double(a.y) - b.y) * (double(a.z) + b.z);
    ny += (double(a.z) - b.z) * (double(a.x) + b.x);
    nz += (double(a.x) - b.x) * (double(a.y) + b.y);
  }
  const double ax = std::fabs(nx), ay = std::fabs(ny), az = std::fabs(nz);
  const int drop = ax >= ay && ax >= az ? 0 : ay >= az ? 1 : 2;
  xs.resize(n);
  ys.resize(n);
  double area = 0;
  for (size_t i = 0; i < n; ++i) {
    xs[i] = drop == 0 ? p[i].y : drop == 1 ? p[i].z : p[i].x;
    ys[i] = drop == 0 ? p[i].z : drop == 1 ? p[i].x : p[i].y;
  }
  for (size_t i = 0; i < n; ++i) area += double(xs[i]) * ys[(i + 1) % n] - double(xs[(i + 1) % n]) * ys[i];
  if (area < 0)
    for (float& x : xs) x = -x;
  // p on the left of the line from a to b.
  auto left = [&](uint32_t a, uint32_t b, uint32_t q) {
    return (xs[b] - xs[a]) * (ys[q] - ys[a]) - (xs[q] - xs[a]) * (ys[b] - ys[a]) > 0;
  };
  auto inside = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t q) {
    const float v0x = xs[c] - xs[a], v0y = ys[c] - ys[a], v1x = xs[b] - xs[a], v1y = ys[b] - ys[a];
    const float v2x = xs[q] - xs[a], v2y = ys[q] - ys[a];
    const float d00 = v0x * v0x + v0y * v0y, d01 = v0x * v1x + v0y * v1y, d02 = v0x * v2x + v0y * v2y;
    const float d11 = v1x * v1x + v1y * v1y, d12 = v1x * v2x + v1y * v2y;
    const float det = d00 * d11 - d01 * d01;
    if (det == 0) return false;
    const float inv = 1 / det, u = (d11 * d02 - d01 * d12) * inv, v = (d00 * d12 - d01 * d02) * inv;
    return u > 0 && v > 0 && u + v < 1;
  };
  auto same = [&](uint32_t a, uint32_t b) { return xs[a] == xs[b] && ys[a] == ys[b]; };
  done.assign(n, 0);
  uint32_t left_ = n, prev = n - 1, next = 0;
  while (left_ > 3) {
    uint32_t ear = next;
    int wraps = 0;
    while (true) {
      next = ear + 1;
      for (;; ++next) {
        if (next >= n) next = 0;
        if (!done[next]) break;
      }
      if (next < ear && ++wraps == 2) break;
      bool ok = !left(prev, next, ear);
      for (uint32_t q = 0; ok && q < n; ++q)
        if (!same(q, prev) && !same(q, ear) && !same(q, next) && inside(prev, ear, next, q)) ok = false;
      if (ok) break;
      prev = ear;
      ear = next;
    }
    // No ear in two sweeps (the polygon crosses itself): cut the corner reached anyway.
    if (ear % 2)
      out.push_back({c0 + next, c0 + prev, c0 + ear});
    else
      out.push_back({c0 + prev, c0 + ear, c0 + next});
    done[ear] = 1;
    --left_;
  }
  uint32_t r[3], k = 0;
  for (uint32_t i = 0; i < n && k < 3; ++i)
    if (!done[i]) r[k++] = i;
  if (n % 2)
    out.push_back({c0 + r[2], c0 + r[0], c0 + r[1]});
  else
    out.push_back({c0 + r[0], c0 + r[1], c0 + r[2]});
}

}  // namespace

const std::vector<unsigned>& Reader::InstanceMeshes(pugi::xml_node instance, const std::string& where) {
  const std::string_view url = instance.attribute("url").value();
  const bool controller = std::strcmp(instance.name(), "instance_controller") == 0;
  pugi::xml_node target = Resolve(url, controller ? "the controller" : "the geometry", where);
  pugi::xml_node skin;
  for (int hops = 0; std::strcmp(target.name(), "controller") == 0; ++hops) {
    if (hops > 8) Fail(where + ": controllers refer to one another in a loop");
    const std::string cw = "controller \"" + std::string(target.attribute("id").value()) + "\"";
    pugi::xml_node part = target.child("skin");
    if (part) {
      if (!skin) skin = part;
    } else if (!(part = target.child("morph"))) {
      Fail(cw + ": neither a skin nor a morph");
    }
    target = Resolve(part.attribute("source").value(), "the source", cw);
  }
  if (std::strcmp(target.name(), "geometry") != 0)
    Fail(where + ": refers to a <" + std::string(target.name()) + "> where a geometry belongs");
  Bindings bindings;
  for (pugi::xml_node m : instance.child("bind_material").child("technique_common").children("instance_material")) {
    Binding& b = bindings[m.attribute("symbol").value()];
    b.target = m.attribute("target").value();
    for (pugi::xml_node v : m.children("bind_vertex_input"))
      b.texcoordSets.emplace_back(v.attribute("semantic").value(), v.attribute("input_set").as_uint());
  }
  // One set of meshes per geometry (or controller) and the materials its primitives resolve to.
  std::string key(url);
  for (pugi::xml_node prim : target.child("mesh").children()) {
    const std::string_view name = prim.name();
    if (name == "triangles" || name == "polylist" || name == "polygons" || name == "tristrips" || name == "trifans")
      key += "|" + std::to_string(MaterialIndex(bindings, prim.attribute("material").value()));
  }
  auto found = instances_.find(key);
  if (found != instances_.end()) return found->second;
  std::vector<unsigned> meshes = BuildMeshes(target, skin, bindings, "geometry \"" + std::string(target.attribute("id").value()) + "\"");
  return instances_.emplace(key, std::move(meshes)).first->second;
}

std::vector<unsigned> Reader::BuildMeshes(pugi::xml_node geometry, pugi::xml_node skin, const Bindings& bindings,
                                          const std::string& where) {
  std::vector<unsigned> result;
  const pugi::xml_node mesh = geometry.child("mesh");
  if (!mesh) return result;  // splines and convex meshes carry no triangles

  // ---- Skin influences per position index
  Influences influences;
  std::vector<std::string> jointNames;
  std::vector<import::Matrix4> offsets;
  if (skin) {
    const std::string sw = where + " skin";
    std::vector<float> bsm;
    ParseFloats(skin.child_value("bind_shape_matrix"), bsm, sw + " bind_shape_matrix");
    import::Matrix4 bindShape;
    if (bsm.size() >= 16)
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) bindShape.m[r][c] = bsm[size_t(r * 4 + c)];
    const Source* joints = nullptr;
    const Source* inverseBind = nullptr;
    for (pugi::xml_node in : skin.child("joints").children("input")) {
      const std::string_view semantic = in.attribute("semantic").value();
      if (semantic == "JOINT") joints = &GetSource(in.attribute("source").value(), sw);
      if (semantic == "INV_BIND_MATRIX") inverseBind = &GetSource(in.attribute("source").value(), sw);
    }
    if (!joints) Fail(sw + ": no JOINT input in <joints>");
    if (joints->names.size() < joints->count) Fail(sw + ": the joints are not a name array");
    jointNames.resize(joints->count);
    offsets.resize(joints->count);
    for (size_t j = 0; j < joints->count; ++j) {
      const std::string& name = joints->names[joints->offset + j * joints->stride];
      const pugi::xml_node node = JointNode(name);
      jointNames[j] = node ? NodeName(node) : name;
      import::Matrix4 ibm;
      if (inverseBind) {
        if (inverseBind->Width() < 16 || j >= inverseBind->count) Fail(sw + ": fewer inverse bind matrices than joints");
        for (int r = 0; r < 4; ++r)
          for (int c = 0; c < 4; ++c) ibm.m[r][c] = inverseBind->At(j, size_t(r * 4 + c));
      }
      offsets[j] = import::Multiply(ibm, bindShape);
    }
    const pugi::xml_node vw = skin.child("vertex_weights");
    unsigned jointOffset = kNone, weightOffset = kNone, stride = 0;
    const Source* weights = nullptr;
    for (pugi::xml_node in : vw.children("input")) {
      const unsigned offset = in.attribute("offset").as_uint();
      stride = std::max(stride, offset + 1);
      const std::string_view semantic = in.attribute("semantic").value();
      if (semantic == "JOINT") jointOffset = offset;
      if (semantic == "WEIGHT") {
        weightOffset = offset;
        weights = &GetSource(in.attribute("source").value(), sw);
      }
    }
    if (jointOffset == kNone || !weights) Fail(sw + ": <vertex_weights> needs JOINT and WEIGHT inputs");
    ParseUints(vw.child_value("vcount"), counts_, sw + " vcount");
    ParseUints(vw.child_value("v"), ints_, sw + " v");
    influences.first.assign(counts_.size() + 1, 0);
    size_t at = 0;
    for (size_t i = 0; i < counts_.size(); ++i) {
      influences.first[i] = uint32_t(influences.pairs.size());
      if (counts_[i] > (ints_.size() - at) / stride) Fail(sw + ": <v> is shorter than <vcount> says");
      for (uint32_t k = 0; k < counts_[i]; ++k, at += stride) {
        const uint32_t joint = ints_[at + jointOffset], weight = ints_[at + weightOffset];
        if (weight >= weights->count) Fail(sw + ": weight index " + std::to_string(weight) + " is out of range");
        if (joint == kNone) continue;  // the bind shape itself
        if (joint >= jointNames.size()) Fail(sw + ": joint index " + std::to_string(joint) + " is out of range");
        influences.pairs.emplace_back(joint, weights->At(weight, 0));
      }
    }
    influences.first.back() = uint32_t(influences.pairs.size());
  }

  // ---- The <vertices> inputs
  const pugi::xml_node vertices = mesh.child("vertices");
  for (pugi::xml_node prim : mesh.children()) {
    const std::string_view type = prim.name();
    const bool strips = type == "tristrips", fans = type == "trifans";
    if (type != "triangles" && type != "polylist" && type != "polygons" && !strips && !fans) continue;
    const std::string pw = where + " <" + std::string(type) + ">";
    std::vector<Attribute> attributes;
    unsigned stride = 0;
    bool hasPosition = false, hasNormal = false, hasColor = false;
    unsigned uvSets = 0;
    auto add = [&](pugi::xml_node in, unsigned offset) {
      const std::string_view semantic = in.attribute("semantic").value();
      Kind kind;
      if (semantic == "POSITION" && !hasPosition) kind = Kind::Position, hasPosition = true;
      else if (semantic == "NORMAL" && !hasNormal) kind = Kind::Normal, hasNormal = true;
      else if (semantic == "COLOR" && !hasColor) kind = Kind::Color, hasColor = true;
      else if (semantic == "TEXCOORD" && uvSets < 8) kind = Kind::Uv;
      else return;
      Attribute a{kind, &GetSource(in.attribute("source").value(), pw), offset, kind == Kind::Uv ? uvSets++ : 0};
      const size_t need = kind == Kind::Position || kind == Kind::Normal ? 3 : kind == Kind::Color ? 3 : 1;
      if (a.source->Width() < need) Fail(pw + ": the " + std::string(semantic) + " source has too few components");
      attributes.push_back(a);
    };
    for (pugi::xml_node in : prim.children("input")) {
      const unsigned offset = in.attribute("offset").as_uint();
      if (offset > 64) Fail(pw + ": input offset " + std::to_string(offset) + " is implausible");
      stride = std::max(stride, offset + 1);
      if (std::strcmp(in.attribute("semantic").value(), "VERTEX") == 0) {
        std::string_view url = in.attribute("source").value();
        if (!url.empty() && url.front() == '#') url.remove_prefix(1);
        if (!vertices || url != vertices.attribute("id").value())
          Fail(pw + ": the VERTEX input refers to \"" + std::string(url) + "\", not the mesh's <vertices>");
        for (pugi::xml_node vi : vertices.children("input")) add(vi, offset);
      } else {
        add(in, offset);
      }
    }
    if (!hasPosition) Fail(pw + ": no POSITION input");
    uint32_t positionOffset = 0;
    const Source* positionSource = nullptr;
    for (const Attribute& a : attributes)
      if (a.kind == Kind::Position) positionOffset = a.offset, positionSource = a.source;

    // ---- Corners and polygons
    ints_.clear();
    std::vector<uint32_t> sizes;  // corners per polygon (strip, fan)
    for (pugi::xml_node p = prim.first_child(); p; p = p.next_sibling()) {
      const std::string_view name = p.name();
      pugi::xml_node list = name == "p" ? p : name == "ph" ? p.child("p") : pugi::xml_node();
      if (!list) continue;
      const size_t before = ints_.size();
      ParseUints(list.child_value(), ints_, pw + " <p>", true);
      const size_t read = ints_.size() - before;
      if (read % stride) Fail(pw + ": <p> holds " + std::to_string(read) + " indices, not a multiple of " + std::to_string(stride));
      if (type == "polygons" || strips || fans) sizes.push_back(uint32_t(read / stride));
    }
    const size_t corners = ints_.size() / std::max(stride, 1u);
    if (type == "triangles") {
      const size_t count = std::min<size_t>(prim.attribute("count").as_ullong(corners / 3), corners / 3);
      sizes.assign(count, 3);
    } else if (type == "polylist") {
      ParseUints(prim.child_value("vcount"), sizes, pw + " <vcount>");
      uint64_t total = 0;
      for (uint32_t n : sizes) total += n;
      if (total > corners) Fail(pw + ": <vcount> asks for " + std::to_string(total) + " corners, <p> holds " + std::to_string(corners));
    }
    for (size_t c = 0; c < corners; ++c)
      for (const Attribute& a : attributes) {
        const uint32_t i = ints_[c * stride + a.offset];
        if (i >= a.source->count)
          Fail(pw + ": index " + std::to_string(i) + " is out of range (the source holds " + std::to_string(a.source->count) + ")");
      }

    // ---- Triangles over corners
    std::vector<std::array<uint32_t, 3>> triangles;
    std::vector<char> used(corners, 0);
    std::vector<import::Vec3> polygon;
    std::vector<float> xs, ys;
    std::vector<uint32_t> done;
    size_t start = 0;
    auto position = [&](size_t corner) {
      const uint32_t i = ints_[corner * stride + positionOffset];
      return import::Vec3{positionSource->At(i, 0), positionSource->At(i, 1), positionSource->At(i, 2)};
    };
    for (uint32_t n : sizes) {
      const uint32_t c0 = uint32_t(start);
      start += n;
      if (n < 3) continue;  // points and lines
      for (uint32_t k = 0; k < n; ++k) used[c0 + k] = 1;
      if (strips) {
        for (uint32_t k = 0; k + 2 < n; ++k)
          triangles.push_back(k % 2 ? std::array<uint32_t, 3>{c0 + k + 1, c0 + k, c0 + k + 2}
                                    : std::array<uint32_t, 3>{c0 + k, c0 + k + 1, c0 + k + 2});
      } else if (fans) {
        for (uint32_t k = 1; k + 1 < n; ++k) triangles.push_back({c0, c0 + k, c0 + k + 1});
      } else if (n > 4) {
        polygon.resize(n);
        for (uint32_t k = 0; k < n; ++k) polygon[k] = position(c0 + k);
        ClipEars(polygon, c0, triangles, xs, ys, done);
      } else if (n == 4) {
        const import::Vec3 q[4] = {position(c0), position(c0 + 1), position(c0 + 2), position(c0 + 3)};
        const uint32_t s = uint32_t(QuadStart(q));
        triangles.push_back({c0 + s, c0 + (s + 1) % 4, c0 + (s + 2) % 4});
        triangles.push_back({c0 + s, c0 + (s + 2) % 4, c0 + (s + 3) % 4});
      } else {
        triangles.push_back({c0, c0 + 1, c0 + 2});
      }
    }
    if (triangles.empty()) continue;

    // ---- Vertices: corners with the same indices are one vertex, unless normals are made
    // per face (then every corner is its own until the join).
    const bool perCorner = !hasNormal;
    std::vector<uint32_t> cornerVertex(corners, kNone), vertexCorner;
    {
      size_t capacity = 16;
      while (capacity < 2 * corners) capacity *= 2;
      std::vector<uint32_t> table(capacity, kNone);
      for (uint32_t c = 0; c < corners; ++c) {
        if (!used[c]) continue;
        if (perCorner) {
          cornerVertex[c] = uint32_t(vertexCorner.size());
          vertexCorner.push_back(c);
          continue;
        }
        const uint32_t* key = &ints_[size_t(c) * stride];
        uint32_t h = 2166136261u;
        for (unsigned k = 0; k < stride; ++k) h = (h ^ key[k]) * 16777619u;
        size_t slot = (h ^ (h >> 15)) & (capacity - 1);
        for (; table[slot] != kNone; slot = (slot + 1) & (capacity - 1))
          if (std::equal(key, key + stride, &ints_[size_t(vertexCorner[table[slot]]) * stride])) break;
        if (table[slot] == kNone) {
          table[slot] = uint32_t(vertexCorner.size());
          vertexCorner.push_back(c);
        }
        cornerVertex[c] = table[slot];
      }
    }
    import::Mesh m;
    const size_t n = vertexCorner.size();
    m.positions.resize(n);
    if (hasNormal) m.normals.resize(n);
    if (hasColor) m.colors.resize(n);
    for (const Attribute& a : attributes) {
      if (a.kind == Kind::Uv) m.uvs[a.set].resize(n);
      for (size_t v = 0; v < n; ++v) {
        const uint32_t i = ints_[size_t(vertexCorner[v]) * stride + a.offset];
        const Source& s = *a.source;
        switch (a.kind) {
          case Kind::Position: m.positions[v] = {s.At(i, 0), s.At(i, 1), s.At(i, 2)}; break;
          case Kind::Normal: m.normals[v] = {s.At(i, 0), s.At(i, 1), s.At(i, 2)}; break;
          case Kind::Color: m.colors[v] = {s.At(i, 0), s.At(i, 1), s.At(i, 2), s.Width() > 3 ? s.At(i, 3) : 1.0f}; break;
          case Kind::Uv:
            m.uvs[a.set][v] = {s.At(i, 0), s.Width() > 1 ? s.At(i, 1) : 0.0f, s.Width() > 2 ? s.At(i, 2) : 0.0f};
            break;
        }
      }
    }
    std::vector<uint32_t> positionIndex(n);
    for (size_t v = 0; v < n; ++v) positionIndex[v] = ints_[size_t(vertexCorner[v]) * stride + positionOffset];
    m.triangles.resize(triangles.size());
    for (size_t t = 0; t < triangles.size(); ++t)
      for (int k = 0; k < 3; ++k) m.triangles[t][size_t(k)] = cornerVertex[triangles[t][size_t(k)]];
    if (!hasNormal) assimp_arithmetic::FaceNormals(m);

    // ---- The join: vertices with the same position and the other attributes within 1e-5 shared
    {
      auto same = [&](uint32_t a, uint32_t b) {
        return SameJoinAttributes(m, a, b) && (!skin || influences.Same(positionIndex[a], positionIndex[b]));
      };
      VertexJoin join;
      join.Run(
          uint32_t(n), [](uint32_t) { return true; }, [&](uint32_t v) { return PositionHash(m.positions[v]); }, same);
      const std::vector<uint32_t>& remap = join.remap;
      const std::vector<uint32_t>& source = join.keep;
      if (source.size() != n) {
        for (auto& t : m.triangles)
          for (uint32_t& v : t) v = remap[v];
        auto gather = [&](auto& values) {
          if (values.empty()) return;
          std::remove_reference_t<decltype(values)> out(source.size());
          for (size_t i = 0; i < source.size(); ++i) out[i] = values[source[i]];
          values.swap(out);
        };
        gather(m.positions);
        gather(m.normals);
        for (auto& uv : m.uvs) gather(uv);
        gather(m.colors);
        gather(positionIndex);
      }
    }

    // ---- Bones: one per joint that carries weight
    if (skin) {
      std::vector<std::vector<std::pair<uint32_t, float>>> perJoint(jointNames.size());
      for (uint32_t v = 0; v < m.positions.size(); ++v) {
        const uint32_t p = positionIndex[v];
        if (p + 1 >= influences.first.size()) continue;
        for (uint32_t k = influences.first[p]; k < influences.first[p + 1]; ++k)
          if (influences.pairs[k].second > 0) perJoint[influences.pairs[k].first].emplace_back(v, influences.pairs[k].second);
      }
      for (size_t j = 0; j < jointNames.size(); ++j) {
        if (perJoint[j].empty()) continue;
        import::Bone& bone = m.bones.emplace_back();
        bone.name = jointNames[j];
        bone.offset = offsets[j];
        bone.weights = std::move(perJoint[j]);
      }
    }
    m.material = MaterialIndex(bindings, prim.attribute("material").value());
    result.push_back(unsigned(scene_.meshes.size()));
    scene_.meshes.push_back(std::move(m));
  }
  return result;
}

}  // namespace vorn::collada
