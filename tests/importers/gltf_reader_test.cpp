// The glTF reader on small files made here: how accessors, primitives, nodes, materials, skins
// and animations become import records, and that every kind of malformed file is refused with
// a message naming it.
#include "importers/gltf_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

using json = nlohmann::json;
using testing::TempDir;

std::string Base64(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
    for (int k = 3; k >= 0; --k) out.push_back(a[(v >> (6 * k)) & 63]);
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out.push_back(a[(v >> 18) & 63]);
    out.push_back(a[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? a[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// A glTF document with one buffer that accessors are appended to.
struct Doc {
  json j = {{"asset", {{"version", "2.0"}}}, {"scenes", {{{"nodes", json::array({0})}}}}, {"nodes", json::array()}};
  std::string bin;

  template <class T>
  size_t View(const std::vector<T>& values, size_t stride = 0) {
    while (bin.size() % 4) bin.push_back('\0');
    json v = {{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", values.size() * sizeof(T)}};
    if (stride) v["byteStride"] = stride;
    bin.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    j["bufferViews"].push_back(v);
    return j["bufferViews"].size() - 1;
  }
  template <class T>
  size_t Accessor(const std::vector<T>& values, int componentType, const char* type, size_t count, json extra = json::object()) {
    json a = {{"bufferView", View(values)}, {"componentType", componentType}, {"type", type}, {"count", count}};
    a.update(extra);
    j["accessors"].push_back(a);
    return j["accessors"].size() - 1;
  }
  size_t Floats(const std::vector<float>& v, const char* type, size_t width) { return Accessor(v, 5126, type, v.size() / width); }

  std::string Text() {
    json out = j;
    out["buffers"] = {{{"byteLength", bin.size()}, {"uri", "data:application/octet-stream;base64," + Base64(bin)}}};
    return out.dump();
  }
  import::Scene Read() { return ReadGltfBytes(Text(), "/models/test.gltf"); }
};

// A quad of four vertices, indexed as two triangles.
size_t AddQuadMesh(Doc& d, json prim = json::object()) {
  const size_t pos = d.Floats({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, "VEC3", 3);
  const size_t idx = d.Accessor(std::vector<uint16_t>{0, 1, 2, 0, 2, 3}, 5123, "SCALAR", 6);
  json p = {{"attributes", {{"POSITION", pos}}}, {"indices", idx}};
  p.update(prim);
  d.j["meshes"].push_back({{"primitives", {p}}});
  return d.j["meshes"].size() - 1;
}

std::string ErrorOf(const std::string& text, const std::string& path = "/models/bad.gltf") {
  try {
    ReadGltfBytes(text, path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(GltfReaderTest, AccessorsHonourStrideNormalisationSparseAndMissingData) {
  Doc d;
  // Positions interleaved with normals in one strided view.
  const std::vector<float> interleaved = {0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 1, 0, 3, 0, 0, 0, 1};
  const size_t view = d.View(interleaved, 24);
  d.j["accessors"].push_back({{"bufferView", view}, {"componentType", 5126}, {"type", "VEC3"}, {"count", 3}});
  d.j["accessors"].push_back({{"bufferView", view}, {"byteOffset", 12}, {"componentType", 5126}, {"type", "VEC3"}, {"count", 3}});
  // Normalised unsigned bytes for UVs, padded to four-byte elements by the view's stride.
  const size_t uvView = d.View(std::vector<uint8_t>{0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0}, 4);
  d.j["accessors"].push_back({{"bufferView", uvView}, {"componentType", 5121}, {"normalized", true}, {"type", "VEC2"}, {"count", 3}});
  // Colours without a buffer view: zeros, then one sparse substitution at vertex 2.
  const size_t si = d.View(std::vector<uint8_t>{2, 0, 0, 0});
  const size_t sv = d.View(std::vector<float>{0.5f, 0.25f, 1.0f});
  d.j["accessors"].push_back({{"componentType", 5126}, {"type", "VEC3"}, {"count", 3},
                              {"sparse", {{"count", 1}, {"indices", {{"bufferView", si}, {"componentType", 5121}}}, {"values", {{"bufferView", sv}}}}}});
  d.j["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", 0}, {"NORMAL", 1}, {"TEXCOORD_0", 2}, {"COLOR_0", 3}}}}}}}};
  d.j["nodes"] = {{{"mesh", 0}}};
  const import::Scene s = d.Read();
  ASSERT_EQ(s.meshes.size(), 1u);
  const import::Mesh& m = s.meshes[0];
  ASSERT_EQ(m.positions.size(), 3u);
  EXPECT_FLOAT_EQ(m.positions[1].x, 2);
  EXPECT_FLOAT_EQ(m.positions[2].y, 3);
  EXPECT_FLOAT_EQ(m.normals[2].z, 1);
  // V runs the other way in the records: 1 - v.
  EXPECT_FLOAT_EQ(m.uvs[0][0].y, 1);
  EXPECT_FLOAT_EQ(m.uvs[0][1].x, 1);
  EXPECT_FLOAT_EQ(m.uvs[0][2].y, 0);
  ASSERT_EQ(m.colors.size(), 3u);
  EXPECT_FLOAT_EQ(m.colors[0].r, 0);
  EXPECT_FLOAT_EQ(m.colors[0].a, 1);  // VEC3 colours are opaque
  EXPECT_FLOAT_EQ(m.colors[2].g, 0.25f);
  ASSERT_EQ(m.triangles.size(), 1u);  // not indexed: vertices in order
  EXPECT_EQ(m.triangles[0], (std::array<uint32_t, 3>{0, 1, 2}));
}

TEST(GltfReaderTest, StripsAndFansAreTriangulatedPointsAndLinesDroppedMissingNormalsMadeFlat) {
  Doc d;
  const size_t pos = d.Floats({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 2, 0}, "VEC3", 3);
  d.j["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}}}, {"mode", 5}},
                                    {{"attributes", {{"POSITION", pos}}}, {"mode", 6}},
                                    {{"attributes", {{"POSITION", pos}}}, {"mode", 1}}}}}};
  d.j["nodes"] = {{{"mesh", 0}}};
  const import::Scene s = d.Read();
  ASSERT_EQ(s.meshes.size(), 2u);  // the lines primitive has no mesh
  EXPECT_EQ(s.root.meshes, (std::vector<unsigned>{0, 1}));
  const auto& strip = s.meshes[0].triangles;
  ASSERT_EQ(strip.size(), 3u);
  EXPECT_EQ(strip[0], (std::array<uint32_t, 3>{0, 1, 2}));
  EXPECT_EQ(strip[1], (std::array<uint32_t, 3>{2, 1, 3}));  // every other one turned to keep its winding
  EXPECT_EQ(strip[2], (std::array<uint32_t, 3>{2, 3, 4}));
  const auto& fan = s.meshes[1].triangles;
  ASSERT_EQ(fan.size(), 3u);
  EXPECT_EQ(fan[2], (std::array<uint32_t, 3>{0, 3, 4}));
  // Counter-clockwise in XY: the face normal is +Z.
  ASSERT_EQ(s.meshes[0].normals.size(), 5u);
  EXPECT_FLOAT_EQ(s.meshes[0].normals[0].z, 1);
  // Primitives without a material share one default after the file's own (none here).
  ASSERT_EQ(s.materials.size(), 1u);
  EXPECT_EQ(s.meshes[0].material, 0u);
  EXPECT_FLOAT_EQ(s.materials[0].diffuse.r, 1);
  ASSERT_EQ(s.notes.size(), 1u) << "the user hears of what was left out";
  EXPECT_NE(s.notes[0].find("1 primitive(s) of points or lines"), std::string::npos) << s.notes[0];

  // A lone node of points alone is still the file's node, a frame under a root of its own.
  Doc points;
  const size_t p = points.Floats({0, 0, 0, 1, 0, 0}, "VEC3", 3);
  points.j["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", p}}}, {"mode", 0}}}}}};
  points.j["nodes"] = {{{"mesh", 0}, {"name", "Cloud"}}};
  const import::Scene cloud = points.Read();
  EXPECT_TRUE(cloud.meshes.empty());
  ASSERT_EQ(cloud.root.children.size(), 1u);
  EXPECT_EQ(cloud.root.children[0].name, "Cloud");
  EXPECT_EQ(cloud.notes.size(), 1u);
}

