// Material objects: shared ones at the top level and a node's material list under its mesh.
#pragma once

#include "xformat/xfile_sink.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;
struct XMaterial;
struct XMaterialEntry;
struct XEffectParams;

// The MeshMaterialList under a mesh with the node's materials, or its wire-colour default.
// The handle is the caller's to release.
XObjectHandle WriteMaterialList(ExportContext& ctx, XObjectHandle mesh, XRenderableNode& node);
// One entry of a node's list: a reference names a shared record, the others write themselves.
void WriteMaterialEntry(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, XMaterialEntry& entry);
// A material record as a Material object, under parent or at the top level, with its texture
// names or effect instance; copies its textures and writes or copies its effect file.
void WriteMaterial(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, XMaterial& material);
// The EffectInstance under a material, with the parameter objects when withParams is set.
void WriteEffectInstance(ExportContext& ctx, XObjectHandle material, const XEffectParams& params, bool withParams);

}  // namespace vorn
