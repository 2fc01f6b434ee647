#include "xfile/write_xfile.h"

#include <cstdio>

#include "material/texture_files.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "scene/transforms.h"
#include "xfile/frame_writer.h"
#include "xfile/material_writer.h"
#include "xformat/standard_templates.h"
#include "xformat/template_ids.h"
#include "xformat/xfile_writer.h"

namespace vorn {

bool WriteXFile(ExportContext& ctx, const std::string& path, std::string& why) {
  const ExportOptions& o = ctx.options;
  if (ctx.topNodes.empty()) {
    ctx.host->MessageBox("No node will be export.", "", 0, true);
    why = "no node to export";
    return false;
  }
  XFileWriter sink;
  sink.SetTimings(&ctx.timings);
  for (std::span<const uint8_t> block : TemplateBlocks())
    if (!sink.AddTemplates(block.data(), block.size())) {
      why = "the templates could not be registered: " + sink.Error();
      return false;
    }
  if (!sink.Open(path, FormatFromXFileType(o.XFileType))) {
    std::fprintf(stderr, "vorn: %s\n", sink.Error().c_str());
    why = sink.Error();
    return false;
  }
  ctx.xfileSink = &sink;

  if (!(o.Animation && o.OnlyAnimationSet)) {
    if (o.Mtl) NoteSourceFiles(ctx);
    if (o.Mtl)
      for (const auto& m : ctx.materials) WriteMaterial(ctx, {}, nullptr, *m);
    AdvanceProgress(ctx);
    ctx.sceneRootFrame = {};
    if (o.SceneRoot) {
      ctx.sceneRootFrame = sink.AddObject({}, kFrameGuid, ctx.sceneRootName.c_str(), nullptr, 0);
      float m[16];
      ToMatrix4x4(ctx.conversion.Convert(ctx.rootTransform), m);
      sink.Release(sink.AddObject(ctx.sceneRootFrame, kFrameTransformMatrixGuid, nullptr, m, sizeof m));
    }
    for (auto& node : ctx.topNodes) {
      if (node->renderable)
        WriteRenderableNode(ctx, ctx.sceneRootFrame, node->AsRenderable());
      else
        WriteFrameNode(ctx, ctx.sceneRootFrame, node.get());
    }
  }
  if (o.Animation) {
    const std::vector<AnimationClip>& clips = ctx.clips;
    if (!clips.empty() && o.Timeline == 0) {
      const uint32_t ticksPerSecond = static_cast<uint32_t>(ctx.host->FrameRate() * ctx.ticksPerFrame);
      sink.Release(sink.AddObject({}, kAnimTicksPerSecondGuid, "", &ticksPerSecond, sizeof ticksPerSecond));
    }
    size_t leftOut = 0;
    for (size_t i = 0; i < clips.size(); ++i) leftOut += WriteAnimationSet(ctx, clips[i].name, i);
    if (leftOut)
      std::fprintf(stderr,
                   "vorn: %zu animation(s) of nodes without a name left out: an animation is bound to its frame "
                   "by name\n",
                   leftOut);
  }
  // A reference the sink could not make is left out; the file is written without it.
  for (const std::string& omission : sink.Omissions()) std::fprintf(stderr, "vorn: %s\n", omission.c_str());
  // A data object that does not fit its template is a fault of ours: say which one.
  const bool saved = sink.Save();
  if (!saved && !sink.Error().empty()) std::fprintf(stderr, "vorn: %s\n", sink.Error().c_str());
  if (!saved) why = sink.Error().empty() ? "the file could not be saved" : sink.Error();
  if (ctx.sceneRootFrame) sink.Release(ctx.sceneRootFrame);
  ctx.sceneRootFrame = {};
  ctx.xfileSink = nullptr;
  AdvanceProgress(ctx);
  return saved;
}

}  // namespace vorn
