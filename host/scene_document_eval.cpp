// Pipeline evaluation, patch tessellation and controller evaluation of a scene document.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <thread>
#include <tuple>

#include "host/scene_document_data.h"

namespace vorn::scene_doc {

namespace {

const std::vector<Point3> kNoPoints;

template <class Points>
void MovePoint(Points& pts, uint32_t i, Point3 delta) {
  if (i < pts.size()) WritableData(pts)[i] += delta;
}

template <class Points>
void TransformAll(Points& pts, const Matrix3& m) {
  if (pts.empty()) return;
  Point3* p = WritableData(pts);
  for (size_t i = 0; i < pts.size(); ++i) p[i] = p[i] * m;
}

void ApplyModifier(const Modifier& m, Object& o) {
  switch (m.kind) {
    case Modifier::Kind::Xform:
      TransformAll(o.mesh.verts, m.xform);
      TransformAll(o.patch.verts, m.xform);
      TransformAll(o.points, m.xform);
      break;
    case Modifier::Kind::Edit:
      for (const auto& [i, delta] : m.moves) {
        MovePoint(o.mesh.verts, i, delta);
        MovePoint(o.patch.verts, i, delta);
        MovePoint(o.points, i, delta);
      }
      break;
    default:  // skin and physique sit at their bind pose; other classes change nothing here
      break;
  }
}

}  // namespace

std::span<const Point3> ObjectPoints(const Object& o) {
  if (o.explicitPoints) return o.points;
  if (o.kind == Object::Kind::Patch) return o.patch.verts;
  if (o.hasMesh) return o.mesh.verts;
  return kNoPoints;
}

size_t BasePointCount(const Object& o) {
  const Object* p = &o;
  for (size_t guard = 0; p->kind == Object::Kind::Derived && p->input && guard < 1u << 20; ++guard) p = p->input;
  return ObjectPoints(*p).size();
}

std::unique_ptr<Object> EvaluatePipeline(const Object& derived, const Object& input) {
  auto out = std::make_unique<Object>(input);
  out->id.clear();
  // The stack is listed top first, so the bottom modifier acts first.
  for (size_t k = derived.modifiers.size(); k-- > 0;) {
    const Modifier* m = derived.modifiers[k];
    if (!m || (m->flags & kModifierDisabledFlag)) continue;
    ApplyModifier(*m, *out);
  }
  return out;
}

void MakeBoneMesh(float length, float width, TriMesh& out) {
  const float h = width * 0.5f;
  out.verts = {{0, -h, -h}, {0, h, -h}, {0, h, h}, {0, -h, h}, {length, 0, 0}};
  const uint32_t f[6][3] = {{0, 2, 1}, {0, 3, 2}, {0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}};
  out.faces.resize(6);
  TriFace* faces = out.faces.MutableData();
  for (int i = 0; i < 6; ++i) {
    for (int k = 0; k < 3; ++k) faces[i].v[k] = f[i][k];
    faces[i].smGroup = 1u << i;
  }
}

void TessellatePatch(const PatchMesh& pm, int steps, TriMesh& out, PatchTable& table) {
  const int n = std::max(1, steps);
  const float inv = 1.0f / float(n);
  out = TriMesh{};
  table.clear();
  table.facePatch.clear();
  out.verts = pm.verts;
  table.assign(pm.verts.size(), PatchTableEntry{});
  MapChannel& uv = out.Map(1);
  uv.supported = true;

  // Edge points are shared by the patches on both sides: keyed by the edge's lower corner.
  std::map<std::tuple<uint32_t, uint32_t, int>, uint32_t> edgePoints;
  auto newVertex = [&](Point3 p, int patch, Point3 bary) {
    out.verts.push_back(p);
    table.push_back({patch, bary});
    return uint32_t(out.verts.size() - 1);
  };
  auto corner = [&](uint32_t v, int patch, Point3 bary) {
    if (table[v].patch < 0) table[v] = {patch, bary};
    return v;
  };
  auto edgePoint = [&](uint32_t a, uint32_t b, int k, int patch, Point3 bary) {
    uint32_t lo = a, hi = b;
    int kk = k;
    if (a > b) {
      std::swap(lo, hi);
      kk = n - k;
    }
    auto [it, fresh] = edgePoints.emplace(std::make_tuple(lo, hi, kk), 0u);
    if (fresh) {
      float s = float(kk) * inv;
      it->second = newVertex(pm.verts[lo] * (1.0f - s) + pm.verts[hi] * s, patch, bary);
    }
    return it->second;
  };

  std::vector<uint32_t> grid, gridUV;
  for (size_t pi = 0; pi < pm.patches.size(); ++pi) {
    const Patch& p = pm.patches[pi];
    const int patch = int(pi);
    const size_t side = size_t(n) + 1;
    grid.assign(side * side, 0);
    gridUV.assign(side * side, 0);
    const bool quad = p.type == 4;
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j <= (quad ? n : n - i); ++j) {
        const float u = float(i) * inv, v = float(j) * inv;
        Point3 bary;
        uint32_t id;
        if (quad) {
          bary = {u, v, 0};
          const Point3 a = pm.verts[p.v[0]], b = pm.verts[p.v[1]], c = pm.verts[p.v[2]], d = pm.verts[p.v[3]];
          if (i == 0 && j == 0) id = corner(p.v[0], patch, bary);
          else if (i == n && j == 0) id = corner(p.v[1], patch, bary);
          else if (i == n && j == n) id = corner(p.v[2], patch, bary);
          else if (i == 0 && j == n) id = corner(p.v[3], patch, bary);
          else if (j == 0) id = edgePoint(p.v[0], p.v[1], i, patch, bary);
          else if (i == n) id = edgePoint(p.v[1], p.v[2], j, patch, bary);
          else if (j == n) id = edgePoint(p.v[3], p.v[2], i, patch, bary);
          else if (i == 0) id = edgePoint(p.v[0], p.v[3], j, patch, bary);
          else id = newVertex(a * ((1 - u) * (1 - v)) + b * (u * (1 - v)) + c * (u * v) + d * ((1 - u) * v), patch, bary);
        } else {
          const float w = float(n - i - j) * inv;
          bary = {w, u, v};  // weights of corners 0, 1, 2
          if (i == 0 && j == 0) id = corner(p.v[0], patch, bary);
          else if (i == n) id = corner(p.v[1], patch, bary);
          else if (j == n) id = corner(p.v[2], patch, bary);
          else if (j == 0) id = edgePoint(p.v[0], p.v[1], i, patch, bary);
          else if (i == 0) id = edgePoint(p.v[0], p.v[2], j, patch, bary);
          else if (i + j == n) id = edgePoint(p.v[1], p.v[2], j, patch, bary);
          else id = newVertex(pm.verts[p.v[0]] * w + pm.verts[p.v[1]] * u + pm.verts[p.v[2]] * v, patch, bary);
        }
        grid[size_t(i) * side + size_t(j)] = id;
        uv.verts.push_back({u, v, 0});
        gridUV[size_t(i) * side + size_t(j)] = uint32_t(uv.verts.size() - 1);
      }
    auto tri = [&](int i0, int j0, int i1, int j1, int i2, int j2) {
      TriFace f;
      MapFace mf;
      const int is[3] = {i0, i1, i2}, js[3] = {j0, j1, j2};
      for (int k = 0; k < 3; ++k) {
        size_t g = size_t(is[k]) * side + size_t(js[k]);
        f.v[k] = grid[g];
        mf.t[k] = gridUV[g];
      }
      f.smGroup = 1;
      out.faces.push_back(f);
      uv.faces.push_back(mf);
      table.facePatch.push_back(patch);
    };
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        if (quad) {
          tri(i, j, i + 1, j, i + 1, j + 1);
          tri(i, j, i + 1, j + 1, i, j + 1);
        } else if (i + j < n) {
          tri(i, j, i + 1, j, i, j + 1);
          if (i + j < n - 1) tri(i + 1, j, i + 1, j + 1, i, j + 1);
        }
      }
  }
}

