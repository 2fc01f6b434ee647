// Converting a node's host material into material records.
#pragma once

namespace vorn {

struct ExportContext;
class XRenderableNode;
class HostMaterial;

bool ConvertNodeMaterial(ExportContext& ctx, XRenderableNode& node, const HostMaterial* material);

}  // namespace vorn
