#include "anim/animation_sampler.h"

#include <cmath>
#include <cstring>

#include "export/driver.h"
#include "host/parallel.h"
#include "export/settings.h"
#include "scene/node_tree.h"
#include "scene/transforms.h"
#include "tests/export/spine_fixture.h"

namespace vorn {
namespace {

using testing::SpineTest;

// A dummy moving 100 units along host X over frames 0 to 10; one still; a chain whose child
// sits at a fixed offset under a turning parent.
const char* kScene = R"({"format": "vorn-scene", "version": 1, "scene": {"animationRange": [0, 3200]},
  "nodes": [
    {"name": "Mover", "object": {"type": "dummy"},
     "controller": {"position": {"keys": [[0, 0, 0, 0], [1600, 100, 0, 0]]}}},
    {"name": "Still", "object": {"type": "dummy"}, "transform": {"translation": [1, 2, 3]}},
    {"name": "Stopper", "object": {"type": "dummy"},
     "controller": {"position": {"keys": [[0, 0, 0, 0], [800, 100, 0, 0]]}}},
    {"name": "Turner", "object": {"type": "dummy"},
     "controller": {"rotation": {"type": "euler", "x": {"value": 0}, "y": {"value": 0},
                                 "z": {"keys": [[0, 0], [1600, 340]]}}},
     "children": [
       {"name": "Rider", "object": {"type": "dummy"}, "transform": {"translation": [10, 0, 5]}},
       {"name": "Mirror", "object": {"type": "dummy"}, "transform": {"scale": [-1, 1, 1]}}]}]})";

class Sampler : public SpineTest {
 protected:
  void Build(const std::string& json, const std::string& ini, std::vector<AnimationClip> clips) {
    doc_ = Load(json);
    WriteSettings("[Option]\nDummy=1\n" + ini);
    ctx_ = std::make_unique<ExportContext>();
    ctx_->host = doc_.get();
    ctx_->animationRange = doc_->AnimRange();
    ctx_->ticksPerFrame = doc_->TicksPerFrame();
    ctx_->ticksPerSample = ctx_->ticksPerFrame;
    LoadSettings(*ctx_);
    ctx_->clips = std::move(clips);
    ctx_->conversion = SetupCoordinateConversion(1.0f, 0, 0, 0);
    BuildNodeTree(*ctx_, doc_->RootNode());
  }
  XNode& Node(const std::string& name) {
    auto it = ctx_->nodeMap.find(doc_->FindNode(name));
    if (it == ctx_->nodeMap.end()) throw std::runtime_error("no node " + name);
    return *it->second;
  }
  const std::vector<AnimationTrack>& Sample(const std::string& name) {
    XNode& n = Node(name);
    SampleNodeAnimation(*ctx_, n);
    return n.tracks;
  }
  static std::vector<int32_t> Times(const std::vector<MatrixKey>& keys) {
    std::vector<int32_t> t;
    for (const MatrixKey& k : keys) t.push_back(k.time);
    return t;
  }
  template <typename Key>
  static std::vector<int32_t> TimesOf(const std::vector<Key>& keys) {
    std::vector<int32_t> t;
    for (const Key& k : keys) t.push_back(k.time);
    return t;
  }
  static std::vector<int32_t> Every(int32_t step, int32_t last) {
    std::vector<int32_t> t;
    for (int32_t v = 0; v <= last; v += step) t.push_back(v);
    return t;
  }

  std::unique_ptr<SceneDocument> doc_;
  std::unique_ptr<ExportContext> ctx_;
};

TEST_F(Sampler, OneSamplePerFrameFromTheClipStart) {
  Build(kScene, "KeyOptimizeLevel=0\nKeyType=0\n", {{"A", 0, 10}, {"B", 2, 10}});
  const auto& tracks = Sample("Mover");
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_FALSE(tracks[0].srt);
  EXPECT_EQ(Times(tracks[0].matrixKeys), Every(160, 1600));
  for (size_t i = 0; i < tracks[0].matrixKeys.size(); ++i) {
    const MatrixKey& k = tracks[0].matrixKeys[i];
    EXPECT_EQ(k.type, 3);
    EXPECT_NEAR(k.value.row[3].x, 10.0f * float(i), 1e-4f);
  }
  // Times count from the clip's own start; the values are those of the host times.
  EXPECT_EQ(Times(tracks[1].matrixKeys), Every(160, 1280));
  EXPECT_NEAR(tracks[1].matrixKeys[0].value.row[3].x, 20.0f, 1e-4f);
  EXPECT_EQ(ctx_->progress.writeUnits, 11u + 9u) << "every key is a unit of writing";
  Sample("Mover");
  EXPECT_EQ(Node("Mover").tracks.size(), 2u) << "sampling again replaces the tracks";
}