// ---- Controllers -------------------------------------------------------------------------

namespace {

void KeyValue(const Controller& c, TimeValue t, float* out) {
  const int w = c.width;
  if (c.times.empty()) {
    for (int k = 0; k < w; ++k) out[k] = c.constant[k];
    return;
  }
  auto at = [&](size_t i, int k) { return c.values[i * size_t(w) + size_t(k)]; };
  size_t last = c.times.size() - 1;
  if (t <= c.times.front() || t >= c.times.back()) {
    size_t i = t <= c.times.front() ? 0 : last;
    for (int k = 0; k < w; ++k) out[k] = at(i, k);
    return;
  }
  const size_t lo = KeyBefore(c.times, t, c.cursor);
  const size_t hi = lo + 1;
  float s = float(double(t - c.times[lo]) / double(c.times[hi] - c.times[lo]));
  if (c.value == Controller::Value::Rotation) {
    Quat q = Slerp(Quat{at(lo, 0), at(lo, 1), at(lo, 2), at(lo, 3)}, Quat{at(hi, 0), at(hi, 1), at(hi, 2), at(hi, 3)}, s);
    for (int k = 0; k < 4; ++k) out[k] = q[k];
    return;
  }
  for (int k = 0; k < w; ++k) out[k] = at(lo, k) + (at(hi, k) - at(lo, k)) * s;
}

float FloatAt(const Controller* c, TimeValue t) {
  if (!c || !c->hasValue) return 0.0f;
  float v[4];
  KeyValue(*c, t, v);
  return v[0];
}

bool Drives(const Controller* c) { return c && (c->compound || c->hasValue); }

Point3 VectorAt(const Controller& c, TimeValue t) {
  if (c.compound)
    return {FloatAt(c.subs.size() > 0 ? c.subs[0] : nullptr, t), FloatAt(c.subs.size() > 1 ? c.subs[1] : nullptr, t),
            FloatAt(c.subs.size() > 2 ? c.subs[2] : nullptr, t)};
  float v[4];
  KeyValue(c, t, v);
  return {v[0], v[1], v[2]};
}

Quat RotationAt(const Controller& c, TimeValue t) {
  if (c.compound) {
    Point3 e = VectorAt(c, t);
    const float k = c.degrees ? kPi / 180.0f : 1.0f;
    return MatrixToQuat(RotateXMatrix(e.x * k) * RotateYMatrix(e.y * k) * RotateZMatrix(e.z * k));
  }
  float v[4];
  KeyValue(c, t, v);
  return Quat{v[0], v[1], v[2], v[3]};
}

}  // namespace

