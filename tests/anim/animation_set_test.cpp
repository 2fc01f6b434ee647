// Animation sets as they reach the file: one per clip, one Animation per animated node with
// its frame reference, options and key objects.
#include <cstring>
#include <fstream>
#include <sstream>

#include "export/driver.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "tests/export/spine_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/xformat/sample_scene.h"
#include "xfile/frame_writer.h"
#include "xformat/template_ids.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_writer.h"

namespace vorn {
namespace {

using testing::SpineTest;

uint32_t Dword(std::span<const uint8_t> bytes, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}
float Float(std::span<const uint8_t> bytes, size_t at) {
  float v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

std::string TemplateName(const XFileTree& tree, const XTreeObject& o) {
  const XTemplate* t = tree.TemplateOf(o);
  return o.isReference ? "ref" : t ? t->name : "?";
}

// "Set(Node:S2,R31,T2 Node:...) Set(...)": the sets, their animations by reference and the key
// objects by name ("M" for matrix keys, "O" for options) with their key counts. Every key
// object's type word and size are checked against its name on the way.
std::string AnimationOutline(const XFileTree& tree) {
  std::string out;
  for (uint32_t s = tree.firstTop; s != kNoObject; s = tree.objects[s].nextSibling) {
    const XTreeObject& set = tree.objects[s];
    if (TemplateName(tree, set) != "AnimationSet") continue;
    if (!out.empty()) out += " ";
    out += set.name + "(";
    bool firstAnim = true;
    for (uint32_t a = set.firstChild; a != kNoObject; a = tree.objects[a].nextSibling) {
      if (!firstAnim) out += " ";
      firstAnim = false;
      const XTreeObject& anim = tree.objects[a];
      EXPECT_EQ(TemplateName(tree, anim), "Animation");
      std::string parts;
      for (uint32_t c = anim.firstChild; c != kNoObject; c = tree.objects[c].nextSibling) {
        const XTreeObject& o = tree.objects[c];
        const std::string t = TemplateName(tree, o);
        if (t == "ref") {
          parts = o.name + ":" + parts;
          continue;
        }
        if (!parts.empty() && parts.back() != ':') parts += ",";
        const auto bytes = tree.Data(o);
        if (t == "AnimationOptions") {
          EXPECT_EQ(bytes.size(), 8u);
          parts += "O";
          continue;
        }
        EXPECT_EQ(t, "AnimationKey");
        const uint32_t type = Dword(bytes, 0), n = Dword(bytes, 4);
        const std::string name = o.name.empty() ? "M" : o.name;
        const uint32_t expectType = name == "S" ? 1 : name == "R" ? 0 : name == "T" ? 2 : 4;
        const size_t perKey = name == "M" ? 72 : name == "R" ? 24 : 20;
        EXPECT_EQ(type, expectType) << name;
        EXPECT_EQ(bytes.size(), perKey * n + 8) << name;
        parts += name + std::to_string(n);
      }
      out += parts;
    }
    out += ")";
  }
  return out;
}

std::string TopLevel(const XFileTree& tree) {
  std::string out;
  for (uint32_t i = tree.firstTop; i != kNoObject; i = tree.objects[i].nextSibling)
    out += (out.empty() ? "" : ",") + TemplateName(tree, tree.objects[i]);
  return out;
}

// The first key object of the given name under the named node's Animation in the named set.
const XTreeObject* KeyObject(const XFileTree& tree, const std::string& set, const std::string& node,
                             const std::string& key) {
  for (uint32_t s = tree.firstTop; s != kNoObject; s = tree.objects[s].nextSibling) {
    if (tree.objects[s].name != set) continue;
    for (uint32_t a = tree.objects[s].firstChild; a != kNoObject; a = tree.objects[a].nextSibling) {
      const uint32_t ref = tree.objects[a].firstChild;
      if (ref == kNoObject || tree.objects[ref].name != node) continue;
      for (uint32_t c = ref; c != kNoObject; c = tree.objects[c].nextSibling)
        if (TemplateName(tree, tree.objects[c]) == "AnimationKey" && tree.objects[c].name == key) return &tree.objects[c];
    }
  }
  return nullptr;
}

class ArmExport : public SpineTest {
 protected:
  // Exports the arm example with its own clips and the extra settings.
  const XFileTree& Export(const std::string& ini) {
    std::ifstream in(std::string(VORN_SOURCE_DIR) + "/examples/arm/vorn_max_config.ini");
    std::stringstream clips;
    clips << in.rdbuf();
    EXPECT_FALSE(clips.str().empty());
    WriteSettings(clips.str() + "XFileType=0\n" + ini);
    auto doc = LoadSceneDocument(std::string(VORN_SOURCE_DIR) + "/examples/arm.json");
    doc->SetDirectory(kHostPluginConfigDir, Dir());
    const std::string out = Dir() + "/arm.x";
    std::filesystem::remove(out);
    XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
    tree_ = XFileTree{};
    std::string error;
    EXPECT_TRUE(ReadXFileFromPath(out, XReadOptions{}, &tree_, &error)) << error;
    return tree_;
  }
  XFileTree tree_;
};

TEST_F(ArmExport, OneSetPerClipWithScaleRotationPositionKeys) {
  const XFileTree& tree = Export("");
  EXPECT_EQ(TopLevel(tree), "Frame,AnimTicksPerSecond,AnimationSet,AnimationSet");
  for (uint32_t i = tree.firstTop; i != kNoObject; i = tree.objects[i].nextSibling) {
    if (TemplateName(tree, tree.objects[i]) == "AnimTicksPerSecond") {
      EXPECT_EQ(Dword(tree.Data(tree.objects[i]), 0), 4800u);
    }
  }
  // The upper arm turns in the first clip only, the hand in the second; still parts keep two keys.
  EXPECT_EQ(AnimationOutline(tree),
            "Raise(UpperArm:S2,R31,T2 Forearm:S2,R31,T2 Hand:S2,R2,T2) "
            "Wave(UpperArm:S2,R2,T2 Forearm:S2,R31,T2 Hand:S2,R31,T2)");
  const XTreeObject* r = KeyObject(tree, "Raise", "UpperArm", "R");
  ASSERT_TRUE(r);
  const auto bytes = tree.Data(*r);
  EXPECT_EQ(Dword(bytes, 8), 0u) << "first key at the clip start";
  EXPECT_EQ(Dword(bytes, 12), 4u);
  EXPECT_EQ(Float(bytes, 16), 1.0f) << "w first";
  EXPECT_EQ(Float(bytes, 20), 0.0f);
  EXPECT_EQ(Dword(bytes, 8 + 30 * 24), 4800u) << "last key at the clip end, in ticks";
  const XTreeObject* t = KeyObject(tree, "Wave", "Forearm", "T");
  ASSERT_TRUE(t);
  EXPECT_EQ(Dword(tree.Data(*t), 8 + 20), 4800u) << "the still run's second key carries the end";
  EXPECT_FLOAT_EQ(Float(tree.Data(*t), 16), 30.0f) << "local to the upper arm";
}

TEST_F(ArmExport, MatrixKeysAndAnimationOptions) {
  const XFileTree& tree = Export("KeyType=0\nAnimationOptions=1\nAnimationOpenClose=1\nAnimationQuality=0\n");
  EXPECT_EQ(AnimationOutline(tree),
            "Raise(UpperArm:O,M31 Forearm:O,M31 Hand:O,M2) Wave(UpperArm:O,M2 Forearm:O,M31 Hand:O,M31)");
  const XTreeObject* m = KeyObject(tree, "Raise", "Hand", "");
  ASSERT_TRUE(m);
  const auto bytes = tree.Data(*m);
  EXPECT_EQ(Dword(bytes, 12), 16u);
  const float* f = reinterpret_cast<const float*>(bytes.data() + 16);
  EXPECT_EQ(f[3], 0.0f);
  EXPECT_EQ(f[7], 0.0f);
  EXPECT_EQ(f[11], 0.0f);
  EXPECT_EQ(f[15], 1.0f);
  EXPECT_FLOAT_EQ(f[12], 25.0f);
  for (const XTreeObject& o : tree.objects)
    if (TemplateName(tree, o) == "AnimationOptions") {
      EXPECT_EQ(Dword(tree.Data(o), 0), 1u);
      EXPECT_EQ(Dword(tree.Data(o), 4), 0u);
    }
}

TEST_F(ArmExport, KeyFramesWhereTheControllersAllowAndSamplesElsewhere) {
  // The upper arm has no two keys in the second clip, the hand none in the first: both are
  // sampled in every clip. The forearm's keys give the key times.
  EXPECT_EQ(AnimationOutline(Export("KeyFrames=1\n")),
            "Raise(UpperArm:S2,R31,T2 Forearm:S2,R2,T2 Hand:S2,R2,T2) "
            "Wave(UpperArm:S2,R2,T2 Forearm:S2,R4,T2 Hand:S2,R31,T2)");
  const XTreeObject* r = KeyObject(tree_, "Wave", "Forearm", "R");
  ASSERT_TRUE(r);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Dword(tree_.Data(*r), 8 + 24 * i), 1600u * i) << i;
}

TEST_F(ArmExport, CustomTimelineWritesNoTickRate) {
  const XFileTree& tree = Export("Timeline=1\nTimelineCustom=10\n");
  EXPECT_EQ(TopLevel(tree), "Frame,AnimationSet,AnimationSet");
  const XTreeObject* r = KeyObject(tree, "Wave", "Hand", "R");
  ASSERT_TRUE(r);
  for (uint32_t i = 0; i < 31; ++i) EXPECT_EQ(Dword(tree.Data(*r), 8 + 24 * i), 10 * i);
}

TEST_F(ArmExport, AnimationOnlyFilesHoldTheSetsAlone) {
  const XFileTree& tree = Export("OnlyAnimationSet=1\n");
  EXPECT_EQ(TopLevel(tree), "AnimTicksPerSecond,AnimationSet,AnimationSet");
  EXPECT_NE(AnimationOutline(tree).find("Hand:S2,R31,T2"), std::string::npos);
}

// Hand-built trees for the walk rules of the set writer.
class SetWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer_));
    ASSERT_TRUE(writer_.Open(dir_ / "walk.x", XFileFormat::Text));
    ctx_.xfileSink = &writer_;
    ctx_.host = doc_.get();
  }

  template <class T = XNode>
  T& Add(XNode* parent, const std::string& name, bool keyed = true) {
    auto node = std::make_unique<T>();
    T& n = *node;
    n.nodeName = name;
    n.exportMark = 1;
    if (keyed) n.tracks.emplace_back().matrixKeys.emplace_back();
    if (parent) {
      n.parent = parent;
      parent->children.push_back(std::move(node));
    } else {
      ctx_.topNodes.push_back(std::move(node));
    }
    return n;
  }
  // The names of the animated nodes, in order.
  std::string Animated() {
    WriteAnimationSet(ctx_, "Set", 0);
    std::string out;
    const XFileTree& tree = writer_.Tree();
    for (const XTreeObject& o : tree.objects)
      if (o.isReference) out += (out.empty() ? "" : ",") + o.name;
    return out;
  }

  testing::TempDir dir_;
  XFileWriter writer_;
  // An empty scene: the set writer only reports progress to the host.
  std::unique_ptr<SceneDocument> doc_ = LoadSceneDocumentFromString("{}");
  ExportContext ctx_;
};

