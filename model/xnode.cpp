#include "model/xnode.h"

#include "model/mesh_data.h"
#include "model/skin_info.h"

namespace vorn {

XNode::~XNode() = default;

XRenderableNode* XNode::AsRenderable() { return dynamic_cast<XRenderableNode*>(this); }
const XRenderableNode* XNode::AsRenderable() const { return dynamic_cast<const XRenderableNode*>(this); }

XRenderableNode::XRenderableNode() {
  kind = kKindMesh;
  renderable = 1;
}

XRenderableNode::~XRenderableNode() {
  if (ownsConvertedObject && convertedObject && host) host->DeleteTemporary(convertedObject);
}

}  // namespace vorn
