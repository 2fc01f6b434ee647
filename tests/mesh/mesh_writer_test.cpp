#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../export/spine_fixture.h"
#include "export/driver.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

struct Child {
  std::string tpl, name;
  std::vector<uint8_t> data;
  uint32_t Dword(size_t i) const {
    uint32_t v;
    std::memcpy(&v, data.data() + 4 * i, 4);
    return v;
  }
  float Float(size_t i) const {
    float v;
    std::memcpy(&v, data.data() + 4 * i, 4);
    return v;
  }
};

class MeshWriter : public testing::SpineTest {
 protected:
  // Exports silently and returns the children of the mesh named "M", the mesh itself first.
  std::vector<Child> MeshObjects(const std::string& mesh, const std::string& ini = "",
                                 const std::string& object = "{\"type\": \"mesh\", \"mesh\": MESH}",
                                 int xfileType = 1) {
    WriteSettings("[Option]\nXFileType=" + std::to_string(xfileType) + "\n" + ini);
    std::string obj = object;
    obj.replace(obj.find("MESH"), 4, mesh);
    auto doc = Load(R"({"format": "vorn-scene", "version": 1, "nodes": [{"name": "M", "handle": 1,
        "wireColor": "0x0000ff", "object": )" + obj + "}]}");
    const std::string out = Dir() + "/mesh.x";
    std::filesystem::remove(out);
    XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
    XFileTree tree;
    std::string error;
    std::vector<Child> found;
    if (!ReadXFileFromPath(out, XReadOptions{}, &tree, &error)) {
      ADD_FAILURE() << error;
      return found;
    }
    for (uint32_t i = 0; i < tree.objects.size(); ++i) {
      const XTemplate* t = tree.TemplateOf(tree.objects[i]);
      if (!t || t->name != "Mesh") continue;
      auto add = [&](uint32_t j) {
        const XTreeObject& o = tree.objects[j];
        const XTemplate* ot = tree.TemplateOf(o);
        auto bytes = tree.Data(o);
        found.push_back({ot ? ot->name : "&" + o.name, o.name, {bytes.begin(), bytes.end()}});
      };
      add(i);
      for (uint32_t c = tree.objects[i].firstChild; c != kNoObject; c = tree.objects[c].nextSibling) add(c);
    }
    return found;
  }
  static std::vector<std::string> Names(const std::vector<Child>& objects) {
    std::vector<std::string> names;
    for (const Child& c : objects) names.push_back(c.name.empty() ? c.tpl : c.tpl + " " + c.name);
    return names;
  }
};

// A unit quad in the host's xy plane with two texture channels and vertex colours.
const char* kQuad = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0],[1,1,0]], "faces": [[0,1,2,1],[2,1,3,1]],
  "maps": {"1": {"vertices": [[0,0],[1,0],[0,1],[1,1]], "faces": [[0,1,2],[2,1,3]]},
           "3": {"vertices": [[0,0],[2,0],[0,2],[2,2]], "faces": [[0,1,2],[2,1,3]]},
           "0": {"vertices": [[1,0,0],[0,1,0],[0,0,1],[1,1,1]], "faces": [[0,1,2],[2,1,3]]}}})";

TEST_F(MeshWriter, ObjectsAndTheirSizes) {
  const std::vector<Child> objects = MeshObjects(kQuad, "VertexColor=1\n");
  EXPECT_EQ(Names(objects), (std::vector<std::string>{"Mesh M", "MeshNormals", "MeshMaterialList", "MeshTextureCoords c1",
                                                     "MeshTextureCoords c3", "MeshVertexColors"}));
  ASSERT_EQ(objects.size(), 6u);
  const size_t n = 4, f = 2;
  EXPECT_EQ(objects[0].data.size(), 12 * n + 16 * f + 8);
  EXPECT_EQ(objects[0].Dword(0), n);
  EXPECT_EQ(objects[0].Dword(1 + 3 * n), f);
  EXPECT_EQ(objects[0].Dword(2 + 3 * n), 3u);
  EXPECT_EQ(objects[1].data.size(), 12 * n + 16 * f + 8);
  EXPECT_EQ(objects[2].data.size(), 4 * f + 8);
  EXPECT_EQ(objects[2].Dword(0), 1u) << "one default material";
  EXPECT_EQ(objects[3].data.size(), 8 * n + 4);
  // The axis exchange mirrors, so faces are wound 0, 2, 1: vertex 2 is host vertex 1.
  EXPECT_EQ(objects[3].Float(1 + 2 * 2), 1.0f) << "host (1, 0)";
  EXPECT_EQ(objects[3].Float(2 + 2 * 2), 1.0f) << "v flipped";
  EXPECT_EQ(objects[4].Float(1 + 2 * 2), 2.0f);
  EXPECT_EQ(objects[5].data.size(), 20 * n + 4);
  EXPECT_EQ(objects[5].Dword(1 + 5 * 3), 3u) << "indices count up";
  EXPECT_EQ(objects[5].Float(1 + 5 * 2 + 2), 1.0f) << "vertex 2 is green";
}

