#include "xfile/frame_writer.h"

#include <cstring>
#include <vector>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "scene/transforms.h"
#include "xformat/template_ids.h"

namespace vorn {

namespace {

// Frames go under the given parent, else the scene root, else the top level; world-space
// exports keep every frame directly under the scene root.
XObjectHandle FrameParent(const ExportContext& ctx, XObjectHandle parent) {
  if (!ctx.options.WorldSpace && parent) return parent;
  return ctx.sceneRootFrame;
}

XObjectHandle AddFrame(ExportContext& ctx, XObjectHandle parent, const XNode& node, const Matrix3* matrix) {
  XFileSink& sink = *ctx.xfileSink;
  XObjectHandle frame = sink.AddObject(FrameParent(ctx, parent), kFrameGuid, node.nodeName.c_str(), nullptr, 0);
  float m[16];
  if (matrix) {
    ToMatrix4x4(ctx.conversion.Convert(*matrix), m);
  } else {
    ToMatrix4x4(Matrix3{}, m);
  }
  sink.Release(sink.AddObject(frame, kFrameTransformMatrixGuid, nullptr, m, sizeof m));
  return frame;
}

Matrix3 FrameTransform(const XNode& node, bool worldSpace) {
  if (!worldSpace && node.parent) return node.transform * Inverse(node.parent->transform);
  return node.transform;
}

void WriteChildren(ExportContext& ctx, XObjectHandle parent, XNode& node) {
  for (auto& child : node.children) {
    if (child->renderable)
      WriteRenderableNode(ctx, parent, child->AsRenderable());
    else
      WriteFrameNode(ctx, parent, child.get());
  }
}

template <typename T>
void Put(std::vector<uint8_t>& buf, T v) {
  const size_t at = buf.size();
  buf.resize(at + sizeof v);
  std::memcpy(buf.data() + at, &v, sizeof v);
}

void WriteKeys(ExportContext& ctx, XObjectHandle anim, const char* name, uint32_t keyType, const std::vector<VectorKey>& keys) {
  std::vector<uint8_t> buf;
  buf.reserve(20 * keys.size() + 8);
  Put(buf, keyType);
  Put(buf, static_cast<uint32_t>(keys.size()));
  for (const VectorKey& k : keys) {
    Put(buf, static_cast<uint32_t>(k.time));
    Put(buf, uint32_t{3});
    Put(buf, k.value.x), Put(buf, k.value.y), Put(buf, k.value.z);
  }
  ctx.xfileSink->Release(ctx.xfileSink->AddObject(anim, kAnimationKeyGuid, name, buf.data(), buf.size()));
  for (size_t i = 0; i < keys.size(); ++i) AdvanceProgress(ctx);
}

// Returns the number of animations left out because their node has no name.
size_t WriteNodeAnimation(ExportContext& ctx, XObjectHandle set, XNode* node, size_t clip) {
  if (!node) return 0;
  const ExportOptions& o = ctx.options;
  bool visit = true;
  if (!node->exportMark) {
    if (!o.WorldSpace) return 0;
    visit = false;
  }
  if (visit && node->IsPlainMesh()) {
    const XRenderableNode* r = node->AsRenderable();
    if (r && r->hasSkin) {
      if (o.WorldSpace) return 0;
      if (node->children.empty()) return 0;
    }
  }
  size_t leftOut = 0;
  if (visit && clip < node->tracks.size() && !node->tracks[clip].Empty() && node->nodeName.empty()) {
    // An animation is bound to its frame by the frame's name alone: one without a reference
    // would bind to nothing, or to whatever a loader takes it for. Its frame is still written.
    const AnimationTrack& track = node->tracks[clip];
    const size_t keys = track.srt ? track.scaleKeys.size() + track.rotationKeys.size() + track.positionKeys.size()
                                  : track.matrixKeys.size();
    for (size_t i = 0; i < keys; ++i) AdvanceProgress(ctx);
    leftOut = 1;
  } else if (visit && clip < node->tracks.size() && !node->tracks[clip].Empty()) {
    const AnimationTrack& track = node->tracks[clip];
    XFileSink& sink = *ctx.xfileSink;
    XObjectHandle anim = sink.AddObject(set, kAnimationGuid, nullptr, nullptr, 0);
    sink.AddReference(anim, node->nodeName.c_str());
    XObjectHandle options;
    if (o.AnimationOptions) {
      uint32_t bytes[2] = {static_cast<uint32_t>(o.AnimationOpenClose), static_cast<uint32_t>(o.AnimationQuality)};
      options = sink.AddObject(anim, kAnimationOptionsGuid, nullptr, bytes, sizeof bytes);
    }
    if (!track.srt) {
      std::vector<uint8_t> buf;
      buf.reserve(72 * track.matrixKeys.size() + 8);
      Put(buf, uint32_t{4});
      Put(buf, static_cast<uint32_t>(track.matrixKeys.size()));
      for (const MatrixKey& k : track.matrixKeys) {
        Put(buf, static_cast<uint32_t>(k.time));
        Put(buf, uint32_t{16});
        float m[16];
        ToMatrix4x4(k.value, m);
        for (float f : m) Put(buf, f);
      }
      sink.Release(sink.AddObject(anim, kAnimationKeyGuid, "", buf.data(), buf.size()));
      for (size_t i = 0; i < track.matrixKeys.size(); ++i) AdvanceProgress(ctx);
    } else {
      if (!track.scaleKeys.empty()) WriteKeys(ctx, anim, "S", 1, track.scaleKeys);
      if (!track.rotationKeys.empty()) {
        std::vector<uint8_t> buf;
        buf.reserve(24 * track.rotationKeys.size() + 8);
        Put(buf, uint32_t{0});
        Put(buf, static_cast<uint32_t>(track.rotationKeys.size()));
        for (const RotationKey& k : track.rotationKeys) {
          Put(buf, static_cast<uint32_t>(k.time));
          Put(buf, uint32_t{4});
          Put(buf, k.value.w), Put(buf, k.value.x), Put(buf, k.value.y), Put(buf, k.value.z);
        }
        sink.Release(sink.AddObject(anim, kAnimationKeyGuid, "R", buf.data(), buf.size()));
        for (size_t i = 0; i < track.rotationKeys.size(); ++i) AdvanceProgress(ctx);
      }
      if (!track.positionKeys.empty()) WriteKeys(ctx, anim, "T", 2, track.positionKeys);
    }
    if (options) sink.Release(options);
    sink.Release(anim);
  }
  for (auto& child : node->children) leftOut += WriteNodeAnimation(ctx, set, child.get(), clip);
  return leftOut;
}

}  // namespace

void ToMatrix4x4(const Matrix3& m, float out[16]) {
  for (int r = 0; r < 4; ++r) {
    out[r * 4 + 0] = m.row[r].x;
    out[r * 4 + 1] = m.row[r].y;
    out[r * 4 + 2] = m.row[r].z;
    out[r * 4 + 3] = r == 3 ? 1.0f : 0.0f;
  }
}

void WriteFrameNode(ExportContext& ctx, XObjectHandle parent, XNode* node) {
  if (!node) return;
  XObjectHandle frame;
  if (node->exportMark) {
    const Matrix3 t = FrameTransform(*node, ctx.options.WorldSpace != 0);
    frame = AddFrame(ctx, parent, *node, &t);
  } else if (!ctx.options.WorldSpace) {
    return;
  }
  WriteChildren(ctx, frame ? frame : parent, *node);
  if (frame) ctx.xfileSink->Release(frame);
}

void WriteRenderableNode(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node) {
  if (!node) return;
  const ExportOptions& o = ctx.options;
  if (!node->exportMark) {
    if (!o.WorldSpace) return;
    WriteChildren(ctx, parent, *node);
    return;
  }
  if (!node->meshData) return;
  XObjectHandle frame;
  if (!o.WorldSpace) {
    const Matrix3 t = FrameTransform(*node, ctx.options.WorldSpace != 0);
    frame = AddFrame(ctx, parent, *node, &t);
  } else if (!node->IsPlainMesh()) {
    frame = AddFrame(ctx, parent, *node, &node->transform);
  } else if (o.Animation && !node->hasSkin) {
    frame = AddFrame(ctx, parent, *node, nullptr);  // identity, written without conversion
  }
  WriteMesh(ctx, frame ? frame : ctx.sceneRootFrame, *node);
  // The tree holds the mesh's objects now: its build data goes, so that the memory the next
  // meshes' objects take is memory this one used, not fresh pages.
  node->meshData.reset();
  WriteChildren(ctx, frame ? frame : parent, *node);
  if (frame) ctx.xfileSink->Release(frame);
}

size_t WriteAnimationSet(ExportContext& ctx, const std::string& name, size_t clipIndex) {
  XObjectHandle set = ctx.xfileSink->AddObject({}, kAnimationSetGuid, name.c_str(), nullptr, 0);
  size_t leftOut = 0;
  for (auto& node : ctx.topNodes) leftOut += WriteNodeAnimation(ctx, set, node.get(), clipIndex);
  ctx.xfileSink->Release(set);
  return leftOut;
}

}  // namespace vorn
