// The host's triangle mesh type, held by value in exported nodes, with the routines the host
// provides on it (normal building, edge lists, deep copy).
#pragma once

#include <cstdint>
#include <vector>

#include "host/math.h"
#include "host/shared_array.h"

namespace vorn {

struct TriFace {
  uint32_t v[3] = {0, 0, 0};
  uint32_t smGroup = 0;   // smoothing-group mask
  uint16_t matID = 0;     // material id as the host stores it
  uint16_t flags = 0;     // edge visibility and the like; carried, not interpreted
};

struct MapFace {
  uint32_t t[3] = {0, 0, 0};
};

// The arrays of a mesh are shared between copies until one is changed (host/shared_array.h).
// One map channel: its own vertices (u, v, w) and one map face per mesh face.
struct MapChannel {
  bool supported = false;
  SharedArray<Point3> verts;
  SharedArray<MapFace> faces;
};

// Normals given explicitly per face corner (the host's specified normals).
struct SpecifiedNormals {
  SharedArray<Point3> normals;
  SharedArray<MapFace> faces;  // normal index per corner; one entry per face it covers
};

// Render-normal record of one vertex as the host builds it.
struct RenderNormal {
  Point3 normal;
  uint32_t smGroup = 0;
};
struct RenderVertex {
  static constexpr uint32_t kNormalCountMask = 0xff;  // the low bits count the normals
  static constexpr uint32_t kSpecifiedNormal = 0x4000;  // the single normal is specified
  uint32_t flags = 0;
  uint32_t NormalCount() const { return flags & kNormalCountMask; }
  bool Specified() const { return (flags & kSpecifiedNormal) != 0; }
  RenderNormal single;
  // With two or more normals, where they are: TriMesh::NormalList. Kept out of line, since
  // few vertices have more than one and the record is one of every vertex.
  uint32_t list = 0;
};

// Adjacent-edge list: per vertex the indices of its edges, per edge its two end vertices.
struct AdjEdgeList {
  std::vector<uint32_t> vertexEdgeOffsets;  // size vertexCount + 1
  std::vector<uint32_t> vertexEdges;
  std::vector<uint32_t> edgeVerts;          // two per edge
  uint32_t EdgeCount() const { return static_cast<uint32_t>(edgeVerts.size() / 2); }
};

class TriMesh {
 public:
  static constexpr int kMinChannel = -2;
  static constexpr int kMaxChannel = 99;
  static constexpr int kChannelCount = kMaxChannel - kMinChannel + 1;

  SharedArray<Point3> verts;
  SharedArray<TriFace> faces;
  MapChannel maps[kChannelCount];
  bool hasSpecifiedNormals = false;
  SpecifiedNormals specified;

  int VertexCount() const { return static_cast<int>(verts.size()); }
  int FaceCount() const { return static_cast<int>(faces.size()); }

  bool MapSupport(int channel) const;
  MapChannel& Map(int channel) { return maps[channel - kMinChannel]; }
  const MapChannel& Map(int channel) const { return maps[channel - kMinChannel]; }

  // Face normals and render normals from the smoothing groups, as the host builds them; a big
  // mesh on two cores unless twoCores is off, with the same normals either way.
  void BuildNormals(bool twoCores = true);
  // Specified normals are usable when they cover every face and hold at least one normal.
  bool CheckSpecifiedNormals() const;
  const std::vector<Point3>& FaceNormals() const { return faceNormals_; }
  const std::vector<RenderVertex>& RenderVertices() const { return renderVerts_; }
  // The normals of a vertex with two or more.
  const std::vector<RenderNormal>& NormalList(const RenderVertex& v) const { return normalLists_[v.list]; }
  bool NormalsBuilt() const { return normalsBuilt_; }
  // Frees what BuildNormals made, once the normals have been read.
  void ReleaseNormals() {
    std::vector<Point3>().swap(faceNormals_);  // `= {}` would keep the capacity
    std::vector<RenderVertex>().swap(renderVerts_);
    std::vector<std::vector<RenderNormal>>().swap(normalLists_);
    normalsBuilt_ = false;
  }

  AdjEdgeList BuildAdjEdgeList() const;
  // Deep copy that keeps only the channels selected by the host's channel mask. The arrays are
  // shared with this mesh until either changes them.
  TriMesh CopyWithChannels(uint32_t channelMask) const;

 private:
  bool normalsBuilt_ = false;
  std::vector<Point3> faceNormals_;
  std::vector<RenderVertex> renderVerts_;
  std::vector<std::vector<RenderNormal>> normalLists_;
};

}  // namespace vorn
