#include "scene/node_tree.h"

#include "export/settings.h"
#include "model/xnode.h"
#include "spine_fixture.h"

namespace vorn {
namespace {

using testing::SceneOf;
using testing::SpineTest;
using testing::TriangleNode;

class NodeTree : public SpineTest {
 protected:
  // Loads the scene, takes the settings from `ini`, builds the tree.
  void Build(const std::string& json, const std::string& ini = "", bool selected = false) {
    ctx_.reset();  // its nodes hold the document's objects
    doc_ = Load(json);
    WriteSettings("[Option]\n" + ini);
    ctx_ = std::make_unique<ExportContext>();
    ctx_->host = doc_.get();
    ctx_->animationRange = doc_->AnimRange();
    ctx_->ticksPerFrame = doc_->TicksPerFrame();
    ctx_->exportSelected = selected;
    LoadSettings(*ctx_);
    BuildNodeTree(*ctx_, doc_->RootNode());
  }
  XNode* Node(const std::string& hostName) {
    auto it = ctx_->nodeMap.find(doc_->FindNode(hostName));
    return it == ctx_->nodeMap.end() ? nullptr : it->second;
  }
  std::unique_ptr<SceneDocument> doc_;
  std::unique_ptr<ExportContext> ctx_;
};

TEST(CleanName, Rules) {
  EXPECT_EQ(CleanName("1 box"), "_1_box");
  EXPECT_EQ(CleanName("say \"hi\""), "say_'hi'");
  EXPECT_EQ(CleanName("a.b-c_d"), "a_b-c_d");
  EXPECT_EQ(CleanName(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(CleanName(std::string(300, 'x')).size(), 255u);
  EXPECT_EQ(CleanName("9" + std::string(300, 'x')).size(), 255u);
  EXPECT_EQ(CleanName("\xc3\xa9t\xc3\xa9"), "__t__");
}

TEST_F(NodeTree, NamesBecomeUniqueInCreationOrder) {
  const std::string scene = SceneOf(TriangleNode("Box 1") + "," + TriangleNode("Box.1") + "," + TriangleNode("Box_1"));
  Build(scene);
  ASSERT_EQ(ctx_->topNodes.size(), 3u);
  EXPECT_EQ(ctx_->topNodes[0]->nodeName, "Box_1");
  EXPECT_EQ(ctx_->topNodes[1]->nodeName, "Box_1_");
  EXPECT_EQ(ctx_->topNodes[2]->nodeName, "Box_1__");
  Build(scene, "DuplicateNodeName=1\n");
  for (auto& n : ctx_->topNodes) EXPECT_EQ(n->nodeName, "Box_1");
}

TEST_F(NodeTree, KindsFromObjectClasses) {
  Build(SceneOf(TriangleNode("Mesh") + R"(,
    {"name": "Dummy", "object": {"type": "dummy"}},
    {"name": "Point", "object": {"type": "helper"}},
    {"name": "Bone", "object": {"type": "bone"}},
    {"name": "Empty"},
    {"name": "Hidden", "object": "tri", "renderable": false})"),
        "Dummy=1\nOTHER=1\nBoneMesh=1\n");
  EXPECT_EQ(Node("Mesh")->kind, 1);
  EXPECT_TRUE(Node("Mesh")->renderable);
  EXPECT_EQ(Node("Dummy")->kind, 5);
  EXPECT_EQ(Node("Point")->kind, 6);
  EXPECT_TRUE(IsBoneKind(Node("Bone")->kind));
  EXPECT_EQ(Node("Empty")->kind, 0);
  EXPECT_EQ(Node("Hidden")->kind, 0) << "not renderable: not convertible";
  EXPECT_FALSE(Node("Hidden")->renderable);
}

TEST_F(NodeTree, HiddenParentOfVisibleChildIsExported) {
  const std::string scene = SceneOf(R"({"name": "Parent", "object": "tri", "hidden": true,
      "children": [{"name": "Child", "object": {"type": "dummy"}}]})");
  Build(scene, "Dummy=1\n");
  EXPECT_TRUE(Node("Parent")->exportMark);
  EXPECT_TRUE(Node("Parent")->renderable) << "with Meshs on, the geometry too";
  Build(scene, "Dummy=1\nMeshs=0\n");
  EXPECT_TRUE(Node("Parent")->exportMark);
  EXPECT_FALSE(Node("Parent")->renderable) << "a frame only";
  Build(scene, "Dummy=1\nWorldSpace=1\n");
  EXPECT_TRUE(Node("Child")->exportMark);
  EXPECT_FALSE(Node("Parent")->exportMark);
}

TEST_F(NodeTree, FiltersForDummiesAndOthers) {
  const std::string scene = SceneOf(R"({"name": "D", "object": {"type": "dummy"}},
      {"name": "H", "object": {"type": "helper"}}, {"name": "N"})");
  Build(scene);
  EXPECT_FALSE(Node("D")->exportMark);
  EXPECT_FALSE(Node("H")->exportMark);
  EXPECT_FALSE(Node("N")->exportMark);
  Build(scene, "Dummy=1\n");
  EXPECT_TRUE(Node("D")->exportMark);
  EXPECT_FALSE(Node("H")->exportMark);
  Build(scene, "OTHER=1\n");
  EXPECT_FALSE(Node("D")->exportMark) << "Dummy off excludes dummies even with OTHER";
  EXPECT_TRUE(Node("H")->exportMark);
  EXPECT_TRUE(Node("N")->exportMark);
}

TEST_F(NodeTree, SelectedOnlyExportsSelectionAndAncestors) {
  const std::string scene = SceneOf(R"({"name": "P", "object": "tri",
      "children": [{"name": "C", "object": "tri", "selected": true}]}, {"name": "Q", "object": "tri"})");
  Build(scene, "", true);
  EXPECT_TRUE(Node("C")->exportMark);
  EXPECT_TRUE(Node("P")->exportMark);
  EXPECT_FALSE(Node("Q")->exportMark);
}

TEST_F(NodeTree, SkinMarksHiddenBonesAndMeshIsTakenBelowSkin) {
  doc_ = Load(ReadFile(std::string(VORN_SOURCE_DIR) + "/tests/scenes/skin_edit.json"));
  std::string json = ReadFile(std::string(VORN_SOURCE_DIR) + "/tests/scenes/skin_edit.json");
  const std::string bone1 = R"({"name": "Bone01", "handle": 1,)";
  json.replace(json.find(bone1), bone1.size(), R"({"name": "Bone01", "handle": 1, "hidden": true,)");
  Build(json);
  XNode* bone = Node("Bone01");
  ASSERT_TRUE(bone);
  EXPECT_TRUE(bone->isBone);
  EXPECT_TRUE(bone->exportMark) << "a hidden bone of a visible skin is exported";
  EXPECT_FALSE(bone->renderable) << "its geometry only with BoneMesh";

  XRenderableNode* skinned = Node("Skinned")->AsRenderable();
  ASSERT_TRUE(skinned);
  ASSERT_TRUE(skinned->mesh);
  // The edit below the skin's derived object applies; the modifiers above the skin do not.
  EXPECT_EQ(skinned->mesh->verts[0].z, 7.0f);
  EXPECT_EQ(skinned->mesh->verts[1].z, 0.0f);
  EXPECT_EQ(skinned->mesh->verts[2].z, 0.0f) << "a disabled modifier is passed over";
  EXPECT_FALSE(skinned->pointsDiffer);

  Build(json, "BoneMesh=1\n");
  EXPECT_TRUE(Node("Bone01")->renderable);

  // Weighted to its own node, the mesh is a bone too and loses its geometry: said, once.
  const std::string own = R"({"node": "Bone01", "initTM")";
  json.replace(json.find(own), own.size(), R"({"node": "Skinned", "initTM")");
  ::testing::internal::CaptureStderr();
  Build(json);
  EXPECT_FALSE(Node("Skinned")->renderable);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn: 'Skinned' is a bone of its own skin: written as a frame without its mesh (Bone Mesh keeps it)\n");
  ::testing::internal::CaptureStderr();
  Build(json, "BoneMesh=1\n");
  EXPECT_TRUE(Node("Skinned")->renderable);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(NodeTree, PatchObjectsUseThePatchRoutineOrFallBack) {
  std::string json = ReadFile(std::string(VORN_SOURCE_DIR) + "/tests/scenes/patch.json");
  Build(json);
  XNode* patch = nullptr;
  for (XNode* n : ctx_->nodeOrder)
    if (n->renderable && n->AsRenderable()->patchMesh) patch = n;
  ASSERT_TRUE(patch);
  EXPECT_EQ(patch->kind, kKindPatch);
  EXPECT_TRUE(patch->AsRenderable()->pointsDiffer);
  EXPECT_FALSE(patch->AsRenderable()->patchTable.empty());

  const std::string format = R"("format": "vorn-scene",)";
  const size_t at = json.find(format);
  ASSERT_NE(at, std::string::npos);
  json.insert(at + format.size(), R"( "scene": {"patchRoutine": false},)");
  Build(json);
  bool fellBack = false;
  for (XNode* n : ctx_->nodeOrder)
    if (n->renderable && n->kind == kKindMesh && n->AsRenderable()->mesh) fellBack = true;
  EXPECT_TRUE(fellBack) << "without the routine the patch converts as kind 1";
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST_F(NodeTree, PhysiqueMarksRigidAndBlendedBonesButNotOtherVertexKinds) {
  const std::string json = R"({"format": "vorn-scene", "version": 1,
    "nodes": [
      {"name": "B1", "handle": 1, "object": {"type": "bone"}, "hidden": true},
      {"name": "B2", "handle": 2, "object": {"type": "bone"}, "hidden": true},
      {"name": "B3", "handle": 3, "object": {"type": "bone"}, "hidden": true},
      {"name": "Body", "handle": 4, "object": {"type": "derived", "input": "tri",
        "modifiers": [{"type": "physique", "bones": [{"node": "B1", "initTM": {"translation": [0,0,0]}}, {"node": "B2", "initTM": {"translation": [0,0,0]}}],
          "vertices": [{"rigid": "B1"}, {"blended": [["B1", 0.3], ["B2", 0.7]]}, {"type": 2}]}]}}],
    "objects": {"tri": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2,1]]}}}})";
  Build(json);
  EXPECT_TRUE(Node("B1")->isBone);
  EXPECT_TRUE(Node("B1")->exportMark);
  EXPECT_TRUE(Node("B2")->isBone) << "blended vertices name their bones too";
  EXPECT_FALSE(Node("B3")->isBone);
  EXPECT_FALSE(Node("B3")->exportMark) << "a hidden bone nobody uses stays out";
  Build(json, "Skin=0\n");
  EXPECT_TRUE(Node("B1")->isBone);
  EXPECT_FALSE(Node("B1")->exportMark) << "without Skin the bones are only marked";
}

TEST_F(NodeTree, DisabledSkinIsIgnoredAndMeshComesFromTheTop) {
  const std::string json = R"({"format": "vorn-scene", "version": 1,
    "nodes": [
      {"name": "B1", "handle": 1, "object": {"type": "bone"}, "hidden": true},
      {"name": "Body", "handle": 2, "object": {"type": "derived", "input": "tri",
        "modifiers": [{"type": "edit", "moves": [[0, 0, 0, 5]]},
                      {"type": "skin", "enabled": false, "bones": ["B1"], "weights": [[[0, 1]], [[0, 1]], [[0, 1]]]}]}}],
    "objects": {"tri": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2,1]]}}}})";
  Build(json);
  EXPECT_FALSE(Node("B1")->isBone);
  XRenderableNode* body = Node("Body")->AsRenderable();
  ASSERT_TRUE(body && body->mesh);
  EXPECT_EQ(body->mesh->verts[0].z, 5.0f) << "the edit above the disabled skin applies";
}

}  // namespace
}  // namespace vorn
