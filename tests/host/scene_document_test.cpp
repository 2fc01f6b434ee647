#include "host/scene_document.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

std::string Scene(const std::string& name) { return std::string(VORN_SOURCE_DIR) + "/tests/scenes/" + name; }

std::unique_ptr<SceneDocument> Load(const std::string& text, const std::string& dir = ".") {
  return LoadSceneDocumentFromString(text, dir);
}

// The error's place and a part of its message.
void ExpectError(const std::string& text, const std::string& where, const std::string& part, const std::string& dir = ".") {
  try {
    Load(text, dir);
    ADD_FAILURE() << "loaded without error: " << text;
  } catch (const SceneError& e) {
    EXPECT_EQ(e.where(), where) << e.what();
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

void ExpectMatrix(const Matrix3& a, const Matrix3& b) {
  EXPECT_TRUE(Equals(a, b, 1e-4f)) << "row3 " << a.row[3].x << "," << a.row[3].y << "," << a.row[3].z << " vs "
                                   << b.row[3].x << "," << b.row[3].y << "," << b.row[3].z;
}

class FixedShade final : public ShadeContext {
 public:
  explicit FixedShade(Point3 uvw) : uvw_(uvw) {}
  Point3 UVW(int) const override { return uvw_; }
  Point3 DUVW(int) const override { return {}; }
  Point3 P() const override { return {}; }
  Point3 Normal() const override { return {0, 0, 1}; }

 private:
  Point3 uvw_;
};

// ---- Whole documents ------------------------------------------------------------------------

TEST(SceneDocumentTest, BoxExampleLoadsAsAFlatShadedBoxWithAStandardMaterial) {
  auto doc = LoadSceneDocument(std::string(VORN_SOURCE_DIR) + "/examples/box.json");
  const HostNode* root = doc->RootNode();
  ASSERT_EQ(doc->ChildCount(root), 1);
  const HostNode* box = doc->Child(root, 0);
  EXPECT_EQ(doc->NodeName(box), "Box01");
  EXPECT_EQ(doc->WireColor(box), 0x1c1ce6u);
  EXPECT_EQ(doc->FrameRate(), 30);
  EXPECT_EQ(doc->AnimRange().end, 16000);
  EXPECT_EQ(doc->CurFilePath(), "C:\\scenes\\box.max");

  const HostObject* obj = doc->ObjectRef(box);
  EXPECT_EQ(doc->ObjectClassID(obj), kTriObjectClass);
  EXPECT_EQ(doc->SuperClassID(obj), kGeomObjectSuper);
  EXPECT_EQ(doc->ConvertToTriObject(obj, 0), obj);  // already a triangle object: no temporary
  const TriMesh* mesh = doc->ObjectMesh(obj);
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(mesh->VertexCount(), 8);
  ASSERT_EQ(mesh->FaceCount(), 12);
  EXPECT_EQ(mesh->faces[4].smGroup, 8u);
  EXPECT_EQ(mesh->faces[4].matID, 4);
  EXPECT_EQ(doc->PointCount(obj), 8);

  const HostMaterial* m = doc->NodeMaterial(box);
  EXPECT_EQ(doc->MaterialClassID(m), (ClassID{2, 0}));
  EXPECT_EQ(doc->MaterialName(m), "Red Plastic");
  EXPECT_EQ(doc->Diffuse(m, 0), (Color{0.8f, 0.1f, 0.1f}));
  EXPECT_FLOAT_EQ(doc->Shininess(m, 0), 0.25f);
  EXPECT_FLOAT_EQ(doc->ShinStr(m, 0), 0.5f);
  EXPECT_EQ(doc->SubTexmapCount(m), 12);
  EXPECT_EQ(doc->SubTexmap(m, 1), nullptr);
}

TEST(SceneDocumentTest, HierarchyKeepsChildOrderFlagsAndComposesParentTransforms) {
  auto doc = LoadSceneDocument(Scene("hierarchy.json"));
  const HostNode* root = doc->RootNode();
  ASSERT_EQ(doc->ChildCount(root), 1);
  const HostNode* base = doc->Child(root, 0);
  ASSERT_EQ(doc->ChildCount(base), 2);
  const HostNode* arm = doc->Child(base, 0);
  EXPECT_EQ(doc->NodeName(doc->Child(base, 1)), "Spinner");
  const HostNode* hand = doc->Child(arm, 0);
  const HostNode* loose = doc->FindNode("Loose");
  ASSERT_EQ(doc->ChildCount(hand), 1);
  EXPECT_EQ(doc->Child(hand, 0), loose);  // a parent named by name
  EXPECT_EQ(doc->Child(hand, 1), nullptr);

  EXPECT_TRUE(doc->Selected(base));
  EXPECT_FALSE(doc->Selected(arm));
  EXPECT_TRUE(doc->Hidden(arm));
  EXPECT_FALSE(doc->Hidden(hand));
  EXPECT_FALSE(doc->Renderable(loose));
  EXPECT_EQ(doc->WireColor(loose), 255u);
  EXPECT_EQ(doc->NodeHandle(arm), 11u);
  EXPECT_EQ(doc->NodeHandle(loose), 1u);  // the smallest handle not taken
  EXPECT_EQ(doc->FindNodeByHandle(12), hand);
  EXPECT_EQ(doc->Dir(7), "/maps");
  EXPECT_EQ(doc->Dir(9), "");
  doc->SetDirectory(kHostPluginConfigDir, "/settings");
  EXPECT_EQ(doc->Dir(9), "/settings");

  // Arm turns 90 degrees about Z at (10, 0, 5); Hand sits 5 along Arm's Y, so at (5, 0, 5).
  Matrix3 handTM = doc->NodeTM(hand, 0);
  Point3 origin = Point3{0, 0, 0} * handTM;
  EXPECT_NEAR(origin.x, 5.0f, 1e-4f);
  EXPECT_NEAR(origin.y, 0.0f, 1e-4f);
  EXPECT_NEAR(origin.z, 5.0f, 1e-4f);
  ExpectMatrix(doc->NodeTM(loose, 0), handTM);
}

TEST(SceneDocumentTest, ControllerKeysInterpolateAndComposeScaleRotationTranslation) {
  auto doc = LoadSceneDocument(Scene("hierarchy.json"));
  const HostNode* spinner = doc->FindNode("Spinner");
  const HostController* c = doc->TMController(spinner);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(doc->ControllerClassID(c), (ClassID{0x2005, 0}));
  const HostController* pos = doc->PositionController(c);
  const HostController* scale = doc->ScaleController(c);
  EXPECT_TRUE(doc->HasKeyInterface(pos));
  EXPECT_TRUE(doc->HasUsableKeys(pos));
  ASSERT_EQ(doc->KeyCount(pos), 2);
  EXPECT_EQ(doc->KeyTime(pos, 1), 4800);
  EXPECT_FALSE(doc->HasKeyInterface(scale));
  EXPECT_FALSE(doc->HasUsableKeys(scale));
  EXPECT_EQ(doc->SubControllerCount(c), 3);

  // Halfway: 50 along X, a 90-degree turn about Z (halfway to 180), scale 2; parent at z = 5.
  Matrix3 expected = ScaleMatrix({2, 2, 2}) * RotateZMatrix(kPi / 2) * TransMatrix({50, 0, 0}) * TransMatrix({0, 0, 5});
  ExpectMatrix(doc->NodeTM(spinner, 2400), expected);
  // Before the first key and after the last the end keys hold.
  ExpectMatrix(doc->NodeTM(spinner, -100), ScaleMatrix({2, 2, 2}) * TransMatrix({0, 0, 5}));
  Point3 end = Point3{1, 0, 0} * doc->NodeTM(spinner, 9000);
  EXPECT_NEAR(end.x, 98.0f, 1e-3f);
  EXPECT_NEAR(end.y, 0.0f, 1e-3f);
}

TEST(SceneDocumentTest, XyzAndEulerControllersTakeTheirValuesFromFloatSubControllers) {
  auto doc = Load(R"({"nodes": [{"name": "A",
    "transform": {"translation": [1, 2, 3], "scale": [3, 3, 3]},
    "controller": {
      "position": {"type": "xyz", "x": {"keys": [[0, 0], [100, 10]]}, "y": {"value": 4}, "z": {}},
      "rotation": {"type": "euler", "x": {}, "y": {}, "z": {"keys": [[0, 0], [100, 90]]}}}}]})");
  const HostNode* a = doc->FindNode("A");
  const HostController* pos = doc->PositionController(doc->TMController(a));
  EXPECT_FALSE(doc->HasKeyInterface(pos));
  EXPECT_TRUE(doc->HasUsableKeys(pos));  // through its x sub-controller
  ASSERT_EQ(doc->SubControllerCount(pos), 3);
  EXPECT_EQ(doc->KeyCount(doc->SubController(pos, 0)), 2);
  EXPECT_FALSE(doc->HasUsableKeys(doc->SubController(pos, 1)));
  // Scale falls back on the node's own transform (no scale controller).
  Matrix3 expected = ScaleMatrix({3, 3, 3}) * RotateZMatrix(kPi / 2) * TransMatrix({10, 4, 0});
  ExpectMatrix(doc->NodeTM(a, 100), expected);
  ExpectMatrix(doc->NodeTM(a, 50), ScaleMatrix({3, 3, 3}) * RotateZMatrix(kPi / 4) * TransMatrix({5, 4, 0}));
}

