// The export stages over scenes of growing size (bench_scene.h): mesh build with normals,
// tangents and two texture coordinate sets at 10k, 100k and 1M faces; skin extraction for 1 to
// 200 bones; animation sampling of a skinned rig over 10 to 1,000 frames; and the whole export
// (what `vorn export` does after loading the scene) in each encoding.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "anim/animation_sampler.h"
#include "bench/bench_scene.h"
#include "export/driver.h"
#include "export/settings.h"
#include "host/scene_document.h"
#include "mesh/mesh_builder.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/xnode.h"
#include "scene/node_tree.h"
#include "scene/transforms.h"
#include "skin/skin_extraction.h"

namespace {

using namespace vorn;

// A loaded scene taken through the node tree, as the driver does before building nodes.
struct Staged {
  bench::SceneFiles files;
  std::unique_ptr<SceneDocument> doc;
  std::unique_ptr<ExportContext> ctx;
  XRenderableNode* terrain = nullptr;

  Staged(const bench::SceneSpec& spec, const std::string& ini) : files(spec) {
    doc = LoadSceneDocument(files.Document());
    doc->SetDirectory(9, files.Dir());
    std::ofstream(files.Dir() + "/vorn_max_config.ini") << "[Option]\n" << ini;
    ctx = std::make_unique<ExportContext>();
    ctx->host = doc.get();
    ctx->animationRange = doc->AnimRange();
    ctx->ticksPerFrame = doc->TicksPerFrame();
    ctx->ticksPerSample = ctx->ticksPerFrame;
    ctx->progress.nextThreshold = std::numeric_limits<float>::max();
    ExportSettings settings;
    LoadExportOptions(*ctx, settings);
    ctx->options = settings.options;
    ctx->clips = settings.clips;
    ctx->conversion = SetupCoordinateConversion(1.0f, ctx->options.RightHand, 0.0f, 0.0f);
    BuildNodeTree(*ctx, doc->RootNode());
    auto it = ctx->nodeMap.find(doc->FindNode("Terrain"));
    terrain = it == ctx->nodeMap.end() ? nullptr : it->second->AsRenderable();
    const TimeValue t = ctx->animationRange.start;
    terrain->transform = BindPoseNodeTransform(*doc, terrain->hostNode, t);
    terrain->objectTransform = BindPoseObjectTransform(*doc, terrain->hostNode, t);
  }
};

// Loading a scene document whose arrays come from sidecar buffers: a million faces in well
// under a second.
void BM_LoadDocument(benchmark::State& state) {
  bench::SceneSpec spec;
  spec.faces = static_cast<int>(state.range(0));
  const bench::SceneFiles files(spec);
  for (auto _ : state) benchmark::DoNotOptimize(LoadSceneDocument(files.Document()));
}
BENCHMARK(BM_LoadDocument)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

constexpr const char* kMeshOptions = "Normal=1\nTangent=1\nBiTangent=1\nTexCoords=1\n";

void BM_MeshBuild(benchmark::State& state) {
  Staged s({static_cast<int>(state.range(0)), 0, 0}, kMeshOptions);
  for (auto _ : state) {
    s.terrain->meshData.reset();
    benchmark::DoNotOptimize(GenMeshData(*s.ctx, *s.terrain));
  }
  state.counters["faces"] = s.files.Faces();
  state.counters["vertices"] = s.terrain->meshData->VertexCount();
  state.SetItemsProcessed(state.iterations() * s.files.Faces());
}
BENCHMARK(BM_MeshBuild)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Skin extraction of a 100k-face mesh whose vertices each lean on two of N bones.
void BM_SkinExtract(benchmark::State& state) {
  Staged s({100000, static_cast<int>(state.range(0)), 0}, "Skin=1\nBones=1\n");
  GenMeshData(*s.ctx, *s.terrain);
  for (auto _ : state) {
    s.terrain->vertexSkinData.reset();
    ExtractNodeSkin(*s.ctx, *s.terrain);
    benchmark::DoNotOptimize(s.terrain->vertexSkinData.get());
  }
  state.counters["bones"] = double(state.range(0));
  state.SetItemsProcessed(state.iterations() * s.files.Faces());
}
BENCHMARK(BM_SkinExtract)->Arg(1)->Arg(10)->Arg(50)->Arg(200)->Unit(benchmark::kMillisecond);

// Sampling every node of a 50-bone rig over one clip of N frames.
void BM_SampleFrames(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  Staged s({10000, 50, frames}, "Animation=1\nSkin=1\nBones=1\n");
  s.ctx->clips = {AnimationClip{"Clip", 0, frames}};
  size_t samples = 0;
  for (auto _ : state) {
    samples = 0;
    for (XNode* node : s.ctx->nodeOrder) {
      node->tracks.clear();
      SampleNodeAnimation(*s.ctx, *node);
      samples += node->tracks.empty() ? 0 : node->tracks[0].KeyCount();
    }
    benchmark::DoNotOptimize(samples);
  }
  state.counters["keys"] = double(samples);
  state.SetItemsProcessed(state.iterations() * int64_t(s.ctx->nodeOrder.size()) * (frames + 1));
}
BENCHMARK(BM_SampleFrames)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// The whole export of a loaded scene into a file. Args: faces, XFileType (0 text, 1 binary,
// 2 compressed).
void BM_Export(benchmark::State& state) {
  bench::SceneFiles files({static_cast<int>(state.range(0)), 0, 0});
  auto doc = LoadSceneDocument(files.Document());
  doc->SetDirectory(9, files.Dir());
  std::ofstream(files.Dir() + "/vorn_max_config.ini")
      << "[Option]\n" << kMeshOptions << "XFileType=" << state.range(1) << "\n";
  const std::string out = files.Dir() + "/out.x";
  for (auto _ : state) XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
  const auto bytes = std::filesystem::file_size(out);
  state.counters["file bytes"] = double(bytes);
  state.counters["input bytes"] = double(files.InputBytes());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_Export)
    ->ArgsProduct({{10000, 100000, 1000000}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
