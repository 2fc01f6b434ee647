// Skin weights of a plain mesh node from its skin or physique modifier.
#pragma once

namespace vorn {

struct ExportContext;
class XRenderableNode;

void ExtractNodeSkin(ExportContext& ctx, XRenderableNode& node);

}  // namespace vorn