TEST(SceneDocumentTest, BakedSamplesAndWorldTransformsIgnoreTheParent) {
  auto doc = Load(R"({"scene": {"ticksPerFrame": 160}, "nodes": [
    {"name": "P", "transform": {"translation": [100, 0, 0]}, "children": [
      {"name": "S", "samples": {"matrices": [{"translation": [1, 0, 0]}, {"translation": [2, 0, 0]}]}},
      {"name": "W", "world": true, "transform": {"translation": [0, 7, 0]},
       "objectOffset": {"translation": [0, 0, 1]}}]}]})");
  const HostNode* s = doc->FindNode("S");
  EXPECT_EQ(doc->NodeTM(s, 0).Translation(), (Point3{101, 0, 0}));
  EXPECT_EQ(doc->NodeTM(s, 159).Translation(), (Point3{101, 0, 0}));  // held until the next frame
  EXPECT_EQ(doc->NodeTM(s, 160).Translation(), (Point3{102, 0, 0}));
  EXPECT_EQ(doc->NodeTM(s, 10000).Translation(), (Point3{102, 0, 0}));
  const HostNode* w = doc->FindNode("W");
  EXPECT_EQ(doc->NodeTM(w, 0).Translation(), (Point3{0, 7, 0}));
  EXPECT_EQ(doc->ObjectTM(w, 0).Translation(), (Point3{0, 7, 1}));
}

TEST(SceneDocumentTest, RememberedTransformsBelongToTheirDocumentAndTime) {
  // Each document moves its node differently; a later one may reuse the freed one's memory.
  auto moving = [](int x) {
    return R"({"nodes": [{"name": "P", "controller": {"position": {"keys": [[0, 0, 0, 0], [100, )" +
           std::to_string(x) + R"(, 0, 0]]}}, "children": [{"name": "C", "transform": {"translation": [0, 1, 0]}}]}]})";
  };
  for (int x = 10; x <= 40; x += 10) {
    auto doc = Load(moving(x));
    const HostNode* c = doc->FindNode("C");
    const HostNode* p = doc->FindNode("P");
    // The child first, then its parent at the same time, then times going back and repeating.
    for (TimeValue t : {50, 50, 100, 20, 20, 75}) {
      const float px = float(x) * float(t) / 100.0f;
      EXPECT_NEAR(doc->NodeTM(c, t).Translation().x, px, 1e-4f) << "x " << x << " t " << t;
      EXPECT_NEAR(doc->NodeTM(p, t).Translation().x, px, 1e-4f) << "x " << x << " t " << t;
      EXPECT_NEAR(doc->NodeTM(c, t).Translation().y, 1.0f, 1e-6f);
    }
  }
}

TEST(SceneDocumentTest, KeptLocalTransformsAnswerAsTheKeysDoInAnyOrderAndOnAnyThread) {
  // A chain of three turning and moving nodes; asked node after node over rising times (as the
  // sampler asks), then going back, between kept times, repeating, and from another thread.
  const std::string text = R"({"nodes": [{"name": "A", "controller": {
      "position": {"keys": [[0, 0, 0, 0], [300, 7, 1, 2], [900, -3, 4, 0.5]]},
      "rotation": {"keys": [[0, 0, 0, 0, 1], [600, 0, 0.7071068, 0, 0.7071068]]}},
    "children": [{"name": "B", "controller": {
      "rotation": {"keys": [[0, 0, 0, 0, 1], [500, 0.5, 0.5, 0.5, 0.5]]},
      "scale": {"keys": [[0, 1, 1, 1], [900, 2, 0.5, 1]]}},
      "transform": {"translation": [0, 3, 0]},
      "children": [{"name": "C", "transform": {"translation": [1, 0, 0]},
        "controller": {"position": {"keys": [[100, 1, 0, 0], [800, 1, 5, 0]]}}}]}]}]})";
  auto doc = Load(text);
  auto reference = Load(text);
  std::vector<const HostNode*> nodes = {doc->FindNode("A"), doc->FindNode("B"), doc->FindNode("C")};
  std::vector<const HostNode*> refNodes = {reference->FindNode("A"), reference->FindNode("B"), reference->FindNode("C")};
  // The reference document answers on a thread of its own, through no timeline.
  auto expected = [&](size_t i, TimeValue t) {
    Matrix3 m;
    std::thread([&] { m = reference->NodeTM(refNodes[i], t); }).join();
    return m;
  };
  std::vector<std::pair<size_t, TimeValue>> asked;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (TimeValue t = 0; t <= 900; t += 50) asked.push_back({i, t});
  for (TimeValue t : {900, 0, 25, 425, 425, 1000, 450}) asked.push_back({2, t});
  for (auto [i, t] : asked) {
    const Matrix3 m = doc->NodeTM(nodes[i], t);
    EXPECT_EQ(m, expected(i, t)) << "node " << i << " t " << t;
    EXPECT_EQ(doc->NodeTM(nodes[i], t), m);
  }
  Matrix3 elsewhere;
  std::thread([&] { elsewhere = doc->NodeTM(nodes[2], 333); }).join();
  EXPECT_EQ(elsewhere, expected(2, 333));
  EXPECT_EQ(doc->NodeTM(nodes[2], 333), elsewhere);
}

// ---- Pipeline -------------------------------------------------------------------------------

TEST(SceneDocumentTest, PipelineAppliesEnabledModifiersBottomUpAndSkinKeepsTheBindPose) {
  auto doc = LoadSceneDocument(Scene("skin_edit.json"));
  const HostNode* skinned = doc->FindNode("Skinned");
  const HostObject* top = doc->ObjectRef(skinned);
  EXPECT_EQ(doc->SuperClassID(top), kGenDerivObjectSuper);
  ASSERT_EQ(doc->ModifierCount(top), 3);
  EXPECT_EQ(doc->ModifierClassID(doc->Modifier(top, 1)), kSkinClass);
  const HostObject* below = doc->DerivedInput(top);
  EXPECT_EQ(below, doc->FindObject("editedBelow"));
  EXPECT_EQ(doc->BaseObject(top), doc->FindObject("strip"));
  EXPECT_EQ(doc->ModifierFlags(doc->Modifier(below, 1)), kModifierDisabledFlag);

  // Below the skin: only the enabled edit of the lower derived object.
  const HostObject* low = doc->Eval(below, 0);
  EXPECT_EQ(doc->GetPoint(low, 0), (Point3{0, 0, 7}));
  EXPECT_EQ(doc->GetPoint(low, 1), (Point3{10, 0, 0}));
  EXPECT_EQ(doc->GetPoint(low, 2), (Point3{20, 0, 0}));  // disabled modifier
  // The whole pipeline: the edit under the skin, the skin at bind pose, the xform above.
  const HostObject* full = doc->Eval(top, 0);
  EXPECT_EQ(doc->GetPoint(full, 0), (Point3{0, 0, 107}));
  EXPECT_EQ(doc->GetPoint(full, 1), (Point3{10, 0, 103}));
  EXPECT_EQ(doc->Eval(top, 0), full);
  EXPECT_EQ(doc->ObjectClassID(full), kTriObjectClass);
  EXPECT_EQ(doc->ConvertToTriObject(full, 0), full);
  EXPECT_EQ(doc->ObjectMesh(full)->verts[1], (Point3{10, 0, 103}));
  // The document's own mesh is untouched.
  EXPECT_EQ(doc->ObjectMesh(doc->FindObject("strip"))->verts[0], (Point3{0, 0, 0}));

  // Converting the derived object itself gives a temporary copy.
  const HostObject* tmp = doc->ConvertToTriObject(top, 0);
  ASSERT_NE(tmp, nullptr);
  EXPECT_NE(tmp, full);
  EXPECT_EQ(doc->LiveTemporaries(), 1);
  doc->DeleteTemporary(tmp);
  doc->DeleteTemporary(full);  // not a temporary: left alone
  EXPECT_EQ(doc->LiveTemporaries(), 0);
  EXPECT_EQ(doc->GetPoint(full, 0), (Point3{0, 0, 107}));
}

