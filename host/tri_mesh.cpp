#include "host/tri_mesh.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

#include "host/parallel.h"

namespace vorn {

bool TriMesh::MapSupport(int channel) const {
  if (channel < kMinChannel || channel > kMaxChannel) return false;
  return Map(channel).supported;
}

namespace {

// A face far out (edges past 1e19) whose cross product overflows a float: its direction all the same.
Point3 NormalInDouble(Point3 p0, Point3 p1, Point3 p2) {
  const double ax = double(p1.x) - p0.x, ay = double(p1.y) - p0.y, az = double(p1.z) - p0.z;
  const double bx = double(p2.x) - p1.x, by = double(p2.y) - p1.y, bz = double(p2.z) - p1.z;
  const double x = ay * bz - az * by, y = az * bx - ax * bz, z = ax * by - ay * bx;
  const double l = std::sqrt(x * x + y * y + z * z);
  return l > 0 && std::isfinite(l) ? Point3{float(x / l), float(y / l), float(z / l)} : Point3{};
}

}  // namespace

void TriMesh::BuildNormals(bool twoCores) {
  const size_t nv = verts.size(), nf = faces.size();
  const bool threaded = twoCores && WorthTwoCores(nf);
  faceNormals_.assign(nf, Point3{});
  renderVerts_.assign(nv, RenderVertex{});
  normalLists_.clear();
  ForEachHalf(nf, threaded, [&](size_t begin, size_t end) {
    for (size_t f = begin; f < end; ++f) {
      const TriFace& face = faces[f];
      if (face.v[0] >= nv || face.v[1] >= nv || face.v[2] >= nv) continue;
      const Point3 p0 = verts[face.v[0]], p1 = verts[face.v[1]], p2 = verts[face.v[2]];
      const Point3 n = Cross(p1 - p0, p2 - p1);
      faceNormals_[f] = std::isfinite(Length(n)) ? Normalize(n) : NormalInDouble(p0, p1, p2);
    }
  });
  // Per vertex, faces whose smoothing groups overlap share one normal; groups merge as they meet.
  // While a vertex has one normal it lives in `single` (flags 1), which spares most vertices a
  // list of their own; a second one moves both into the list (flags kInList). A vertex sees its
  // faces in face order whichever core serves it, so two cores give the same normals.
  constexpr uint32_t kInList = 0x8000;
  auto merge = [&](size_t lo, size_t hi, std::vector<std::vector<RenderNormal>>& lists) {
    for (size_t f = 0; f < nf; ++f) {
      const TriFace& face = faces[f];
      if (face.smGroup == 0) continue;
      for (uint32_t vi : face.v) {
        if (vi < lo || vi >= hi) continue;
        RenderVertex& rv = renderVerts_[vi];
        if (rv.flags == 0) {
          rv.single = RenderNormal{faceNormals_[f], face.smGroup};
          rv.flags = 1;
          continue;
        }
        if (rv.flags == 1) {
          if (rv.single.smGroup & face.smGroup) {
            rv.single.smGroup |= face.smGroup;
            rv.single.normal += faceNormals_[f];
          } else {
            rv.list = static_cast<uint32_t>(lists.size());
            lists.push_back({rv.single, RenderNormal{faceNormals_[f], face.smGroup}});
            rv.flags = kInList;
          }
          continue;
        }
        std::vector<RenderNormal>& list = lists[rv.list];
        RenderNormal* hit = nullptr;
        for (RenderNormal& rn : list) {
          if (rn.smGroup & face.smGroup) {
            if (!hit) {
              hit = &rn;
              rn.smGroup |= face.smGroup;
              rn.normal += faceNormals_[f];
            } else {  // the face joins two normals into one
              hit->smGroup |= rn.smGroup;
              hit->normal += rn.normal;
              rn.smGroup = 0;
            }
          }
        }
        if (!hit) list.push_back(RenderNormal{faceNormals_[f], face.smGroup});
        std::erase_if(list, [](const RenderNormal& rn) { return rn.smGroup == 0; });
      }
    }
  };
  const size_t split = threaded ? nv / 2 : nv;
  std::vector<std::vector<RenderNormal>> upperLists;  // of the vertices from `split` on
  ForEachHalf(2, threaded, [&](size_t begin, size_t end) {
    if (begin == 0) merge(0, end == 2 ? nv : split, normalLists_);
    else merge(split, nv, upperLists);
  });
  if (!upperLists.empty()) {
    const uint32_t offset = static_cast<uint32_t>(normalLists_.size());
    for (size_t v = split; v < nv; ++v)
      if (renderVerts_[v].flags == kInList) renderVerts_[v].list += offset;
    std::move(upperLists.begin(), upperLists.end(), std::back_inserter(normalLists_));
  }
  ForEachHalf(nv, threaded, [&](size_t begin, size_t end) {
    for (size_t v = begin; v < end; ++v) {
      RenderVertex& rv = renderVerts_[v];
      if (rv.flags != kInList) {
        if (rv.flags == 1) rv.single.normal = Normalize(rv.single.normal);
        continue;
      }
      std::vector<RenderNormal>& list = normalLists_[rv.list];
      for (RenderNormal& rn : list) rn.normal = Normalize(rn.normal);
      rv.flags = static_cast<uint32_t>(std::min<size_t>(list.size(), RenderVertex::kNormalCountMask));
      if (list.size() == 1) {
        rv.single = list[0];
        list.clear();
      }
    }
  });
  normalsBuilt_ = true;
}

bool TriMesh::CheckSpecifiedNormals() const {
  return hasSpecifiedNormals && specified.faces.size() == faces.size() && !specified.normals.empty();
}

AdjEdgeList TriMesh::BuildAdjEdgeList() const {
  const uint32_t nv = static_cast<uint32_t>(verts.size());
  std::vector<std::pair<uint32_t, uint32_t>> edges;
  edges.reserve(faces.size() * 3);
  for (const TriFace& f : faces)
    for (int k = 0; k < 3; ++k) {
      uint32_t a = f.v[k], b = f.v[(k + 1) % 3];
      if (a >= nv || b >= nv || a == b) continue;
      edges.emplace_back(std::min(a, b), std::max(a, b));
    }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

  AdjEdgeList adj;
  adj.edgeVerts.reserve(edges.size() * 2);
  adj.vertexEdgeOffsets.assign(nv + 1, 0);
  for (auto [a, b] : edges) {
    adj.edgeVerts.push_back(a);
    adj.edgeVerts.push_back(b);
    ++adj.vertexEdgeOffsets[a + 1];
    ++adj.vertexEdgeOffsets[b + 1];
  }
  for (uint32_t i = 0; i < nv; ++i) adj.vertexEdgeOffsets[i + 1] += adj.vertexEdgeOffsets[i];
  adj.vertexEdges.resize(edges.size() * 2);
  std::vector<uint32_t> fill(adj.vertexEdgeOffsets.begin(), adj.vertexEdgeOffsets.end() - 1);
  for (uint32_t e = 0; e < edges.size(); ++e) {
    adj.vertexEdges[fill[edges[e].first]++] = e;
    adj.vertexEdges[fill[edges[e].second]++] = e;
  }
  return adj;
}

TriMesh TriMesh::CopyWithChannels(uint32_t channelMask) const {
  (void)channelMask;  // our host keeps every channel in a copy
  return *this;       // the arrays are shared until changed
}

}  // namespace vorn
