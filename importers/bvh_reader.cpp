// The hierarchy into a flat joint list, then one line of channel values per frame straight into
// the keys, the two halves of a long take side by side. Rotation keys are computed in the order of float operations
// that assimp's keys show (a product of float axis matrices in channel order, then the matrix's
// quaternion), so that the two importers give the same keys to the last bit.
#include "importers/bvh_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "host/parallel.h"
#include "importers/assimp_arithmetic.h"
#include "importers/skeleton_shape.h"
#include "platform/mapped_file.h"

namespace vorn {

namespace {

enum class Axis : uint8_t { X, Y, Z };
struct ChannelSlot {
  bool rotation = false;
  Axis axis = Axis::X;
};

struct Joint {
  std::string name;
  int parent = -1;
  bool endSite = false;
  float offset[3] = {0, 0, 0};
  std::vector<ChannelSlot> channels;
  int firstValue = 0;  // index of its first value on a frame line
  std::vector<int> children;
};

// A joint's rotation matrix while its channels are applied: rows of registers where SSE2 has them.
struct Rows {
#if defined(__SSE2__)
  __m128 row[3] = {_mm_setr_ps(1, 0, 0, 0), _mm_setr_ps(0, 1, 0, 0), _mm_setr_ps(0, 0, 1, 0)};
  void Get(float out[3][3]) const {
    for (int i = 0; i < 3; ++i) {
      float lanes[4];
      _mm_storeu_ps(lanes, row[i]);
      for (int k = 0; k < 3; ++k) out[i][k] = lanes[k];
    }
  }
#else
  float m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  void Get(float out[3][3]) const { std::memcpy(out, m, sizeof m); }
#endif
};

// A decimal number as assimp reads it, so that both importers give the same floats.
bool ReadDecimal(std::string_view w, float& out) {
  const char* e = w.data() + w.size();
  return ParseAssimpDecimal(w.data(), e, out) == e && !w.empty();
}

// Deeper nesting than any skeleton has; the bound keeps recursion over the tree safe.
constexpr int kMaxDepth = 512;
constexpr long kMaxKeys = 64L << 20;

// ---- The skeleton's stand-in mesh --------------------------------------------------------
// assimp gives a BVH take a mesh to show the skeleton: from each joint a four-sided pointer to
// each child, a little eight-sided knob on each joint without children, every vertex bound
// with weight 1 to the joint it belongs to, material "SkeletonMaterial". Users get it in their
// files, so the reader makes the same, float for float.

using namespace skeleton_shape;

class SkeletonMesh {
 public:
  explicit SkeletonMesh(import::Scene& scene) : scene_(scene) {}

  // With several ROOTs the mesh goes on the first, so that the identity root above them stays
  // a plain node (and is dropped as one).
  void Build(bool severalRoots) {
    if (severalRoots) {
      for (const import::Node& root : scene_.root.children) Add(root);
    } else {
      Add(scene_.root);
    }
    import::Mesh& mesh = scene_.meshes.emplace_back();
    // Face normals (not of unit length), then vertices equal in position and normal within one
    // joint joined, first ones first, as the importer's join of identical vertices leaves them
    // (siblings at one offset get the same pointers).
    std::vector<V3> normals(points_.size());
    for (size_t i = 0; i + 2 < points_.size(); i += 3)
      normals[i] = normals[i + 1] = normals[i + 2] = Cross(points_[i + 2] - points_[i], points_[i + 1] - points_[i]);
    std::vector<uint32_t> index(points_.size());
    std::unordered_map<std::string, uint32_t> seen;
    std::string key;
    for (size_t i = 0; i < points_.size(); ++i) {
      const float values[6] = {points_[i].x + 0.0f, points_[i].y + 0.0f, points_[i].z + 0.0f,
                               normals[i].x + 0.0f, normals[i].y + 0.0f, normals[i].z + 0.0f};
      key.assign(reinterpret_cast<const char*>(values), sizeof values);
      key.append(reinterpret_cast<const char*>(&boneOf_[i]), sizeof boneOf_[i]);
      const auto [it, added] = seen.try_emplace(key, uint32_t(mesh.positions.size()));
      index[i] = it->second;
      if (!added) continue;
      mesh.positions.push_back({points_[i].x, points_[i].y, points_[i].z});
      mesh.normals.push_back({normals[i].x, normals[i].y, normals[i].z});
      bones_[boneOf_[i]].weights.push_back({it->second, 1.0f});
    }
    for (size_t i = 0; i + 2 < points_.size(); i += 3) mesh.triangles.push_back({index[i], index[i + 1], index[i + 2]});
    mesh.bones = std::move(bones_);
    (severalRoots ? scene_.root.children.front() : scene_.root).meshes.push_back(0);
    scene_.materials.emplace_back().name = "SkeletonMaterial";
  }