TEST(SceneDocumentTest, SkinInterfaceGivesBonesWeightsAndInitialTransforms) {
  auto doc = LoadSceneDocument(Scene("skin_edit.json"));
  const HostNode* skinned = doc->FindNode("Skinned");
  const HostModifier* mod = doc->Modifier(doc->ObjectRef(skinned), 1);
  EXPECT_EQ(doc->GetSkinInterface(mod, kPhysiqueInterfaceId), nullptr);
  const SkinInterface* skin = doc->GetSkinInterface(mod, kSkinInterfaceId);
  ASSERT_NE(skin, nullptr);
  ASSERT_EQ(skin->BoneCount(), 2);
  const HostNode* bone2 = doc->FindNode("Bone02");
  EXPECT_EQ(skin->Bone(1), bone2);
  EXPECT_EQ(skin->Bone(2), nullptr);
  Matrix3 tm;
  EXPECT_NE(skin->BoneInitTM(bone2, tm, false), 0);
  EXPECT_EQ(tm.Translation(), (Point3{10, 0, 0}));
  EXPECT_EQ(skin->BoneInitTM(bone2, tm, true), 0);  // not given
  EXPECT_EQ(skin->BoneInitTM(skinned, tm, false), 0);
  EXPECT_NE(skin->SkinInitTM(skinned, tm, true), 0);
  EXPECT_EQ(tm.Translation(), (Point3{0, 0, 1}));
  const SkinContext* ctx = skin->ContextData(skinned);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->PointCount(), 6);
  ASSERT_EQ(ctx->AssignedBoneCount(1), 2);
  EXPECT_EQ(ctx->AssignedBone(1, 1), 1);
  EXPECT_FLOAT_EQ(ctx->BoneWeight(1, 1), 0.5f);
  EXPECT_EQ(ctx->AssignedBoneCount(6), 0);
  EXPECT_EQ(ctx->AssignedBone(0, 5), -1);
}

TEST(SceneDocumentTest, PhysiqueGivesRigidAndBlendedVerticesAndFollowsTheBlendingSwitch) {
  auto doc = Load(R"({"nodes": [{"name": "B1"}, {"name": "B2"}, {"name": "M", "object": {"type": "derived",
      "input": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}},
      "modifiers": [{"type": "physique", "nodeInitTM": {"translation": [1, 2, 3]},
        "bones": [{"node": "B1", "initTM": {"translation": [5, 0, 0]}}],
        "vertices": [{"rigid": "B1"}, {"blended": [["B1", 0.25], ["B2", 0.75]]}, {"type": 2}]}]}}]})");
  const HostNode* m = doc->FindNode("M");
  const HostNode* b1 = doc->FindNode("B1");
  const HostNode* b2 = doc->FindNode("B2");
  const HostModifier* mod = doc->Modifier(doc->ObjectRef(m), 0);
  EXPECT_EQ(doc->ModifierClassID(mod), kPhysiqueClass);
  const PhysiqueInterface* phy = doc->GetPhysiqueInterface(mod, kPhysiqueInterfaceId);
  ASSERT_NE(phy, nullptr);
  Matrix3 tm;
  EXPECT_EQ(phy->InitNodeTM(m, tm), 0);
  EXPECT_EQ(tm.Translation(), (Point3{1, 2, 3}));
  EXPECT_EQ(phy->InitBoneTM(b1, tm), 0);
  EXPECT_EQ(tm.Translation(), (Point3{5, 0, 0}));
  EXPECT_NE(phy->InitBoneTM(b2, tm), 0);
  PhysiqueContext* ctx = phy->Context(m);
  ASSERT_NE(ctx, nullptr);
  ctx->ConvertToRigid(1);
  ctx->AllowBlending(1);
  ASSERT_EQ(ctx->VertexCount(), 3);
  auto v0 = ctx->Vertex(0);
  EXPECT_EQ(v0->Type(), kPhysiqueRigidType);
  EXPECT_EQ(v0->Node(), b1);
  auto v1 = ctx->Vertex(1);
  EXPECT_EQ(v1->Type(), kPhysiqueBlendedType);
  ASSERT_EQ(v1->NodeCount(), 2);
  EXPECT_EQ(v1->Node(1), b2);
  EXPECT_FLOAT_EQ(v1->Weight(1), 0.75f);
  EXPECT_EQ(ctx->Vertex(2)->Type(), 2);
  EXPECT_EQ(ctx->Vertex(3), nullptr);
  ctx->AllowBlending(0);
  auto rigid = ctx->Vertex(1);
  EXPECT_EQ(rigid->Type(), kPhysiqueRigidType);
  EXPECT_EQ(rigid->Node(), b2);  // the strongest bone
  // Skin and physique sit at their bind pose: the mesh does not move.
  EXPECT_EQ(doc->GetPoint(doc->Eval(doc->ObjectRef(m), 0), 1), (Point3{1, 0, 0}));
}

TEST(SceneDocumentTest, PatchTessellationSharesEdgesAndFillsTheTable) {
  auto doc = LoadSceneDocument(Scene("patch.json"));
  const HostObject* obj = doc->ObjectRef(doc->FindNode("Patch01"));
  EXPECT_EQ(doc->ObjectClassID(obj), (ClassID{0x1030, 0}));
  EXPECT_EQ(doc->PointCount(obj), 7);
  const PatchMesh* pm = doc->GetPatchMesh(obj);
  ASSERT_NE(pm, nullptr);
  TriMesh mesh;
  PatchTable table;
  ASSERT_TRUE(doc->PatchToTriMesh(*pm, mesh, table, 0));
  // 7 corners, 9 edge midpoints (one shared by both quads, one by a quad and the triangle),
  // 2 quad centres; 8 triangles per quad and 4 for the triangle.
  EXPECT_EQ(mesh.VertexCount(), 18);
  EXPECT_EQ(mesh.FaceCount(), 20);
  ASSERT_EQ(table.size(), 18u);
  ASSERT_EQ(table.facePatch.size(), 20u);
  EXPECT_EQ(table.facePatch[0], 0);
  EXPECT_EQ(table.facePatch[8], 1);
  EXPECT_EQ(table.facePatch[19], 2);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(mesh.verts[size_t(i)], pm->verts[size_t(i)]);
  int atSharedMid = 0, quadCentre = -1;
  for (size_t i = 0; i < mesh.verts.size(); ++i) {
    if (mesh.verts[i] == Point3{10, 5, 0}) ++atSharedMid;
    if (mesh.verts[i] == Point3{5, 5, 0}) quadCentre = int(i);
  }
  EXPECT_EQ(atSharedMid, 1);
  ASSERT_GE(quadCentre, 0);
  EXPECT_EQ(table[size_t(quadCentre)].patch, 0);
  EXPECT_EQ(table[size_t(quadCentre)].bary, (Point3{0.5f, 0.5f, 0}));
  for (const TriFace& f : mesh.faces) {  // every face keeps the patches' winding (+Z)
    Point3 n = Cross(mesh.verts[f.v[1]] - mesh.verts[f.v[0]], mesh.verts[f.v[2]] - mesh.verts[f.v[0]]);
    EXPECT_GT(n.z, 0.0f);
  }
  EXPECT_TRUE(mesh.MapSupport(1));

  // The general conversion yields the same triangles as a temporary.
  EXPECT_TRUE(doc->CanConvertTo(obj, kTriObjectClass));
  const HostObject* tri = doc->ConvertToTriObject(obj, 0);
  ASSERT_NE(tri, obj);
  EXPECT_EQ(doc->ObjectMesh(tri)->FaceCount(), 20);
  doc->DeleteTemporary(tri);
  EXPECT_EQ(doc->LiveTemporaries(), 0);
}