TEST_F(SetWalk, NodesWithoutKeysAreSkippedButTheirChildrenAreNot) {
  XNode& top = Add(nullptr, "Top", false);
  XNode& empty = Add(&top, "Empty", false);
  empty.tracks.emplace_back();  // a track without keys
  Add(&empty, "Child");
  XNode& srtEmpty = Add(&top, "SrtEmpty", false);
  srtEmpty.tracks.emplace_back().srt = true;
  Add(&srtEmpty, "Grandchild");
  XNode& unmarked = Add(&top, "Unmarked");
  unmarked.exportMark = 0;
  Add(&unmarked, "Hidden");
  EXPECT_EQ(Animated(), "Child,Grandchild") << "an unmarked node hides its subtree";
}

TEST_F(SetWalk, SkinnedMeshesLeaveTheMotionToTheirBones) {
  XNode& top = Add(nullptr, "Top");
  auto& lone = Add<XRenderableNode>(&top, "LoneSkin");
  lone.renderable = 1;
  lone.hasSkin = 1;
  auto& parentSkin = Add<XRenderableNode>(&top, "SkinWithChild");
  parentSkin.renderable = 1;
  parentSkin.hasSkin = 1;
  Add(&parentSkin, "Under");
  auto& bone = Add<XRenderableNode>(&top, "BoneMesh");
  bone.renderable = 1;
  bone.hasSkin = 1;
  bone.isBone = 1;
  EXPECT_EQ(Animated(), "Top,SkinWithChild,Under,BoneMesh");
}