 private:
  void Add(const import::Node& node) {
    // The joint's place at rest, summed from the joint up to the root (the order assimp's
    // offsets show: each parent's inverse multiplied on the left).
    path_.push_back(&node);
    V3 world{};
    for (size_t i = path_.size(); i-- > 0;) {
      const import::Matrix4& t = path_[i]->transform;
      world = i + 1 == path_.size() ? V3{t.m[0][3], t.m[1][3], t.m[2][3]}
                                    : V3{world.x + t.m[0][3], world.y + t.m[1][3], world.z + t.m[2][3]};
    }
    const size_t first = points_.size();
    AppendJointShape(node, points_);
    if (points_.size() > first) {
      import::Bone& bone = bones_.emplace_back();
      bone.name = node.name;
      bone.offset.m[0][3] = -world.x;
      bone.offset.m[1][3] = -world.y;
      bone.offset.m[2][3] = -world.z;
      for (size_t i = first; i < points_.size(); ++i) {
        points_[i] = {points_[i].x + world.x, points_[i].y + world.y, points_[i].z + world.z};
        boneOf_.push_back(uint32_t(bones_.size() - 1));
      }
    }
    for (const import::Node& child : node.children) Add(child);
    path_.pop_back();
  }

  import::Scene& scene_;
  std::vector<V3> points_;         // three a face, in the mesh's space
  std::vector<uint32_t> boneOf_;   // per point
  std::vector<import::Bone> bones_;
  std::vector<const import::Node*> path_;  // from the root to the joint being added
};

class Parser {
 public:
  Parser(std::string_view text, const std::string& name) : p_(text.data()), end_(text.data() + text.size()), name_(name) {}