TEST(SceneDocumentTest, PatchRoutineCanBeWithheld) {
  auto doc = Load(R"({"scene": {"patchRoutine": false}, "nodes": [{"name": "P", "object": {"type": "patch",
      "patch": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "patches": [[0,1,2]], "steps": 3}}}]})");
  const HostObject* obj = doc->ObjectRef(doc->FindNode("P"));
  TriMesh mesh;
  PatchTable table;
  EXPECT_FALSE(doc->PatchToTriMesh(*doc->GetPatchMesh(obj), mesh, table, 0));
  const HostObject* tri = doc->ConvertToTriObject(obj, 0);
  ASSERT_NE(tri, nullptr);
  EXPECT_EQ(doc->ObjectMesh(tri)->FaceCount(), 9);  // three steps: 9 triangles
  EXPECT_EQ(doc->ObjectMesh(tri)->VertexCount(), 10);
}

TEST(SceneDocumentTest, HelpersBonesShapesAndOtherObjectsCarryTheirClasses) {
  auto doc = LoadSceneDocument(Scene("helpers_bones.json"));
  auto obj = [&](const char* name) { return doc->ObjectRef(doc->FindNode(name)); };
  EXPECT_EQ(doc->ObjectClassID(obj("Dummy01")), (ClassID{0x876234, 0}));
  EXPECT_EQ(doc->SuperClassID(obj("Dummy01")), kHelperSuper);
  EXPECT_EQ(doc->SuperClassID(obj("Point01")), kHelperSuper);
  EXPECT_FALSE(doc->CanConvertTo(obj("Point01"), kTriObjectClass));
  EXPECT_EQ(doc->ConvertToTriObject(obj("Point01"), 0), nullptr);

  EXPECT_EQ(doc->ObjectClassID(obj("Bone01")), (ClassID{0x28bf6e8d, 0x2ecca840}));
  EXPECT_EQ(doc->ObjectClassID(obj("Bip01")), (ClassID{0x9125, 0}));
  EXPECT_EQ(doc->ControllerClassID(doc->TMController(doc->FindNode("Bip01"))), (ClassID{0x3011, 0}));
  ASSERT_TRUE(doc->CanConvertTo(obj("Bone01"), kTriObjectClass));
  const HostObject* boneTri = doc->ConvertToTriObject(obj("Bone01"), 0);
  ASSERT_NE(boneTri, obj("Bone01"));
  EXPECT_EQ(doc->ObjectMesh(boneTri)->FaceCount(), 6);
  EXPECT_EQ(doc->ObjectMesh(boneTri)->verts[4], (Point3{8, 0, 0}));
  EXPECT_EQ(doc->ObjectMesh(obj("Bone01")), nullptr);  // a bone is no triangle object

  EXPECT_EQ(doc->SuperClassID(obj("Line01")), kShapeSuper);
  EXPECT_EQ(doc->PointCount(obj("Line01")), 2);
  const HostObject* shapeTri = doc->ConvertToTriObject(obj("Line01"), 0);
  ASSERT_NE(shapeTri, nullptr);
  EXPECT_EQ(doc->ObjectMesh(shapeTri)->FaceCount(), 0);  // a shape converts to an empty mesh
  EXPECT_EQ(doc->SuperClassID(obj("Camera01")), 0x20u);
  EXPECT_EQ(obj("Empty"), nullptr);
  EXPECT_EQ(doc->LiveTemporaries(), 2);
}

TEST(SceneDocumentTest, MeshChannelsNormalsAndPerFaceArrays) {
  auto doc = Load(R"({"nodes": [{"name": "M", "mesh": {
      "vertices": [[0,0,0],[1,0,0],[0,1,0],[1,1,0]],
      "faces": [[0,1,2],[2,1,3]],
      "smoothingGroups": [1, "0x80000000"], "materialIds": [3, 65535],
      "maps": {"1": {"vertices": [[0,0],[1,0],[0,1],[1,1]], "faces": [[0,1,2],[2,1,3]]},
               "-2": {"vertices": [[0.5,0.5,0.5]], "faces": [[0,0,0],[0,0,0]]}},
      "normals": {"normals": [[0,0,1]], "faces": [[0,0,0]]}}}]})");
  const TriMesh* m = doc->ObjectMesh(doc->ObjectRef(doc->FindNode("M")));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->faces[1].smGroup, 0x80000000u);
  EXPECT_EQ(m->faces[1].matID, 65535);
  EXPECT_TRUE(m->MapSupport(1));
  EXPECT_TRUE(m->MapSupport(-2));
  EXPECT_FALSE(m->MapSupport(0));
  EXPECT_EQ(m->Map(1).verts[3], (Point3{1, 1, 0}));
  EXPECT_EQ(m->Map(1).faces[1].t[2], 3u);
  EXPECT_TRUE(m->hasSpecifiedNormals);
  EXPECT_FALSE(m->CheckSpecifiedNormals());  // covers one face of two
}

// ---- Materials and maps ---------------------------------------------------------------------

const char* kMaterials = R"({
  "nodes": [{"name": "M", "material": "multi"}],
  "materials": {
    "multi": {"type": "multi", "subMaterials": ["std", null, {"type": "other", "class": [99, 1], "name": "Odd",
              "maps": [null, "bmp"]}]},
    "std": {"type": "standard", "name": "Std", "transparency": 0.25, "selfIllumColor": [0.1, 0.2, 0.3],
            "selfIllum": 0.5,
            "maps": {"diffuse": "bmp", "bump": {"map": "nrm", "enabled": false}, "11": "checker"}},
    "fx": {"type": "shader", "name": "Fx",
           "paramBlocks": [[{"name": "g_Tint", "type": "frgba", "value": [1, 0.5, 0.25, 1]},
                            {"name": "count", "type": 4, "value": 3},
                            {"name": "diffuseMap", "type": "texmap", "value": "bmp"},
                            {"name": "file", "type": "bitmap", "value": "C:\\t\\x.png"}]],
           "effectFile": "C:\\fx\\shiny.fx",
           "effectBitmaps": [{"path": "C:\\t\\a.png", "channel": 2}, null],
           "usesChannels": true}
  },
  "texmaps": {
    "bmp": {"type": "bitmap", "name": "Bricks", "file": "C:\\maps\\brick.jpg", "channel": 2,
            "tiling": ["uWrap", "vMirror"], "uvTransform": {"scale": [2, 2, 1]},
            "crop": {"u": 0.5, "width": 0.5, "height": 0.5}},
    "nrm": {"type": "normalmap", "map": {"type": "bitmap", "file": "n.png"}},
    "vc": {"type": "vertexcolor"},
    "checker": {"type": "checker", "color1": [1, 0, 0], "color2": [0, 0, 1]},
    "grad": {"type": "gradient", "color1": [1, 1, 1], "color2": [0.5, 0.5, 0.5], "color3": [0, 0, 0]},
    "noise": {"type": "noise", "color1": [0, 0, 0], "color2": [1, 1, 1], "size": 0.1}
  }})";

