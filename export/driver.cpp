#include "export/driver.h"

#include <algorithm>

#include "anim/animation_sampler.h"
#include "export/settings.h"
#include "host/parallel.h"
#include "material/material_converter.h"
#include "material/texture_files.h"
#include "mesh/mesh_builder.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/search_folders.h"
#include "model/skin_info.h"
#include "platform/file_system.h"
#include "scene/node_tree.h"
#include "scene/transforms.h"
#include "skin/skin_extraction.h"
#include "ui/options_dialog.h"
#include "xfile/write_xfile.h"

namespace vorn {

namespace {

bool HasSkinModifier(const HostScene& host, const XNode& node) {
  return FindModifier(host, node.hostNode, kSkinClass) || FindModifier(host, node.hostNode, kPhysiqueClass);
}

bool BuildNodeData(ExportContext& ctx, XRenderableNode& node) {
  if (!node.mesh) return false;
  const TimeValue t = ctx.animationRange.start;
  node.transform = BindPoseNodeTransform(*ctx.host, node.hostNode, t);
  node.objectTransform = BindPoseObjectTransform(*ctx.host, node.hostNode, t);
  // A node scaled to 0 at the start (growing in later) still has a mesh to take into its frame.
  const bool skinned = HasSkinModifier(*ctx.host, node);
  if (!skinned && node.transform.Determinant() == 0.0f)
    node.singularOffset = SingularObjectOffset(*ctx.host, node.hostNode, ctx.animationRange, ctx.ticksPerFrame);
  ConvertNodeMaterial(ctx, node, ctx.host->NodeMaterial(node.hostNode));
  // The skin reads the mesh data at once; any other mesh may be built beside the host reads.
  BackgroundJobs* beside = skinned ? nullptr : ctx.background;
  if (!GenMeshData(ctx, node, beside)) return false;
  if (node.renderable && !node.TreatedAsBone()) ExtractNodeSkin(ctx, node);
  if (beside) return true;  // the build releases the copy
  // The mesh data and skin are built: the node's copy of the host mesh, as big as the mesh
  // data itself, has no reader left.
  if (node.mesh == &node.meshCopy) {
    node.meshCopy = TriMesh{};
    node.mesh = nullptr;
  }
  return true;
}

// The settings the host keeps for the whole process, as the options dialog left them: each
// export reloads them from the file, so they carry nothing from one export to the next that
// the file does not.
ExportSettings& KeptSettings() {
  static ExportSettings settings;
  return settings;
}

std::string DirectoryWithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  return dir;
}

}  // namespace

uint32_t SampleCount(const ExportContext& ctx) {
  if (!ctx.options.Animation) return 0;
  uint32_t n = 0;
  for (const AnimationClip& c : ctx.clips) {
    // A clip that ends before its start is sampled once, as the sampler does.
    const int64_t length = std::max<int64_t>(0, int64_t{c.endKey - c.startKey} * ctx.ticksPerFrame);
    n += static_cast<uint32_t>(length / ctx.ticksPerSample + 1);
  }
  return n;
}

void EstimateBuildUnits(ExportContext& ctx, XNode& start) {
  const ExportOptions& o = ctx.options;
  for (XNode* node = &start; node; node = o.WorldSpace ? nullptr : node->parent) {
    if (node->counted) continue;
    const uint32_t before = ctx.progress.buildUnits;
    uint32_t s = 0;
    if (node->renderable) {
      const XRenderableNode* r = node->AsRenderable();
      const uint32_t f = r && r->mesh ? static_cast<uint32_t>(r->mesh->FaceCount()) : 0;
      s = o.Skin && HasSkinModifier(*ctx.host, *node) ? f : 0;
      ctx.progress.buildUnits += f + s;
      if (s > 0 && r && r->pointsDiffer) {
        const uint32_t v = static_cast<uint32_t>(r->mesh->VertexCount());
        if (node->kind == kKindPatch)
          ctx.progress.buildUnits += f + v;
        else if (node->kind == kKindPointsDiffer)
          ctx.progress.buildUnits += static_cast<uint32_t>(r->objectPoints.size()) + 2 * v;
        else
          ctx.progress.buildUnits += 2 * v;
      }
    }
    if (o.Animation && !(node->renderable && s > 0 && ctx.host->ChildCount(node->hostNode) == 0)) {
      uint32_t keys = o.KeyFrames ? CountKeyFrames(ctx, *node) : 0;
      ctx.progress.buildUnits += keys > 0 ? keys : SampleCount(ctx);
    }
    if (ctx.progress.buildUnits != before) node->counted = 1;
  }
}