// A mesh big enough to lay out its two biggest objects on two cores: they keep their order
// and their contents.
TEST_F(MeshWriter, BigMeshObjectsKeepTheirOrderAndContents) {
  constexpr int kSide = 190;  // 189 x 189 quads: 71,442 faces
  std::string verts, uvs, faces, mapFaces;
  auto add = [](std::string& list, const std::string& item) { list += (list.empty() ? "" : ",") + item; };
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x) {
      add(verts, "[" + std::to_string(x) + "," + std::to_string(y) + ",0]");
      add(uvs, "[" + std::to_string(x) + "," + std::to_string(y) + "]");
    }
  for (int y = 0; y + 1 < kSide; ++y)
    for (int x = 0; x + 1 < kSide; ++x) {
      const std::string a = std::to_string(y * kSide + x), b = std::to_string(y * kSide + x + 1),
                        c = std::to_string((y + 1) * kSide + x), d = std::to_string((y + 1) * kSide + x + 1);
      add(faces, "[" + a + "," + b + "," + d + ",1],[" + a + "," + d + "," + c + ",1]");
      add(mapFaces, "[" + a + "," + b + "," + d + "],[" + a + "," + d + "," + c + "]");
    }
  const std::string doc = "{\"vertices\": [" + verts + "], \"faces\": [" + faces +
                          "], \"maps\": {\"1\": {\"vertices\": [" + uvs + "], \"faces\": [" + mapFaces + "]}}}";
  const size_t n = size_t{kSide} * kSide, f = 2 * size_t{kSide - 1} * (kSide - 1);

  std::vector<Child> objects = MeshObjects(doc);
  ASSERT_EQ(Names(objects), (std::vector<std::string>{"Mesh M", "MeshNormals", "MeshMaterialList", "MeshTextureCoords c1"}));
  ASSERT_EQ(objects[0].Dword(0), n);
  EXPECT_EQ(objects[0].Float(1 + 3 * (n - 1)), float(kSide - 1)) << "the last position, x";
  EXPECT_EQ(objects[0].Dword(1 + 3 * n), f);
  ASSERT_EQ(objects[1].data.size(), objects[0].data.size());
  EXPECT_EQ(std::memcmp(objects[1].data.data() + 12 * n + 4, objects[0].data.data() + 12 * n + 4, 16 * f + 4), 0)
      << "the normals' faces are the mesh's";
  for (size_t e = 0; e < n; e += 997) EXPECT_EQ(std::fabs(objects[1].Float(1 + 3 * e + 1)), 1.0f) << e;  // host z is y

  objects = MeshObjects(doc, "DeclData=1\nTangent=1\n");
  ASSERT_EQ(Names(objects), (std::vector<std::string>{"Mesh M", "MeshMaterialList", "DeclData"}));
  const size_t elements = 3, perVertex = 3 + 3 + 2;
  ASSERT_EQ(objects[2].data.size(), 4 + 16 * elements + 4 + 4 * perVertex * n);
  EXPECT_EQ(objects[2].Dword(1 + 4 * elements), perVertex * n);
  const size_t last = 2 + 4 * elements + perVertex * (n - 1);
  EXPECT_EQ(std::fabs(objects[2].Float(last + 1)), 1.0f) << "the last vertex's normal";
  EXPECT_EQ(std::fabs(objects[2].Float(last + 3)), 1.0f) << "its tangent follows u, along x";
}

TEST_F(MeshWriter, DefaultMaterialTakesTheWireColour) {
  WriteSettings("[Option]\nXFileType=0\n");
  auto doc = Load(R"({"format": "vorn-scene", "version": 1, "nodes": [{"name": "M", "handle": 1,
        "wireColor": "0x3366ff", "object": {"type": "mesh", "mesh": )" + std::string(kQuad) + "}}]}");
  const std::string out = Dir() + "/wire.x";
  XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
  const std::string text = ReadFile(out);
  const size_t at = text.find("Material {");
  ASSERT_NE(at, std::string::npos) << "an unnamed material";
  EXPECT_NE(text.find("1.0;0.4;0.2;1.0;;", at), std::string::npos) << text.substr(at, 120);
}

TEST_F(MeshWriter, DuplicateSetsAreWrittenOnce) {
  const char* same = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2,1]],
    "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2]]},
             "2": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2]]}}})";
  EXPECT_EQ(Names(MeshObjects(same, "MultiTexCoordsOptimize=1\n")),
            (std::vector<std::string>{"Mesh M", "MeshNormals", "MeshMaterialList", "MeshTextureCoords c1"}));
  EXPECT_EQ(Names(MeshObjects(same)), (std::vector<std::string>{"Mesh M", "MeshNormals", "MeshMaterialList",
                                                                "MeshTextureCoords c1", "MeshTextureCoords c2"}));
  std::vector<Child> decl = MeshObjects(same, "MultiTexCoordsOptimize=1\nDeclData=1\n");
  ASSERT_EQ(decl.size(), 3u);
  EXPECT_EQ(decl[2].Dword(0), 2u) << "normal and one texture element";
}

