// The COLLADA reader on small documents made here: transforms, the unit and up axis, polygons,
// skins, animation channels and .zae archives become the records assimp would give, and every
// kind of malformed file is refused with a message naming it and the fault.
#include "importers/collada_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "importers/zip_archive.h"

namespace vorn {
namespace {

// A document around the given library elements, with a visual scene of the given nodes.
std::string Doc(const std::string& libraries, const std::string& nodes, const std::string& asset = "") {
  return "<?xml version=\"1.0\"?><COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">"
         "<asset>" + asset + "</asset>" + libraries +
         "<library_visual_scenes><visual_scene id=\"Scene\">" + nodes +
         "</visual_scene></library_visual_scenes><scene><instance_visual_scene url=\"#Scene\"/></scene></COLLADA>";
}

// A geometry "g" with the given positions and one primitive element.
std::string Geometry(const std::string& positions, size_t count, const std::string& primitive) {
  return "<library_geometries><geometry id=\"g\"><mesh><source id=\"p\"><float_array id=\"pa\">" + positions +
         "</float_array><technique_common><accessor source=\"#pa\" count=\"" + std::to_string(count) +
         "\" stride=\"3\"><param name=\"X\" type=\"float\"/><param name=\"Y\" type=\"float\"/><param name=\"Z\" "
         "type=\"float\"/></accessor></technique_common></source><vertices id=\"v\"><input semantic=\"POSITION\" "
         "source=\"#p\"/></vertices>" + primitive + "</mesh></geometry></library_geometries>";
}

const std::string kQuad = "0 0 0  1 0 0  1 1 0  0 1 0";
const std::string kQuadList =
    "<polylist count=\"1\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><vcount>4</vcount><p>0 1 2 3</p></polylist>";
const std::string kMeshNode = "<node id=\"n\"><instance_geometry url=\"#g\"/></node>";

import::Scene Read(const std::string& text, const std::string& name = "/models/test.dae") {
  return ReadColladaBytes(text, name);
}

// The message for a file refused, or "" when it is read.
std::string Refusal(const std::string& text, const std::string& name = "/models/test.dae") {
  try {
    Read(text, name);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// ---- .zae archives: a stored zip written here ------------------------------------------

uint32_t Crc32(const std::string& s) {
  uint32_t c = 0xffffffffu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0xedb88320u : c >> 1;
  }
  return ~c;
}

void Put16(std::string& s, uint32_t v) {
  s.push_back(char(v & 0xff));
  s.push_back(char((v >> 8) & 0xff));
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xffff);
  Put16(s, v >> 16);
}

std::string Zip(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out, dir;
  for (const auto& [name, data] : members) {
    const uint32_t at = uint32_t(out.size()), crc = Crc32(data);
    Put32(out, 0x04034b50);
    Put16(out, 20), Put16(out, 0), Put16(out, 0), Put16(out, 0), Put16(out, 0);
    Put32(out, crc), Put32(out, uint32_t(data.size())), Put32(out, uint32_t(data.size()));
    Put16(out, uint16_t(name.size())), Put16(out, 0);
    out += name + data;
    Put32(dir, 0x02014b50);
    Put16(dir, 20), Put16(dir, 20), Put16(dir, 0), Put16(dir, 0), Put16(dir, 0), Put16(dir, 0);
    Put32(dir, crc), Put32(dir, uint32_t(data.size())), Put32(dir, uint32_t(data.size()));
    Put16(dir, uint16_t(name.size())), Put16(dir, 0), Put16(dir, 0), Put16(dir, 0), Put16(dir, 0);
    Put32(dir, 0), Put32(dir, at);
    dir += name;
  }
  const uint32_t dirAt = uint32_t(out.size());
  out += dir;
  Put32(out, 0x06054b50);
  Put16(out, 0), Put16(out, 0), Put16(out, uint16_t(members.size())), Put16(out, uint16_t(members.size()));
  Put32(out, uint32_t(dir.size())), Put32(out, dirAt), Put16(out, 0);
  return out;
}

TEST(ColladaReader, TransformElementsComposeInOrderAndTheRootCarriesUnitAndUpAxis) {
  const import::Scene s = Read(Doc(Geometry(kQuad, 4, kQuadList),
                                   "<node id=\"n\"><translate>1 2 3</translate><rotate>0 0 1 90</rotate><scale>2 2 2</scale>"
                                   "<instance_geometry url=\"#g\"/></node>",
                                   "<unit meter=\"0.01\"/><up_axis>Z_UP</up_axis>"));
  EXPECT_EQ(s.root.name, "Scene");
  // Z up turns to Y up, scaled by the unit.
  EXPECT_FLOAT_EQ(s.root.transform.m[0][0], 0.01f);
  EXPECT_FLOAT_EQ(s.root.transform.m[1][2], 0.01f);
  EXPECT_FLOAT_EQ(s.root.transform.m[2][1], -0.01f);
  EXPECT_EQ(s.root.transform.m[1][1], 0.0f);
  ASSERT_EQ(s.root.children.size(), 1u);
  const import::Matrix4& m = s.root.children[0].transform;
  // translate × rotate × scale: x goes to 2y, then moves by (1, 2, 3).
  EXPECT_NEAR(m.m[1][0], 2, 1e-6);
  EXPECT_NEAR(m.m[0][1], -2, 1e-6);
  EXPECT_EQ(m.m[0][3], 1);
  EXPECT_EQ(m.m[2][3], 3);
  EXPECT_EQ(s.root.children[0].name, "n");
}

TEST(ColladaReader, PolygonsBecomeTrianglesOverSharedVertices) {
  // A convex quad is a fan from its first corner; its four corners are four vertices.
  import::Scene s = Read(Doc(Geometry(kQuad, 4, kQuadList), kMeshNode));
  ASSERT_EQ(s.meshes.size(), 1u);
  EXPECT_EQ(s.meshes[0].positions.size(), 4u);
  ASSERT_EQ(s.meshes[0].triangles.size(), 2u);
  EXPECT_EQ(s.meshes[0].triangles[1], (std::array<uint32_t, 3>{0, 2, 3}));
  // Without normals in the file each vertex gets its face's: here all +z.
  for (const import::Vec3& n : s.meshes[0].normals) EXPECT_FLOAT_EQ(n.z, 1);
  // No material at all: a default one.
  ASSERT_EQ(s.materials.size(), 1u);
  EXPECT_EQ(s.materials[0].name, "DefaultMaterial");

  // A concave hexagon (an L) is cut into four triangles that cover it exactly once.
  s = Read(Doc(Geometry("0 0 0  3 0 0  3 1 0  1 1 0  1 3 0  0 3 0", 6,
                        "<polygons count=\"1\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><p>0 1 2 3 4 5</p></polygons>"),
               kMeshNode));
  ASSERT_EQ(s.meshes[0].triangles.size(), 4u);
  float area = 0;
  for (const auto& t : s.meshes[0].triangles) {
    const import::Vec3 &a = s.meshes[0].positions[t[0]], &b = s.meshes[0].positions[t[1]], &c = s.meshes[0].positions[t[2]];
    const float z = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    EXPECT_GT(z, 0) << "every triangle keeps the polygon's winding";
    area += z / 2;
  }
  EXPECT_FLOAT_EQ(area, 5);

  // Strips alternate their winding; lines are dropped.
  s = Read(Doc(Geometry(kQuad, 4,
                        "<tristrips count=\"1\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><p>0 1 3 2</p></tristrips>"
                        "<lines count=\"1\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><p>0 1</p></lines>"),
               kMeshNode));
  ASSERT_EQ(s.meshes.size(), 1u);
  ASSERT_EQ(s.meshes[0].triangles.size(), 2u);
  EXPECT_EQ(s.meshes[0].triangles[1], (std::array<uint32_t, 3>{2, 1, 3}));
}

TEST(ColladaReader, SkinBonesAreJointNodesWithOffsetTimesBindShape) {
  const std::string controller =
      "<library_controllers><controller id=\"c\"><skin source=\"#g\"><bind_shape_matrix>1 0 0 5 0 1 0 0 0 0 1 0 0 0 0 1"
      "</bind_shape_matrix><source id=\"j\"><Name_array id=\"ja\" count=\"2\">A B</Name_array><technique_common>"
      "<accessor source=\"#ja\" count=\"2\"><param name=\"JOINT\" type=\"name\"/></accessor></technique_common></source>"
      "<source id=\"ibm\"><float_array id=\"ia\" count=\"32\">1 0 0 -1 0 1 0 0 0 0 1 0 0 0 0 1  1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1"
      "</float_array><technique_common><accessor source=\"#ia\" count=\"2\" stride=\"16\"><param name=\"TRANSFORM\" "
      "type=\"float4x4\"/></accessor></technique_common></source><source id=\"w\"><float_array id=\"wa\" count=\"2\">1 0.5"
      "</float_array><technique_common><accessor source=\"#wa\" count=\"2\"><param name=\"WEIGHT\" type=\"float\"/></accessor>"
      "</technique_common></source><joints><input semantic=\"JOINT\" source=\"#j\"/><input semantic=\"INV_BIND_MATRIX\" "
      "source=\"#ibm\"/></joints><vertex_weights count=\"4\"><input semantic=\"JOINT\" source=\"#j\" offset=\"0\"/>"
      "<input semantic=\"WEIGHT\" source=\"#w\" offset=\"1\"/><vcount>1 1 2 1</vcount><v>0 0 0 0 0 1 1 1 0 0</v>"
      "</vertex_weights></skin></controller></library_controllers>";
  const import::Scene s = Read(Doc(Geometry(kQuad, 4, kQuadList) + controller,
                                   "<node id=\"rootJoint\" sid=\"A\"><node id=\"childJoint\" sid=\"B\"/></node>"
                                   "<node id=\"n\"><instance_controller url=\"#c\"/></node>"));
  ASSERT_EQ(s.meshes.size(), 1u);
  ASSERT_EQ(s.meshes[0].bones.size(), 2u);
  const import::Bone& a = s.meshes[0].bones[0];
  EXPECT_EQ(a.name, "rootJoint");  // joints are named by sid, bones by the node's id
  EXPECT_EQ(a.offset.m[0][3], 4);  // -1 + 5
  EXPECT_EQ(a.weights.size(), 4u);
  EXPECT_EQ(s.meshes[0].bones[1].name, "childJoint");
  EXPECT_EQ(s.meshes[0].bones[1].weights, (std::vector<std::pair<uint32_t, float>>{{2, 0.5f}}));
}

TEST(ColladaReader, ASceneOfNodesAloneGetsTheSkeletonStandIn) {
  const import::Scene s = Read(Doc("", "<node id=\"hip\"><translate>0 1 0</translate><node id=\"knee\"><translate>0 -2 0"
                                       "</translate></node></node>"));
  ASSERT_EQ(s.meshes.size(), 1u);
  EXPECT_EQ(s.root.meshes, std::vector<unsigned>{0});
  EXPECT_EQ(s.materials.at(s.meshes[0].material).name, "SkeletonMaterial");
  // The root has one child pointer (4 faces), the hip one to the knee, the knee a knob (8).
  EXPECT_EQ(s.meshes[0].triangles.size(), 16u);
  ASSERT_EQ(s.meshes[0].bones.size(), 3u);
  EXPECT_EQ(s.meshes[0].bones[1].name, "hip");
  EXPECT_EQ(s.meshes[0].bones[2].name, "knee");
  EXPECT_FLOAT_EQ(s.meshes[0].bones[2].offset.m[1][3], 1);  // the knee rests at y = -1
  // The hip's pointer ends at the knee.
  bool reachesKnee = false;
  for (const import::Vec3& p : s.meshes[0].positions) reachesKnee |= p.x == 0 && p.y == -1 && p.z == 0;
  EXPECT_TRUE(reachesKnee);
  // A scene with a mesh gets none.
  EXPECT_EQ(Read(Doc(Geometry(kQuad, 4, kQuadList), kMeshNode)).meshes.size(), 1u);
}

TEST(ColladaReader, ChannelsOnTransformElementsBecomeKeysInMilliseconds) {
  const std::string animation =
      "<library_animations><animation id=\"a\" name=\"Walk\"><source id=\"in\"><float_array id=\"ina\" count=\"2\">0 2"
      "</float_array><technique_common><accessor source=\"#ina\" count=\"2\"><param name=\"TIME\" type=\"float\"/>"
      "</accessor></technique_common></source><source id=\"out\"><float_array id=\"outa\" count=\"2\">0 90</float_array>"
      "<technique_common><accessor source=\"#outa\" count=\"2\"><param name=\"ANGLE\" type=\"float\"/></accessor>"
      "</technique_common></source><source id=\"x\"><float_array id=\"xa\" count=\"1\">4</float_array><technique_common>"
      "<accessor source=\"#xa\" count=\"1\"><param name=\"X\" type=\"float\"/></accessor></technique_common></source>"
      "<source id=\"t1\"><float_array id=\"t1a\" count=\"1\">1</float_array><technique_common><accessor source=\"#t1a\" "
      "count=\"1\"><param type=\"float\"/></accessor></technique_common></source>"
      "<sampler id=\"s\"><input semantic=\"INPUT\" source=\"#in\"/><input semantic=\"OUTPUT\" source=\"#out\"/></sampler>"
      "<sampler id=\"s2\"><input semantic=\"INPUT\" source=\"#t1\"/><input semantic=\"OUTPUT\" source=\"#x\"/></sampler>"
      "<channel source=\"#s\" target=\"n/rz.ANGLE\"/><channel source=\"#s2\" target=\"n/t.X\"/></animation>"
      "</library_animations>";
  const import::Scene s = Read(Doc(Geometry(kQuad, 4, kQuadList) + animation,
                                   "<node id=\"n\"><translate sid=\"t\">1 0 0</translate><rotate sid=\"rz\">0 0 1 0</rotate>"
                                   "<instance_geometry url=\"#g\"/></node>"));
  ASSERT_EQ(s.animations.size(), 1u);
  const import::Animation& a = s.animations[0];
  EXPECT_EQ(a.name, "Walk");
  EXPECT_EQ(a.ticksPerSecond, 1000);
  EXPECT_EQ(a.duration, 2000);
  ASSERT_EQ(a.channels.size(), 1u);
  const import::Channel& c = a.channels[0];
  EXPECT_EQ(c.node, "n");
  // One key at every time of any channel on the node: 0, 1 and 2 seconds.
  ASSERT_EQ(c.positions.size(), 3u);
  EXPECT_EQ(c.positions[1].time, 1000);
  EXPECT_EQ(c.positions[0].value.x, 4);  // held before the channel's only key
  // Halfway the turn is 45 degrees about z.
  EXPECT_NEAR(c.rotations[1].value.z, std::sin(0.3926991f), 1e-6);
  EXPECT_NEAR(c.rotations[2].value.w, std::cos(0.7853982f), 1e-6);
}

TEST(ColladaReader, ArchivesReadTheRootTheManifestNamesAndEmbedTheirImages) {
  const std::string effect =
      "<library_images><image id=\"img\"><init_from>./tex%20a.png</init_from></image></library_images>"
      "<library_effects><effect id=\"e\"><profile_COMMON><technique sid=\"t\"><phong><diffuse><texture texture=\"img\" "
      "texcoord=\"UV\"/></diffuse></phong></technique></profile_COMMON></effect></library_effects>"
      "<library_materials><material id=\"m\" name=\"Skin\"><instance_effect url=\"#e\"/></material></library_materials>";
  const std::string doc = Doc(Geometry(kQuad, 4, kQuadList) + effect,
                              "<node id=\"n\"><instance_geometry url=\"#g\"><bind_material><technique_common>"
                              "<instance_material symbol=\"x\" target=\"#m\"/></technique_common></bind_material>"
                              "</instance_geometry></node>");
  const std::string zae = Zip({{"other.dae", "not read"},
                               {"manifest.xml", "<dae_root>./dir/my%20scene.dae</dae_root>"},
                               {"dir/my scene.dae", doc},
                               {"dir/tex a.png", "PNGDATA"}});
  const import::Scene s = Read(zae, "/models/a.zae");
  ASSERT_EQ(s.materials.size(), 1u);
  EXPECT_EQ(s.materials[0].name, "Skin");
  ASSERT_EQ(s.materials[0].diffuseMap.embedded, 0);
  ASSERT_EQ(s.textures.size(), 1u);
  EXPECT_EQ(s.textures[0].fileName, "./tex a.png");
  EXPECT_EQ(s.textures[0].formatHint, "png");
  EXPECT_EQ(std::string(s.textures[0].data.begin(), s.textures[0].data.end()), "PNGDATA");
  // Without a manifest, the first .dae.
  EXPECT_EQ(Read(Zip({{"readme.txt", "x"}, {"b.dae", doc}}), "/models/b.zae").meshes.size(), 1u);
  // The same document outside an archive names the file beside it.
  EXPECT_EQ(Read(doc).materials[0].diffuseMap.file, "./tex a.png");
}

// A channel turning 10^30 degrees between two keys: keys a quarter turn apart cannot be made.
const std::string kRunawayTurn =
    "<library_animations><animation id=\"a\"><source id=\"i\"><float_array id=\"ia\" count=\"2\">0 1</float_array>"
    "</source><source id=\"o\"><float_array id=\"oa\" count=\"2\">0 1e30</float_array></source><sampler id=\"s\">"
    "<input semantic=\"INPUT\" source=\"#i\"/><input semantic=\"OUTPUT\" source=\"#o\"/></sampler>"
    "<channel source=\"#s\" target=\"n/r.ANGLE\"/></animation></library_animations>";

TEST(ColladaReader, MalformedFilesAreRefusedWithTheFileAndTheFault) {
  struct Case {
    const char* what;
    std::string text;
    const char* message;
  };
  const std::string good = Doc(Geometry(kQuad, 4, kQuadList), kMeshNode);
  const std::string zae = Zip({{"a.dae", good}});
  std::string badCrc = zae;
  badCrc[40] ^= 1;  // inside the member's data
  const std::vector<Case> cases = {
      {"not XML", "<COLLADA><asset>", "line 1: not well-formed XML"},
      {"XML, not COLLADA", "<?xml version=\"1.0\"?><scene/>", "not a COLLADA document"},
      {"no visual scene", "<COLLADA/>", "no visual scene"},
      {"dangling geometry", Doc("", "<node id=\"n\"><instance_geometry url=\"#nothing\"/></node>"),
       "refers to the geometry \"nothing\", which the file does not hold"},
      {"index out of range", Doc(Geometry(kQuad, 4, "<polylist count=\"1\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/>"
                                                    "<vcount>4</vcount><p>0 1 2 9</p></polylist>"), kMeshNode),
       "index 9 is out of range"},
      {"vcount past p", Doc(Geometry(kQuad, 4, "<polylist count=\"1\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/>"
                                               "<vcount>5</vcount><p>0 1 2 3</p></polylist>"), kMeshNode),
       "<vcount> asks for 5 corners"},
      {"accessor past its array", Doc(Geometry(kQuad, 5, kQuadList), kMeshNode), "reads past the end of its array"},
      {"not a number", Doc(Geometry("0 0 0 1 0 x 1 1 0 0 1 0", 4, kQuadList), kMeshNode), "\"x 1 1 0 0 1 0\" is not a number"},
      {"a node instancing itself", Doc("<library_nodes><node id=\"loop\"><instance_node url=\"#loop\"/></node></library_nodes>",
                                       "<node id=\"n\"><instance_node url=\"#loop\"/></node>"),
       "nest deeper than"},
      {"a turn too large to key", Doc(Geometry(kQuad, 4, kQuadList) + kRunawayTurn,
                                      "<node id=\"n\"><rotate sid=\"r\">0 0 1 0</rotate><instance_geometry url=\"#g\"/></node>"),
       "asks for too many keys"},
      {"zip cut short", zae.substr(0, zae.size() - 10), "no zip directory"},
      {"zip member damaged", badCrc, "checksum mismatch"},
      {"zip without a document", Zip({{"readme.txt", "x"}}), "the archive holds no .dae document"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string message = Refusal(c.text);
    EXPECT_EQ(message.rfind("/models/test.dae: ", 0), 0u) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
  EXPECT_EQ(Refusal(good), "");
}

}  // namespace
}  // namespace vorn