void ProcessNode(ExportContext& ctx, XNode& start) {
  const ExportOptions& o = ctx.options;
  for (XNode* node = &start; node; node = o.WorldSpace ? nullptr : node->parent) {
    if (!node->renderable) {
      if (!node->processed && o.Animation) SampleNodeAnimation(ctx, *node);
      node->processed = 1;
      continue;
    }
    if (node->processed) continue;
    node->processed = 1;
    XRenderableNode* r = node->AsRenderable();
    if (r && BuildNodeData(ctx, *r)) {
      ctx.meshNodes.push_back(r);
      if (r->meshData) {
        ctx.progress.writeUnits += o.Mtl ? 4 : 3;
        if (r->hasSkin && r->vertexSkinData) ctx.progress.writeUnits += static_cast<uint32_t>(r->vertexSkinData->bones.size());
      }
      if (o.Animation && !(r->hasSkin && node->children.empty())) SampleNodeAnimation(ctx, *node);
    } else {
      node->renderable = 0;
      if (o.Animation) SampleNodeAnimation(ctx, *node);
    }
  }
}

void BuildExportedNodes(ExportContext& ctx) {
  const ExportOptions& o = ctx.options;
  AdvanceProgress(ctx);
  // Depth-first, pre-order; the walk descends into unmarked nodes too.
  std::vector<XNode*> stack;
  for (auto it = ctx.topNodes.rbegin(); it != ctx.topNodes.rend(); ++it) stack.push_back(it->get());
  while (!stack.empty()) {
    XNode* node = stack.back();
    stack.pop_back();
    if (node->exportMark) ProcessNode(ctx, *node);
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) stack.push_back(it->get());
  }
  if (!(o.Skin && o.Bones)) return;
  for (size_t i = 0; i < ctx.meshNodes.size(); ++i) {
    std::shared_ptr<XSkinInfo> skin = ctx.meshNodes[i]->vertexSkinData;
    if (!skin) continue;
    for (const auto& [handle, bone] : skin->bones) {
      auto it = ctx.nodeMap.find(bone.hostNode);
      if (it == ctx.nodeMap.end()) continue;
      XNode* b = it->second;
      b->isBone = 1;
      if (b->renderable) b->renderable = o.BoneMesh;
      ProcessNode(ctx, *b);
    }
  }
}

std::string CleanRootName(const std::string& hostName) {
  std::string name;
  for (char c : hostName.substr(0, 255))
    if (c != ' ') name.push_back(c);
  return CleanName(name) == name ? name : "SceneRoot";
}

std::string OutputDirectoryOf(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? "./" : path.substr(0, cut + 1);
}

