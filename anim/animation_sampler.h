// Turning a node's motion into keys, one track per animation clip.
#pragma once

#include <cstdint>
#include <vector>

#include "host/host_scene.h"
#include "model/animation_track.h"

namespace vorn {

struct ExportContext;
class XNode;

// Key-frame extraction when asked for and possible, regular sampling otherwise.
void SampleNodeAnimation(ExportContext& ctx, XNode& node);
// Tracks from the host's own key times; false when they cannot be used.
bool ExtractKeyFrames(ExportContext& ctx, XNode& node);
// Tracks from samples every ticksPerSample ticks; always true.
bool SampleTransforms(ExportContext& ctx, XNode& node);
// Key times key-frame extraction would produce over all clips; 0 when it cannot be used.
uint32_t CountKeyFrames(const ExportContext& ctx, const XNode& node);

// The node's local transform at host time t, in the file's axes.
Matrix3 LocalTransformAt(const ExportContext& ctx, const XNode& node, TimeValue t);

// Appends a key; with reduce on, a run of equal values keeps its first key and one more whose
// time moves forward. Rotation keys keep the sign of the key before them.
void AddKey(std::vector<MatrixKey>& keys, const MatrixKey& key, bool reduce, float tolerance);
void AddKey(std::vector<VectorKey>& keys, const VectorKey& key, bool reduce, float tolerance);
void AddKey(std::vector<RotationKey>& keys, const RotationKey& key, bool reduce, float tolerance);

// The comparison tolerance of a KeyOptimizeLevel; level 0 means no reduction.
float KeyTolerance(int32_t level);

}  // namespace vorn
