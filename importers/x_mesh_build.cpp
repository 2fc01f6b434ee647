#include "importers/x_mesh_build.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "importers/vertex_join.h"

namespace vorn::xfile_import {

namespace {

using import::Rgba;
using import::Vec3;
using Triangle = std::array<uint32_t, 3>;

Vec3 Sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
float Length(Vec3 a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }

// assimp divides by a length as a multiplication by its inverse and leaves a zero vector alone.
Vec3 Normalized(Vec3 a) {
  const float l = Length(a);
  if (l == 0) return a;
  const float inv = 1.0f / l;
  return {a.x * inv, a.y * inv, a.z * inv};
}
Vec3 NormalizedSafe(Vec3 a) { return Length(a) > 0 ? Normalized(a) : a; }

struct Vec2 {
  float x = 0, y = 0;
  bool operator!=(const Vec2& o) const { return x != o.x || y != o.y; }
};

double Area2D(Vec2 v1, Vec2 v2, Vec2 v3) {
  return 0.5 * (v1.x * (double(v3.y) - v2.y) + v2.x * (double(v1.y) - v3.y) + v3.x * (double(v2.y) - v1.y));
}
bool OnLeftSideOfLine(Vec2 p0, Vec2 p1, Vec2 p2) { return Area2D(p0, p2, p1) > 0; }

bool PointInTriangle(Vec2 p0, Vec2 p1, Vec2 p2, Vec2 pp) {
  const Vec2 v0{p1.x - p0.x, p1.y - p0.y}, v1{p2.x - p0.x, p2.y - p0.y}, v2{pp.x - p0.x, pp.y - p0.y};
  double dot00 = v0.x * v0.x + v0.y * v0.y;
  double dot11 = v1.x * v1.x + v1.y * v1.y;
  const double dot01 = v0.x * v1.x + v0.y * v1.y;
  const double dot02 = v0.x * v2.x + v0.y * v2.y;
  const double dot12 = v1.x * v2.x + v1.y * v2.y;
  const double denom = dot11 * dot00 - dot01 * dot01;
  if (denom == 0.0) return false;
  const double invDenom = 1.0 / denom;
  dot11 = (dot11 * dot02 - dot01 * dot12) * invDenom;
  dot00 = (dot00 * dot12 - dot01 * dot02) * invDenom;
  return dot11 > 0 && dot00 > 0 && dot11 + dot00 < 1;
}

// A quad has at most one concave corner; the fan starts there (at corner 0 when convex).
void TriangulateQuad(const Vec3* pos, const uint32_t idx[4], std::vector<Triangle>& out) {
  unsigned start = 0;
  for (unsigned i = 0; i < 4; ++i) {
    const Vec3 v = pos[idx[i]];
    const Vec3 left = Normalized(Sub(pos[idx[(i + 3) % 4]], v));
    const Vec3 diag = Normalized(Sub(pos[idx[(i + 2) % 4]], v));
    const Vec3 right = Normalized(Sub(pos[idx[(i + 1) % 4]], v));
    const float angle = std::acos(Dot(left, diag)) + std::acos(Dot(right, diag));
    if (angle > 3.1415926538f) {
      start = i;
      break;
    }
  }
  out.push_back({idx[start], idx[(start + 1) % 4], idx[(start + 2) % 4]});
  out.push_back({idx[start], idx[(start + 2) % 4], idx[(start + 3) % 4]});
}

// Ear cutting in the plane the polygon's Newell normal is most nearly along. A polygon with no
// ear to cut (not simple) gives the triangles cut so far, as assimp leaves it.
void TriangulatePolygon(const Vec3* pos, const uint32_t* idx, int max, std::vector<Vec2>& pts, std::vector<char>& done,
                        std::vector<Triangle>& out) {
  float sxy = 0, syz = 0, szx = 0;
  auto at = [&](int k) { return pos[idx[k % max]]; };
  for (int t = 0; t < max; ++t) {
    const Vec3 mid = at(t + 1), low = at(t), high = at(t + 2);
    sxy += mid.x * (high.y - low.y);
    syz += mid.y * (high.z - low.z);
    szx += mid.z * (high.x - low.x);
  }
  const float ax = std::fabs(syz), ay = std::fabs(szx), az = std::fabs(sxy);
  int ac = 0, bc = 1;
  float inv = sxy;
  if (ax > ay) {
    if (ax > az) {
      ac = 1, bc = 2;
      inv = syz;
    }
  } else if (ay > az) {
    ac = 2, bc = 0;
    inv = szx;
  }
  if (inv < 0.f) std::swap(ac, bc);
  pts.resize(size_t(max));
  done.assign(size_t(max), 0);
  for (int t = 0; t < max; ++t) {
    const Vec3 v = pos[idx[t]];
    const float c[3] = {v.x, v.y, v.z};
    pts[size_t(t)] = {c[ac], c[bc]};
  }
  const size_t first = out.size();
  int num = max, ear = 0, prev = num - 1, next = 0;
  while (num > 3) {
    int found = 0;
    for (ear = next;; prev = ear, ear = next) {
      for (next = ear + 1; done[size_t(next >= max ? next = 0 : next)]; ++next) {
      }
      if (next < ear && ++found == 2) break;
      const Vec2 p1 = pts[size_t(ear)], p0 = pts[size_t(prev)], p2 = pts[size_t(next)];
      if (OnLeftSideOfLine(p0, p2, p1)) continue;
      int tmp = 0;
      for (; tmp < max; ++tmp) {
        const Vec2 v = pts[size_t(tmp)];
        if (v != p1 && v != p2 && v != p0 && PointInTriangle(p0, p1, p2, v)) break;
      }
      if (tmp != max) continue;
      break;
    }
    if (found == 2) {
      num = 0;
      break;
    }
    out.push_back({uint32_t(prev), uint32_t(ear), uint32_t(next)});
    done[size_t(ear)] = 1;
    --num;
  }
  if (num > 0) {
    Triangle t{};
    int k = 0;
    for (int n = 0; n < 3; ++n, ++k) {
      while (done[size_t(k)]) ++k;
      t[size_t(n)] = uint32_t(k);
    }
    out.push_back(t);
  }
  // A triangle starting where the one before it starts is turned to start at its last corner,
  // so that no two in a row share their first vertex (assimp's polygon marking).
  uint32_t last = std::numeric_limits<uint32_t>::max();
  for (size_t i = first; i < out.size(); ++i) {
    Triangle& t = out[i];
    for (uint32_t& v : t) v = idx[v];
    if (t[0] == last) t = {t[2], t[0], t[1]};
    last = t[0];
  }
}

constexpr float kSquareEpsilon = 1e-5f * 1e-5f;

bool Close(const Vec3& a, const Vec3& b) {
  const Vec3 d = Sub(a, b);
  return !(d.x * d.x + d.y * d.y + d.z * d.z > kSquareEpsilon);
}
bool Close(const Rgba& a, const Rgba& b) {
  const float r = a.r - b.r, g = a.g - b.g, bl = a.b - b.b, al = a.a - b.a;
  return !(r * r + g * g + bl * bl + al * al > kSquareEpsilon);
}

// The corners' vertex data, a vertex per corner, before the join.
struct Corners {
  std::vector<Vec3> positions, normals;
  std::array<std::vector<Vec3>, kMaxSets> uvs;
  std::array<std::vector<Rgba>, kMaxSets> colors;
  std::vector<uint32_t> source;  // the file's vertex each corner uses
};

bool SameVertex(const Corners& c, const SourceMesh& s, uint32_t a, uint32_t b) {
  const Vec3 &p = c.positions[a], &q = c.positions[b];
  if (p.x != q.x || p.y != q.y || p.z != q.z || !Close(c.normals[a], c.normals[b])) return false;
  for (unsigned k = 0; k < s.uvSets; ++k)
    if (!Close(c.uvs[k][a], c.uvs[k][b])) return false;
  for (unsigned k = 0; k < s.colorSets; ++k)
    if (!Close(c.colors[k][a], c.colors[k][b])) return false;
  return true;
}

template <class T>
void Gather(const std::vector<T>& from, const std::vector<uint32_t>& keep, std::vector<T>& to) {
  to.resize(keep.size());
  for (size_t i = 0; i < keep.size(); ++i) to[i] = from[keep[i]];
}

}  // namespace

namespace {

// The rest of assimp's steps on one mesh of corners: normals made where the file has none (a
// vertex takes the last triangle's), the join (used vertices in order, each shared with the
// first earlier one at the same position whose other attributes are within 1e-5), the bones.
import::Mesh Finish(const SourceMesh& s, Corners& c, std::vector<Triangle> triangles, const std::vector<char>& used,
                    bool makeNormals, bool hasNormals, unsigned material) {
  const uint32_t count = uint32_t(c.positions.size());
  if (makeNormals)
    for (const Triangle& t : triangles) {
      const Vec3 p0 = c.positions[t[0]];
      const Vec3 normal = NormalizedSafe(Cross(Sub(c.positions[t[1]], p0), Sub(c.positions[t[2]], p0)));
      for (uint32_t v : t) c.normals[v] = normal;
    }

  VertexJoin join;
  join.Run(
      count, [&](uint32_t v) { return used[v] != 0; }, [&](uint32_t v) { return PositionHash(c.positions[v]); },
      [&](uint32_t kept, uint32_t v) { return SameVertex(c, s, kept, v); });
  const std::vector<uint32_t>& remap = join.remap;
  const std::vector<uint32_t>& keep = join.keep;

  import::Mesh m;
  m.material = material;
  Gather(c.positions, keep, m.positions);
  if (hasNormals) Gather(c.normals, keep, m.normals);
  for (unsigned k = 0; k < s.uvSets; ++k) Gather(c.uvs[k], keep, m.uvs[k]);
  if (s.colorSets > 0) Gather(c.colors[0], keep, m.colors);
  m.triangles = std::move(triangles);
  for (Triangle& t : m.triangles)
    for (uint32_t& v : t) v = remap[v];

  // A bone keeps the weights of the vertices it moves that survive the join, in joined order (a
  // file vertex listed twice weighs with its last weight); a bone without any is dropped. The
  // joined vertices are listed by file vertex, so that a bone visits its own vertices only.
  if (s.bones.empty()) return m;
  const size_t fileVertices = s.positions.size();
  std::vector<uint32_t> first(fileVertices + 1, 0), joinedOf(keep.size());
  for (const uint32_t v : keep) ++first[c.source[v] + 1];
  for (size_t p = 0; p < fileVertices; ++p) first[p + 1] += first[p];
  std::vector<uint32_t> next(first.begin(), first.end() - 1);
  for (uint32_t r = 0; r < keep.size(); ++r) joinedOf[next[c.source[keep[r]]]++] = r;
  std::vector<float> byVertex(fileVertices, 0.0f);
  std::vector<uint32_t> joined;
  for (const SourceBone& b : s.bones) {
    for (size_t k = 0; k < b.vertices.size(); ++k) byVertex[b.vertices[k]] = b.weights[k];
    joined.clear();
    for (const uint32_t p : b.vertices)
      if (byVertex[p] > 0) joined.insert(joined.end(), joinedOf.begin() + first[p], joinedOf.begin() + first[p + 1]);
    std::sort(joined.begin(), joined.end());
    joined.erase(std::unique(joined.begin(), joined.end()), joined.end());
    import::Bone bone;
    bone.weights.reserve(joined.size());
    for (const uint32_t r : joined) bone.weights.push_back({r, byVertex[c.source[keep[r]]]});
    for (const uint32_t p : b.vertices) byVertex[p] = 0.0f;
    if (bone.weights.empty()) continue;
    bone.name = b.name;
    bone.offset = b.offset;
    auto& o = bone.offset.m;
    for (float* x : {&o[0][2], &o[1][2], &o[3][2], &o[2][0], &o[2][1], &o[2][3]}) *x = -*x;
    m.bones.push_back(std::move(bone));
  }
  return m;
}

// The corners in the given order, a copy each time one is named.
Corners Pick(const Corners& c, const SourceMesh& s, const std::vector<uint32_t>& order) {
  Corners out;
  Gather(c.positions, order, out.positions);
  Gather(c.normals, order, out.normals);
  Gather(c.source, order, out.source);
  for (unsigned k = 0; k < s.uvSets; ++k) Gather(c.uvs[k], order, out.uvs[k]);
  for (unsigned k = 0; k < s.colorSets; ++k) Gather(c.colors[k], order, out.colors[k]);
  return out;
}

}  // namespace

std::vector<import::Mesh> BuildMeshes(const SourceMesh& s, std::span<const uint32_t> faces, uint32_t cornerCount,
                                      unsigned material) {
  // A vertex per corner, mirrored along Z into right-handed space; V counted from the bottom.
  Corners c;
  const bool fileNormals = !s.normals.empty();
  c.positions.resize(cornerCount);
  c.normals.resize(cornerCount);
  c.source.resize(cornerCount);
  for (unsigned k = 0; k < s.uvSets; ++k) c.uvs[k].resize(cornerCount);
  for (unsigned k = 0; k < s.colorSets; ++k) c.colors[k].resize(cornerCount);
  uint32_t n = 0;
  for (const uint32_t f : faces)
    for (uint32_t i = s.faceStart[f]; i < s.faceStart[f + 1]; ++i, ++n) {
      const uint32_t v = s.corners[i];
      c.source[n] = v;
      Vec3 p = s.positions[v];
      p.z *= -1.0f;
      c.positions[n] = p;
      if (fileNormals) {
        Vec3 nv = s.normals[s.normalCorners[i]];
        nv.z *= -1.0f;
        c.normals[n] = nv;
      }
      for (unsigned k = 0; k < s.uvSets; ++k) c.uvs[k][n] = {s.uvs[k][v][0], 1.0f - s.uvs[k][v][1], 0.0f};
      for (unsigned k = 0; k < s.colorSets; ++k) c.colors[k][n] = s.colors[k][v];
    }

  // Winding reversed with the mirror, then triangulated; points and lines kept apart.
  std::vector<Triangle> triangles;
  triangles.reserve(cornerCount / 3 + 1);
  std::vector<uint32_t> points, lines, idx;
  std::vector<Vec2> pts;
  std::vector<char> done;
  uint32_t base = 0;
  for (const uint32_t f : faces) {
    const uint32_t size = s.faceStart[f + 1] - s.faceStart[f];
    idx.resize(size);
    for (uint32_t i = 0; i < size; ++i) idx[i] = base + size - 1 - i;
    base += size;
    if (size == 1)
      points.push_back(idx[0]);
    else if (size == 2)
      lines.insert(lines.end(), {idx[0], idx[1]});
    else if (size == 3)
      triangles.push_back({idx[0], idx[1], idx[2]});
    else if (size == 4)
      TriangulateQuad(c.positions.data(), idx.data(), triangles);
    else
      TriangulatePolygon(c.positions.data(), idx.data(), int(size), pts, done, triangles);
  }

  std::vector<import::Mesh> out;
  const int kinds = !points.empty() + !lines.empty() + !triangles.empty();
  if (kinds <= 1) {
    std::vector<char> used(cornerCount, 0);
    for (const Triangle& t : triangles)
      for (uint32_t v : t) used[v] = 1;
    for (uint32_t v : points) used[v] = 1;
    for (uint32_t v : lines) used[v] = 1;
    const bool hasTriangles = !triangles.empty();
    out.push_back(Finish(s, c, std::move(triangles), used, hasTriangles && !fileNormals, hasTriangles || fileNormals, material));
    return out;
  }
  // Faces of different kinds make a mesh each, points, lines, then triangles, with a vertex of
  // their own per corner, as assimp sorts them.
  for (const std::vector<uint32_t>* list : {&points, &lines}) {
    if (list->empty()) continue;
    Corners part = Pick(c, s, *list);
    out.push_back(Finish(s, part, {}, std::vector<char>(list->size(), 1), false, fileNormals, material));
  }
  if (!triangles.empty()) {
    std::vector<uint32_t> order;
    order.reserve(triangles.size() * 3);
    for (Triangle& t : triangles)
      for (uint32_t& v : t) {
        order.push_back(v);
        v = uint32_t(order.size() - 1);
      }
    Corners part = Pick(c, s, order);
    out.push_back(Finish(s, part, std::move(triangles), std::vector<char>(order.size(), 1), !fileNormals, true, material));
  }
  return out;
}

}  // namespace vorn::xfile_import
