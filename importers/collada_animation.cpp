// COLLADA animations into import animations. Channels drive a node's transform elements (a
// whole <matrix>, <translate>, ..., or one value of it: ".X", ".ANGLE", "(3)", "(1)(2)"). As
// assimp does, every key time of any channel on a node gives one key: the node's transform
// composed from all its elements at that time (each channel interpolated linearly) and split
// into position, rotation and scale. Times become milliseconds.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "importers/assimp_arithmetic.h"
#include "importers/collada_document.h"

namespace vorn::collada {

namespace {

// An element's value count by its name; 0 for what is not a transform.
size_t ElementSize(std::string_view name) {
  if (name == "matrix") return 16;
  if (name == "translate" || name == "scale") return 3;
  if (name == "rotate") return 4;
  if (name == "lookat") return 9;
  return 0;
}

// The sample of a channel's value (component `k` of an output element of `width`) at time t.
float Sample(const Source& input, const Source& output, size_t k, float t) {
  const size_t n = std::min(input.count, output.count);
  if (n == 0) return 0;
  if (t <= input.At(0, 0)) return output.At(0, k);
  if (t >= input.At(n - 1, 0)) return output.At(n - 1, k);
  // The last key at or before t, by bisection: channels may hold many thousands of keys.
  size_t lo = 0, hi = n - 1;
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    (input.At(mid, 0) <= t ? lo : hi) = mid;
  }
  const size_t i = lo;
  const float t0 = input.At(i, 0), t1 = input.At(i + 1, 0);
  const float a = output.At(i, k), b = output.At(i + 1, k);
  if (!(t1 > t0)) return a;
  const float f = (t - t0) / (t1 - t0);
  return a + (b - a) * f;
}

// Splits a transform into position, rotation and scale as assimp's decomposition does.
void Decompose(const import::Matrix4& m, import::Vec3& position, import::Quaternion& rotation, import::Vec3& scaling) {
  position = {m.m[0][3], m.m[1][3], m.m[2][3]};
  float cols[3][3];
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) cols[c][r] = m.m[r][c];
  float s[3];
  for (int c = 0; c < 3; ++c) s[c] = std::sqrt(cols[c][0] * cols[c][0] + cols[c][1] * cols[c][1] + cols[c][2] * cols[c][2]);
  const float det = m.m[0][0] * (m.m[1][1] * m.m[2][2] - m.m[1][2] * m.m[2][1]) -
                    m.m[0][1] * (m.m[1][0] * m.m[2][2] - m.m[1][2] * m.m[2][0]) +
                    m.m[0][2] * (m.m[1][0] * m.m[2][1] - m.m[1][1] * m.m[2][0]);
  if (det < 0)
    for (float& x : s) x = -x;
  for (int c = 0; c < 3; ++c)
    if (s[c] != 0) {
      const float inverse = 1.0f / s[c];
      for (int r = 0; r < 3; ++r) cols[c][r] *= inverse;
    }
  float rot[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) rot[r][c] = cols[c][r];
  rotation = import::QuaternionFromRotation(rot);
  scaling = {s[0], s[1], s[2]};
}

// Keys per node, inserted ones included: far more than any take has, few enough to hold.
constexpr size_t kMaxKeys = size_t(1) << 22;

struct NodeChannels {
  pugi::xml_node node;
  std::vector<ChannelTarget> targets;
};

}  // namespace