TEST_F(MeshWriter, DeclDataElementsAndVertexData) {
  std::vector<Child> objects = MeshObjects(kQuad, "DeclData=1\nTangent=1\nBiTangent=1\nVertexColor=1\n");
  EXPECT_EQ(Names(objects), (std::vector<std::string>{"Mesh M", "MeshMaterialList", "DeclData"}));
  ASSERT_EQ(objects.size(), 3u);
  const Child& decl = objects[2];
  const uint32_t expected[6][4] = {{2, 0, 3, 0}, {2, 0, 6, 0}, {2, 0, 7, 0}, {3, 0, 10, 0}, {1, 0, 5, 0}, {1, 0, 5, 1}};
  ASSERT_EQ(decl.Dword(0), 6u);
  for (size_t e = 0; e < 6; ++e)
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(decl.Dword(1 + 4 * e + k), expected[e][k]) << e << "," << k;
  const size_t perVertex = 3 * 3 + 2 * (2 + 2);
  EXPECT_EQ(decl.Dword(25), 4 * perVertex);
  EXPECT_EQ(decl.data.size(), 16 * 6 + 4 * 4 * perVertex + 8);
  // Vertex 0: normal, tangent, binormal, colour, two sets.
  const size_t v0 = 26;
  EXPECT_EQ(decl.Float(v0 + 3), 1.0f) << "tangent along x";
  EXPECT_EQ(decl.Float(v0 + 9), 1.0f) << "red";

  objects = MeshObjects(kQuad, "DeclData=1\nNormal=0\nTexCoords=0\n");
  EXPECT_EQ(Names(objects), (std::vector<std::string>{"Mesh M", "MeshMaterialList"})) << "no elements, no object";
}

TEST_F(MeshWriter, BoneMeshesCarryNoTangentsOrColours) {
  const std::string bone = "{\"type\": \"bone\", \"mesh\": MESH}";
  std::vector<Child> objects =
      MeshObjects(kQuad, "DeclData=1\nTangent=1\nBiTangent=1\nVertexColor=1\nBoneMesh=1\nBones=1\n", bone);
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[2].Dword(0), 3u) << "normal and two texture sets only";
  objects = MeshObjects(kQuad, "VertexColor=1\nBoneMesh=1\nBones=1\n", bone);
  EXPECT_EQ(Names(objects), (std::vector<std::string>{"Mesh M", "MeshNormals", "MeshMaterialList", "MeshTextureCoords c1",
                                                     "MeshTextureCoords c3"}));
}

TEST_F(MeshWriter, VertexDuplicationIndicesNameTheFirstVertexOfEachSplitOne) {
  // Two faces of different smoothing groups: the shared edge is split, and host vertex 3 is
  // first reached as exported vertex 5.
  const char* crease = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0],[0,0,1]], "faces": [[0,1,2,1],[0,3,1,2]]})";
  for (int type : {0, 1, 2}) {
    std::vector<Child> objects = MeshObjects(crease, "VertexDup=1\n", "{\"type\": \"mesh\", \"mesh\": MESH}", type);
    ASSERT_EQ(objects.back().tpl, "VertexDuplicationIndices") << type;
    const Child& dup = objects.back();
    ASSERT_EQ(dup.Dword(0), 6u);
    EXPECT_EQ(dup.Dword(1), 4u) << "the vertices first made of their host vertex";
    std::vector<uint32_t> indices;
    for (uint32_t n = 0; n < 6; ++n) indices.push_back(dup.Dword(2 + n));
    // Wound 0, 2, 1: the first face makes vertices 0, 1, 2 of host 0, 2, 1; the second meets
    // host 0 and 1 again with another normal (3, 4: copies of 0 and 2) and host 3 for the first
    // time (5). Each entry names a vertex of the file, the first one of its place.
    EXPECT_EQ(indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 5})) << type;
    // Every exported vertex lies where its host vertex lies, and no two host vertices share
    // a place: vertices with one index share the point, vertices with two differ.
    const Child& mesh = objects.front();
    auto point = [&](uint32_t n) {
      return std::vector<float>{mesh.Float(1 + 3 * n), mesh.Float(2 + 3 * n), mesh.Float(3 + 3 * n)};
    };
    for (uint32_t a = 0; a < 6; ++a)
      for (uint32_t b = 0; b < 6; ++b) EXPECT_EQ(indices[a] == indices[b], point(a) == point(b)) << a << " " << b;
    for (uint32_t a = 0; a < 6; ++a) EXPECT_EQ(point(indices[a]), point(a)) << a;
  }
  EXPECT_EQ(Names(MeshObjects(crease)).back(), "MeshMaterialList") << "off by default";
}

}  // namespace
}  // namespace vorn