int XDoExport(const char* outputPath, void* exportInterface, HostScene* host, bool suppressPrompts,
              uint32_t options) {
  (void)exportInterface;
  if (!host) return 1;
  auto ctx = std::make_unique<ExportContext>();
  ctx->host = host;
  host->ExportStartNotify(2);
  ctx->animationRange = host->AnimRange();
  ctx->ticksPerFrame = host->TicksPerFrame();
  ctx->ticksPerSample = ctx->ticksPerFrame;

  ExportResult result;
  const HostNode* root = host->RootNode();
  if (!root || host->ChildCount(root) == 0) {
    host->MessageBox("No node!", "", 0, true);
    result.reason = "the scene has no node";
    host->ExportFinished(result);
    return 1;
  }
  ctx->rootName = CleanRootName(host->NodeName(root));
  ctx->exportSelected = (options & kExportSelected) != 0;

  std::string path = outputPath ? outputPath : "";
  if (auto longPath = platform::LongPathName(path)) path = *longPath;
  ctx->outputDirectory = OutputDirectoryOf(path);

  SearchFolders& folders = ctx->searchFolders;
  folders.hostDir7 = DirectoryWithSlash(host->Dir(kHostImageDir));
  folders.hostDir32 = DirectoryWithSlash(host->Dir(kHostMapSearchDir));
  {
    const std::string scene = host->CurFilePath();
    size_t cut = scene.find_last_of('\\');
    if (cut == std::string::npos) cut = scene.find_last_of('/');
    folders.sceneDir = cut == std::string::npos ? "./" : scene.substr(0, cut + 1);
  }

  ExportSettings& settings = KeptSettings();
  LoadExportOptions(*ctx, settings);
  ExportOptions& o = settings.options;
  if (!suppressPrompts && ShowOptionsDialog(*ctx, settings) == 0) {
    result.outcome = ExportResult::Outcome::Cancelled;
    result.reason = "the options dialog was cancelled";
    host->ExportFinished(result);
    return 1;
  }

  ctx->conversion = SetupCoordinateConversion(o.SpaceScaleEnable ? o.SpaceScale : 1.0f, o.RightHand,
                                              o.XRotEnable ? o.XRot : 0.0f, o.ZRotEnable ? o.ZRot : 0.0f);
  const int32_t frameRate = host->FrameRate();
  const int32_t ticksPerSecond = ctx->ticksPerFrame * frameRate;
  int32_t rate = o.Timeline ? frameRate : o.SampleRate;
  if (rate < 1 || rate > ticksPerSecond) {
    rate = frameRate;
    o.SampleRate = frameRate;
  }
  ctx->ticksPerSample = rate > 0 ? ticksPerSecond / rate : ctx->ticksPerFrame;
  ctx->sceneRootName = settings.sceneRootName.empty() ? ctx->rootName : settings.sceneRootName;
  ctx->options = o;
  ctx->clips = settings.clips;

  host->ProgressStart("Dovra", true);
  ctx->progress.buildUnits = 1;
  BuildNodeTree(*ctx, root);
  for (XNode* node : ctx->nodeOrder)
    if (node->exportMark) EstimateBuildUnits(*ctx, *node);

  bool write = true;
  if (ctx->topNodes.empty()) {
    if (!o.Dummy || !o.OTHER)
      host->MessageBox("No node will be export, you can check the Dummy or Helper option and try again.", "", 0,
                       true);
    host->ProgressEnd();
    result.reason = "no node passes the export filters";
    write = false;
  }
  if (write) {
    ExportProgress& p = ctx->progress;
    p.stepsDone = 0;
    if (!p.StartPhase(p.buildUnits, 0, 95)) {
      result.reason = "no work to do";
      write = false;
    } else {
      p.writeUnits = 2;
      BackgroundJobs keys(ctx->secondCore && SecondCoreAvailable());
      ctx->background = &keys;
      BuildExportedNodes(*ctx);
      p.writeUnits += static_cast<uint32_t>(keys.Wait());
      ctx->background = nullptr;
      host->ProgressUpdate(static_cast<int>(p.phaseEndPercent), true, "");
    }
  }
  if (write) {
    const bool anyProcessed =
        std::any_of(ctx->nodeOrder.begin(), ctx->nodeOrder.end(), [](const XNode* n) { return n->processed; });
    if (!anyProcessed) {
      host->MessageBox(
          "No node will be export. To export hidden nodes please unhide them and make sure the Renderable option "
          "of the object properties is checked.",
          "Warning", 2, true);
      host->ProgressEnd();
      result.reason = "no node was exported";
    } else {
      ExportProgress& p = ctx->progress;
      p.writeUnits += TextureWorkUnits(*ctx);  // conversions are most of the write when there are any
      if (p.StartPhase(p.writeUnits, 95, 5)) {
        if (WriteXFile(*ctx, path, result.reason)) result.outcome = ExportResult::Outcome::Written;
      } else {
        result.reason = "nothing to write";
      }
    }
  }
  if (!suppressPrompts) result.settingsSaved = SaveExportOptions(*ctx, settings);
  host->ProgressUpdate(static_cast<int>(ctx->progress.phaseEndPercent), true, "");
  host->ProgressEnd();
  host->ExportFinished(result);
  return 1;
}

}  // namespace vorn
