#include "export/export_context.h"
#include "xfile/frame_writer.h"

namespace vorn {

// Not yet built: mesh data is never produced yet, so there is nothing to lay out.
void WriteMesh(ExportContext& ctx, XObjectHandle parent, XRenderableNode& node) {
  (void)ctx;
  (void)parent;
  (void)node;
}

}  // namespace vorn