TEST(SceneDocumentTest, MaterialsGiveSubMaterialsSlotsColoursAndParameterBlocks) {
  auto doc = Load(kMaterials);
  const HostMaterial* multi = doc->NodeMaterial(doc->FindNode("M"));
  ASSERT_EQ(doc->SubMtlCount(multi), 3);
  EXPECT_EQ(doc->MaterialClassID(multi), (ClassID{0x200, 0}));
  EXPECT_EQ(doc->SubMtl(multi, 1), nullptr);
  const HostMaterial* std = doc->SubMtl(multi, 0);
  EXPECT_EQ(std, doc->FindMaterial("std"));
  EXPECT_FLOAT_EQ(doc->Xparency(std, 0), 0.25f);
  EXPECT_FLOAT_EQ(doc->SelfIllum(std, 0), 0.5f);
  EXPECT_TRUE(doc->SelfIllumColorOn(std));
  EXPECT_EQ(doc->SelfIllumColor(std, 0), (Color{0.1f, 0.2f, 0.3f}));
  EXPECT_EQ(doc->SubTexmap(std, 1), doc->FindTexmap("bmp"));
  EXPECT_TRUE(doc->SubTexmapOn(std, 1));
  EXPECT_EQ(doc->SubTexmap(std, 8), doc->FindTexmap("nrm"));
  EXPECT_FALSE(doc->SubTexmapOn(std, 8));
  EXPECT_EQ(doc->SubTexmap(std, 11), doc->FindTexmap("checker"));
  EXPECT_FALSE(doc->HasInterface(std, {0x55b3201d, 0x29ab7fc3}));
  const HostMaterial* odd = doc->SubMtl(multi, 2);
  EXPECT_EQ(doc->MaterialClassID(odd), (ClassID{99, 1}));
  EXPECT_EQ(doc->SubTexmapCount(odd), 2);

  const HostMaterial* fx = doc->FindMaterial("fx");
  EXPECT_TRUE(doc->HasInterface(fx, {0x55b3201d, 0x29ab7fc3}));
  EXPECT_TRUE(doc->HasInterface(fx, {0x54e4202f, 0x30ab6bc4}));
  ASSERT_EQ(doc->ParamBlockCount(fx), 2);
  const HostParamBlock* b0 = doc->ParamBlock(fx, 0);
  ASSERT_EQ(doc->ParamCount(b0), 4);
  EXPECT_EQ(doc->ParamName(b0, 0), "g_Tint");
  ParamValue tint = doc->ParamAt(b0, 0, 0);
  EXPECT_EQ(tint.type, 22);
  EXPECT_FLOAT_EQ(tint.f[2], 0.25f);
  EXPECT_EQ(doc->ParamAt(b0, 1, 0).i, 3);
  EXPECT_EQ(doc->ParamAt(b0, 2, 0).map, doc->FindTexmap("bmp"));
  EXPECT_EQ(doc->ParamAt(b0, 3, 0).s, "C:\\t\\x.png");
  const HostParamBlock* b1 = doc->ParamBlock(fx, 1);
  EXPECT_EQ(doc->ParamAt(b1, 0, 0).type, 9);
  EXPECT_EQ(doc->ParamAt(b1, 0, 0).s, "C:\\fx\\shiny.fx");
  ASSERT_EQ(doc->EffectBitmapCount(fx), 2);
  EXPECT_TRUE(doc->EffectBitmapPresent(fx, 0));
  EXPECT_FALSE(doc->EffectBitmapPresent(fx, 1));
  EXPECT_EQ(doc->EffectBitmapChannel(fx, 0), 2);
  EXPECT_EQ(doc->EffectBitmapPath(fx, 0), "C:\\t\\a.png");
  EXPECT_TRUE(doc->EffectUsesChannels(fx));
}

TEST(SceneDocumentTest, BitmapMapsCarryPathChannelTilingTransformAndCropBlock) {
  auto doc = Load(kMaterials);
  const HostTexmap* bmp = doc->FindTexmap("bmp");
  EXPECT_EQ(doc->TexmapClassID(bmp), (ClassID{0x240, 0}));
  EXPECT_EQ(doc->TexmapName(bmp), "Bricks");
  EXPECT_EQ(doc->BitmapFileName(bmp), "C:\\maps\\brick.jpg");
  EXPECT_EQ(doc->MapChannel(bmp), 2);
  EXPECT_EQ(doc->TextureTiling(bmp), 1 | 8);
  EXPECT_EQ(doc->UVTransform(bmp).row[0], (Point3{2, 0, 0}));
  ASSERT_EQ(doc->TexmapParamBlockCount(bmp), 1);
  const HostParamBlock* crop = doc->TexmapParamBlock(bmp, 0);
  EXPECT_FLOAT_EQ(doc->ParamAt(crop, 0, 0).f[0], 0.5f);  // crop u
  EXPECT_FLOAT_EQ(doc->ParamAt(crop, 1, 0).f[0], 0.0f);  // crop v
  EXPECT_FLOAT_EQ(doc->ParamAt(crop, 2, 0).f[0], 0.5f);  // width
  EXPECT_FLOAT_EQ(doc->ParamAt(crop, 3, 0).f[0], 0.5f);  // height
  EXPECT_EQ(doc->ParamAt(crop, 6, 0).i, 1);              // apply
  EXPECT_EQ(doc->ParamAt(crop, 7, 0).i, 0);              // crop, not place

  const HostTexmap* nrm = doc->FindTexmap("nrm");
  EXPECT_EQ(doc->TexmapClassID(nrm), (ClassID{0x243e22c6, 0x63f6a014}));
  ASSERT_EQ(doc->TexmapSubCount(nrm), 2);
  EXPECT_EQ(doc->BitmapFileName(doc->TexmapSub(nrm, 0)), "n.png");
  const HostTexmap* vc = doc->FindTexmap("vc");
  EXPECT_EQ(doc->TexmapClassID(vc), (ClassID{0x934851, 0}));
  EXPECT_EQ(doc->MapChannel(vc), 0);
}

TEST(SceneDocumentTest, ProceduralMapsEvaluateTheirPatterns) {
  auto doc = Load(kMaterials);
  auto eval = [&](const char* id, float u, float v) {
    FixedShade sc({u, v, 0});
    return doc->EvalColor(doc->FindTexmap(id), sc);
  };
  EXPECT_EQ(eval("checker", 0.25f, 0.25f), (AColor{1, 0, 0, 1}));
  EXPECT_EQ(eval("checker", 0.75f, 0.25f), (AColor{0, 0, 1, 1}));
  EXPECT_EQ(eval("checker", 0.75f, 0.75f), (AColor{1, 0, 0, 1}));
  EXPECT_EQ(eval("checker", 1.25f, 0.25f), (AColor{1, 0, 0, 1}));  // repeats every unit
  EXPECT_EQ(eval("grad", 0.3f, 1.0f).r, 1.0f);
  EXPECT_EQ(eval("grad", 0.3f, 0.5f).r, 0.5f);
  EXPECT_EQ(eval("grad", 0.3f, 0.0f).r, 0.0f);
  EXPECT_FLOAT_EQ(eval("grad", 0.3f, 0.75f).r, 0.75f);
  // Noise stays within its colours, repeats exactly at a point, and varies across cells.
  float lo = 1, hi = 0;
  for (int i = 0; i < 50; ++i) {
    AColor c = eval("noise", float(i) * 0.037f, float(i) * 0.011f);
    lo = std::min(lo, c.r);
    hi = std::max(hi, c.r);
  }
  EXPECT_GE(lo, 0.0f);
  EXPECT_LE(hi, 1.0f);
  EXPECT_GT(hi - lo, 0.2f);
  EXPECT_EQ(eval("noise", 0.31f, 0.62f), eval("noise", 0.31f, 0.62f));
}

// ---- Errors ---------------------------------------------------------------------------------

TEST(SceneDocumentTest, MalformedJsonNamesLineAndColumn) {
  ExpectError("{\n  \"nodes\": [\n    {\"name\": tru}\n  ]\n}", "", "line 3, column");
  ExpectError("", "", "malformed JSON");
  // A number beyond double range is the parser's own error, not an escaping exception.
  ExpectError(R"({"nodes": [{"name": "A", "transform": [[1,0,0],[0,1,0],[0,0,1],[0,1e999,0]]}]})", "", "malformed JSON");
}

