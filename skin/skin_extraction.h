// Skin weights of a plain mesh node from its skin or physique modifier.
#pragma once

#include <string>

#include "host/host_scene.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;

// Fills the node's skinData and vertexSkinData and sets hasSkin; nothing when Skin is off.
void ExtractNodeSkin(ExportContext& ctx, XRenderableNode& node);

// The first enabled modifier of its class down the node's derived-object chain, or none.
const HostModifier* FindSkinModifier(const HostScene& host, const HostNode* node);
const HostModifier* FindPhysiqueModifier(const HostScene& host, const HostNode* node);

bool ExtractSkin(ExportContext& ctx, XRenderableNode& node, const HostModifier* modifier);
bool ExtractPhysique(ExportContext& ctx, XRenderableNode& node, const HostModifier* modifier);

// Spreads the missing part of each point's weight sum over its bones when it is at most the
// threshold (capped at 1).
void FixWeights(XRenderableNode& node, int pointCount, float threshold);

// The exported name of the tree node that stands for the bone, empty when there is none.
std::string BoneName(const ExportContext& ctx, const HostNode* bone);

}  // namespace vorn
