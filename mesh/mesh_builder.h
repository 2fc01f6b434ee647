// Building a renderable node's exported vertices and faces from its triangle mesh.
#pragma once

#include <cstdint>

#include "model/mesh_data.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;

bool GenMeshData(ExportContext& ctx, XRenderableNode& node);

// The exported vertex of position q with the probe's attributes, made when the position has
// no matching record yet. tex holds the probe's texCoordStride texture coordinates.
uint32_t FindOrAddVertex(XMeshData& data, uint32_t q, const XCorner& probe, const Point2* tex);

}  // namespace vorn
