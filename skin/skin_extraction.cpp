#include "skin/skin_extraction.h"

#include "export/export_context.h"

namespace vorn {

// Not yet built: no node carries skin weights.
void ExtractNodeSkin(ExportContext& ctx, XRenderableNode& node) {
  (void)ctx;
  node.hasSkin = 0;
}

}  // namespace vorn