TEST_F(Sampler, KeysStoredOnTheSecondCoreAreThoseStoredAtOnce) {
  // Long clips (past the hand-over minimum) and a short one, in both key types: every track's
  // keys and the units of writing must not depend on where they were made.
  for (const char* keyType : {"KeyType=0\n", "KeyType=1\n"}) {
    Build(kScene, std::string("KeyOptimizeLevel=3\n") + keyType, {{"A", 0, 200}, {"B", 0, 3}, {"C", 20, 120}});
    ctx_->ticksPerSample = 20;
    const char* names[] = {"Mover", "Turner", "Rider", "Mirror", "Still"};
    std::vector<std::vector<AnimationTrack>> atOnce;
    for (const char* n : names) atOnce.push_back(Sample(n));
    const uint32_t units = ctx_->progress.writeUnits;

    ctx_->progress.writeUnits = 0;
    ctx_->sampledWorlds.clear();
    ctx_->sampledWorldEntries = 0;
    BackgroundJobs jobs(true);
    ctx_->background = &jobs;
    for (const char* n : names) SampleNodeAnimation(*ctx_, Node(n));
    ctx_->progress.writeUnits += static_cast<uint32_t>(jobs.Wait());
    ctx_->background = nullptr;
    EXPECT_EQ(ctx_->progress.writeUnits, units);
    for (size_t i = 0; i < std::size(names); ++i) {
      const std::vector<AnimationTrack>& later = Node(names[i]).tracks;
      ASSERT_EQ(later.size(), atOnce[i].size());
      for (size_t t = 0; t < later.size(); ++t) {
        SCOPED_TRACE(std::string(names[i]) + " track " + std::to_string(t) + " " + keyType);
        const AnimationTrack &a = atOnce[i][t], &b = later[t];
        ASSERT_EQ(a.KeyCount(), b.KeyCount());
        auto same = [](const auto& x, const auto& y) {  // bit for bit
          return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0);
        };
        EXPECT_TRUE(same(a.matrixKeys, b.matrixKeys));
        EXPECT_TRUE(same(a.rotationKeys, b.rotationKeys));
        EXPECT_TRUE(same(a.positionKeys, b.positionKeys));
        EXPECT_TRUE(same(a.scaleKeys, b.scaleKeys));
      }
    }
  }
}

TEST_F(Sampler, TheLastSampleFallsOnTheClipsExactEnd) {
  Build(kScene, "KeyOptimizeLevel=0\nKeyType=0\n", {{"A", 0, 10}, {"Empty", 5, 5}});
  ctx_->ticksPerSample = 300;
  auto tracks = Sample("Mover");
  EXPECT_EQ(Times(tracks[0].matrixKeys), (std::vector<int32_t>{0, 300, 600, 900, 1200, 1500, 1600}));
  EXPECT_NEAR(tracks[0].matrixKeys.back().value.row[3].x, 100.0f, 1e-4f);
  EXPECT_EQ(Times(tracks[1].matrixKeys), (std::vector<int32_t>{0})) << "a clip of length 0 is one sample";
  ctx_->ticksPerSample = 100;
  tracks = Sample("Mover");
  EXPECT_EQ(Times(tracks[0].matrixKeys), Every(100, 1600)) << "an exact multiple gets no extra sample";
}

