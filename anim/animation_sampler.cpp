#include "anim/animation_sampler.h"

#include <algorithm>

#include "host/parallel.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "scene/transforms.h"

namespace vorn {

namespace {

// Keys are reserved up front only up to this many; longer clips grow their lists as they go.
constexpr int64_t kMaxReserve = 1 << 16;
// About 32 MiB of parents' inverse world transforms over all nodes; past it children ask the host.
constexpr size_t kMaxSampledWorlds = (size_t{32} << 20) / (sizeof(Matrix3) + sizeof(TimeValue));

Matrix3 CleanWorld(const ExportContext& ctx, const XNode* node, TimeValue t) {
  if (!node || !node->hostNode) return Matrix3{};
  return NodeTransformAt(*ctx.host, node->hostNode, t);
}

// Appends unless the key only extends a run of equal values; true when it appended.
template <typename Key>
bool AppendOrExtend(std::vector<Key>& keys, const Key& key, bool reduce, float tolerance) {
  const size_t n = keys.size();
  if (reduce && n >= 2 && Equals(keys[n - 1].value, key.value, tolerance) &&
      Equals(keys[n - 2].value, keys[n - 1].value, tolerance)) {
    keys[n - 1].time = key.time;
    return false;
  }
  keys.push_back(key);
  return true;
}

// Touches only the track: may run on the second core (StoreLater).
void StoreParts(AnimationTrack& track, int32_t time, const AffineParts& p, bool reduce, float tol) {
  // A rotation key holds the inverse turn of the frame's matrix, as other exporters' files
  // (made to play in DirectX) and the .X readers have it. 0 - v, not -v: no turn stays 0, not -0.
  const Quat inverse{0.0f - p.q.x, 0.0f - p.q.y, 0.0f - p.q.z, p.q.w};
  AddKey(track.rotationKeys, RotationKey{0, time, inverse}, reduce, tol);
  AddKey(track.positionKeys, VectorKey{2, time, p.t}, reduce, tol);
  AddKey(track.scaleKeys, VectorKey{1, time, p.k}, reduce, tol);
}

void StoreKey(AnimationTrack& track, int32_t time, const Matrix3& m, bool reduce, float tol) {
  if (track.srt)
    StoreParts(track, time, DecompAffineWithoutStretchRotation(m), reduce, tol);
  else
    AddKey(track.matrixKeys, MatrixKey{3, time, m}, reduce, tol);
}

// Below this many samples a track's keys are stored at once: handing them over costs more.
constexpr size_t kStoreLaterMinimum = 64;

struct TimedTransform {
  int32_t time;
  Matrix3 local;
};

// A track's sampled transforms become its keys on the second core while the host is asked for
// the next ones. The track must stay where it is until the jobs are waited for.
void StoreLater(BackgroundJobs& jobs, AnimationTrack& track, std::vector<TimedTransform> samples, bool reduce,
                float tol) {
  const size_t weight = samples.size();
  jobs.Add(
      [&track, samples = std::move(samples), reduce, tol] {
        if (!track.srt) {
          for (const TimedTransform& s : samples) StoreKey(track, s.time, s.local, reduce, tol);
          return track.KeyCount();
        }
        // Decomposed a group at a time, which is faster; the keys go in in time order all the same.
        constexpr size_t kGroup = 8;
        Matrix3 m[kGroup];
        AffineParts parts[kGroup];
        for (size_t first = 0; first < samples.size(); first += kGroup) {
          const size_t n = std::min(kGroup, samples.size() - first);
          for (size_t i = 0; i < n; ++i) m[i] = samples[first + i].local;
          DecompAffineWithoutStretchRotation(m, n, parts);
          for (size_t i = 0; i < n; ++i) StoreParts(track, samples[first + i].time, parts[i], reduce, tol);
        }
        return track.KeyCount();
      },
      weight);
}

void Reserve(AnimationTrack& track, int64_t keys) {
  const size_t n = static_cast<size_t>(std::min(keys, kMaxReserve));
  if (track.srt) {
    track.rotationKeys.reserve(n);
    track.positionKeys.reserve(n);
    track.scaleKeys.reserve(n);
  } else {
    track.matrixKeys.reserve(n);
  }
}

// Key times of the controller and, recursively, of its sub-controllers within [start, end].
void AddKeyTimes(const HostScene& host, const HostController* c, TimeValue start, TimeValue end,
                 std::vector<int32_t>& out, int depth) {
  if (!c || depth > 64) return;  // a controller graph that loops back on itself stops here
  if (host.HasKeyInterface(c)) {
    const int n = host.KeyCount(c);
    for (int i = 0; i < n; ++i) {
      const TimeValue t = host.KeyTime(c, i);
      if (t >= start && t <= end) out.push_back(t);
    }
  }
  const int subs = host.SubControllerCount(c);
  for (int i = 0; i < subs; ++i) AddKeyTimes(host, host.SubController(c, i), start, end, out, depth + 1);
}

void SortUnique(std::vector<int32_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

struct KeyedControllers {
  const HostController* position = nullptr;
  const HostController* rotation = nullptr;
  const HostController* scale = nullptr;
};

// The position, rotation and scale controllers, or false when none of them has usable keys.
bool FindKeyedControllers(const ExportContext& ctx, const XNode& node, KeyedControllers& out) {
  if (!node.hostNode || !ctx.host) return false;
  const HostScene& host = *ctx.host;
  const HostController* tm = host.TMController(node.hostNode);
  if (!tm) return false;
  out.position = host.PositionController(tm);
  out.rotation = host.RotationController(tm);
  out.scale = host.ScaleController(tm);
  for (const HostController* c : {out.position, out.rotation, out.scale})
    if (c && host.HasUsableKeys(c)) return true;
  return false;
}

bool CollectKeyTimes(const ExportContext& ctx, AnimationTrack& track, const XNode& node) {
  KeyedControllers c;
  if (!FindKeyedControllers(ctx, node, c)) return false;
  const HostScene& host = *ctx.host;
  AddKeyTimes(host, c.position, track.startTick, track.endTick, track.positionTimes, 0);
  AddKeyTimes(host, c.rotation, track.startTick, track.endTick, track.rotationTimes, 0);
  AddKeyTimes(host, c.scale, track.startTick, track.endTick, track.scaleTimes, 0);
  SortUnique(track.positionTimes);
  SortUnique(track.rotationTimes);
  SortUnique(track.scaleTimes);
  if (track.positionTimes.size() < 2 && track.rotationTimes.size() < 2 && track.scaleTimes.size() < 2) return false;
  track.srt = ctx.options.KeyType != 0;
  std::vector<int32_t>& all = track.keyTimes;
  all.clear();
  all.reserve(track.positionTimes.size() + track.rotationTimes.size() + track.scaleTimes.size() + 2);
  all.insert(all.end(), track.positionTimes.begin(), track.positionTimes.end());
  all.insert(all.end(), track.rotationTimes.begin(), track.rotationTimes.end());
  all.insert(all.end(), track.scaleTimes.begin(), track.scaleTimes.end());
  all.push_back(track.startTick);
  all.push_back(track.endTick);
  SortUnique(all);
  return true;
}

}  // namespace

float KeyTolerance(int32_t level) {
  if (level <= 0) return 0.0f;
  if (level == 1) return 1e-6f;
  if (level == 2) return 1e-5f;
  return 1e-4f;
}

void AddKey(std::vector<MatrixKey>& keys, const MatrixKey& key, bool reduce, float tolerance) {
  AppendOrExtend(keys, key, reduce, tolerance);
}

void AddKey(std::vector<VectorKey>& keys, const VectorKey& key, bool reduce, float tolerance) {
  AppendOrExtend(keys, key, reduce, tolerance);
}

void AddKey(std::vector<RotationKey>& keys, const RotationKey& key, bool reduce, float tolerance) {
  if (!AppendOrExtend(keys, key, reduce, tolerance)) return;
  const size_t n = keys.size();
  if (n < 2) return;
  // q and -q are the same turn; keeping neighbours in one hemisphere stops players spinning the long way.
  Quat& q = keys[n - 1].value;
  const Quat& p = keys[n - 2].value;
  if (q.x * p.x + q.y * p.y + q.z * p.z + q.w * p.w < 0) q = Quat{-q.x, -q.y, -q.z, -q.w};
}

namespace {

// The local transform from the node's world transform w; parentInverse gives the parent's
// inverse world transform at t when asked.
template <class ParentInverse>
Matrix3 LocalFromWorld(const ExportContext& ctx, const XNode& node, const Matrix3& w, ParentInverse parentInverse) {
  Matrix3 local = w;
  if (!ctx.options.WorldSpace) {
    if (node.parent) local = w * parentInverse();
  } else if (node.IsPlainMesh()) {
    // Its vertices are written in world space at export time: the key moves them from there.
    local = Inverse(node.transform) * w;
  }
  return ctx.conversion.Convert(local);
}

}  // namespace

Matrix3 LocalTransformAt(const ExportContext& ctx, const XNode& node, TimeValue t) {
  return LocalFromWorld(ctx, node, CleanWorld(ctx, &node, t), [&] { return Inverse(CleanWorld(ctx, node.parent, t)); });
}

bool SampleTransforms(ExportContext& ctx, XNode& node) {
  const ExportOptions& o = ctx.options;
  node.tracks.clear();
  const bool reduce = o.KeyOptimizeLevel != 0;
  const float tol = KeyTolerance(o.KeyOptimizeLevel);
  const int64_t step = ctx.ticksPerSample > 0 ? ctx.ticksPerSample : 1;
  // The parent was sampled before at the same times (pre-order, same clips): its inverse world
  // transforms are the ones the host would give again. Any time that differs is asked anew.
  const SampledInverseWorlds* parent = nullptr;
  if (!o.WorldSpace && node.parent) {
    auto it = ctx.sampledWorlds.find(node.parent);
    if (it != ctx.sampledWorlds.end()) parent = &it->second;
  }
  SampledInverseWorlds* own = nullptr;
  if (!o.WorldSpace && !node.children.empty() && ctx.sampledWorldEntries < kMaxSampledWorlds) {
    own = &ctx.sampledWorlds[&node];
    ctx.sampledWorldEntries -= own->times.size();
    own->times.clear();
    own->inverse.clear();
  }
  size_t index = 0;
  node.tracks.reserve(ctx.clips.size());  // tracks stored later must not move
  std::vector<TimedTransform> later;
  for (const AnimationClip& clip : ctx.clips) {
    const int64_t start = int64_t{clip.startKey} * ctx.ticksPerFrame;
    // A clip that ends before it starts would never finish: it is one sample at its start.
    const int64_t length = std::max<int64_t>(0, int64_t{clip.endKey} * ctx.ticksPerFrame - start);
    AnimationTrack& track = node.tracks.emplace_back();
    track.srt = o.KeyType != 0;
    const int64_t q = length / step;
    const int64_t samples = q + 1 + (q * step < length ? 1 : 0);
    Reserve(track, samples);
    const bool storeLater = ctx.background && samples >= int64_t{kStoreLaterMinimum};
    if (storeLater) later.reserve(static_cast<size_t>(samples));
    for (int64_t i = 0; i < samples; ++i) {
      const int64_t t = std::min(length, i * step);
      const TimeValue at = static_cast<TimeValue>(start + t);
      const Matrix3 w = CleanWorld(ctx, &node, at);
      const Matrix3 m = LocalFromWorld(ctx, node, w, [&] {
        if (parent && index < parent->times.size() && parent->times[index] == at) return parent->inverse[index];
        return Inverse(CleanWorld(ctx, node.parent, at));
      });
      if (own && ctx.sampledWorldEntries < kMaxSampledWorlds) {
        own->times.push_back(at);
        own->inverse.push_back(Inverse(w));
        ++ctx.sampledWorldEntries;
      }
      ++index;
      const int64_t k = o.Timeline ? i * o.TimelineCustom : t;
      if (storeLater)
        later.push_back({static_cast<int32_t>(k), m});
      else
        StoreKey(track, static_cast<int32_t>(k), m, reduce, tol);
      AdvanceProgress(ctx);
    }
    if (storeLater)
      StoreLater(*ctx.background, track, std::move(later), reduce, tol);
    else
      ctx.progress.writeUnits += static_cast<uint32_t>(track.KeyCount());
    later = {};
  }
  return true;
}

bool ExtractKeyFrames(ExportContext& ctx, XNode& node) {
  if (!node.hostNode) return false;
  const ExportOptions& o = ctx.options;
  node.tracks.clear();
  const bool reduce = o.KeyOptimizeLevel != 0;
  const float tol = KeyTolerance(o.KeyOptimizeLevel);
  const int32_t tpf = ctx.ticksPerFrame > 0 ? ctx.ticksPerFrame : 1;
  for (const AnimationClip& clip : ctx.clips) {
    AnimationTrack& track = node.tracks.emplace_back();
    track.startTick = clip.startKey * ctx.ticksPerFrame;
    track.endTick = clip.endKey * ctx.ticksPerFrame;
    if (!CollectKeyTimes(ctx, track, node)) return false;
    Reserve(track, static_cast<int64_t>(track.keyTimes.size()));
    for (const int32_t tau : track.keyTimes) {
      const Matrix3 m = LocalTransformAt(ctx, node, tau);
      const int32_t rel = tau - track.startTick;
      const int32_t k = o.Timeline ? (rel / tpf) * o.TimelineCustom : rel;
      StoreKey(track, k, m, reduce, tol);
      AdvanceProgress(ctx);
    }
    ctx.progress.writeUnits += static_cast<uint32_t>(track.KeyCount());
  }
  return true;
}

void SampleNodeAnimation(ExportContext& ctx, XNode& node) {
  if (ctx.options.KeyFrames && ExtractKeyFrames(ctx, node)) return;
  SampleTransforms(ctx, node);
}

uint32_t CountKeyFrames(const ExportContext& ctx, const XNode& node) {
  if (!ctx.options.Animation || ctx.clips.empty()) return 0;
  KeyedControllers c;
  if (!FindKeyedControllers(ctx, node, c)) return 0;
  const HostScene& host = *ctx.host;
  uint32_t total = 0;
  std::vector<int32_t> times;
  for (const AnimationClip& clip : ctx.clips) {
    const TimeValue start = clip.startKey * ctx.ticksPerFrame;
    const TimeValue end = clip.endKey * ctx.ticksPerFrame;
    times.clear();
    AddKeyTimes(host, c.position, start, end, times, 0);
    AddKeyTimes(host, c.rotation, start, end, times, 0);
    AddKeyTimes(host, c.scale, start, end, times, 0);
    times.push_back(start);
    times.push_back(end);
    SortUnique(times);
    total += static_cast<uint32_t>(times.size());
  }
  return total;
}

}  // namespace vorn
