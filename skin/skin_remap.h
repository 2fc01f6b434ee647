// Point weights carried over to mesh vertices, and the counts of the skin header.
#pragma once

#include <cstdint>

#include "host/math.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;

// For nodes whose mesh vertices are not their object points (every kind but patches).
bool RemapMeshWeights(ExportContext& ctx, XRenderableNode& node);
// For patch objects: from the corner points of the patch each face came from.
bool RemapPatchWeights(ExportContext& ctx, XRenderableNode& node);
// Largest bone counts per vertex and per face, and the bone count, of vertexSkinData.
void ComputeSkinHeader(ExportContext& ctx, XRenderableNode& node);

// Adds f times the point weights of object point j to mesh vertex i of vertexSkinData.
void CopyWeights(XRenderableNode& node, uint32_t i, uint32_t j, float f);
// The first object point equal to p, else the nearest; 0 without object points.
uint32_t NearestPoint(const XRenderableNode& node, Point3 p);
bool PointOutsideTriangle(Point3 p, Point3 a, Point3 b, Point3 c);

}  // namespace vorn
