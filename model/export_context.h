// The state of one export, from the start of XDoExport until it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/host_scene.h"
#include "model/coordinate_conversion.h"
#include "model/export_settings.h"
#include "model/material_record.h"
#include "model/search_folders.h"
#include "model/xnode.h"
#include "platform/file_system.h"
#include "platform/phase_timings.h"
#include "xformat/xfile_sink.h"

namespace vorn {

// The host's progress display over one export: the estimated units of work of each phase and
// where the display stands. A phase maps its units onto a fixed number of display increments.
class BackgroundJobs;

struct ExportProgress {
  uint32_t buildUnits = 0;
  uint32_t writeUnits = 0;
  uint32_t stepsDone = 0;
  float nextThreshold = 0;
  float currentPercent = 0;
  float phaseEndPercent = 100;
  float stepsPerIncrement = 0;
  float percentPerIncrement = 10;

  // Spreads `units` of work over at most `increments` steps of the display, from `fromPercent`
  // to `fromPercent + increments`; false, changing nothing, when there is no unit.
  bool StartPhase(uint32_t units, float fromPercent, uint32_t increments);
};

// The inverse world transforms a sampled node had at its sample times, in sampling order: its
// children's samples at the same times divide by them (anim/animation_sampler.cpp).
struct SampledInverseWorlds {
  std::vector<TimeValue> times;
  std::vector<Matrix3> inverse;
};

struct ExportContext {
  // What every stage reads: the settings of this export (after the dialog and the driver's
  // corrections), its clips, its coordinate conversion and its texture search folders.
  ExportOptions options = DefaultOptions(30);
  std::vector<AnimationClip> clips;
  CoordinateConversion conversion;
  SearchFolders searchFolders;
  PhaseTimings timings;
  XFileSink* xfileSink = nullptr;
  XObjectHandle sceneRootFrame;  // none when SceneRoot is off
  std::vector<XRenderableNode*> meshNodes;
  int32_t ticksPerFrame = 160;
  int32_t ticksPerSample = 160;
  Interval animationRange;
  HostScene* host = nullptr;
  bool exportSelected = false;
  bool secondCore = true;  // big meshes build on two cores; off, the same work runs on one
  // Where sampled animation becomes keys beside the sampling; none: at once. Its jobs return
  // units of writing (ExportProgress::writeUnits) and are waited for before anything is written.
  BackgroundJobs* background = nullptr;
  std::string outputDirectory;
  ExportProgress progress;
  std::vector<std::unique_ptr<XMaterial>> materials;  // shared records, Plain only
  std::string rootName;
  std::string sceneRootName;
  Matrix3 rootTransform;
  std::unordered_map<const HostNode*, XNode*> nodeMap;
  std::vector<XNode*> nodeOrder;  // the nodes of nodeMap in creation order, for stable walks
  std::unordered_set<std::string> nodeNames;  // names given so far, for unique naming
  std::vector<std::unique_ptr<XNode>> topNodes;
  std::unordered_set<std::string> texturesTold;  // texture problems already reported, once each
  // Every texture and effect file the materials read, noted before anything is written beside the
  // .X: none of them is ever written over.
  std::set<platform::FileId> sourceFiles;
  // Names given so far to files written beside the .X, each with what it holds.
  std::unordered_map<std::string, std::string> namesGiven;
  // Kept for nodes with children while under a memory budget; entries over all nodes.
  std::unordered_map<const XNode*, SampledInverseWorlds> sampledWorlds;
  size_t sampledWorldEntries = 0;
};

// The record a node's material entry stands for (a reference resolves into the shared list);
// null when none.
inline XMaterial* EntryRecord(const ExportContext& ctx, const XMaterialEntry& entry) {
  switch (entry.kind) {
    case MaterialKind::Plain: return entry.plain.get();
    case MaterialKind::Effect: return entry.effect.get();
    case MaterialKind::Reference:
      return entry.ref.index < ctx.materials.size() ? ctx.materials[entry.ref.index].get() : nullptr;
  }
  return nullptr;
}

// One unit of work done: advances the host's progress display when a threshold is passed.
void AdvanceProgress(ExportContext& ctx);

}  // namespace vorn
