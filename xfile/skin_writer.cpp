#include "xfile/skin_writer.h"

#include "export/export_context.h"

namespace vorn {

// Not yet built: skin extraction makes no skin data, so nothing is written.
void WriteSkin(ExportContext& ctx, XObjectHandle mesh, XRenderableNode& node) {
  (void)ctx;
  (void)mesh;
  (void)node;
}

}  // namespace vorn