// A triangle with a corner at infinity or NaN would make the whole .X mesh NaN: it is left out,
// and said; the quad's other triangle stays.
TEST(GltfReaderTest, TrianglesWithoutAFinitePlaceAreLeftOut) {
  for (const float bad : {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
    Doc d;
    const size_t pos = d.Floats({0, 0, 0, 1, 0, 0, 1, 1, bad, 0, 1, 0, 5, 5, 0}, "VEC3", 3);
    const size_t idx = d.Accessor(std::vector<uint16_t>{0, 1, 2, 0, 2, 3, 0, 3, 4}, 5123, "SCALAR", 9);
    d.j["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}}}, {"indices", idx}}}}}};
    d.j["nodes"] = {{{"mesh", 0}}};
    const import::Scene s = d.Read();
    ASSERT_EQ(s.meshes.size(), 1u);
    ASSERT_EQ(s.meshes[0].triangles.size(), 1u) << bad;
    for (const import::Vec3& p : s.meshes[0].positions) EXPECT_TRUE(std::isfinite(p.x + p.y + p.z)) << "unused dropped";
    ASSERT_EQ(s.notes.size(), 1u);
    EXPECT_NE(s.notes[0].find("2 triangle(s) left out"), std::string::npos) << s.notes[0];
  }
}

TEST(GltfReaderTest, RepeatedVerticesAreSharedAndUnusedOnesDropped) {
  Doc d;
  // Two triangles, unindexed: corners 2 and 3 are the same vertex; 5 differs from 0 only in its
  // UV, and the indexed primitive leaves its vertex 3 unused.
  const size_t pos = d.Floats({0, 0, 0, 1, 0, 0, 1, 1, 0, 1, 1, 0, 0, 1, 0, 0, 0, 0}, "VEC3", 3);
  const size_t uv = d.Floats({0, 0, 1, 0, 1, 1, 1, 1, 0, 1, 0.5f, 0.5f}, "VEC2", 2);
  const size_t joints = d.Accessor(std::vector<uint8_t>(24, 0), 5121, "VEC4", 6);
  const size_t weights = d.Floats({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, "VEC4", 4);
  const size_t quad = d.Floats({0, 0, 0, 1, 0, 0, 1, 1, 0, 9, 9, 9}, "VEC3", 3);
  const size_t idx = d.Accessor(std::vector<uint16_t>{0, 1, 2}, 5123, "SCALAR", 3);
  d.j["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}, {"TEXCOORD_0", uv}, {"JOINTS_0", joints}, {"WEIGHTS_0", weights}}}},
                                    {{"attributes", {{"POSITION", quad}}}, {"indices", idx}}}}}};
  d.j["skins"] = {{{"joints", {1}}}};
  d.j["nodes"] = {{{"mesh", 0}, {"skin", 0}, {"children", {1}}}, {{"name", "Bone"}}};
  const import::Scene s = d.Read();
  ASSERT_EQ(s.meshes.size(), 2u);
  const import::Mesh& m = s.meshes[0];
  ASSERT_EQ(m.positions.size(), 5u);
  EXPECT_EQ(m.triangles[0], (std::array<uint32_t, 3>{0, 1, 2}));
  EXPECT_EQ(m.triangles[1], (std::array<uint32_t, 3>{2, 3, 4}));
  EXPECT_FLOAT_EQ(m.uvs[0][4].x, 0.5f);
  ASSERT_EQ(m.normals.size(), 5u);
  // The weights follow the shared vertices.
  ASSERT_EQ(m.bones.size(), 1u);
  EXPECT_EQ(m.bones[0].weights.size(), 5u);
  EXPECT_EQ(m.bones[0].weights.back().first, 4u);
  EXPECT_EQ(s.meshes[1].positions.size(), 3u);
}

