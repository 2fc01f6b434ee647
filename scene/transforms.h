// Coordinate conversion into the file's axes and the node transforms the tree stores.
#pragma once

#include "host/host_scene.h"

namespace vorn {

class XRenderableNode;

// K and K^-1, written by every export's SetupCoordinateConversion.
Matrix3& ConversionMatrix();
Matrix3& InverseConversionMatrix();

void SetupCoordinateConversion(float scale, int rightHanded, float xAngle, float zAngle);
// K^-1 * T * K: a host-space transform in the file's axes.
Matrix3 ConvertTransform(const Matrix3& t);

Matrix3 RemoveMirroring(const Matrix3& m);
Matrix3 NodeTransformAt(const HostScene& host, const HostNode* node, TimeValue t);
Matrix3 BindPoseNodeTransform(const HostScene& host, const HostNode* node, TimeValue t);
Matrix3 BindPoseObjectTransform(const HostScene& host, const HostNode* node, TimeValue t);
Matrix3 MeshVertexTransform(const XRenderableNode& node, bool worldSpace);

// First enabled modifier of the class in the node's pipeline, or none.
const HostModifier* FindModifier(const HostScene& host, const HostNode* node, ClassID cls);

}  // namespace vorn
