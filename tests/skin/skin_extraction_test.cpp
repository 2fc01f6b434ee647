#include "skin/skin_extraction.h"

#include "skin_fixture.h"

namespace vorn {
namespace {

using testing::SkinnedDoc;

const char* kTri = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]})";

class Extraction : public testing::SkinScene {
 protected:
  // Skins the triangle with the given weights of its three points and returns the point skin.
  const XSkinInfo* Skin(const std::string& weights, const std::string& ini = "", const std::string& extra = "") {
    Build(SkinnedDoc(kTri, weights, extra), ini);
    node_ = Skinned("M");
    if (!node_ || !node_->skinData) return nullptr;
    return node_->skinData.get();
  }
  XRenderableNode* node_ = nullptr;
};

TEST_F(Extraction, WeightsSumAndAreCappedAtOne) {
  const XSkinInfo* s = Skin("[[[0, 0.7], [0, 0.6]], [[0, 0.25], [1, 0.5]], [[1, 0.4], [2, 0.0], [-1, 0.5]]]",
                            "SkinFix=0\n");
  ASSERT_TRUE(s);
  EXPECT_TRUE(node_->hasSkin);
  EXPECT_FLOAT_EQ(At(*s, 1, 0).weight, 1.0f) << "0.7 + 0.6 is cut to 1";
  EXPECT_FLOAT_EQ(At(*s, 1, 1).weight, 0.25f);
  EXPECT_FLOAT_EQ(At(*s, 2, 1).weight, 0.5f);
  EXPECT_FALSE(At(*s, 1, 2).assigned);
  EXPECT_FLOAT_EQ(At(*s, 2, 2).weight, 0.4f);
  EXPECT_EQ(s->bones.count(3), 0u) << "a zero weight makes no record";
  EXPECT_EQ(s->bones.size(), 2u);
  // Points and vertices are the same list, so the vertex skin is the point skin itself.
  EXPECT_EQ(node_->vertexSkinData, node_->skinData);
}

TEST_F(Extraction, WeightFixWithPrecisionTenAndOne) {
  const std::string w = "[[[0, 0.5], [1, 0.3]], [[0, 0.5], [1, 0.45]], [[2, 1.0]]]";
  const XSkinInfo* s = Skin(w, "SkinFix=1\nPrecision=10\n");
  ASSERT_TRUE(s);
  EXPECT_FLOAT_EQ(At(*s, 1, 0).weight, 0.6f);
  EXPECT_FLOAT_EQ(At(*s, 2, 0).weight, 0.4f);
  EXPECT_FLOAT_EQ(At(*s, 3, 2).weight, 1.0f);

  s = Skin(w, "SkinFix=1\nPrecision=1\n");
  ASSERT_TRUE(s);
  EXPECT_FLOAT_EQ(At(*s, 1, 0).weight, 0.5f) << "0.2 missing is more than 0.1";
  EXPECT_FLOAT_EQ(At(*s, 2, 0).weight, 0.3f);
  EXPECT_FLOAT_EQ(At(*s, 1, 1).weight, 0.525f);
  EXPECT_FLOAT_EQ(At(*s, 2, 1).weight, 0.475f);

  s = Skin(w, "SkinFix=0\nPrecision=10\n");
  ASSERT_TRUE(s);
  EXPECT_FLOAT_EQ(At(*s, 1, 0).weight, 0.5f);
  s = Skin(w, "SkinFix=1\nPrecision=0\n");
  ASSERT_TRUE(s);
  EXPECT_FLOAT_EQ(At(*s, 2, 1).weight, 0.45f);
}

TEST_F(Extraction, BoneTableFollowsHandlesAndNamesTheTreeNodes) {
  Build(R"({"nodes": [
      {"name": "9th", "handle": 9, "object": {"type": "dummy"}},
      {"name": "Second", "handle": 2, "object": {"type": "dummy"}},
      {"name": "M", "handle": 5, "object": {"type": "derived", "input": {"type": "mesh", "mesh": )" +
            std::string(kTri) + R"(}, "modifiers": [{"type": "skin", "bones": [9, 2],
        "weights": [[[0, 1.0]], [[1, 1.0]], [[0, 0.5], [1, 0.5]]]}]}}]})");
  XRenderableNode* n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  ASSERT_EQ(n->skinData->bones.size(), 2u);
  auto it = n->skinData->bones.begin();
  EXPECT_EQ(it->first, 2u);
  EXPECT_EQ(it->second.name, "Second");
  ++it;
  EXPECT_EQ(it->first, 9u);
  EXPECT_EQ(it->second.name, "_9th") << "the tree node's cleaned name";
  EXPECT_EQ(it->second.weights.size(), 3u) << "one entry per object point";
}