Matrix3 LocalTransform(const Node& n, TimeValue t) {
  if (n.samples) {
    const Samples& s = *n.samples;
    int64_t i = (int64_t(t) - s.start) / s.step;
    if (t < s.start) i = 0;
    i = std::clamp<int64_t>(i, 0, int64_t(s.matrices.size()) - 1);
    return s.matrices[size_t(i)];
  }
  const Controller* c = n.controller;
  if (!c || !(Drives(c->position) || Drives(c->rotation) || Drives(c->scale))) return n.transform;
  Point3 p = Drives(c->position) ? VectorAt(*c->position, t) : n.staticPos;
  Quat q = Drives(c->rotation) ? RotationAt(*c->rotation, t) : n.staticRot;
  Point3 s = Drives(c->scale) ? VectorAt(*c->scale, t) : n.staticScale;
  return ScaleMatrix(s) * QuatToMatrix(q) * TransMatrix(p);
}

namespace {

// About 32 MiB of timelines per document; later times are evaluated each time asked.
constexpr size_t kMaxTimelineEntries = (size_t{32} << 20) / (sizeof(Matrix3) + sizeof(TimeValue));

bool EvaluatingThread(const Data& d) {
  const std::thread::id me = std::this_thread::get_id();
  std::thread::id owner = d.evaluator.load(std::memory_order_relaxed);
  if (owner == me) return true;
  if (owner != std::thread::id{}) return false;
  return d.evaluator.compare_exchange_strong(owner, me, std::memory_order_relaxed);
}

Matrix3 TimelineTransform(const Data& d, const Node& n, TimeValue t) {
  LocalTimeline& tl = n.timeline;
  const size_t size = tl.times.size();
  const size_t i = tl.next;
  if (i < size && tl.times[i] == t) {
    tl.next = i + 1;
    return tl.matrices[i];
  }
  if (size > 0 && t <= tl.times.back()) {
    const size_t k = size_t(std::lower_bound(tl.times.begin(), tl.times.end(), t) - tl.times.begin());
    if (tl.times[k] == t) {
      tl.next = k + 1;
      return tl.matrices[k];
    }
    return LocalTransform(n, t);  // between times kept: they stay in order
  }
  const Matrix3 m = LocalTransform(n, t);
  if (d.timelineEntries < kMaxTimelineEntries) {
    tl.times.push_back(t);
    tl.matrices.push_back(m);
    ++d.timelineEntries;
  }
  tl.next = tl.times.size();
  return m;
}

}  // namespace

Matrix3 CachedLocalTransform(const Data& d, const Node& n, TimeValue t) {
  const Controller* c = n.controller;
  const bool keyed = n.samples || (c && (Drives(c->position) || Drives(c->rotation) || Drives(c->scale)));
  if (!keyed) return n.transform;
  if (n.samples) return LocalTransform(n, t);  // a look-up already
  if (EvaluatingThread(d)) return TimelineTransform(d, n, t);
  // Direct-mapped by node address; the document's serial tells a node from one freed before it.
  struct Entry {
    const Node* node = nullptr;
    uint64_t doc = 0;
    TimeValue t = 0;
    Matrix3 m;
  };
  thread_local std::array<Entry, 64> memo;
  const uintptr_t key = reinterpret_cast<uintptr_t>(&n);
  Entry& e = memo[((key >> 4) * 0x9E3779B97F4A7C15ull) >> 58];
  if (e.node == &n && e.doc == d.serial && e.t == t) return e.m;
  e = Entry{&n, d.serial, t, LocalTransform(n, t)};
  return e.m;
}

}  // namespace vorn::scene_doc