TEST_F(Sampler, AClipEndingBeforeItsStartIsOneSampleAtItsStart) {
  for (const char* ini : {"KeyType=0\n", "KeyType=1\n", "KeyType=0\nKeyFrames=1\n"}) {
    Build(kScene, ini, {{"Back", 10, 5}});
    const auto& tracks = Sample("Mover");
    ASSERT_EQ(tracks.size(), 1u) << ini;
    if (tracks[0].srt) {
      ASSERT_EQ(tracks[0].positionKeys.size(), 1u) << ini;
      EXPECT_EQ(tracks[0].positionKeys[0].time, 0);
      EXPECT_NEAR(tracks[0].positionKeys[0].value.x, 100.0f, 1e-4f) << "the value at frame 10";
    } else {
      ASSERT_EQ(tracks[0].matrixKeys.size(), 1u) << ini;
      EXPECT_EQ(tracks[0].matrixKeys[0].time, 0);
      EXPECT_NEAR(tracks[0].matrixKeys[0].value.row[3].x, 100.0f, 1e-4f);
    }
  }
}

TEST_F(Sampler, TheWorkEstimateCountsAReversedClipAsOneSample) {
  Build(kScene, "", {{"A", 0, 10}, {"Back", 10, 5}});
  EXPECT_EQ(SampleCount(*ctx_), 11u + 1u);
  ctx_->ticksPerSample = 300;
  EXPECT_EQ(SampleCount(*ctx_), 6u + 1u);
}

TEST_F(Sampler, ReductionKeepsTheFirstKeyAndOneCarryingTheRunsEnd) {
  Build(kScene, "KeyType=1\n", {{"A", 0, 10}});
  const AnimationTrack& still = Sample("Still")[0];
  ASSERT_TRUE(still.srt);
  for (const auto* keys : {&still.positionKeys, &still.scaleKeys})
    EXPECT_EQ(TimesOf(*keys), (std::vector<int32_t>{0, 1600}));
  EXPECT_EQ(TimesOf(still.rotationKeys), (std::vector<int32_t>{0, 1600}));
  EXPECT_EQ(still.positionKeys[0].type, 2);
  EXPECT_EQ(still.scaleKeys[0].type, 1);
  EXPECT_EQ(still.rotationKeys[0].type, 0);
  EXPECT_NEAR(still.positionKeys[1].value.y, 3.0f, 1e-5f) << "host (1, 2, 3) is (1, 3, 2) in the file";
  // No turn is (0, 0, 0, 1) to the bit: the key's inverse turn gives no -0 to write.
  for (const RotationKey& k : still.rotationKeys)
    EXPECT_FALSE(std::signbit(k.value.x) || std::signbit(k.value.y) || std::signbit(k.value.z) || k.value.w != 1.0f);

  // Moving until frame 5, then still: the first still sample is kept and the next one moves on.
  const AnimationTrack& stopper = Sample("Stopper")[0];
  EXPECT_EQ(TimesOf(stopper.positionKeys), (std::vector<int32_t>{0, 160, 320, 480, 640, 800, 1600}));

  Build(kScene, "KeyType=0\n", {{"A", 0, 10}});
  EXPECT_EQ(Times(Sample("Still")[0].matrixKeys), (std::vector<int32_t>{0, 1600}));
  Build(kScene, "KeyType=0\nKeyOptimizeLevel=0\n", {{"A", 0, 10}});
  EXPECT_EQ(Times(Sample("Still")[0].matrixKeys), Every(160, 1600)) << "level 0 keeps every sample";
}