TEST(GltfReaderTest, NodesTakeMatricesOrTrsAndSeveralRootsHangUnderOne) {
  Doc d;
  const size_t mesh = AddQuadMesh(d);
  // Column-major in the file; rows in the records, translation in the last column.
  d.j["nodes"] = {{{"name", "Matrix"}, {"matrix", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1}}, {"children", {2}}},
                  {{"translation", {1, 2, 3}}, {"rotation", {0, 0, 0.70710678, 0.70710678}}, {"scale", {2, 2, 2}}, {"mesh", mesh}},
                  json::object()};
  d.j["scenes"] = {{{"nodes", {2}}}, {{"nodes", {0, 1}}}};
  d.j["scene"] = 1;
  const import::Scene s = d.Read();
  EXPECT_EQ(s.root.name, "ROOT");
  ASSERT_EQ(s.root.children.size(), 2u);
  const import::Node& a = s.root.children[0];
  EXPECT_EQ(a.name, "Matrix");
  EXPECT_FLOAT_EQ(a.transform.m[0][3], 5);
  EXPECT_FLOAT_EQ(a.transform.m[2][3], 7);
  ASSERT_EQ(a.children.size(), 1u);
  EXPECT_EQ(a.children[0].name, "nodes[2]");  // unnamed nodes are named by index
  const import::Node& b = s.root.children[1];
  // 90 degrees about Z, scaled by 2: x goes to 2y.
  EXPECT_NEAR(b.transform.m[1][0], 2, 1e-6);
  EXPECT_NEAR(b.transform.m[0][1], -2, 1e-6);
  EXPECT_NEAR(b.transform.m[0][0], 0, 1e-6);
  EXPECT_FLOAT_EQ(b.transform.m[1][3], 2);
  EXPECT_EQ(b.meshes.size(), 1u);
}