// Inputs the fuzzer once broke are loaded or rejected with a SceneError, nothing else.
TEST(SceneDocumentTest, KeptFuzzInputsAreLoadedOrRejected) {
  const std::filesystem::path kept = std::filesystem::path(VORN_SOURCE_DIR) / "tests/fuzz/regressions/scene_document";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kept)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
      EXPECT_NE(LoadSceneDocumentFromString(text, "."), nullptr);
    } catch (const SceneError&) {
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

TEST(SceneDocumentTest, BadValuesAreRejectedWithTheirPlace) {
  const std::string mesh = R"("mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]})";
  ExpectError(R"({"nodes": [{"name": "A"}, {"name": "B", "mesh": {"vertices": [[0,0,0]], "faces": [[0,0,0],[0,8,0]]}}]})",
              "/nodes/1/mesh/faces/1", "vertex index 8 out of range (1 vertices)");
  ExpectError(R"({"nodes": [{"name": 5}]})", "/nodes/0/name", "expected a string, found a number");
  ExpectError(R"({"nodes": [{"name": "A", "transform": [[1,0,0],[0,1,0],[0,0,1],[0,1e39,0]]}]})",
              "/nodes/0/transform/3/1", "not finite");
  ExpectError(R"({"nodes": [{"name": "A", "object": "nope"}]})", "/nodes/0/object", "no object 'nope'");
  ExpectError(R"({"nodes": [{"name": "A", "material": "m"}], "materials": {}})", "/nodes/0/material", "no entry 'm'");
  ExpectError(R"({"nodes": [{"name": "A", "parent": 2, "handle": 1}, {"name": "B", "parent": 1, "handle": 2}]})",
              "/nodes/0/parent", "cycle");
  ExpectError(R"({"nodes": [{"name": "A", "parent": "A"}]})", "/nodes/0/parent", "cycle");
  ExpectError(R"({"nodes": [{"name": "A", "handle": 3}, {"name": "B", "handle": 3}]})", "/nodes/1/handle", "used twice");
  ExpectError(R"({"nodes": [{"name": "A", "vertexes": []}]})", "/nodes/0/vertexes", "unknown key");
  ExpectError(R"({"objects": {"a": {"type": "derived", "input": "b"}, "b": {"type": "derived", "input": "a"}}})",
              "/objects/b/input", "refers to itself");
  ExpectError(R"({"objects": {"a": {"type": "mesh", "mesh": {"vertices": [[0,0,0]], "faces": [[0,0,0]],
              "maps": {"1": {"vertices": [[0,0]], "faces": []}}}}}})",
              "/objects/a/mesh/maps/1/faces", "0 map faces for 1 faces");
  ExpectError(R"({"objects": {"a": {"type": "mesh", "mesh": {"vertices": [[0,0,0]], "faces": [],
              "maps": {"100": {"vertices": [], "faces": []}}}}}})",
              "/objects/a/mesh/maps/100", "out of range (-2 to 99)");
  ExpectError(R"({"objects": {"a": {"type": "mesh", "mesh": {"vertices": [[0,0,0]], "faces": [[0,0,0,1,70000]]}}}})",
              "/objects/a/mesh/faces/0/4", "out of range");
  ExpectError(R"({"nodes": [{"name": "A", )" + mesh + R"(, "controller": {"position": {"keys": [[10,0,0,0],[10,1,1,1]]}}}]})",
              "/nodes/0/controller/position/keys/1/0", "must increase");
  ExpectError(R"({"nodes": [{"name": "A", "object": {"type": "derived", "input": {"type": "mesh", )" + mesh +
                  R"(}, "modifiers": [{"type": "skin", "bones": ["A"], "weights": [[[1, 0.5]]]}]}}]})",
              "/nodes/0/object/modifiers/0/weights/0/0/0", "bone index 1 out of range (1 bones)");
  ExpectError(R"({"nodes": [{"name": "A", "object": {"type": "derived", "input": {"type": "mesh", )" + mesh +
                  R"(}, "modifiers": [{"type": "skin", "bones": ["A"], "weights": [[[0, 1]]]}]}}]})",
              "/nodes/0/object/modifiers/0/weights", "1 point weighted, the object has 3");
  ExpectError(R"({"nodes": [{"name": "A", "object": {"type": "derived", "input": {"type": "mesh", )" + mesh +
                  R"(}, "modifiers": [{"type": "physique", "vertices": [{"rigid": "A"}, {"rigid": "A"}, {"rigid": "A"},
                  {"rigid": "A"}]}]}}]})",
              "/nodes/0/object/modifiers/0/vertices", "4 points weighted, the object has 3");
  ExpectError(R"({"nodes": [{"name": "A", "object": {"type": "derived", "input": {"type": "mesh", )" + mesh +
                  R"(}, "modifiers": [{"type": "edit", "moves": [[3, 0, 0, 1]]}]}}]})",
              "/nodes/0/object/modifiers/0/moves/0/0", "point index 3 out of range (3 points)");
  ExpectError(R"({"nodes": [{"name": "A", "object": {"type": "derived", "input": {"type": "mesh", )" + mesh +
                  R"(}, "modifiers": [{"type": "skin", "bones": ["Nobody"]}]}}]})",
              "/nodes/0/object/modifiers/0/bones/0", "no node named 'Nobody'");
  ExpectError(R"({"texmaps": {"a": {"type": "checker", "subMaps": ["a"]}}})", "/texmaps/a/subMaps/0", "contains itself");
  ExpectError(R"({"scene": {"animationRange": [100, 0]}})", "/scene/animationRange", "ends before it starts");
  ExpectError(R"({"objects": {"p": {"type": "patch", "patch": {"vertices": [[0,0,0]], "patches": [[0,0]]}}}})",
              "/objects/p/patch/patches/0", "3 or 4 corner");
  std::string many = R"({"objects": {"p": {"type": "patch", "patch": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "steps": 64,
              "patches": [)";
  for (int i = 0; i < 40000; ++i) many += std::string(i ? "," : "") + "[0,1,2]";
  ExpectError(many + "]}}}}", "/objects/p/patch", "too many");
  ExpectError(R"({"objects": {"x": {"type": "teapot"}}})", "/objects/x/type", "unknown object type 'teapot'");
}

TEST(SceneDocumentTest, DeepNestingIsRefusedAndLongParentChainsWork) {
  std::string nested = R"({"name": "leaf"})";
  for (int i = 0; i < 300; ++i) nested = R"({"name": "n", "children": [)" + nested + "]}";
  try {
    Load(R"({"nodes": [)" + nested + "]}");
    ADD_FAILURE() << "loaded a too deeply nested document";
  } catch (const SceneError& e) {
    EXPECT_NE(std::string(e.what()).find("nested more than"), std::string::npos) << e.what();
  }
  // A flat list of 20000 nodes, each the child of the one before, each 1 along X.
  std::string chain = R"({"nodes": [)";
  for (int i = 1; i <= 20000; ++i)
    chain += std::string(i > 1 ? "," : "") + R"({"name": "c", "handle": )" + std::to_string(i) +
             (i > 1 ? R"(, "parent": )" + std::to_string(i - 1) : "") + R"(, "transform": {"translation": [1, 0, 0]}})";
  auto doc = Load(chain + "]}");
  EXPECT_EQ(doc->NodeTM(doc->FindNodeByHandle(20000), 0).Translation(), (Point3{20000, 0, 0}));
  ExpectError(R"({"nodes": [{"name": "A", "handle": 1}, {"name": "B", "handle": 2, "parent": 4},
              {"name": "C", "handle": 3, "parent": 2}, {"name": "D", "handle": 4, "parent": 3}]})",
              "/nodes/1/parent", "cycle through 'B'");
}

TEST(SceneDocumentTest, FileErrorsNameTheFile) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  std::ofstream(dir / "bad.json") << R"({"nodes": [{"name": "A", "hidden": 1}]})";
  try {
    LoadSceneDocument((dir / "bad.json").string());
    ADD_FAILURE() << "loaded a bad document";
  } catch (const SceneError& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "bad.json").string() + ": /nodes/0/hidden: expected true or false, found a number");
  }
  EXPECT_THROW(LoadSceneDocument((dir / "missing.json").string()), SceneError);
  EXPECT_THROW(LoadSceneDocument(dir.string()), SceneError);
}

// ---- Sidecar buffers ------------------------------------------------------------------------

void WriteBytes(const fs::path& p, const void* data, size_t size) {
  std::ofstream out(p, std::ios::binary);
  out.write(static_cast<const char*>(data), std::streamsize(size));
}

