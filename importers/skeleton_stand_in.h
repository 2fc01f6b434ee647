// The mesh assimp gives a scene that has nodes but no mesh, drawing the node tree as a skeleton:
// from each node a four-sided pointer to each child, an eight-sided knob on each node without
// children, every vertex bound with weight 1 to the node it belongs to. Its skin makes the nodes
// bones, so a skeleton-only file (a rig, a take) exports its frames and animation as through
// assimp instead of nothing.
#pragma once

#include "importers/import_scene.h"

namespace vorn {

// Adds the stand-in mesh, on the root, and its material "SkeletonMaterial" to a scene without
// meshes; leaves any other scene alone.
void AddSkeletonStandIn(import::Scene& scene);

}  // namespace vorn