TEST(GltfReaderTest, MaterialsMapColoursTexturesAndAlpha) {
  Doc d;
  const std::string png = "\x89PNG fake";
  const size_t imageView = d.View(std::vector<char>(png.begin(), png.end()));
  d.j["images"] = {{{"uri", "my%20texture.png"}},
                   {{"uri", "data:image/jpeg;base64," + Base64("jpegbytes")}},
                   {{"bufferView", imageView}, {"mimeType", "image/png"}, {"name", "logo"}}};
  d.j["samplers"] = {{{"wrapS", 33071}, {"wrapT", 33648}}};
  d.j["textures"] = {{{"source", 0}, {"sampler", 0}}, {{"source", 1}}, {{"source", 2}}};
  d.j["materials"] = {
      {{"name", "Blend"},
       {"alphaMode", "BLEND"},
       {"pbrMetallicRoughness", {{"baseColorFactor", {0.5, 0.25, 1, 0.5}}, {"roughnessFactor", 0.5}, {"baseColorTexture", {{"index", 0}, {"texCoord", 1}}}}},
       {"emissiveFactor", {0.1, 0.2, 0.3}},
       {"normalTexture", {{"index", 2}}}},
      {{"name", "Opaque"}, {"pbrMetallicRoughness", {{"baseColorFactor", {1, 1, 1, 0.5}}, {"baseColorTexture", {{"index", 1}}}}}},
      {{"extensions", {{"KHR_materials_pbrSpecularGlossiness",
                        {{"diffuseFactor", {0.2, 0.3, 0.4, 1}}, {"specularFactor", {0.5, 0.5, 0.5}}, {"glossinessFactor", 0.25}, {"diffuseTexture", {{"index", 2}}}}}}}}};
  AddQuadMesh(d, {{"material", 0}});
  AddQuadMesh(d);  // no material: the default one, appended
  d.j["nodes"] = {{{"mesh", 0}, {"children", {1}}}, {{"mesh", 1}}};
  const import::Scene s = d.Read();
  ASSERT_EQ(s.materials.size(), 4u);
  EXPECT_EQ(s.meshes[1].material, 3u);
  const import::Material& blend = s.materials[0];
  EXPECT_EQ(blend.name, "Blend");
  EXPECT_FLOAT_EQ(blend.diffuse.g, 0.25f);
  EXPECT_TRUE(blend.hasOpacity);
  EXPECT_FLOAT_EQ(blend.opacity, 0.5f);
  EXPECT_FLOAT_EQ(blend.shininess, 250);  // (1 - roughness)^2 x 1000
  EXPECT_FLOAT_EQ(blend.emissive.b, 0.3f);
  EXPECT_EQ(blend.diffuseMap.file, "my texture.png");
  EXPECT_EQ(blend.diffuseMap.uvSet, 1u);
  EXPECT_EQ(blend.diffuseMap.wrap[0], import::Wrap::Clamp);
  EXPECT_EQ(blend.diffuseMap.wrap[1], import::Wrap::Mirror);
  EXPECT_EQ(blend.baseColorMap.file, blend.diffuseMap.file);
  EXPECT_EQ(blend.normalMap.embedded, 1);
  EXPECT_FLOAT_EQ(s.materials[1].opacity, 1);  // opaque materials ignore alpha
  EXPECT_EQ(s.materials[1].diffuseMap.embedded, 0);
  const import::Material& sg = s.materials[2];
  EXPECT_TRUE(sg.hasSpecular);
  EXPECT_FLOAT_EQ(sg.specular.r, 0.5f);
  EXPECT_FLOAT_EQ(sg.shininess, 250);
  EXPECT_FLOAT_EQ(sg.diffuse.b, 0.4f);
  EXPECT_EQ(sg.diffuseMap.embedded, 1);  // the same image is embedded once
  ASSERT_EQ(s.textures.size(), 2u);
  EXPECT_EQ(s.textures[0].formatHint, "jpg");
  EXPECT_EQ(std::string(s.textures[0].data.begin(), s.textures[0].data.end()), "jpegbytes");
  EXPECT_EQ(s.textures[1].formatHint, "png");
  EXPECT_EQ(std::string(s.textures[1].data.begin(), s.textures[1].data.end()), png);
  EXPECT_EQ(s.textures[1].height, 0u);
  EXPECT_EQ(s.textures[1].fileName, "logo");  // written out under the image's name
}

