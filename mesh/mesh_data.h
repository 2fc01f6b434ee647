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

struct XCorner {
  Point3 normal;
  std::vector<Point3> texCoords;
  Point3 color{1, 1, 1};
  float alpha = 1.0f;
  int32_t material = -1;
  uint32_t vertexIndex = 0;
};

struct XPosition {
  Point3 position;
  std::vector<XCorner> corners;
};

struct XExportVertex {
  int32_t position = 0;
  int32_t corner = 0;
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
  std::vector<XExportVertex> vertices;
  uint32_t hasVertexColor = 0;
  uint32_t hasVertexAlpha = 0;
  std::vector<uint32_t> texCoordSetMap;
  std::vector<int32_t> mapChannels;
};

}  // namespace vorn
