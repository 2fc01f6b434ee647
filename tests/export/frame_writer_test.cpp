#include <cstring>

#include "export/driver.h"
#include "spine_fixture.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

using testing::SpineTest;

class FrameWriter : public SpineTest {
 protected:
  // Exports silently with the given settings and returns the frame outline of the file:
  // "Name(child,child)" for frames, objects other than frames and matrices left out.
  std::string Outline(const std::string& json, const std::string& ini = "") {
    WriteSettings("[Option]\nXFileType=0\n" + ini);
    auto doc = Load(json);
    const std::string out = Dir() + "/frames.x";
    std::filesystem::remove(out);
    XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
    tree_ = XFileTree{};
    std::string error;
    if (!ReadXFileFromPath(out, XReadOptions{}, &tree_, &error)) return "unreadable: " + error;
    return Children(kNoObject);
  }
  std::string Children(uint32_t parent) const {
    std::string s;
    for (uint32_t i = tree_.FirstChild(parent); i != kNoObject; i = tree_.objects[i].nextSibling) {
      const XTreeObject& o = tree_.objects[i];
      const XTemplate* t = tree_.TemplateOf(o);
      if (!t || t->name != "Frame") continue;
      if (!s.empty()) s += ",";
      const std::string inner = Children(i);
      s += o.name + (inner.empty() ? "" : "(" + inner + ")");
    }
    return s;
  }
  // The 16 floats of the named frame's matrix.
  std::vector<float> Matrix(const std::string& frame) const {
    for (uint32_t i = 0; i < tree_.objects.size(); ++i) {
      if (tree_.objects[i].name != frame) continue;
      for (uint32_t c = tree_.objects[i].firstChild; c != kNoObject; c = tree_.objects[c].nextSibling) {
        const XTemplate* t = tree_.TemplateOf(tree_.objects[c]);
        if (!t || t->name != "FrameTransformMatrix") continue;
        auto bytes = tree_.Data(tree_.objects[c]);
        std::vector<float> m(16);
        std::memcpy(m.data(), bytes.data(), 64);
        return m;
      }
    }
    return {};
  }
  XFileTree tree_;
};

const char* kChain = R"({"format": "vorn-scene", "version": 1,
  "nodes": [
    {"name": "Top", "handle": 1, "object": {"type": "dummy"}, "transform": {"translation": [1, 2, 3]},
     "children": [
       {"name": "Mid", "handle": 2, "object": {"type": "dummy"}, "transform": {"translation": [10, 0, 0]},
        "children": [{"name": "Leaf", "handle": 3, "object": {"type": "dummy"}}]},
       {"name": "Gone", "handle": 4, "object": {"type": "helper"}}]}]})";

TEST_F(FrameWriter, NestingNamesAndSceneRoot) {
  EXPECT_EQ(Outline(kChain, "Dummy=1\n"), "Top(Mid(Leaf))") << "an unmarked node hides its subtree";
  EXPECT_EQ(Outline(kChain, "Dummy=1\nSceneRoot=1\n"), "SceneRoot(Top(Mid(Leaf)))");
  EXPECT_EQ(Outline(kChain, "Dummy=1\nSceneRoot=1\nSceneRootName=World\n"), "World(Top(Mid(Leaf)))");
  EXPECT_EQ(Outline(kChain, "Dummy=1\nWorldSpace=1\n"), "Top,Mid,Leaf") << "world space: a flat list";
  EXPECT_EQ(Outline(kChain, "Dummy=1\nWorldSpace=1\nSceneRoot=1\n"), "SceneRoot(Top,Mid,Leaf)");
}

TEST_F(FrameWriter, MatricesAreLocalAndConverted) {
  ASSERT_EQ(Outline(kChain, "Dummy=1\n"), "Top(Mid(Leaf))");
  // Host (1, 2, 3) becomes (1, 3, 2) with the default Y/Z exchange; Mid is local to Top.
  std::vector<float> top = Matrix("Top"), mid = Matrix("Mid");
  ASSERT_EQ(top.size(), 16u);
  EXPECT_EQ(top[12], 1);
  EXPECT_EQ(top[13], 3);
  EXPECT_EQ(top[14], 2);
  EXPECT_EQ(top[15], 1);
  EXPECT_EQ(top[0], 1);
  EXPECT_EQ(top[3], 0);
  ASSERT_EQ(mid.size(), 16u);
  EXPECT_EQ(mid[12], 10);
  EXPECT_EQ(mid[13], 0);
  ASSERT_EQ(Outline(kChain, "Dummy=1\nWorldSpace=1\n"), "Top,Mid,Leaf");
  EXPECT_EQ(Matrix("Leaf")[12], 11) << "world space writes world transforms";
  EXPECT_EQ(Matrix("Leaf")[13], 3);
}

TEST_F(FrameWriter, OnlyAnimationSetWritesNoFrames) {
  EXPECT_EQ(Outline(kChain, "Dummy=1\nOnlyAnimationSet=1\n"), "");
  bool hasSet = false;
  for (const XTreeObject& o : tree_.objects)
    if (const XTemplate* t = tree_.TemplateOf(o); t && t->name == "AnimationSet") hasSet = true;
  EXPECT_TRUE(hasSet);
}

}  // namespace
}  // namespace vorn
