#include "material/material_converter.h"

#include "export/export_context.h"

namespace vorn {

// Not yet built: nodes keep an empty material list.
bool ConvertNodeMaterial(ExportContext& ctx, XRenderableNode& node, const HostMaterial* material) {
  (void)ctx;
  (void)node;
  return material != nullptr;
}

}  // namespace vorn