TEST_F(SetWalk, WorldSpaceDropsSkinnedSubtreesAndLooksUnderUnmarkedNodes) {
  ctx_.options.WorldSpace = 1;
  XNode& top = Add(nullptr, "Top");
  top.exportMark = 0;
  Add(&top, "Visible");
  auto& skin = Add<XRenderableNode>(&top, "Skin");
  skin.renderable = 1;
  skin.hasSkin = 1;
  Add(&skin, "BelowSkin");
  EXPECT_EQ(Animated(), "Visible");
  EXPECT_EQ(writer_.Tree().objects.size(), 4u) << "the set, one animation, its reference and its key";
}

// An animation binds to its frame by name only: a node without one keeps its frame but its
// animation is left out, and counted so the export can say so.
TEST_F(SetWalk, ANodeWithoutANameGetsNoAnimationButItsChildrenDo) {
  XNode& top = Add(nullptr, "");
  Add(&top, "Child");
  XNode& srt = Add(&top, "", false);
  AnimationTrack& track = srt.tracks.emplace_back();
  track.srt = true;
  track.positionKeys.emplace_back();
  Add(&srt, "Grandchild");
  EXPECT_EQ(WriteAnimationSet(ctx_, "Set", 0), 2u);
  std::string animated;
  size_t animations = 0;
  for (const XTreeObject& o : writer_.Tree().objects) {
    if (o.isReference) animated += (animated.empty() ? "" : ",") + o.name;
    animations += !o.isReference && writer_.Tree().TemplateOf(o)->name == "Animation";
  }
  EXPECT_EQ(animated, "Child,Grandchild");
  EXPECT_EQ(animations, 2u) << "no animation without a reference";
  EXPECT_TRUE(writer_.Omissions().empty());
  EXPECT_TRUE(writer_.Save()) << writer_.Error();
}

TEST_F(SetWalk, AClipWithoutATrackWritesNothingForTheNode) {
  Add(nullptr, "Top");
  WriteAnimationSet(ctx_, "Second", 1);
  EXPECT_EQ(writer_.Tree().objects.size(), 1u) << "only the set";
}

}  // namespace
}  // namespace vorn