TEST(AddKey, ToleranceTableAndRuns) {
  EXPECT_EQ(KeyTolerance(0), 0.0f);
  EXPECT_EQ(KeyTolerance(1), 1e-6f);
  EXPECT_EQ(KeyTolerance(2), 1e-5f);
  EXPECT_EQ(KeyTolerance(3), 1e-4f);
  EXPECT_EQ(KeyTolerance(7), 1e-4f);

  auto run = [](std::initializer_list<float> xs, float tol, bool reduce = true) {
    std::vector<VectorKey> keys;
    int32_t t = 0;
    for (float x : xs) AddKey(keys, VectorKey{2, t++, Point3{x, 0, 0}}, reduce, tol);
    std::vector<std::pair<int32_t, float>> out;
    for (const VectorKey& k : keys) out.emplace_back(k.time, k.value.x);
    return out;
  };
  using Keys = std::vector<std::pair<int32_t, float>>;
  EXPECT_EQ(run({1, 1, 1, 1, 2}, 1e-4f), (Keys{{0, 1}, {3, 1}, {4, 2}}));
  EXPECT_EQ(run({1, 2, 2, 2}, 1e-4f), (Keys{{0, 1}, {1, 2}, {3, 2}})) << "a run after a change keeps its first key";
  EXPECT_EQ(run({1, 1, 1}, 1e-4f, false), (Keys{{0, 1}, {1, 1}, {2, 1}}));
  // A drift below the tolerance folds; the run's first value stays as it was.
  EXPECT_EQ(run({1, 1.00005f, 1.0001f}, 1e-4f), (Keys{{0, 1}, {2, 1.00005f}}));
  EXPECT_EQ(run({1, 1.00005f, 1.0001f}, 1e-6f).size(), 3u);

  std::vector<MatrixKey> m;
  Matrix3 a, b;
  b.row[2].z = 1.000005f;
  for (const Matrix3& v : {a, a, b}) AddKey(m, MatrixKey{3, int32_t(m.size()) * 10, v}, true, 1e-5f);
  EXPECT_EQ(m.size(), 2u) << "every component within 1e-5";
  for (const Matrix3& v : {b, a}) AddKey(m, MatrixKey{3, 99, v}, true, 1e-6f);
  EXPECT_EQ(m.size(), 4u);
}

TEST(AddKey, RotationsKeepTheSignOfTheKeyBefore) {
  const float s = std::sqrt(0.5f);
  std::vector<RotationKey> keys;
  AddKey(keys, RotationKey{0, 0, Quat{0, 0, 0, -1}}, true, 1e-4f);
  EXPECT_EQ(keys[0].value, (Quat{0, 0, 0, -1})) << "the first key is stored as given";
  AddKey(keys, RotationKey{0, 1, Quat{0, 0, s, s}}, true, 1e-4f);
  EXPECT_EQ(keys[1].value, (Quat{0, 0, -s, -s}));
  AddKey(keys, RotationKey{0, 2, Quat{0, 0, 1, 0}}, true, 1e-4f);
  EXPECT_EQ(keys[2].value, (Quat{0, 0, -1, 0})) << "compared with the stored, negated neighbour";
  // The reduction compares with the stored key: a value equal to what was stored before the flip
  // is a new key, and is flipped in its turn.
  AddKey(keys, RotationKey{0, 3, Quat{0, 0, 1, 0}}, true, 1e-4f);
  ASSERT_EQ(keys.size(), 4u);
  EXPECT_EQ(keys[3].value, (Quat{0, 0, -1, 0}));
  AddKey(keys, RotationKey{0, 4, Quat{0, 0, -1, 0}}, true, 1e-4f);
  EXPECT_EQ(keys.size(), 4u) << "now a run of three equal stored values";
  EXPECT_EQ(keys[3].time, 4);
}

TEST_F(Sampler, SampledRotationsNeverFlipHemisphere) {
  Build(kScene, "KeyType=1\nKeyOptimizeLevel=0\n", {{"A", 0, 10}});
  const AnimationTrack& t = Sample("Turner")[0];
  ASSERT_EQ(t.rotationKeys.size(), 11u);
  for (size_t i = 1; i < t.rotationKeys.size(); ++i) {
    const Quat a = t.rotationKeys[i - 1].value, b = t.rotationKeys[i].value;
    EXPECT_GE(a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w, 0.0f) << "key " << i;
  }
  // 340 degrees is half way round the long side: the half angle is past 90 degrees.
  const Quat last = t.rotationKeys.back().value, first = t.rotationKeys.front().value;
  EXPECT_LT(last.w * first.w, 0.0f);
}

