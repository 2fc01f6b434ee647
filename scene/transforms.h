// Coordinate conversion into the file's axes and the node transforms the tree stores.
#pragma once

#include "host/host_scene.h"
#include "model/coordinate_conversion.h"

namespace vorn {

class XRenderableNode;

// K and K^-1 for the settings of one export.
CoordinateConversion SetupCoordinateConversion(float scale, int rightHanded, float xAngle, float zAngle);

Matrix3 RemoveMirroring(const Matrix3& m);
Matrix3 NodeTransformAt(const HostScene& host, const HostNode* node, TimeValue t);
Matrix3 BindPoseNodeTransform(const HostScene& host, const HostNode* node, TimeValue t);
Matrix3 BindPoseObjectTransform(const HostScene& host, const HostNode* node, TimeValue t);
Matrix3 MeshVertexTransform(const XRenderableNode& node, bool worldSpace);

// First enabled modifier of the class in the node's pipeline, or none.
const HostModifier* FindModifier(const HostScene& host, const HostNode* node, ClassID cls);

}  // namespace vorn