  import::Scene Run() {
    Expect("HIERARCHY");
    std::string_view w = Word();
    if (w != "ROOT") Fail("expected ROOT, found " + Quote(w));
    while (w == "ROOT") {
      roots_.push_back(ReadJoint(-1, 0, false));
      w = Word();
    }
    if (w != "MOTION") Fail("expected ROOT or MOTION, found " + Quote(w));
    ReadMotionHeader();
    import::Scene scene;
    if (roots_.size() == 1) {
      Build(roots_[0], scene.root);
    } else {
      scene.root.name = "BVH_Root";
      scene.root.children.resize(roots_.size());
      for (size_t i = 0; i < roots_.size(); ++i) Build(roots_[i], scene.root.children[i]);
    }
    // Joints without channels still get a key a frame: a bound on the product keeps a small
    // crafted file from asking for gigabytes.
    if (double(frames_) * double(order_.size()) > kMaxKeys)
      Fail(std::to_string(frames_) + " frames of " + std::to_string(order_.size()) + " joints are more keys than " +
           std::to_string(kMaxKeys) + ", the most read");
    SkeletonMesh(scene).Build(roots_.size() > 1);
    if (frames_ > 0) ReadFrames(scene);
    return scene;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { FailAt(line_, what); }
  [[noreturn]] void FailAt(long line, const std::string& what) const {
    throw std::runtime_error(name_ + ":" + std::to_string(line) + ": " + what);
  }
  static std::string Quote(std::string_view w) {
    if (w.empty()) return "the end of the file";
    if (w.size() > 40) w = w.substr(0, 40);
    return "\"" + std::string(w) + "\"";
  }

  void SkipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n' || *p_ == '\f' || *p_ == '\v')) {
      if (*p_ == '\n') ++line_;
      ++p_;
    }
  }
  // The next whitespace-separated word; empty at the end of the text.
  std::string_view Word() {
    SkipSpace();
    const char* b = p_;
    while (p_ < end_ && !(*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n' || *p_ == '\f' || *p_ == '\v')) ++p_;
    return {b, size_t(p_ - b)};
  }
  void Expect(std::string_view want) {
    std::string_view w = Word();
    if (w != want) Fail("expected " + std::string(want) + ", found " + Quote(w));
  }

  float ParseFloat(std::string_view w, const char* what) const {
    float v = 0;
    if (!ReadDecimal(w, v)) Fail("expected " + std::string(what) + ", found " + Quote(w));
    return v;
  }
  float Number(const char* what) { return ParseFloat(Word(), what); }

  long Count(const char* what, long max) {
    std::string_view w = Word();
    long v = -1;
    auto [q, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
    if (ec != std::errc() || q != w.data() + w.size() || w.empty() || v < 0 || v > max)
      Fail("expected " + std::string(what) + ", found " + Quote(w));
    return v;
  }

  // After ROOT, JOINT or End Site: the name (none for an End Site), then the braced body.
  int ReadJoint(int parent, int depth, bool endSite) {
    if (depth >= kMaxDepth) Fail("joints nested deeper than " + std::to_string(kMaxDepth));
    const int index = int(joints_.size());
    joints_.emplace_back();
    joints_[index].parent = parent;
    if (endSite) {
      joints_[index].endSite = true;
      joints_[index].name = "EndSite_" + joints_[parent].name;
    } else {
      std::string_view n = Word();
      if (n.empty() || n == "{") Fail("a joint without a name");
      joints_[index].name = std::string(n);
    }
    Expect("{");
    bool offset = false;
    for (;;) {
      std::string_view w = Word();
      if (w == "}") break;
      if (w == "OFFSET") {
        for (float& v : joints_[index].offset) v = Number("an OFFSET value");
        offset = true;
      } else if (w == "CHANNELS") {
        if (joints_[index].endSite) Fail("an End Site has no channels");
        if (!joints_[index].channels.empty()) Fail("a second CHANNELS line for " + joints_[index].name);
        ReadChannels(joints_[index]);
      } else if (w == "JOINT" || w == "End") {
        if (joints_[index].endSite) Fail("an End Site has no joints below it");
        if (w == "End") Expect("Site");
        const int child = ReadJoint(index, depth + 1, w == "End");
        joints_[index].children.push_back(child);
      } else {
        Fail(w.empty() ? "missing } for " + joints_[index].name : "unexpected " + Quote(w) + " in " + joints_[index].name);
      }
    }
    if (!offset) Fail("no OFFSET for " + joints_[index].name);
    return index;
  }

  void ReadChannels(Joint& j) {
    const long n = Count("the number of channels", 64);
    j.channels.reserve(size_t(n));
    j.firstValue = valuesPerFrame_;
    for (long i = 0; i < n; ++i) {
      std::string_view w = Word();
      if (w.size() != 9 || (w[0] != 'X' && w[0] != 'Y' && w[0] != 'Z') ||
          (w.substr(1) != "position" && w.substr(1) != "rotation"))
        Fail("unknown channel " + Quote(w) + " for " + j.name);
      j.channels.push_back({w[1] == 'r', Axis(w[0] - 'X')});
    }
    valuesPerFrame_ += int(n);
  }

  void ReadMotionHeader() {
    Expect("Frames:");
    frames_ = Count("the number of frames", 100'000'000);
    Expect("Frame");
    Expect("Time:");
    const float t = Number("the frame time");
    if (!(t > 0)) Fail("the frame time must be above zero");
    frameTime_ = t;
    // The frame lines start on the next line.
    while (p_ < end_ && *p_ != '\n') {
      if (*p_ != ' ' && *p_ != '\t' && *p_ != '\r') Fail("unexpected text after the frame time");
      ++p_;
    }
  }

  void Build(int index, import::Node& node) {
    const Joint& j = joints_[size_t(index)];
    node.name = j.name;
    node.transform.m[0][3] = j.offset[0];
    node.transform.m[1][3] = j.offset[1];
    node.transform.m[2][3] = j.offset[2];
    if (!j.endSite) order_.push_back(index);
    node.children.resize(j.children.size());
    for (size_t i = 0; i < j.children.size(); ++i) Build(j.children[i], node.children[i]);
  }

  // m times the rotation about one axis by degrees (row-major, column vectors), the turned
  // plane u -> v known at compile time. Every product and sum of the general 3x3 product is
  // kept, zeros too: their signs reach the keys. With SSE2 a row of m is one register and the
  // row's three sums are worked at once, lane by lane the same operations.
  template <int U, int V>
  static void Turn(Rows& m, float degrees) {
    // Degrees times pi, then over 180, in float: the rounding assimp's keys show.
    const float a = degrees * 3.14159265358979323846f / 180.0f;
    // Joints at rest are common in a take; sin and cos of a zero are exact (the sign of zero kept).
    const float c = a == 0 ? 1.0f : std::cos(a), s = a == 0 ? a : std::sin(a);
    float r[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    r[U][U] = c;
    r[U][V] = -s;
    r[V][U] = s;
    r[V][V] = c;
#if defined(__SSE2__)
    const __m128 r0 = _mm_loadu_ps(r[0]), r1 = _mm_loadu_ps(r[1]), r2 = _mm_loadu_ps(r[2]);
    for (__m128& row : m.row) {
      const __m128 x = _mm_shuffle_ps(row, row, 0x00), y = _mm_shuffle_ps(row, row, 0x55),
                   z = _mm_shuffle_ps(row, row, 0xAA);
      row = _mm_add_ps(_mm_add_ps(_mm_mul_ps(x, r0), _mm_mul_ps(y, r1)), _mm_mul_ps(z, r2));
    }
#else
    float p[3][3];
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < 3; ++k) p[i][k] = m.m[i][0] * r[0][k] + m.m[i][1] * r[1][k] + m.m[i][2] * r[2][k];
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < 3; ++k) m.m[i][k] = p[i][k];
#endif
  }

  // The joint's rotation on one frame: the axis rotations in channel order, each applied on the
  // right of those before it.
  static import::Quaternion FrameRotation(const Joint& j, const float* values) {
    Rows m;
    bool any = false;
    for (size_t c = 0; c < j.channels.size(); ++c) {
      if (!j.channels[c].rotation) continue;
      switch (j.channels[c].axis) {
        case Axis::X: Turn<1, 2>(m, values[c]); break;
        case Axis::Y: Turn<2, 0>(m, values[c]); break;
        case Axis::Z: Turn<0, 1>(m, values[c]); break;
      }
      any = true;
    }
    if (!any) return import::Quaternion{};
    float out[3][3];
    m.Get(out);
    return import::QuaternionFromRotation(out);
  }

  void ReadFrames(import::Scene& scene) {
    // Every frame's line is found first, so that the values of the two halves of the take can be
    // read side by side, each key written at its frame's place.
    struct FrameLine {
      const char* begin;
      long line;
    };
    std::vector<FrameLine> lines;
    // No more lines are reserved than the rest of the text can hold (two bytes a value at least).
    const size_t room = size_t(end_ - p_) / 2 / size_t(std::max(valuesPerFrame_, 1)) + 1;
    lines.reserve(std::min(size_t(frames_), room));
    for (long f = 0; f < frames_; ++f) {
      for (;;) {  // blank lines between frames are skipped
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r')) ++p_;
        if (p_ == end_)
          Fail("the file ends after " + std::to_string(f) + " of " + std::to_string(frames_) + " frames");
        if (*p_ != '\n') break;
        ++line_;
        ++p_;
      }
      lines.push_back({p_, line_});
      const void* nl = std::memchr(p_, '\n', size_t(end_ - p_));
      p_ = nl ? static_cast<const char*>(nl) + 1 : end_;
      ++line_;
    }

    import::Animation& anim = scene.animations.emplace_back();
    anim.name = "Motion";
    anim.ticksPerSecond = 1.0 / double(frameTime_);
    anim.duration = double(frames_ - 1);
    const size_t frames = size_t(frames_);
    anim.channels.resize(order_.size());
    std::vector<bool> moves(order_.size());
    for (size_t i = 0; i < order_.size(); ++i) {
      const Joint& j = joints_[size_t(order_[i])];
      import::Channel& ch = anim.channels[i];
      ch.node = j.name;
      ch.rotations.resize(frames);
      moves[i] = std::any_of(j.channels.begin(), j.channels.end(), [](const ChannelSlot& c) { return !c.rotation; });
      if (moves[i]) {
        ch.positions.resize(frames);
      } else {
        ch.positions.push_back({0, {j.offset[0], j.offset[1], j.offset[2]}});
      }
      ch.scalings.push_back({0, {1, 1, 1}});
    }

    // A fault in the first half is thrown rather than one in the second: the earliest wins.
    ForEachHalf(frames, WorthTwoCores(frames * size_t(valuesPerFrame_)), [&](size_t first, size_t last) {
      std::vector<float> values(static_cast<size_t>(valuesPerFrame_));
      for (size_t f = first; f < last; ++f) {
        ReadFrameLine(lines[f].begin, lines[f].line, long(f), values.data());
        const double time = double(f);
        for (size_t i = 0; i < order_.size(); ++i) {
          const Joint& j = joints_[size_t(order_[i])];
          const float* v = values.data() + j.firstValue;
          import::Channel& ch = anim.channels[i];
          ch.rotations[f] = {time, FrameRotation(j, v)};
          if (moves[i]) {
            // An axis without a channel keeps the joint's offset.
            float pos[3] = {j.offset[0], j.offset[1], j.offset[2]};
            for (size_t c = 0; c < j.channels.size(); ++c)
              if (!j.channels[c].rotation) pos[int(j.channels[c].axis)] = v[c];
            ch.positions[f] = {time, {pos[0], pos[1], pos[2]}};
          }
        }
      }
    });
  }

  // One frame's values from its line, which starts with a value at p. Changes no state: the
  // two halves of a take are read at once.
  void ReadFrameLine(const char* p, long line, long frame, float* values) const {
    for (int i = 0; i < valuesPerFrame_; ++i) {
      while (p < end_ && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
      if (p == end_ || *p == '\n')
        FailAt(line, "frame " + std::to_string(frame + 1) + " has " + std::to_string(i) +
                         " values, the hierarchy has " + std::to_string(valuesPerFrame_) + " channels");
      // The number is read where it stands and must end at a separator: one pass over the text.
      const char* b = p;
      p = ParseAssimpDecimal(b, end_, values[i]);
      if (!p || !(p == end_ || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) {
        p = b;
        while (p < end_ && !(*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
        FailAt(line, "expected a channel value, found " + Quote(std::string_view(b, size_t(p - b))));
      }
    }
    while (p < end_ && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
    if (p < end_ && *p != '\n')
      FailAt(line, "frame " + std::to_string(frame + 1) + " has more values than the hierarchy's " +
                       std::to_string(valuesPerFrame_) + " channels");
  }

  const char* p_;
  const char* end_;
  const std::string& name_;
  long line_ = 1;
  std::vector<Joint> joints_;
  std::vector<int> roots_;
  std::vector<int> order_;  // the joints that get an animation channel, in file order
  int valuesPerFrame_ = 0;
  long frames_ = 0;
  float frameTime_ = 0;
};

}  // namespace

bool IsBvhPath(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext == ".bvh";
}

import::Scene ParseBvh(std::string_view text, const std::string& name) { return Parser(text, name).Run(); }

import::Scene ReadBvh(const std::string& path) {
  platform::MappedFile file;
  if (!file.Open(path)) throw std::runtime_error(path + ": cannot open the file");
  return ParseBvh(file.Bytes(), path);
}

}  // namespace vorn
