// Building a renderable node's exported vertices and faces from its triangle mesh.
#pragma once

namespace vorn {

struct ExportContext;
class XRenderableNode;

bool GenMeshData(ExportContext& ctx, XRenderableNode& node);

}  // namespace vorn
