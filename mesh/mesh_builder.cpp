#include "mesh/mesh_builder.h"

#include "export/export_context.h"

namespace vorn {

// Not yet built: without mesh data a node is written as a plain frame.
bool GenMeshData(ExportContext& ctx, XRenderableNode& node) {
  (void)ctx;
  (void)node;
  return false;
}

}  // namespace vorn