TEST(SceneDocumentTest, SidecarBuffersLoadAndAreBoundsChecked) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  const float verts[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
  const uint32_t faces[] = {0, 1, 2, 2, 1, 3};
  const uint16_t mats[] = {4, 5};
  std::vector<char> bytes(8);  // leading bytes the offsets skip
  bytes.insert(bytes.end(), reinterpret_cast<const char*>(verts), reinterpret_cast<const char*>(verts) + sizeof verts);
  bytes.insert(bytes.end(), reinterpret_cast<const char*>(faces), reinterpret_cast<const char*>(faces) + sizeof faces);
  bytes.insert(bytes.end(), reinterpret_cast<const char*>(mats), reinterpret_cast<const char*>(mats) + sizeof mats);
  WriteBytes(dir / "mesh.bin", bytes.data(), bytes.size());
  const std::string doc = R"({"nodes": [{"name": "M", "mesh": {
      "vertices": {"buffer": "mesh.bin", "offset": 8, "count": 4, "type": "float32x3"},
      "faces": {"buffer": "mesh.bin", "offset": 56, "count": 2, "type": "uint32x3"},
      "materialIds": {"buffer": "mesh.bin", "offset": 80, "count": 2, "type": "uint16"}}}]})";
  auto loaded = Load(doc, dir.string());
  const TriMesh* m = loaded->ObjectMesh(loaded->ObjectRef(loaded->FindNode("M")));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->verts[3], (Point3{1, 1, 0}));
  EXPECT_EQ(m->faces[1].v[2], 3u);
  EXPECT_EQ(m->faces[1].matID, 5);

  // The same file cut short, a wrong element type, a bad index and a missing file.
  WriteBytes(dir / "short.bin", bytes.data(), 60);
  std::string shortDoc = doc;
  for (size_t at; (at = shortDoc.find("mesh.bin")) != std::string::npos;) shortDoc.replace(at, 8, "short.bin");
  ExpectError(shortDoc, "/nodes/0/mesh/faces", "is truncated: 24 bytes needed from offset 56, the file has 60", dir.string());
  ExpectError(R"({"nodes": [{"name": "M", "mesh": {"vertices": {"buffer": "mesh.bin", "count": 4, "type": "uint32x3"},
              "faces": []}}]})", "/nodes/0/mesh/vertices/type", "does not fit", dir.string());
  ExpectError(R"({"nodes": [{"name": "M", "mesh": {"vertices": [[0,0,0]],
              "faces": {"buffer": "mesh.bin", "offset": 56, "count": 2, "type": "uint32x3"}}}]})",
              "/nodes/0/mesh/faces/0", "vertex index 1 out of range (1 vertices)", dir.string());
  ExpectError(R"({"nodes": [{"name": "M", "mesh": {"vertices": {"buffer": "none.bin", "count": 1, "type": "float32x3"},
              "faces": []}}]})", "/nodes/0/mesh/vertices/buffer", "cannot open buffer file 'none.bin'", dir.string());
  ExpectError(R"({"nodes": [{"name": "M", "mesh": {"vertices": {"buffer": "mesh.bin", "count": 4000000000, "type": "float32x3"},
              "faces": []}}]})", "/nodes/0/mesh/vertices/count", "too large", dir.string());
  // A folder or a pipe is refused, not read (a pipe with no writer would never end).
  ASSERT_EQ(::mkfifo((dir / "pipe.bin").c_str(), 0600), 0);
  for (const char* name : {"pipe.bin", "."})
    ExpectError(R"({"nodes": [{"name": "M", "mesh": {"vertices": {"buffer": ")" + std::string(name) +
                    R"(", "count": 1, "type": "float32x3"}, "faces": []}}]})",
                "/nodes/0/mesh/vertices/buffer", "is not a file", dir.string());
  const float nan[3] = {0, std::nanf(""), 0};
  WriteBytes(dir / "nan.bin", nan, sizeof nan);
  ExpectError(R"({"nodes": [{"name": "M", "mesh": {"vertices": {"buffer": "nan.bin", "count": 1, "type": "float32x3"},
              "faces": []}}]})", "/nodes/0/mesh/vertices/0", "not finite", dir.string());
}

// A bake from a buffer is the inline bake: twelve floats a sample, the rows in order.
TEST(SceneDocumentTest, BakedSamplesFromABufferAreTheInlineSamples) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  const float rows[2][12] = {{0, 1, 0, -1, 0, 0, 0, 0, 1, 5, 6, 7}, {2, 0, 0, 0, 2, 0, 0, 0, 2, -1, 0.5f, 0}};
  WriteBytes(dir / "bake.bin", rows, sizeof rows);
  auto inline_ = Load(R"({"nodes": [{"name": "P", "transform": {"translation": [0, 0, 3]}, "children": [{"name": "S",
      "samples": {"step": 10, "matrices": [[0, 1, 0, -1, 0, 0, 0, 0, 1, 5, 6, 7], [2, 0, 0, 0, 2, 0, 0, 0, 2, -1, 0.5, 0]]}}]}]})");
  const std::string buffered = R"({"nodes": [{"name": "P", "transform": {"translation": [0, 0, 3]}, "children": [{"name": "S",
      "samples": {"step": 10, "matrices": {"buffer": "bake.bin", "count": 2, "type": "float32x12"}}}]}]})";
  auto fromBuffer = Load(buffered, dir.string());
  for (TimeValue t : {0, 9, 10, 25}) {
    const Matrix3 a = inline_->NodeTM(inline_->FindNode("S"), t), b = fromBuffer->NodeTM(fromBuffer->FindNode("S"), t);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(a.row[r], b.row[r]) << "time " << t << " row " << r;
  }
  EXPECT_EQ(fromBuffer->NodeTM(fromBuffer->FindNode("S"), 10).Translation(), (Point3{-1, 0.5f, 3}));
  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = buffered;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  ExpectError(with("float32x12", "float32x3"), "/nodes/0/children/0/samples/matrices/type", "does not fit", dir.string());
  ExpectError(with("\"count\": 2", "\"count\": 0"), "/nodes/0/children/0/samples/matrices", "at least one sample",
              dir.string());
  ExpectError(with("\"count\": 2", "\"count\": 3"), "/nodes/0/children/0/samples/matrices", "is truncated", dir.string());
  const float nan[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, std::nanf(""), 0, 0};
  WriteBytes(dir / "nan.bin", nan, sizeof nan);
  ExpectError(with("\"bake.bin\", \"count\": 2", "\"nan.bin\", \"count\": 1"), "/nodes/0/children/0/samples/matrices/0",
              "not finite", dir.string());
}