TEST_F(Extraction, OffsetsWithAndWithoutWorldSpace) {
  const std::string extra = R"(, "nodeInitTM": {"translation": [0, 0, 5]})";
  const std::string w = "[[[0, 1.0]], [[1, 1.0]], [[1, 1.0]]]";
  const XSkinInfo* s = Skin(w, "WorldSpace=0\n", extra);
  ASSERT_TRUE(s);
  // Bone 1 sits at (10, 0, 0): the offset takes the node's initial space into the bone's.
  EXPECT_TRUE(Equals(s->bones.at(1).offset, TransMatrix({-10, 0, 5}), 1e-6f));
  EXPECT_TRUE(Equals(s->bones.at(2).offset, TransMatrix({-20, 0, 5}), 1e-6f));
  s = Skin(w, "WorldSpace=1\n", extra);
  ASSERT_TRUE(s);
  EXPECT_TRUE(Equals(s->bones.at(1).offset, TransMatrix({-10, 0, 0}), 1e-6f));
  EXPECT_TRUE(Equals(s->bones.at(2).offset, TransMatrix({-20, 0, 0}), 1e-6f));
}

TEST_F(Extraction, MirroredInitialTransformsAreCleanedFirst) {
  // A bone mirrored in X: its offset is the inverse of the same transform without mirroring.
  const std::string doc = R"({"nodes": [{"name": "b", "handle": 1, "object": {"type": "dummy"}},
      {"name": "M", "handle": 2, "object": {"type": "derived", "input": {"type": "mesh", "mesh": )" +
                          std::string(kTri) + R"(}, "modifiers": [{"type": "skin",
        "bones": [{"node": 1, "initTM": {"scale": [-1, 1, 1], "translation": [3, 0, 0]}}],
        "weights": [[[0, 1.0]], [[0, 1.0]], [[0, 1.0]]]}]}}]})";
  Build(doc, "WorldSpace=1\n");
  XRenderableNode* n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  const Matrix3 init = ScaleMatrix({-1, 1, 1}) * TransMatrix({3, 0, 0});
  const Matrix3& offset = n->skinData->bones.at(1).offset;
  EXPECT_TRUE(Equals(offset, Inverse(RemoveMirroring(init)), 1e-5f));
  EXPECT_GT(offset.Determinant(), 0.0f);
}

TEST_F(Extraction, DisabledSkinIsPassedOverForTheNextModifier) {
  auto doc = [](const std::string& second) {
    return R"({"nodes": [{"name": "A", "handle": 1, "object": {"type": "dummy"}},
        {"name": "B", "handle": 2, "object": {"type": "dummy"}},
        {"name": "M", "handle": 3, "object": {"type": "derived", "input": {"type": "derived",
          "input": {"type": "mesh", "mesh": )" +
           std::string(kTri) + R"(}, "modifiers": [)" + second + R"(]},
          "modifiers": [{"type": "skin", "enabled": false, "bones": [1],
                         "weights": [[[0, 1.0]], [[0, 1.0]], [[0, 1.0]]]}]}}]})";
  };
  Build(doc(R"({"type": "skin", "bones": [2], "weights": [[[0, 0.5]], [[0, 1.0]], [[0, 1.0]]]})"), "SkinFix=0\n");
  XRenderableNode* n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  ASSERT_EQ(n->skinData->bones.size(), 1u);
  EXPECT_FLOAT_EQ(At(*n->skinData, 2, 0).weight, 0.5f) << "the enabled skin further down";

  Build(doc(R"({"type": "physique", "bones": [], "vertices": [{"rigid": "B"}, {"rigid": "B"},
            {"rigid": "B"}]})"));
  n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  ASSERT_EQ(n->skinData->bones.size(), 1u);
  EXPECT_EQ(n->skinData->bones.begin()->first, 2u) << "no enabled skin: physique";

  Build(doc(R"({"type": "xform", "matrix": {"translation": [0, 0, 0]}})"));
  n = Skinned("M");
  ASSERT_TRUE(n);
  EXPECT_FALSE(n->hasSkin);
  EXPECT_FALSE(n->skinData);
}

TEST_F(Extraction, SkinOffMakesNoSkinRecord) {
  ASSERT_FALSE(Skin("[[[0, 1.0]], [[1, 1.0]], [[1, 1.0]]]", "Skin=0\n"));
  ASSERT_TRUE(node_);
  EXPECT_FALSE(node_->hasSkin);
  EXPECT_FALSE(node_->vertexSkinData);
}

