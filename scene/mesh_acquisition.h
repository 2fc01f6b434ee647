// Taking each renderable node's triangle mesh from the host, below any skin.
#pragma once

#include "host/host_scene.h"

namespace vorn {

class XRenderableNode;

// The object to evaluate: the input of the derived object holding an enabled skin or physique
// modifier, else the top of the pipeline.
const HostObject* FindMeshSource(const HostScene& host, const HostNode* node);
bool AcquireTriangleMesh(const HostScene& host, XRenderableNode& node, TimeValue t);

}  // namespace vorn