// Narrow elements are converted a staging chunk at a time: every element, whichever chunk it
// falls in, must land in its own place, and an error must name the element's own index.
TEST(SceneDocumentTest, SidecarArraysLargerThanOneReadArriveWhole) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  constexpr size_t kVerts = 30001, kFaces = 30000;
  std::vector<float> xyz(kVerts * 3, 0.0f), uv(kVerts * 2);
  for (size_t i = 0; i < kVerts; ++i) xyz[3 * i] = uv[2 * i] = float(i), uv[2 * i + 1] = -float(i);
  std::vector<uint16_t> faces(kFaces * 3);
  for (size_t f = 0; f < kFaces; ++f) faces[3 * f] = uint16_t(f), faces[3 * f + 1] = uint16_t(f + 1), faces[3 * f + 2] = uint16_t(f);
  std::vector<char> bytes(xyz.size() * 4 + uv.size() * 4 + faces.size() * 2);
  std::memcpy(bytes.data(), xyz.data(), xyz.size() * 4);
  std::memcpy(bytes.data() + xyz.size() * 4, uv.data(), uv.size() * 4);
  std::memcpy(bytes.data() + (xyz.size() + uv.size()) * 4, faces.data(), faces.size() * 2);
  WriteBytes(dir / "big.bin", bytes.data(), bytes.size());
  const std::string faceArray = R"({"buffer": "big.bin", "offset": )" + std::to_string((xyz.size() + uv.size()) * 4) +
                                R"(, "count": 30000, "type": "uint16x3"})";
  auto doc = [&](size_t uvs, size_t second) {
    return R"({"nodes": [{"name": "M", "mesh": {
      "vertices": {"buffer": "big.bin", "count": 30001, "type": "float32x3"}, "faces": )" + faceArray + R"(,
      "maps": {"1": {"vertices": {"buffer": "big.bin", "offset": )" + std::to_string(xyz.size() * 4) +
           R"(, "count": )" + std::to_string(uvs) + R"(, "type": "float32x2"}, "faces": )" + faceArray + R"(},
      "2": {"vertices": {"buffer": "big.bin", "count": )" + std::to_string(second) + R"(, "type": "float32x3"}, "faces": )" +
           faceArray + "}}}}]}";
  };
  auto loaded = Load(doc(kVerts, kVerts), dir.string());
  const TriMesh* m = loaded->ObjectMesh(loaded->ObjectRef(loaded->FindNode("M")));
  ASSERT_NE(m, nullptr);
  const MapChannel& map = m->Map(1);
  ASSERT_EQ(map.verts.size(), kVerts);
  ASSERT_EQ(m->faces.size(), kFaces);
  ASSERT_EQ(map.faces.size(), kFaces);
  size_t wrong = 0;
  for (size_t i = 0; i < kVerts; ++i) wrong += !(map.verts[i] == Point3{float(i), -float(i), 0});
  for (size_t f = 0; f < kFaces; ++f)
    wrong += m->faces[f].v[0] != f || m->faces[f].v[1] != f + 1 || map.faces[f].t[2] != f;
  EXPECT_EQ(wrong, 0u);
  // Both channels name the same faces: one array serves them.
  EXPECT_TRUE(m->Map(2).faces.SharesWith(map.faces));
  // A shared array is still checked against each channel's own vertex count.
  ExpectError(doc(kVerts - 1, kVerts), "/nodes/0/mesh/maps/1/faces/29999", "index 30000 out of range", dir.string());
  ExpectError(doc(kVerts, kVerts - 1), "/nodes/0/mesh/maps/2/faces/29999", "index 30000 out of range", dir.string());
}

// ---- Host services --------------------------------------------------------------------------

TEST(SceneDocumentTest, BitmapOutputWritesAnImageWithRowZeroAtTheTop) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  auto doc = Load("{}");
  const std::string path = (dir / "out.bmp").string();
  HostBitmap* bm = doc->CreateBitmap(path, 4, 3);
  ASSERT_NE(bm, nullptr);
  std::vector<AColor> red(4, AColor{1, 0, 0, 1}), blue(4, AColor{0, 0, 1, 1}), grey(4, AColor{0.5f, 0.5f, 0.5f, 1});
  EXPECT_TRUE(doc->PutPixels(bm, 0, 0, 4, red.data()));
  EXPECT_TRUE(doc->PutPixels(bm, 0, 1, 4, grey.data()));
  EXPECT_TRUE(doc->PutPixels(bm, 0, 2, 4, blue.data()));
  EXPECT_FALSE(doc->PutPixels(bm, 2, 0, 4, red.data()));  // past the row's end
  EXPECT_FALSE(doc->PutPixels(bm, 0, 3, 1, red.data()));
  ASSERT_TRUE(doc->WriteBitmap(bm));
  doc->CloseBitmap(bm);
  EXPECT_FALSE(fs::exists(path + ".tmp"));

  int w = 0, h = 0, n = 0;
  unsigned char* px = stbi_load(path.c_str(), &w, &h, &n, 3);
  ASSERT_NE(px, nullptr);
  EXPECT_EQ(w, 4);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(px[0], 255);
  EXPECT_EQ(px[2], 0);
  EXPECT_EQ(px[4 * 3 + 0], 128);
  EXPECT_EQ(px[2 * 4 * 3 + 2], 255);
  EXPECT_EQ(px[2 * 4 * 3 + 0], 0);
  stbi_image_free(px);

  EXPECT_EQ(doc->CreateBitmap(path, 0, 10), nullptr);
  HostBitmap* nowhere = doc->CreateBitmap((dir / "no" / "such" / "x.bmp").string(), 2, 2);
  EXPECT_FALSE(doc->WriteBitmap(nowhere));
  doc->CloseBitmap(nowhere);
}

TEST(SceneDocumentTest, MessagesAndProgressReachTheSinks) {
  auto doc = Load("{}");
  std::vector<std::string> seen;
  doc->SetMessageSink([&](const std::string& caption, const std::string& text, int icon) {
    seen.push_back(caption + "|" + text + "|" + std::to_string(icon));
  });
  std::vector<int> progress;
  doc->SetProgressSink([&](ProgressEvent e, int percent, const std::string&) {
    progress.push_back(int(e) * 1000 + percent);
  });
  doc->MessageBox("Not valid", "Error Material", 1, false);
  doc->ProgressStart("Exporting", true);
  doc->ProgressUpdate(40, true, "");
  doc->ProgressEnd();
  doc->ExportStartNotify(2);
  ASSERT_EQ(doc->Messages().size(), 1u);
  EXPECT_EQ(doc->Messages()[0].caption, "Error Material");
  EXPECT_EQ(doc->Messages()[0].text, "Not valid");
  EXPECT_EQ(seen, std::vector<std::string>{"Error Material|Not valid|1"});
  EXPECT_EQ(progress, (std::vector<int>{0, 1040, 2100}));
  EXPECT_EQ(doc->ExportStartCode(), 2);
}

TEST(SceneDocumentTest, AbsentHandlesGetEmptyAnswers) {
  auto doc = Load("{}");
  EXPECT_EQ(doc->ChildCount(doc->RootNode()), 0);
  EXPECT_EQ(doc->NodeName(nullptr), "");
  EXPECT_EQ(doc->ObjectRef(nullptr), nullptr);
  EXPECT_TRUE(doc->NodeTM(nullptr, 0).IsIdentity());
  EXPECT_EQ(doc->Eval(nullptr, 0), nullptr);
  EXPECT_EQ(doc->PointCount(nullptr), 0);
  EXPECT_FALSE(doc->CanConvertTo(nullptr, kTriObjectClass));
  EXPECT_EQ(doc->ConvertToTriObject(nullptr, 0), nullptr);
  EXPECT_EQ(doc->KeyCount(nullptr), 0);
  EXPECT_EQ(doc->SubMtl(nullptr, 0), nullptr);
  EXPECT_EQ(doc->TexmapSub(nullptr, 0), nullptr);
  EXPECT_EQ(doc->ParamAt(nullptr, 0, 0).type, 0);
  EXPECT_FALSE(doc->PutPixels(nullptr, 0, 0, 1, nullptr));
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// A million-face grid from sidecar buffers, map channel sharing the face buffer.
TEST(SceneDocumentTest, MillionFaceSidecarMeshLoads) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  const uint32_t side = 708, n = side + 1;
  std::vector<float> verts;
  verts.reserve(size_t(n) * n * 3);
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) verts.insert(verts.end(), {float(x), float(y), 0.0f});
  std::vector<uint32_t> faces;
  faces.reserve(size_t(side) * side * 6);
  for (uint32_t y = 0; y < side; ++y)
    for (uint32_t x = 0; x < side; ++x) {
      uint32_t a = y * n + x, b = a + 1, c = a + n, d = c + 1;
      faces.insert(faces.end(), {a, b, d, d, c, a});
    }
  WriteBytes(dir / "grid.bin", verts.data(), verts.size() * 4);
  WriteBytes(dir / "grid_faces.bin", faces.data(), faces.size() * 4);
  const size_t nv = verts.size() / 3, nf = faces.size() / 3;
  const std::string doc = R"({"nodes": [{"name": "Grid", "mesh": {
      "vertices": {"buffer": "grid.bin", "count": )" + std::to_string(nv) + R"(, "type": "float32x3"},
      "faces": {"buffer": "grid_faces.bin", "count": )" + std::to_string(nf) + R"(, "type": "uint32x3"},
      "maps": {"1": {"vertices": {"buffer": "grid.bin", "count": )" + std::to_string(nv) + R"(, "type": "float32x3"},
                     "faces": {"buffer": "grid_faces.bin", "count": )" + std::to_string(nf) + R"(, "type": "uint32x3"}}}}}]})";
  std::ofstream(dir / "grid.json") << doc;

  auto loaded = LoadSceneDocument((dir / "grid.json").string());
  const TriMesh* m = loaded->ObjectMesh(loaded->ObjectRef(loaded->FindNode("Grid")));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(size_t(m->FaceCount()), nf);
  EXPECT_GE(m->FaceCount(), 1000000);
  EXPECT_EQ(m->faces.back().v[2], faces.back());
  EXPECT_EQ(m->Map(1).faces.size(), nf);
}

}  // namespace
}  // namespace vorn
