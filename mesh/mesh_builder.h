// Building a renderable node's exported vertices and faces from its triangle mesh.
#pragma once

#include <cstdint>

#include "model/mesh_data.h"

namespace vorn {

struct ExportContext;
class BackgroundJobs;
class XRenderableNode;

// Builds the node's mesh data. Given jobs beside the export thread, a small mesh is built there
// and the node's mesh copy released when done: the data is ready once the jobs are waited for.
// Without them the copy is the caller's to release.
bool GenMeshData(ExportContext& ctx, XRenderableNode& node, BackgroundJobs* beside = nullptr);

// The exported vertex of position q with the probe's attributes, made when the position has
// no matching record yet. tex holds the probe's texCoordStride texture coordinates.
uint32_t FindOrAddVertex(XMeshData& data, uint32_t q, const XCorner& probe, const Point2* tex);

}  // namespace vorn