TEST_F(Extraction, PhysiqueRigidAndBlendedVertices) {
  auto doc = [](const std::string& vertices) {
    return R"({"nodes": [{"name": "A", "handle": 1, "object": {"type": "dummy"}},
        {"name": "B", "handle": 2, "object": {"type": "dummy"}},
        {"name": "M", "handle": 3, "object": {"type": "derived", "input": {"type": "mesh", "mesh": )" +
           std::string(kTri) + R"(}, "modifiers": [{"type": "physique", "nodeInitTM": {"translation": [0, 0, 2]},
          "bones": [{"node": "A", "initTM": {"translation": [1, 0, 0]}}],
          "vertices": )" + vertices + "}]}}]}";
  };
  const std::string v = R"([{"rigid": "A"}, {"blended": [["A", 0.6], ["B", 0.0]]}, {"type": 2}])";
  Build(doc(v), "SkinFix=1\nPrecision=10\n");
  XRenderableNode* n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  const XSkinInfo& s = *n->skinData;
  EXPECT_FLOAT_EQ(At(s, 1, 0).weight, 1.0f);
  EXPECT_FALSE(At(s, 2, 0).assigned);
  // The zero weight is kept while the fix is on, so the fix spreads 0.4 over both bones.
  EXPECT_FLOAT_EQ(At(s, 1, 1).weight, 0.8f);
  EXPECT_TRUE(At(s, 2, 1).assigned);
  EXPECT_FLOAT_EQ(At(s, 2, 1).weight, 0.2f);
  EXPECT_FALSE(At(s, 1, 2).assigned) << "a vertex of another type binds nothing";
  EXPECT_TRUE(Equals(s.bones.at(1).offset, TransMatrix({-1, 0, 2}), 1e-6f));
  EXPECT_TRUE(Equals(s.bones.at(2).offset, TransMatrix({0, 0, 2}), 1e-6f)) << "no saved matrix: identity";

  Build(doc(v), "SkinFix=0\n");
  n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  EXPECT_FLOAT_EQ(At(*n->skinData, 1, 1).weight, 0.6f);
  EXPECT_FALSE(At(*n->skinData, 2, 1).assigned) << "dropped without the fix";
  EXPECT_EQ(n->skinData->bones.count(2), 0u);
}

TEST_F(Extraction, PointsThatDifferFromTheMeshAreRemapped) {
  // The object's three points carry the weights; the mesh adds a vertex inside them.
  const std::string mesh = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0],[0.25,0.25,0]],
      "faces": [[0,1,3],[1,2,3],[2,0,3]]})";
  Build(testing::SkinnedDoc(mesh, "[[[0, 1.0]], [[1, 1.0]], [[2, 1.0]]]", "", 3,
                            R"(, "points": [[0,0,0],[1,0,0],[0,1,0]])"));
  XRenderableNode* n = Skinned("M");
  ASSERT_TRUE(n && n->hasSkin);
  ASSERT_TRUE(n->pointsDiffer);
  ASSERT_NE(n->vertexSkinData, n->skinData);
  EXPECT_EQ(n->skinData->bones.at(1).weights.size(), 3u) << "per object point";
  const XSkinInfo& v = *n->vertexSkinData;
  EXPECT_EQ(v.bones.at(1).weights.size(), 4u) << "per mesh vertex";
  EXPECT_FLOAT_EQ(At(v, 1, 0).weight, 1.0f);
  EXPECT_FLOAT_EQ(At(v, 1, 3).weight, 0.5f);
  EXPECT_FLOAT_EQ(At(v, 2, 3).weight, 0.25f);
  EXPECT_FLOAT_EQ(At(v, 3, 3).weight, 0.25f);
  EXPECT_EQ(v.maxWeightsPerVertex, 3);
  EXPECT_EQ(v.maxWeightsPerFace, 3);
  EXPECT_EQ(v.boneCount, 3);
}

TEST(FixWeights, OnlyAssignedEntriesShareTheMissingPart) {
  XRenderableNode n;
  n.skinData = std::make_shared<XSkinInfo>();
  auto& a = n.skinData->bones[1].weights;
  auto& b = n.skinData->bones[2].weights;
  a = {{0.5f, true}, {1.0f, true}, {0.0f, false}, {0.7f, true}};
  b = {{0.0f, false}, {0.5f, true}, {0.0f, false}, {0.2f, true}};
  FixWeights(n, 3, 5.0f);  // the threshold is capped at 1; the last point is beyond n
  EXPECT_FLOAT_EQ(a[0].weight, 1.0f);
  EXPECT_FALSE(b[0].assigned);
  EXPECT_FLOAT_EQ(a[1].weight, 1.0f) << "a sum above 1 is left alone";
  EXPECT_FLOAT_EQ(b[1].weight, 0.5f);
  EXPECT_FALSE(a[2].assigned);
  EXPECT_FLOAT_EQ(a[3].weight, 0.7f);
  FixWeights(n, 4, 0.0f);
  EXPECT_FLOAT_EQ(a[3].weight, 0.7f) << "no threshold, no fix";
}

}  // namespace
}  // namespace vorn