TEST_F(Sampler, LocalTransformsAreParentRelativeConvertedAndUnmirrored) {
  Build(kScene, "KeyType=0\n", {{"A", 0, 10}});
  const AnimationTrack& rider = Sample("Rider")[0];
  ASSERT_EQ(rider.matrixKeys.size(), 2u) << "fixed under a turning parent";
  const Matrix3& m = rider.matrixKeys[1].value;
  EXPECT_NEAR(m.row[3].x, 10.0f, 1e-4f);
  EXPECT_NEAR(m.row[3].y, 5.0f, 1e-4f) << "host Z is the file's Y";
  EXPECT_NEAR(m.row[3].z, 0.0f, 1e-4f);
  Build(kScene, "KeyType=0\nKeyOptimizeLevel=0\n", {{"A", 0, 10}});
  for (const MatrixKey& k : Sample("Mirror")[0].matrixKeys) EXPECT_GT(k.value.Determinant(), 0.0f);
  const AnimationTrack& turner = Sample("Turner")[0];
  const Matrix3 expect = ctx_->conversion.Convert(RotateZMatrix(34.0f * kPi / 180.0f));
  EXPECT_TRUE(Equals(turner.matrixKeys[1].value, expect, 1e-5f)) << "K^-1 L K";
}

TEST_F(Sampler, ChildrenOfASampledParentGetTheKeysTheHostGives) {
  // The parent's world transforms are kept from its own sampling; every child key must be the
  // one computed from the host alone, bit for bit: parent sampled first, a child sampled before
  // its parent, and clips of other lengths and steps after the parent was sampled.
  const std::string scene = R"({"format": "vorn-scene", "version": 1, "scene": {"animationRange": [0, 3200]},
    "nodes": [{"name": "Hip", "object": {"type": "dummy"},
      "controller": {"position": {"keys": [[0, 0, 0, 0], [1600, 30, 5, 2]]},
                     "rotation": {"keys": [[0, 0, 0, 0, 1], [1600, 0, 0.6, 0, 0.8]]}},
      "children": [{"name": "Knee", "object": {"type": "dummy"}, "transform": {"translation": [0, -4, 0]},
        "controller": {"rotation": {"keys": [[0, 0, 0, 0, 1], [800, 0.3, 0, 0, 0.9539392], [1600, 0, 0, 0, 1]]}},
        "children": [{"name": "Foot", "object": {"type": "dummy"}, "transform": {"translation": [0, -4, 1]}}]}]}]})";
  auto check = [&](const std::string& name) {
    const XNode& n = Node(name);
    ASSERT_EQ(n.tracks.size(), ctx_->clips.size());
    for (size_t c = 0; c < n.tracks.size(); ++c) {
      const AnimationTrack& track = n.tracks[c];
      ASSERT_FALSE(track.matrixKeys.empty());
      for (const MatrixKey& k : track.matrixKeys) {
        const Matrix3 expect = LocalTransformAt(*ctx_, n, ctx_->clips[c].startKey * ctx_->ticksPerFrame + k.time);
        EXPECT_EQ(0, std::memcmp(&k.value, &expect, sizeof expect)) << name << " at " << k.time;
      }
    }
  };
  Build(scene, "KeyType=0\nKeyOptimizeLevel=0\n", {{"A", 0, 10}, {"B", 0, 10}});
  for (const char* name : {"Hip", "Knee", "Foot"}) Sample(name);
  for (const char* name : {"Knee", "Foot"}) check(name);
  Build(scene, "KeyType=0\nKeyOptimizeLevel=0\n", {{"A", 0, 10}});
  Sample("Foot");
  Sample("Knee");
  check("Foot");
  check("Knee");
  // The knee sampled again over other times: the foot must not divide by the old ones.
  ctx_->clips = {{"C", 3, 7}};
  ctx_->ticksPerSample = 80;
  Sample("Knee");
  Sample("Foot");
  check("Foot");
  ctx_->clips = {{"D", 0, 4}};
  Sample("Foot");
  check("Foot");
}

