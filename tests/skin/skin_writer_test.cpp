#include "xfile/skin_writer.h"

#include "export/driver.h"
#include "host/scene_document.h"
#include "skin/skin_remap.h"
#include "skin_fixture.h"
#include "xfile/frame_writer.h"
#include "xformat/template_ids.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

using testing::MakeHandNode;
using W = std::vector<std::vector<std::pair<uint32_t, float>>>;

// Keeps what the writer hands over.
class RecordingSink : public XFileSink {
 public:
  struct Object {
    Guid id;
    std::vector<uint8_t> bytes;
  };
  bool AddTemplates(const void*, size_t) override { return true; }
  bool Open(const std::string&, XFileFormat) override { return true; }
  XObjectHandle AddObject(XObjectHandle, const Guid& id, const char*, const void* data, size_t size) override {
    const auto* b = static_cast<const uint8_t*>(data);
    objects.push_back({id, {b, b + size}});
    return {static_cast<uint32_t>(objects.size())};
  }
  bool AddReference(XObjectHandle, const char*) override { return true; }
  bool Save() override { return true; }
  void Release(XObjectHandle) override {}
  std::vector<Object> objects;
};

// A SkinWeights object's fields, read back from its bytes.
struct Weights {
  std::string name;
  std::vector<uint32_t> indices;
  std::vector<float> weights;
  float matrix[16];
  size_t size = 0;
};
Weights Parse(const std::vector<uint8_t>& b) {
  Weights w;
  w.size = b.size();
  const char* at = reinterpret_cast<const char*>(b.data());
  w.name = at;
  size_t o = w.name.size() + 1;
  uint32_t n;
  std::memcpy(&n, b.data() + o, 4);
  o += 4;
  w.indices.resize(n);
  w.weights.resize(n);
  if (n > 0) {  // an empty vector's data() may be null, which memcpy may not be given
    std::memcpy(w.indices.data(), b.data() + o, 4 * size_t{n});
    std::memcpy(w.weights.data(), b.data() + o + 4 * size_t{n}, 4 * size_t{n});
  }
  o += 8 * size_t{n};
  std::memcpy(w.matrix, b.data() + o, 64);
  return w;
}

class SkinWriterUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    // Vertices 0 and 1 share position 0 (a split corner); position 2 is used by no vertex.
    h_ = MakeHandNode(host_.get(), {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, W{{{5, 0.25f}, {2, 1.0f}}, {{5, 0.75f}}, {{9, 1.0f}}},
                      {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    XMeshData& d = *h_.node->meshData;
    d.vertices = {{0, 0, {}, {}}, {0, 1, {}, {}}, {1, 0, {}, {}}};
    d.faces = {{0, 1, 2, 0}};
    h_.node->vertexSkinData = h_.node->skinData;
    h_.node->hasSkin = 1;
    h_.node->skinData->bones.at(5).name = "1st";
    h_.node->skinData->bones.at(5).offset = TransMatrix({1, 2, 3});
    h_.node->skinData->bones.at(9).name = "";
    h_.ctx->xfileSink = &sink_;
    ComputeSkinHeader(*h_.ctx, *h_.node);
  }
  std::unique_ptr<SceneDocument> host_ = LoadSceneDocumentFromString("{}");
  testing::HandNode h_;
  RecordingSink sink_;
};

TEST_F(SkinWriterUnit, HeaderThenOneWeightListPerBoneInTableOrder) {
  h_.ctx->conversion = SetupCoordinateConversion(1.0f, 1, 0.0f, 0.0f);
  h_.node->vertexSkinData->boneCount = 7;  // written as held, not recounted
  WriteSkin(*h_.ctx, {1}, *h_.node);
  ASSERT_EQ(sink_.objects.size(), 4u);
  EXPECT_EQ(sink_.objects[0].id, kXSkinMeshHeaderGuid);
  ASSERT_EQ(sink_.objects[0].bytes.size(), 6u);
  uint16_t header[3];
  std::memcpy(header, sink_.objects[0].bytes.data(), 6);
  EXPECT_EQ(header[0], 2);
  EXPECT_EQ(header[1], 2) << "bone 9 only influences a position no vertex uses";
  EXPECT_EQ(header[2], 7);

  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(sink_.objects[i].id, kSkinWeightsGuid);
  const Weights b2 = Parse(sink_.objects[1].bytes), b5 = Parse(sink_.objects[2].bytes), b9 = Parse(sink_.objects[3].bytes);
  EXPECT_EQ(b2.name, "bone2");
  EXPECT_EQ(b2.indices, (std::vector<uint32_t>{0, 1})) << "both vertices of the split position";
  EXPECT_EQ(b2.weights, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(b5.name, "_1st") << "cleaned once more";
  EXPECT_EQ(b5.indices, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(b5.weights, (std::vector<float>{0.25f, 0.25f, 0.75f}));
  EXPECT_EQ(b5.size, 4 + 8 * 3 + 69u);
  EXPECT_EQ(b9.name, "") << "no node in the tree";
  EXPECT_TRUE(b9.indices.empty()) << "a bone of no exported vertex still gets its list";
  EXPECT_EQ(b9.size, 69u);

  float expected[16];
  ToMatrix4x4(h_.ctx->conversion.Convert(TransMatrix({1, 2, 3})), expected);
  for (int k = 0; k < 16; ++k) EXPECT_FLOAT_EQ(b5.matrix[k], expected[k]) << k;
  // The offset is in the file's axes, not the host's.
  EXPECT_FLOAT_EQ(b5.matrix[13], 3.0f);
  EXPECT_NEAR(std::fabs(b5.matrix[14]), 2.0f, 1e-5f);
}

TEST_F(SkinWriterUnit, BonesAndBoneKindsGetNoSkinObjects) {
  h_.node->isBone = 1;
  WriteSkin(*h_.ctx, {1}, *h_.node);
  EXPECT_TRUE(sink_.objects.empty());
  h_.node->isBone = 0;
  h_.node->kind = 3;
  WriteSkin(*h_.ctx, {1}, *h_.node);
  EXPECT_TRUE(sink_.objects.empty());
  h_.node->kind = kKindMesh;
  h_.node->hasSkin = 0;
  WriteSkin(*h_.ctx, {1}, *h_.node);
  EXPECT_TRUE(sink_.objects.empty());
}

// Whole exports read back: the skin objects under the mesh.
class SkinExport : public testing::SpineTest {
 protected:
  std::vector<Weights> Export(const std::string& json, const std::string& ini, std::vector<uint16_t>* header = nullptr) {
    WriteSettings("[Option]\nXFileType=1\n" + ini);
    auto doc = Load(json);
    const std::string out = Dir() + "/skin.x";
    std::filesystem::remove(out);
    XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
    XFileTree tree;
    std::string error;
    std::vector<Weights> found;
    if (!ReadXFileFromPath(out, XReadOptions{}, &tree, &error)) {
      ADD_FAILURE() << error;
      return found;
    }
    for (const XTreeObject& o : tree.objects) {
      const XTemplate* t = tree.TemplateOf(o);
      if (!t) continue;
      auto bytes = tree.Data(o);
      if (t->name == "SkinWeights") found.push_back(Parse({bytes.begin(), bytes.end()}));
      if (t->name == "XSkinMeshHeader" && header) {
        header->resize(3);
        std::memcpy(header->data(), bytes.data(), 6);
      }
    }
    return found;
  }
};

TEST_F(SkinExport, NamesFollowTheBoneFrames) {
  const std::string doc = R"({"nodes": [
      {"name": "2nd bone", "handle": 1, "object": {"type": "dummy"}},
      {"name": "Hidden", "handle": 2, "object": {"type": "geometry", "class": ["0x1020", 0]}},
      {"name": "M", "handle": 3, "object": {"type": "derived", "input": {"type": "mesh",
        "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0],[9,9,9]], "faces": [[0,1,2]]}},
        "modifiers": [{"type": "skin", "bones": [1, 2],
          "weights": [[[0, 1.0]], [[0, 1.0]], [[0, 1.0]], [[1, 1.0]]]}]}}]})";
  std::vector<uint16_t> header;
  const auto w = Export(doc, "Dummy=1\n", &header);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].name, "_2nd_bone");
  EXPECT_EQ(w[0].indices.size(), 3u);
  EXPECT_EQ(w[1].name, "") << "the bone's node is not in the tree";
  EXPECT_TRUE(w[1].indices.empty()) << "its only point belongs to no face";
  ASSERT_EQ(header.size(), 3u);
  EXPECT_EQ(header[0], 1);
  EXPECT_EQ(header[1], 1);
  EXPECT_EQ(header[2], 2);

  EXPECT_TRUE(Export(doc, "Dummy=1\nSkin=0\n").empty()) << "Skin off writes no skin";
}

}  // namespace
}  // namespace vorn
