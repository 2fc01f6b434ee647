// Animation sampling and the animation set writer on a synthetic rig: 200 nodes in 20 chains
// of 10, one clip of 1,000 frames. Two of every three nodes turn and move with keys every 10
// frames; the third stands still, which is what key reduction folds.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>

#include "anim/animation_sampler.h"
#include "host/scene_document.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "scene/node_tree.h"
#include "scene/transforms.h"
#include "xfile/frame_writer.h"
#include "xformat/standard_templates.h"
#include "xformat/xfile_writer.h"

namespace {

using namespace vorn;

constexpr int kChains = 20, kDepth = 10, kFrames = 1000, kTicksPerFrame = 160;

std::string Rig() {
  std::string nodes;
  int handle = 0;
  for (int c = 0; c < kChains; ++c) {
    for (int d = 0; d < kDepth; ++d) {
      ++handle;
      std::string n = "{\"name\": \"N" + std::to_string(handle) + "\", \"handle\": " + std::to_string(handle) +
                      ", \"object\": {\"type\": \"dummy\"}, \"transform\": {\"translation\": [10, 0, 0]}";
      if (d > 0) n += ", \"parent\": " + std::to_string(handle - 1);
      if (handle % 3 != 0) {
        std::string pos, rot;
        for (int f = 0; f <= kFrames; f += 10) {
          const float a = 0.01f * float(f + handle), s = std::sin(a * 0.5f), co = std::cos(a * 0.5f);
          const std::string t = std::to_string(f * kTicksPerFrame);
          pos += (pos.empty() ? "" : ",") + ("[" + t + ", 10, " + std::to_string(std::sin(a)) + ", 0]");
          rot += (rot.empty() ? "" : ",") + ("[" + t + ", 0, 0, " + std::to_string(s) + ", " + std::to_string(co) + "]");
        }
        n += ", \"controller\": {\"position\": {\"keys\": [" + pos + "]}, \"rotation\": {\"keys\": [" + rot + "]}}";
      }
      nodes += (nodes.empty() ? "" : ",\n") + n + "}";
    }
  }
  return "{\"format\": \"vorn-scene\", \"version\": 1, \"scene\": {\"animationRange\": [0, " +
         std::to_string(kFrames * kTicksPerFrame) + "]}, \"nodes\": [" + nodes + "]}";
}

struct Fixture {
  std::unique_ptr<SceneDocument> doc = LoadSceneDocumentFromString(Rig());
  ExportContext ctx;

  Fixture(int keyType, int level) {
    ctx.options.Dummy = 1;
    ctx.options.KeyType = keyType;
    ctx.options.KeyOptimizeLevel = level;
    ctx.clips = {AnimationClip{"Clip", 0, kFrames}};
    ctx.host = doc.get();
    ctx.animationRange = doc->AnimRange();
    ctx.ticksPerFrame = kTicksPerFrame;
    ctx.ticksPerSample = kTicksPerFrame;
    ctx.conversion = SetupCoordinateConversion(1.0f, 0, 0, 0);
    BuildNodeTree(ctx, doc->RootNode());
  }
  size_t SampleAll() {
    size_t keys = 0;
    for (XNode* node : ctx.nodeOrder) {
      SampleNodeAnimation(ctx, *node);
      keys += node->tracks[0].KeyCount();
    }
    return keys;
  }
};

// Args: KeyType (0 matrix, 1 SRT), KeyOptimizeLevel (0 off, 3 default).
void BM_SampleRig(benchmark::State& state) {
  Fixture f(int(state.range(0)), int(state.range(1)));
  size_t keys = 0;
  for (auto _ : state) benchmark::DoNotOptimize(keys = f.SampleAll());
  state.counters["keys"] = double(keys);
  state.counters["samples/s"] = benchmark::Counter(double(kChains * kDepth * (kFrames + 1)), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SampleRig)->ArgsProduct({{0, 1}, {0, 3}})->Unit(benchmark::kMillisecond);

// The animation set of the sampled rig, handed to the sink and encoded in memory as binary.
void BM_WriteRigSet(benchmark::State& state) {
  Fixture f(int(state.range(0)), int(state.range(1)));
  f.SampleAll();
  size_t bytes = 0;
  for (auto _ : state) {
    XFileWriter writer;
    for (std::span<const uint8_t> block : TemplateBlocks()) writer.AddTemplates(block.data(), block.size());
    writer.Open("/dev/null", XFileFormat::Binary);
    f.ctx.xfileSink = &writer;
    WriteAnimationSet(f.ctx, "Clip", 0);
    bytes = writer.Tree().data.size();
    benchmark::DoNotOptimize(bytes);
  }
  f.ctx.xfileSink = nullptr;
  state.counters["data bytes"] = double(bytes);
}
BENCHMARK(BM_WriteRigSet)->ArgsProduct({{0, 1}, {0, 3}})->Unit(benchmark::kMillisecond);

}  // namespace