TEST(GltfReaderTest, SkinsGiveBoneOffsetsAndWeightsPerJoint) {
  Doc d;
  const size_t pos = d.Floats({0, 0, 0, 1, 0, 0, 0, 1, 0}, "VEC3", 3);
  const size_t joints = d.Accessor(std::vector<uint8_t>{0, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5121, "VEC4", 3);
  const size_t weights = d.Floats({0.25f, 0.75f, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, "VEC4", 4);
  std::vector<float> ibm(32, 0);
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 4; ++i) ibm[size_t(k * 16 + i * 5)] = 1;
  ibm[16 + 12] = -3;  // joint 1: translation -3 along x (column-major)
  const size_t inverse = d.Floats(ibm, "MAT4", 16);
  d.j["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}, {"JOINTS_0", joints}, {"WEIGHTS_0", weights}}}}}}}};
  d.j["skins"] = {{{"joints", {1, 2}}, {"inverseBindMatrices", inverse}}};
  d.j["nodes"] = {{{"mesh", 0}, {"skin", 0}, {"children", {1}}}, {{"name", "Hip"}, {"children", {2}}}, {{"name", "Knee"}}};
  const import::Scene s = d.Read();
  ASSERT_EQ(s.meshes.size(), 1u);
  const auto& bones = s.meshes[0].bones;
  ASSERT_EQ(bones.size(), 2u);
  EXPECT_EQ(bones[0].name, "Hip");
  EXPECT_EQ(bones[1].name, "Knee");
  EXPECT_FLOAT_EQ(bones[1].offset.m[0][3], -3);
  EXPECT_FLOAT_EQ(bones[0].offset.m[0][3], 0);
  // Zero weights are no entries.
  EXPECT_EQ(bones[0].weights, (std::vector<std::pair<uint32_t, float>>{{0, 0.25f}}));
  EXPECT_EQ(bones[1].weights, (std::vector<std::pair<uint32_t, float>>{{0, 0.75f}, {1, 1.0f}, {2, 1.0f}}));
}

TEST(GltfReaderTest, AnimationsInMillisecondsWithRestKeysStepsAndSplines) {
  Doc d;
  AddQuadMesh(d);
  const size_t times = d.Floats({0, 0.5f, 1}, "SCALAR", 1);
  const size_t moves = d.Floats({0, 0, 0, 1, 0, 0, 2, 0, 0}, "VEC3", 3);
  // Spline keys are (in-tangent, value, out-tangent).
  const size_t spline = d.Floats({9, 9, 9, 9, 0, 0, 0, 1, 9, 9, 9, 9, 9, 9, 9, 9, 0, 0, 1, 0, 9, 9, 9, 9,
                                  9, 9, 9, 9, 0, 1, 0, 0, 9, 9, 9, 9},
                                 "VEC4", 4);
  const size_t longer = d.Floats({0, 2}, "SCALAR", 1);
  const size_t weights = d.Floats({0, 1}, "SCALAR", 1);
  d.j["nodes"] = {{{"name", "Mover"}, {"mesh", 0}, {"translation", {0, 5, 0}}, {"scale", {3, 3, 3}}}};
  d.j["animations"] = {{{"name", "Walk"},
                        {"samplers", {{{"input", times}, {"output", moves}, {"interpolation", "STEP"}},
                                      {{"input", times}, {"output", spline}, {"interpolation", "CUBICSPLINE"}},
                                      {{"input", longer}, {"output", weights}}}},
                        {"channels", {{{"sampler", 0}, {"target", {{"node", 0}, {"path", "translation"}}}},
                                      {{"sampler", 1}, {"target", {{"node", 0}, {"path", "rotation"}}}},
                                      {{"sampler", 2}, {"target", {{"node", 0}, {"path", "weights"}}}}}}}};
  const import::Scene s = d.Read();
  ASSERT_EQ(s.animations.size(), 1u);
  const import::Animation& a = s.animations[0];
  EXPECT_EQ(a.name, "Walk");
  EXPECT_EQ(a.ticksPerSecond, 1000);
  EXPECT_EQ(a.duration, 2000);  // morph weights are dropped, but their time counts
  ASSERT_EQ(a.channels.size(), 1u);
  const import::Channel& c = a.channels[0];
  EXPECT_EQ(c.node, "Mover");
  // A step holds until a millisecond before the next key.
  ASSERT_EQ(c.positions.size(), 5u);
  EXPECT_EQ(c.positions[1].time, 499);
  EXPECT_FLOAT_EQ(c.positions[1].value.x, 0);
  EXPECT_EQ(c.positions[2].time, 500);
  EXPECT_FLOAT_EQ(c.positions[2].value.x, 1);
  ASSERT_EQ(c.rotations.size(), 3u);
  EXPECT_FLOAT_EQ(c.rotations[0].value.w, 1);
  EXPECT_FLOAT_EQ(c.rotations[1].value.z, 1);
  EXPECT_FLOAT_EQ(c.rotations[2].value.y, 1);
  // The untouched scale holds the node's rest value.
  ASSERT_EQ(c.scalings.size(), 1u);
  EXPECT_FLOAT_EQ(c.scalings[0].value.y, 3);
}

TEST(GltfReaderTest, BinaryContainerAndExternalBuffersAreRead) {
  Doc d;
  AddQuadMesh(d);
  d.j["nodes"] = {{{"mesh", 0}}};
  json j = d.j;
  j["buffers"] = {{{"byteLength", d.bin.size()}}};
  std::string text = j.dump();
  while (text.size() % 4) text.push_back(' ');
  std::string bin = d.bin;
  while (bin.size() % 4) bin.push_back('\0');
  auto le32 = [](std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
  };
  std::string glb = "glTF";
  le32(glb, 2);
  le32(glb, uint32_t(12 + 8 + text.size() + 8 + bin.size()));
  le32(glb, uint32_t(text.size()));
  le32(glb, 0x4E4F534A);
  glb += text;
  le32(glb, uint32_t(bin.size()));
  le32(glb, 0x004E4942);
  glb += bin;
  TempDir dir;
  testing::WriteText(dir / "quad.glb", glb);
  EXPECT_EQ(ReadGltf(dir / "quad.glb").meshes.at(0).triangles.size(), 2u);
  // Cut short: refused, not read past the end.
  EXPECT_NE(ErrorOf(glb.substr(0, glb.size() - 8), "/m/cut.glb").find("cut.glb: the binary glTF file is cut short"), std::string::npos);

  j["buffers"] = {{{"byteLength", d.bin.size()}, {"uri", "quad%20data.bin"}}};
  testing::WriteText(dir / "quad data.bin", d.bin);
  testing::WriteText(dir / "quad.gltf", j.dump());
  EXPECT_EQ(ReadGltf(dir / "quad.gltf").meshes.at(0).positions.size(), 4u);
  std::filesystem::remove(dir / "quad data.bin");
  try {
    ReadGltf(dir / "quad.gltf");
    FAIL() << "a missing buffer file was not noticed";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("quad.gltf: buffers[0]: cannot read the buffer file"), std::string::npos) << e.what();
  }
}

TEST(GltfReaderTest, MalformedFilesAreRefusedWithTheirName) {
  auto error = [](const std::function<void(Doc&)>& edit) {
    Doc d;
    AddQuadMesh(d);
    d.j["nodes"] = {{{"mesh", 0}}};
    edit(d);
    return ErrorOf(d.Text());
  };
  auto expectError = [](const std::string& message, const std::string& part) {
    EXPECT_EQ(message.rfind("/models/bad.gltf: ", 0), 0u) << message << " (expected: " << part << ")";
    EXPECT_NE(message.find(part), std::string::npos) << message;
  };
  expectError(ErrorOf("{\"asset\": "), "not valid JSON");
  expectError(ErrorOf(""), "the file is empty");
  expectError(ErrorOf(std::string("glTF\x02\0\0\0\x1c\0\0\0\x08\0\0\0JSON{\"a\": 1,", 28)), "its JSON chunk is not valid JSON");
  expectError(ErrorOf("[1, 2]"), "not a JSON object");
  expectError(ErrorOf("{\"asset\": {\"version\": \"1.0\"}}"), "is not 2.x");
  expectError(error([](Doc& d) { d.j["scenes"] = json::array(); }), "no scene");
  expectError(error([](Doc& d) { d.j["nodes"][0]["mesh"] = 7; }), "\"mesh\" 7 is out of range");
  expectError(error([](Doc& d) { d.j["meshes"][0]["primitives"][0]["attributes"]["POSITION"] = 9; }), "accessor 9 is out of range");
  expectError(error([](Doc& d) { d.j["accessors"][0]["count"] = 5; }), "reads past the end of its buffer view");
  expectError(error([](Doc& d) { d.j["bufferViews"][0]["byteLength"] = 4096; }), "runs past the end of its buffer");
  expectError(error([](Doc& d) { d.j["accessors"][1]["componentType"] = 5124; }), "unknown componentType");
  expectError(error([](Doc& d) {
                d.j["accessors"][1]["bufferView"] = d.View(std::vector<uint16_t>{0, 1, 4, 0, 2, 3});
              }),
              "vertex index 4 is out of range");
  expectError(error([](Doc& d) { d.j["extensionsRequired"] = {"KHR_draco_mesh_compression"}; }),
              "requires the extension KHR_draco_mesh_compression");
  expectError(error([](Doc& d) { d.j["nodes"][0]["children"] = {0}; }), "reached twice");
  expectError(error([](Doc& d) { d.j["nodes"][0]["name"] = 3; }), "\"name\" is not a string");
  expectError(error([](Doc& d) { d.j["meshes"][0]["primitives"][0]["mode"] = 9; }), "unknown primitive mode");
  expectError(error([](Doc& d) {
                d.j["meshes"][0]["primitives"][0]["attributes"]["NORMAL"] = d.Floats({0, 0, 1}, "VEC3", 3);
              }),
              "NORMAL has 1 entries for 4 positions");
  expectError(error([](Doc& d) {
                const size_t t = d.Floats({0, 1}, "SCALAR", 1);
                d.j["animations"] = {{{"samplers", {{{"input", t}, {"output", t}}}},
                                      {"channels", {{{"sampler", 0}, {"target", {{"node", 0}, {"path", "translation"}}}}}}}};
              }),
              "does not match the path translation");
  expectError(error([](Doc& d) { d.j["images"] = {{{"uri", "data:image/png;base64,@@@"}}}; d.j["textures"] = {{{"source", 0}}};
                               d.j["materials"] = {{{"pbrMetallicRoughness", {{"baseColorTexture", {{"index", 0}}}}}}};
                               d.j["meshes"][0]["primitives"][0]["material"] = 0; }),
              "not base64");
  // Deep nesting is refused before the stack runs out.
  Doc deep;
  for (int i = 0; i < 5000; ++i) deep.j["nodes"].push_back({{"children", {i + 1}}});
  deep.j["nodes"].push_back(json::object());
  expectError(ErrorOf(deep.Text()), "nest deeper");
}

}  // namespace
}  // namespace vorn
