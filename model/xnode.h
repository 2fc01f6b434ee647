// The nodes of the exported tree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host_scene.h"
#include "model/animation_track.h"
#include "model/material_record.h"

namespace vorn {

struct XMeshData;
struct XSkinInfo;

// Node kinds; 2, 3 and 4 are the bone kinds.
inline constexpr int32_t kKindOther = 0;
inline constexpr int32_t kKindMesh = 1;
inline constexpr int32_t kKindPatch = 7;
inline constexpr int32_t kKindDummy = 5;
inline constexpr int32_t kKindHelper = 6;
inline constexpr int32_t kKindPointsDiffer = 8;
inline constexpr bool IsBoneKind(int32_t kind) { return kind >= 2 && kind <= 4; }

class XNode {
 public:
  XNode() = default;
  XNode(const XNode&) = delete;
  XNode& operator=(const XNode&) = delete;
  virtual ~XNode();

  int32_t kind = kKindOther;
  int32_t renderable = 0;
  int32_t isBone = 0;
  int32_t exportMark = 0;
  const HostNode* hostNode = nullptr;
  std::string nodeName;
  uint8_t processed = 0;
  uint8_t counted = 0;
  Matrix3 transform;
  XNode* parent = nullptr;
  std::vector<std::unique_ptr<XNode>> children;
  std::vector<AnimationTrack> tracks;

  bool TreatedAsBone() const { return isBone != 0 || IsBoneKind(kind); }
  // Renderable, not a bone and of no bone kind.
  bool IsPlainMesh() const { return renderable != 0 && !TreatedAsBone(); }
  class XRenderableNode* AsRenderable();
  const class XRenderableNode* AsRenderable() const;
};

class XRenderableNode : public XNode {
 public:
  XRenderableNode();
  ~XRenderableNode() override;

  const HostScene* host = nullptr;  // deletes the temporary converted object
  const HostObject* convertedObject = nullptr;
  uint8_t ownsConvertedObject = 0;
  uint8_t ownsMesh = 0;
  TriMesh meshCopy;
  const TriMesh* mesh = nullptr;
  const PatchMesh* patchMesh = nullptr;
  PatchTable patchTable;
  Matrix3 objectTransform;
  // The object offset where `transform` has no inverse (a node scaled to 0 at the bind time),
  // taken at the first frame it has one; empty otherwise.
  std::optional<Matrix3> singularOffset;
  std::vector<XMaterialEntry> nodeMaterials;
  std::shared_ptr<XMeshData> meshData;
  std::shared_ptr<XSkinInfo> skinData;
  std::shared_ptr<XSkinInfo> vertexSkinData;
  std::vector<Point3> objectPoints;
  uint8_t hasSkin = 0;
  uint8_t pointsDiffer = 0;
};

}  // namespace vorn