void Reader::LoadAnimations() {
  const pugi::xml_node root = doc_.child("COLLADA");
  std::vector<pugi::xml_node> tops;
  for (pugi::xml_node lib : root.children("library_animations"))
    for (pugi::xml_node a : lib.children("animation")) tops.push_back(a);
  if (tops.empty()) return;

  // Every channel, depth first, grouped by the node it moves (in order of first appearance).
  std::vector<NodeChannels> nodes;
  std::vector<pugi::xml_node> stack(tops.rbegin(), tops.rend());
  while (!stack.empty()) {
    const pugi::xml_node a = stack.back();
    stack.pop_back();
    const std::string aw = "animation \"" + std::string(a.attribute("id").value()) + "\"";
    for (pugi::xml_node ch : a.children("channel")) {
      std::string_view target = ch.attribute("target").value();
      const size_t slash = target.find('/');
      if (slash == std::string_view::npos) continue;
      const pugi::xml_node node = ById(target.substr(0, slash));
      if (!node || std::strcmp(node.name(), "node") != 0) continue;  // cameras, materials, or nothing: not read
      std::string_view rest = target.substr(slash + 1);
      const size_t cut = rest.find_first_of(".(");
      const std::string_view sid = rest.substr(0, cut);
      std::string_view part = cut == std::string_view::npos ? std::string_view() : rest.substr(cut);
      pugi::xml_node element;
      for (pugi::xml_node e : node.children())
        if (sid == e.attribute("sid").value()) {
          element = e;
          break;
        }
      const size_t size = element ? ElementSize(element.name()) : 0;
      if (!size) continue;
      int component = -1;
      if (!part.empty() && part.front() == '.') {
        const std::string_view c = part.substr(1);
        if (c == "X") component = 0;
        else if (c == "Y") component = 1;
        else if (c == "Z") component = 2;
        else if (c == "ANGLE" || c == "W") component = 3;
        else continue;
      } else if (!part.empty()) {
        int index[2] = {-1, -1};
        int k = 0;
        while (!part.empty() && part.front() == '(' && k < 2) {
          const size_t close = part.find(')');
          if (close == std::string_view::npos) break;
          index[k++] = std::atoi(std::string(part.substr(1, close - 1)).c_str());
          part.remove_prefix(close + 1);
        }
        component = k == 2 ? index[0] * 4 + index[1] : index[0];
      }
      if (component >= int(size)) Fail(aw + ": channel target \"" + std::string(target) + "\" is out of range");
      const pugi::xml_node sampler = Resolve(ch.attribute("source").value(), "the sampler", aw);
      ChannelTarget t;
      t.element = element;
      t.component = component;
      for (pugi::xml_node in : sampler.children("input")) {
        const std::string_view semantic = in.attribute("semantic").value();
        if (semantic == "INPUT") t.input = &GetSource(in.attribute("source").value(), aw);
        if (semantic == "OUTPUT") t.output = &GetSource(in.attribute("source").value(), aw);
      }
      if (!t.input || !t.output) Fail(aw + ": a sampler without INPUT or OUTPUT");
      const size_t width = component < 0 ? size : 1;
      if (t.output->Width() < width)
        Fail(aw + ": the output of \"" + std::string(target) + "\" has " + std::to_string(t.output->Width()) + " values a key, not " +
             std::to_string(width));
      if (t.input->count != t.output->count) Fail(aw + ": the sampler's input and output have different counts");
      auto it = std::find_if(nodes.begin(), nodes.end(), [&](const NodeChannels& n) { return n.node == node; });
      if (it == nodes.end()) it = nodes.insert(nodes.end(), NodeChannels{node, {}});
      it->targets.push_back(t);
    }
    std::vector<pugi::xml_node> children;
    for (pugi::xml_node c : a.children("animation")) children.push_back(c);
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  if (nodes.empty()) return;

  import::Animation anim;
  // One animation: named after the only top-level animation, "animation" when there are several.
  if (tops.size() == 1)
    anim.name = tops[0].attribute("name") ? tops[0].attribute("name").value() : tops[0].attribute("id").value();
  else
    anim.name = "animation";
  anim.ticksPerSecond = 1000;
  std::vector<float> times, values;
  std::map<pugi::xml_node_struct*, std::vector<float>> base, override;
  for (const NodeChannels& nc : nodes) {
    const std::string where = "node \"" + NodeName(nc.node) + "\"";
    times.clear();
    for (const ChannelTarget& t : nc.targets)
      for (size_t k = 0; k < t.input->count; ++k) times.push_back(t.input->At(k, 0));
    // A rotation turning half a turn or more between two keys gets keys in between, at most a
    // quarter turn apart, so that the turn survives interpolation between the keys.
    for (const ChannelTarget& t : nc.targets) {
      if (std::strcmp(t.element.name(), "rotate") != 0 || (t.component != 3 && t.component != -1)) continue;
      const size_t k = t.component == 3 ? 0 : 3;
      for (size_t i = 0; i + 1 < t.input->count; ++i) {
        const float delta = std::fabs(t.output->At(i + 1, k) - t.output->At(i, k));
        if (!(delta >= 180)) continue;
        const float steps = std::ceil(delta / 90.0f);
        if (!(steps + float(times.size()) < float(kMaxKeys)))
          Fail(where + ": a rotation of " + std::to_string(delta) + " degrees between two keys asks for too many keys");
        const float t0 = t.input->At(i, 0), t1 = t.input->At(i + 1, 0);
        for (int s = 1; s < int(steps); ++s) times.push_back(t0 + (t1 - t0) * (float(s) / steps));
      }
    }
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    if (times.size() > kMaxKeys) Fail(where + ": more than " + std::to_string(kMaxKeys) + " keys");
    // Every transform element's own values, read once; the channels replace some at each time.
    base.clear();
    for (pugi::xml_node e : nc.node.children()) {
      const size_t size = ElementSize(e.name());
      if (!size) continue;
      std::vector<float>& v = base[e.internal_object()];
      ParseFloats(e.child_value(), v, where);
      if (v.size() < size) v.resize(size);
    }
    import::Channel& ch = anim.channels.emplace_back();
    ch.node = NodeName(nc.node);
    ch.positions.reserve(times.size());
    ch.rotations.reserve(times.size());
    ch.scalings.reserve(times.size());
    for (const float t : times) {
      override = base;
      for (const ChannelTarget& target : nc.targets) {
        std::vector<float>& v = override[target.element.internal_object()];
        if (target.component >= 0)
          v[size_t(target.component)] = Sample(*target.input, *target.output, 0, t);
        else
          for (size_t k = 0; k < v.size(); ++k) v[k] = Sample(*target.input, *target.output, k, t);
      }
      const import::Matrix4 m = NodeTransform(nc.node, &override, where);
      import::Vec3 p, s;
      import::Quaternion q;
      Decompose(m, p, q, s);
      const double time = double(t) * 1000.0;
      ch.positions.push_back({time, p});
      ch.rotations.push_back({time, q});
      ch.scalings.push_back({time, s});
      anim.duration = std::max(anim.duration, time);
    }
  }
  scene_.animations.push_back(std::move(anim));
}

}  // namespace vorn::collada
