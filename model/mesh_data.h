// The mesh data of one renderable node: host positions in export space, their corner records
// and the exported vertices and faces built from them.
#pragma once

#include <cstdint>
#include <vector>

#include "host/math.h"

namespace vorn {

struct XMeshFace {
  uint32_t vertex0 = 0, vertex1 = 0, vertex2 = 0;
  uint32_t material = 0;
};

// The attribute set of one exported vertex at one position. Every corner record stands for
// exactly one exported vertex, so the records live in one pool indexed by vertex number, and
// a position chains its own records through `next`. Texture coordinates sit in a flat pool
// beside them (XMeshData::texCoords), texCoordStride per record.
struct XCorner {
  Point3 normal;
  Point3 color{1, 1, 1};
  float alpha = 1.0f;
  int32_t material = -1;
  uint32_t vertexIndex = 0;
  int32_t next = -1;  // the position's next record, a vertex index; -1 ends the chain
};

struct XPosition {
  Point3 position;
  int32_t firstCorner = -1;  // vertex index of the position's first record
  int32_t cornerCount = 0;
};

struct XExportVertex {
  int32_t position = 0;
  int32_t corner = 0;  // index of its record among the position's records
  Point3 tangent;
  Point3 bitangent;
};

struct XMeshData {
  uint32_t valid = 0;
  uint32_t wireColor = 0;
  int32_t positionCount = 0;
  int32_t faceCount = 0;
  std::vector<XMeshFace> faces;
  std::vector<XPosition> positions;
  // The three arrays the face loop grows sit on cache lines of their own: the threads probing
  // faces read the fields around them on every face.
  alignas(64) std::vector<XExportVertex> vertices;
  std::vector<XCorner> corners;  // corners[e] is the record of exported vertex e
  // u and v of each set per record: entry e * texCoordStride + k is set k of vertex e (w is 0).
  std::vector<Point2> texCoords;
  alignas(64) uint32_t texCoordStride = 0;  // the set count with TexCoords on, else 0
  uint32_t hasVertexColor = 0;
  uint32_t hasVertexAlpha = 0;
  std::vector<uint32_t> texCoordSetMap;
  std::vector<int32_t> mapChannels;

  uint32_t VertexCount() const { return static_cast<uint32_t>(vertices.size()); }
  uint32_t SetCount() const { return static_cast<uint32_t>(mapChannels.size()); }
  const XCorner& CornerOf(uint32_t vertex) const { return corners[vertex]; }
  const Point2* TexCoordsOf(uint32_t vertex) const { return texCoords.data() + size_t{vertex} * texCoordStride; }
  Point3 PointOf(uint32_t vertex) const { return positions[static_cast<size_t>(vertices[vertex].position)].position; }
};

}  // namespace vorn