TEST_F(Sampler, WorldSpaceGivesAStillPlainMeshIdentityKeys) {
  const std::string scene = R"({"format": "vorn-scene", "version": 1,
    "nodes": [{"name": "Base", "object": {"type": "dummy"}, "transform": {"translation": [0, 0, 5]},
      "children": [{"name": "Tri", "object": "tri", "transform": {"translation": [5, 6, 7], "euler": [0, 0, 30]}}]}],
    "objects": {"tri": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}}}})";
  Build(scene, "WorldSpace=1\nKeyType=0\nKeyOptimizeLevel=0\n", {{"A", 0, 3}});
  const AnimationTrack& tri = Sample("Tri")[0];
  ASSERT_EQ(tri.matrixKeys.size(), 4u);
  for (const MatrixKey& k : tri.matrixKeys) EXPECT_TRUE(Equals(k.value, Matrix3{}, 1e-5f)) << k.time;
  // Any other node carries its world transform.
  const AnimationTrack& base = Sample("Base")[0];
  EXPECT_NEAR(base.matrixKeys[0].value.row[3].y, 5.0f, 1e-5f);

  Build(scene, "WorldSpace=1\nKeyType=1\n", {{"A", 0, 3}});
  const AnimationTrack& srt = Sample("Tri")[0];
  ASSERT_EQ(srt.positionKeys.size(), 2u);
  for (const VectorKey& k : srt.positionKeys) EXPECT_TRUE(Equals(k.value, Point3{}, 1e-5f));
  for (const VectorKey& k : srt.scaleKeys) EXPECT_TRUE(Equals(k.value, Point3{1, 1, 1}, 1e-5f));
  for (const RotationKey& k : srt.rotationKeys) EXPECT_NEAR(std::fabs(k.value.w), 1.0f, 1e-5f);
}

// Keys of the position controller, of the x axis of an Euler rotation and of a float
// controller nested two levels under the rotation controller; one key lies past both clips.
const char* kKeyed = R"({"format": "vorn-scene", "version": 1, "scene": {"animationRange": [0, 4800]},
  "nodes": [
    {"name": "Keyed", "object": {"type": "dummy"},
     "controller": {
       "position": {"keys": [[0, 0, 0, 0], [480, 10, 0, 0], [1600, 20, 0, 0], [4000, 30, 0, 0]]},
       "rotation": {"type": "euler", "x": {"keys": [[800, 0], [1000, 5]]}, "y": {"value": 0}, "z": {"value": 0},
                    "subControllers": [{"value": 0, "subControllers": [{"keys": [[1200, 0]]}]}]}}},
    {"name": "Sparse", "object": {"type": "dummy"},
     "controller": {"position": {"keys": [[0, 0, 0, 0], [800, 10, 0, 0]]}, "rotation": {"keys": [[2000, 0, 0, 0, 1]]}}},
    {"name": "Unusable", "object": {"type": "dummy"},
     "controller": {"position": {"keys": [[0, 0, 0, 0], [800, 10, 0, 0]], "usableKeys": false}}},
    {"name": "Plain", "object": {"type": "dummy"}}]})";

TEST_F(Sampler, KeyFramesComeFromTheControllersAndTheirSubControllers) {
  Build(kKeyed, "KeyFrames=1\nKeyType=1\nKeyOptimizeLevel=0\n", {{"A", 0, 10}, {"B", 2, 10}});
  const auto& tracks = Sample("Keyed");
  ASSERT_EQ(tracks.size(), 2u);
  const AnimationTrack& a = tracks[0];
  EXPECT_EQ(a.startTick, 0);
  EXPECT_EQ(a.endTick, 1600);
  EXPECT_EQ(a.positionTimes, (std::vector<int32_t>{0, 480, 1600}));
  EXPECT_EQ(a.rotationTimes, (std::vector<int32_t>{800, 1000, 1200}));
  EXPECT_TRUE(a.scaleTimes.empty());
  EXPECT_EQ(a.keyTimes, (std::vector<int32_t>{0, 480, 800, 1000, 1200, 1600}));
  EXPECT_EQ(TimesOf(a.positionKeys), a.keyTimes) << "every list gets a key at every merged time";
  EXPECT_EQ(TimesOf(a.rotationKeys), a.keyTimes);
  EXPECT_NEAR(a.positionKeys[1].value.x, 10.0f, 1e-4f);
  const AnimationTrack& b = tracks[1];
  EXPECT_EQ(b.startTick, 320);
  EXPECT_EQ(b.keyTimes, (std::vector<int32_t>{320, 480, 800, 1000, 1200, 1600}));
  EXPECT_EQ(TimesOf(b.scaleKeys), (std::vector<int32_t>{0, 160, 480, 680, 880, 1280})) << "relative to the start";
  EXPECT_EQ(ctx_->progress.writeUnits, 3u * 6 + 3u * 6);
  EXPECT_EQ(CountKeyFrames(*ctx_, Node("Keyed")), 12u);

  Build(kKeyed, "KeyFrames=1\nKeyType=0\n", {{"A", 0, 10}});
  const AnimationTrack& m = Sample("Keyed")[0];
  EXPECT_FALSE(m.srt);
  EXPECT_EQ(Times(m.matrixKeys), (std::vector<int32_t>{0, 480, 800, 1000, 1200, 1600}));
}

