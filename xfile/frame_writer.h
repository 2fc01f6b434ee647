// The nesting of Frame objects, and the animation sets that refer to them.
#pragma once

#include <string>

#include "host/math.h"
#include "xformat/xfile_sink.h"

namespace vorn {

struct ExportContext;
class XNode;
class XRenderableNode;

// 16 floats of a Matrix4x4: axis rows each followed by 0, the translation followed by 1.
void ToMatrix4x4(const Matrix3& m, float out[16]);

void WriteFrameNode(ExportContext& ctx, XObjectHandle parent, XNode* node);
void WriteRenderableNode(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node);
// Returns the number of animated nodes left out of the set because they have no name.
size_t WriteAnimationSet(ExportContext& ctx, const std::string& name, size_t clipIndex);

// The Mesh object of a node with all its children, under the given parent.
void WriteMesh(ExportContext& ctx, XObjectHandle parent, XRenderableNode& node);

}  // namespace vorn
