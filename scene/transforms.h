// Coordinate conversion into the file's axes and the node transforms the tree stores.
#pragma once

#include <optional>

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
// The object offset (the object transform over the node transform) at the first frame after the
// range's start at which the node transform has an inverse; empty when none has.
std::optional<Matrix3> SingularObjectOffset(const HostScene& host, const HostNode* node, Interval range,
                                            int32_t ticksPerFrame);

// First enabled modifier of the class in the node's pipeline, or none.
const HostModifier* FindModifier(const HostScene& host, const HostNode* node, ClassID cls);

}  // namespace vorn