TEST_F(Sampler, KeyFramesFallBackToSamplingEveryClip) {
  // Sparse has two position keys in A, but in B one rotation key and nothing else.
  Build(kKeyed, "KeyFrames=1\nKeyType=0\nKeyOptimizeLevel=0\n", {{"A", 0, 10}, {"B", 10, 20}});
  const auto& sparse = Sample("Sparse");
  ASSERT_EQ(sparse.size(), 2u);
  EXPECT_TRUE(sparse[0].keyTimes.empty()) << "sampled afresh, also the clip that had keys";
  EXPECT_EQ(Times(sparse[0].matrixKeys), Every(160, 1600));
  EXPECT_EQ(Times(sparse[1].matrixKeys), Every(160, 1600));
  EXPECT_EQ(CountKeyFrames(*ctx_, Node("Sparse")), 3u + 3u) << "no minimum of two when counting";
  for (const char* name : {"Unusable", "Plain"}) {
    EXPECT_EQ(Times(Sample(name)[0].matrixKeys), Every(160, 1600)) << name;
    EXPECT_EQ(CountKeyFrames(*ctx_, Node(name)), 0u) << name;
  }
  ctx_->clips.clear();
  EXPECT_EQ(CountKeyFrames(*ctx_, Node("Keyed")), 0u);
  Build(kKeyed, "KeyFrames=1\nAnimation=0\n", {{"A", 0, 10}});
  EXPECT_EQ(CountKeyFrames(*ctx_, Node("Keyed")), 0u);
}

TEST_F(Sampler, BakedSamplesHaveNoHostKeysAndAreSampled) {
  const std::string scene = R"({"format": "vorn-scene", "version": 1,
    "nodes": [{"name": "Baked", "object": {"type": "dummy"},
               "samples": {"step": 320, "matrices": [{"translation": [0, 0, 1]}, {"translation": [0, 0, 2]},
                                                     {"translation": [0, 0, 3]}]}}]})";
  Build(scene, "KeyFrames=1\nKeyType=0\n", {{"A", 0, 4}});
  const AnimationTrack& t = Sample("Baked")[0];
  EXPECT_TRUE(t.keyTimes.empty());
  // Each sample holds for two frames: 1, 1, 2, 2, 3 along the file's Y.
  EXPECT_EQ(Times(t.matrixKeys), (std::vector<int32_t>{0, 160, 320, 480, 640}));
  const float y[] = {1, 1, 2, 2, 3};
  for (size_t i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(t.matrixKeys[i].value.row[3].y, y[i]) << i;
  EXPECT_EQ(CountKeyFrames(*ctx_, Node("Baked")), 0u);
}

TEST_F(Sampler, CustomTimelineCountsFramesInItsOwnUnits) {
  Build(kKeyed, "Timeline=1\nTimelineCustom=7\nKeyType=0\nKeyOptimizeLevel=0\n", {{"A", 2, 10}});
  EXPECT_EQ(Times(Sample("Plain")[0].matrixKeys), Every(7, 56));
  Build(kKeyed, "Timeline=1\nTimelineCustom=7\nKeyFrames=1\nKeyType=0\nKeyOptimizeLevel=0\n", {{"A", 2, 10}});
  // Host times 320, 480, 800, 1000, 1200, 1600 are frames 0, 1, 3, 4 (rounded down), 5 and 8 of the clip.
  EXPECT_EQ(Times(Sample("Keyed")[0].matrixKeys), (std::vector<int32_t>{0, 7, 21, 28, 35, 56}));
}

}  // namespace
}  // namespace vorn
