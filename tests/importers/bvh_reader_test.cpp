// BVH takes as the reader turns them into imported-scene records: the hierarchy and its End
// Sites, keys per frame in channel order, and the messages for malformed files.
#include "importers/bvh_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace vorn {
namespace {

using import::Quaternion;

// Two joints below the root; the root moves, the chest and arm only turn.
const char* const kTake =
    "HIERARCHY\n"
    "ROOT Hips\n"
    "{\n"
    "\tOFFSET 1 2 3\n"
    "\tCHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
    "\tJOINT Chest\n"
    "\t{\n"
    "\t\tOFFSET 0 5.5 0\n"
    "\t\tCHANNELS 3 Xrotation Yrotation Zrotation\n"
    "\t\tEnd Site\n"
    "\t\t{\n"
    "\t\t\tOFFSET 0 2 0\n"
    "\t\t}\n"
    "\t}\n"
    "\tJOINT Arm\n"
    "\t{\n"
    "\t\tOFFSET 1 -5 0.25\n"
    "\t\tCHANNELS 3 Yrotation Xrotation Zrotation\n"
    "\t\tEnd Site\n"
    "\t\t{\n"
    "\t\t\tOFFSET 0 -2 0\n"
    "\t\t}\n"
    "\t}\n"
    "}\n"
    "MOTION\n"
    "Frames: 3\n"
    "Frame Time: 0.04\n"
    "0 0 0 0 0 0 10 0 0 0 20 0\n"
    "1 2 3 30 0 0 0 0 90 0 0 0\n"
    "4.5 -5 6 0 0 90 0 90 0 0 0 -30\n";

Quaternion AxisAngle(char axis, double degrees) {
  const double h = degrees * 3.14159265358979323846 / 360;
  Quaternion q;
  q.w = float(std::cos(h));
  (axis == 'X' ? q.x : axis == 'Y' ? q.y : q.z) = float(std::sin(h));
  return q;
}

Quaternion Multiply(const Quaternion& a, const Quaternion& b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// Equal as rotations (q and -q are one rotation).
void ExpectRotation(const Quaternion& want, const import::QuatKey& key) {
  const Quaternion& got = key.value;
  const float sign = want.w * got.w + want.x * got.x + want.y * got.y + want.z * got.z < 0 ? -1.0f : 1.0f;
  EXPECT_NEAR(want.w, sign * got.w, 1e-6f);
  EXPECT_NEAR(want.x, sign * got.x, 1e-6f);
  EXPECT_NEAR(want.y, sign * got.y, 1e-6f);
  EXPECT_NEAR(want.z, sign * got.z, 1e-6f);
}

// The message ParseBvh throws for the text, or "" when it reads.
std::string Error(const std::string& text) {
  try {
    ParseBvh(text, "take.bvh");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// kTake with one piece replaced.
std::string Take(const std::string& from, const std::string& to) {
  std::string t = kTake;
  const size_t at = t.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) t.replace(at, from.size(), to);
  return t;
}

TEST(BvhReaderTest, HierarchyBecomesNodesWithOffsetsAndNamedEndSites) {
  const import::Scene s = ParseBvh(kTake, "take.bvh");
  const import::Node& hips = s.root;
  EXPECT_EQ(hips.name, "Hips");
  EXPECT_EQ(hips.transform.m[0][3], 1);
  EXPECT_EQ(hips.transform.m[1][3], 2);
  EXPECT_EQ(hips.transform.m[2][3], 3);
  EXPECT_EQ(hips.transform.m[0][0], 1);
  EXPECT_EQ(hips.transform.m[3][3], 1);
  ASSERT_EQ(hips.children.size(), 2u);
  EXPECT_EQ(hips.children[0].name, "Chest");
  EXPECT_EQ(hips.children[0].transform.m[1][3], 5.5f);
  EXPECT_EQ(hips.children[1].name, "Arm");
  EXPECT_EQ(hips.children[1].transform.m[2][3], 0.25f);
  ASSERT_EQ(hips.children[1].children.size(), 1u);
  const import::Node& tip = hips.children[1].children[0];
  EXPECT_EQ(tip.name, "EndSite_Arm");
  EXPECT_EQ(tip.transform.m[1][3], -2);
  EXPECT_TRUE(tip.children.empty());
}

// The skeleton's stand-in mesh: four faces from each joint to each child, eight round each End
// Site, every vertex on one bone with weight 1.
TEST(BvhReaderTest, SkeletonGetsAStandInMeshOnTheRoot) {
  const import::Scene s = ParseBvh(kTake, "take.bvh");
  ASSERT_EQ(s.meshes.size(), 1u);
  EXPECT_EQ(s.root.meshes, std::vector<unsigned>{0});
  ASSERT_EQ(s.materials.size(), 1u);
  EXPECT_EQ(s.materials[0].name, "SkeletonMaterial");
  const import::Mesh& m = s.meshes[0];
  ASSERT_EQ(m.positions.size(), 96u);  // Hips 2 x 12, Chest 12, Arm 12, two End Sites 24 each
  ASSERT_EQ(m.normals.size(), 96u);
  ASSERT_EQ(m.triangles.size(), 32u);
  ASSERT_EQ(m.bones.size(), 5u);
  const char* names[] = {"Hips", "Chest", "EndSite_Chest", "Arm", "EndSite_Arm"};
  const size_t counts[] = {24, 12, 24, 12, 24};
  uint32_t next = 0;
  for (size_t b = 0; b < 5; ++b) {
    EXPECT_EQ(m.bones[b].name, names[b]);
    ASSERT_EQ(m.bones[b].weights.size(), counts[b]);
    for (const auto& [vertex, weight] : m.bones[b].weights) {
      EXPECT_EQ(vertex, next++);
      EXPECT_EQ(weight, 1);
    }
  }
  // Offsets undo each joint's place at rest: Chest is at (1, 7.5, 3).
  EXPECT_EQ(m.bones[1].offset.m[0][3], -1);
  EXPECT_EQ(m.bones[1].offset.m[1][3], -7.5f);
  EXPECT_EQ(m.bones[1].offset.m[2][3], -3);
  // The first face points from Hips (1, 2, 3) to Chest, a tenth of the distance wide; its
  // normal faces out of the pointer.
  EXPECT_EQ(m.positions[1].y, 7.5f);
  EXPECT_NEAR(m.positions[0].z, 3.55f, 1e-6f);
  const import::Vec3& n = m.normals[0];
  EXPECT_GT(n.x, 0);
  EXPECT_LT(n.z, 0);
  EXPECT_EQ(n.x, m.normals[2].x);
  // Chest's End Site: a knob 0.18 of its offset (0, 2, 0) round (1, 9.5, 3).
  EXPECT_EQ(m.positions[36].x, 1 - 0.36f);
  EXPECT_EQ(m.positions[36].y, 9.5f);

  // A second child at the first one's offset shares its pointer's vertices.
  const import::Scene t = ParseBvh(Take("OFFSET 1 -5 0.25", "OFFSET 0 5.5 0"), "take.bvh");
  const import::Mesh& j = t.meshes.at(0);
  EXPECT_EQ(j.positions.size(), 84u);
  EXPECT_EQ(j.triangles.size(), 32u);
  EXPECT_EQ(j.triangles[4], j.triangles[0]);
  EXPECT_EQ(j.bones[0].weights.size(), 12u);
  EXPECT_EQ(j.bones[3].weights.front().first, 48u);
}

TEST(BvhReaderTest, MotionGivesOneKeyPerFrameInChannelOrder) {
  const import::Scene s = ParseBvh(kTake, "take.bvh");
  ASSERT_EQ(s.animations.size(), 1u);
  const import::Animation& a = s.animations[0];
  EXPECT_EQ(a.name, "Motion");
  EXPECT_EQ(a.ticksPerSecond, 1.0 / double(0.04f));  // ticks are frames
  EXPECT_EQ(a.duration, 2);
  ASSERT_EQ(a.channels.size(), 3u);  // End Sites have none
  EXPECT_EQ(a.channels[0].node, "Hips");
  EXPECT_EQ(a.channels[1].node, "Chest");
  EXPECT_EQ(a.channels[2].node, "Arm");
  for (const import::Channel& c : a.channels) {
    ASSERT_EQ(c.rotations.size(), 3u);
    for (int f = 0; f < 3; ++f) EXPECT_EQ(c.rotations[f].time, f);
    ASSERT_EQ(c.scalings.size(), 1u);
    EXPECT_EQ(c.scalings[0].value.x, 1);
  }

  // The root's positions are the channel values themselves, not added to its offset.
  const import::Channel& hips = a.channels[0];
  ASSERT_EQ(hips.positions.size(), 3u);
  EXPECT_EQ(hips.positions[2].time, 2);
  EXPECT_EQ(hips.positions[2].value.x, 4.5f);
  EXPECT_EQ(hips.positions[2].value.y, -5);
  EXPECT_EQ(hips.positions[2].value.z, 6);
  // A joint that only turns keeps its offset in a single key.
  ASSERT_EQ(a.channels[1].positions.size(), 1u);
  EXPECT_EQ(a.channels[1].positions[0].value.y, 5.5f);

  ExpectRotation(Quaternion{}, hips.rotations[0]);
  ExpectRotation(AxisAngle('Z', 30), hips.rotations[1]);
  ExpectRotation(AxisAngle('X', 90), hips.rotations[2]);
  ExpectRotation(AxisAngle('X', 10), a.channels[1].rotations[0]);
  ExpectRotation(AxisAngle('Z', 90), a.channels[1].rotations[1]);
  ExpectRotation(AxisAngle('Y', 90), a.channels[1].rotations[2]);
  ExpectRotation(AxisAngle('X', 20), a.channels[2].rotations[0]);  // Y X Z: the 20 is X
  ExpectRotation(AxisAngle('Z', -30), a.channels[2].rotations[2]);
}

TEST(BvhReaderTest, AnglesComposeInTheOrderTheChannelsAreListed) {
  // Y then X then Z, each on the right of the ones before it: Ry * Rx * Rz.
  const std::string text = Take("0 0 0 0 0 0 10 0 0 0 20 0", "0 0 0 0 0 0 10 0 0 40 25 -60");
  const import::Scene s = ParseBvh(text, "take.bvh");
  const Quaternion want = Multiply(Multiply(AxisAngle('Y', 40), AxisAngle('X', 25)), AxisAngle('Z', -60));
  ExpectRotation(want, s.animations[0].channels[2].rotations[0]);
  // The root lists Z Y X.
  const import::Scene r = ParseBvh(Take("0 0 0 0 0 0 10", "0 0 0 15 -35 70 10"), "take.bvh");
  ExpectRotation(Multiply(Multiply(AxisAngle('Z', 15), AxisAngle('Y', -35)), AxisAngle('X', 70)),
                 r.animations[0].channels[0].rotations[0]);
}

TEST(BvhReaderTest, PartialAndReorderedPositionChannels) {
  // Rotations first, positions after, and an axis without a channel keeping the offset.
  std::string text = Take("CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation",
                          "CHANNELS 5 Zrotation Yrotation Xrotation Zposition Xposition");
  text = text.substr(0, text.find("MOTION")) + "MOTION\nFrames: 1\nFrame Time: 0.5\n0 0 0 7 8 0 0 0 0 0 0\n";
  const import::Scene s = ParseBvh(text, "take.bvh");
  const import::VectorKey& p = s.animations[0].channels[0].positions.at(0);
  EXPECT_EQ(p.value.x, 8);
  EXPECT_EQ(p.value.y, 2);  // the offset's
  EXPECT_EQ(p.value.z, 7);
  EXPECT_EQ(s.animations[0].ticksPerSecond, 2);
  EXPECT_EQ(s.animations[0].duration, 0);
}

TEST(BvhReaderTest, LayoutVariantsRead) {
  // CR LF line ends, blank lines between frames, trailing spaces, signs and exponents.
  std::string crlf;
  for (char c : std::string(kTake)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  crlf.insert(crlf.find("1 2 3 30"), "\r\n  \r\n");
  const import::Scene a = ParseBvh(crlf, "take.bvh");
  ASSERT_EQ(a.animations.at(0).channels.at(0).positions.size(), 3u);
  EXPECT_EQ(a.animations[0].channels[0].positions[1].value.x, 1);

  const import::Scene b = ParseBvh(Take("4.5 -5 6 ", "+4.5e0 -0.5E1 600e-2 "), "take.bvh");
  EXPECT_EQ(b.animations[0].channels[0].positions[2].value.x, 4.5f);
  EXPECT_EQ(b.animations[0].channels[0].positions[2].value.y, -5);
  EXPECT_EQ(b.animations[0].channels[0].positions[2].value.z, 6);

  // Integer parts beyond 64 bits.
  EXPECT_EQ(ParseBvh(Take("OFFSET 1 2 3", "OFFSET 100000000000000000000.5 2 3"), "take.bvh").root.transform.m[0][3], 1e20f);

  // Frame lines past the declared count are not read.
  const import::Scene c = ParseBvh(Take("Frames: 3", "Frames: 2"), "take.bvh");
  EXPECT_EQ(c.animations[0].channels[0].rotations.size(), 2u);
  // No frames: no animation.
  const std::string none = std::string(kTake).substr(0, std::string(kTake).find("Frames:")) + "Frames: 0\nFrame Time: 0.1\n";
  EXPECT_TRUE(ParseBvh(none, "take.bvh").animations.empty());
}

TEST(BvhReaderTest, SeveralRootsShareAnIdentityRoot) {
  std::string text = kTake;
  const std::string second = "ROOT Prop\n{\n OFFSET 9 0 0\n CHANNELS 3 Xposition Yposition Zposition\n}\n";
  text.insert(text.find("MOTION"), second);
  text = text.substr(0, text.find("Frames:")) + "Frames: 1\nFrame Time: 0.1\n0 0 0 0 0 0 0 0 0 0 0 0 7 8 9\n";
  const import::Scene s = ParseBvh(text, "take.bvh");
  ASSERT_EQ(s.root.children.size(), 2u);
  EXPECT_EQ(s.root.children[0].name, "Hips");
  EXPECT_EQ(s.root.children[1].name, "Prop");
  EXPECT_EQ(s.root.transform.m[0][3], 0);
  // The stand-in mesh on the first ROOT, with bones from both.
  EXPECT_TRUE(s.root.meshes.empty());
  EXPECT_EQ(s.root.children[0].meshes, std::vector<unsigned>{0});
  EXPECT_EQ(s.meshes.at(0).bones.back().name, "Prop");
  ASSERT_EQ(s.animations.at(0).channels.size(), 4u);
  EXPECT_EQ(s.animations[0].channels[3].node, "Prop");
  EXPECT_EQ(s.animations[0].channels[3].positions.at(0).value.z, 9);
}

TEST(BvhReaderTest, MalformedFilesNameFileLineAndFault) {
  struct Case {
    std::string text, message;
  };
  const std::string hierarchy = std::string(kTake).substr(0, std::string(kTake).find("MOTION"));
  const Case cases[] = {
      {"", "take.bvh:1: expected HIERARCHY, found the end of the file"},
      {Take("Yrotation Xrotation Zrotation", "Yrotation Xrotation Wrotation"),
       "take.bvh:18: unknown channel \"Wrotation\" for Arm"},
      {Take("CHANNELS 3 X", "CHANNELS 4 X"), "take.bvh:10: unknown channel \"End\" for Chest"},
      {Take("CHANNELS 3 X", "CHANNELS -1 X"), "take.bvh:9: expected the number of channels, found \"-1\""},
      {hierarchy.substr(0, hierarchy.rfind('}')), "take.bvh:24: missing } for Hips"},
      {Take("\tJOINT Arm\n\t{", "\tJOINT Arm\n"), "take.bvh:17: expected {, found \"OFFSET\""},
      {Take("OFFSET 1 -5 0.25", "OFFSET 1 -5 x"), "take.bvh:17: expected an OFFSET value, found \"x\""},
      {Take("\t\tOFFSET 1 -5 0.25\n", ""), "take.bvh:22: no OFFSET for Arm"},
      {Take("\t\t\tOFFSET 0 -2 0\n", "\t\t\tOFFSET 0 -2 0\n CHANNELS 1 Xrotation\n"),
       "take.bvh:22: an End Site has no channels"},
      {Take("1 2 3 30 0 0 0 0 90 0 0 0", "1 2 3 30 0 0 0 0 90 0 0"),
       "take.bvh:29: frame 2 has 11 values, the hierarchy has 12 channels"},
      {Take("1 2 3 30 0 0 0 0 90 0 0 0", "1 2 3 30 0 0 0 0 90 0 0 0 5"),
       "take.bvh:29: frame 2 has more values than the hierarchy's 12 channels"},
      {Take("1 2 3 30 0 0 0 0 90 0 0 0", "1 2 3 30 0 0 0 0 nan 0 0 0"),
       "take.bvh:29: expected a channel value, found \"nan\""},
      {Take("Frames: 3", "Frames: 5"), "take.bvh:31: the file ends after 3 of 5 frames"},
      {Take("Frames: 3", "Frames: 30000000"),
       "take.bvh:27: 30000000 frames of 3 joints are more keys than 67108864, the most read"},
      {Take("Frames: 3", "Frames: many"), "take.bvh:26: expected the number of frames, found \"many\""},
      {Take("0.04", "0"), "take.bvh:27: the frame time must be above zero"},
      {Take("0.04", "1e99"), "take.bvh:27: expected the frame time, found \"1e99\""},
      {Take("MOTION", "MOTIONS"), "take.bvh:25: expected ROOT or MOTION, found \"MOTIONS\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Error(c.text), c.message) << c.text;

  std::string deep = "HIERARCHY\nROOT a\n{\nOFFSET 0 0 0\n";
  for (int i = 0; i < 2000; ++i) deep += "JOINT j\n{\nOFFSET 0 0 0\n";
  EXPECT_NE(Error(deep).find("nested deeper than"), std::string::npos);

  try {
    ReadBvh("/nonexistent/take.bvh");
    ADD_FAILURE() << "read a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "/nonexistent/take.bvh: cannot open the file");
  }
}

// A take long enough to be read on two cores: kTake's three frames over and over.
TEST(BvhReaderTest, LongTakesReadInHalvesKeepFrameOrderAndTheEarliestFault) {
  const std::string head = std::string(kTake).substr(0, std::string(kTake).find("Frames: 3"));
  const std::string frames[3] = {"0 0 0 0 0 0 10 0 0 0 20 0\n", "1 2 3 30 0 0 0 0 90 0 0 0\n",
                                 "4.5 -5 6 0 0 90 0 90 0 0 0 -30\n"};
  constexpr int kFrames = 9000;
  const int firstFrameLine = 28;
  auto take = [&](int badA, int badB) {
    std::string t = head + "Frames: " + std::to_string(kFrames) + "\nFrame Time: 0.04\n";
    for (int f = 0; f < kFrames; ++f) t += f == badA || f == badB ? "1 2 x 0 0 0 0 0 0 0 0 0\n" : frames[f % 3];
    return t;
  };
  const import::Scene scene = ParseBvh(take(-1, -1), "take.bvh");
  ASSERT_EQ(scene.animations.size(), 1u);
  for (const import::Channel& ch : scene.animations[0].channels) {
    ASSERT_EQ(ch.rotations.size(), size_t(kFrames)) << ch.node;
    for (int f = 0; f < kFrames; ++f) {
      const import::QuatKey& k = ch.rotations[size_t(f)];
      const import::QuatKey& first = ch.rotations[size_t(f % 3)];
      ASSERT_EQ(k.time, double(f)) << ch.node;
      ASSERT_TRUE(k.value.w == first.value.w && k.value.x == first.value.x && k.value.y == first.value.y &&
                  k.value.z == first.value.z)
          << ch.node << " frame " << f;
    }
  }
  const import::Channel& hips = scene.animations[0].channels[0];
  ASSERT_EQ(hips.positions.size(), size_t(kFrames));
  EXPECT_EQ(hips.positions[8000].value.x, 4.5f);  // 8000 % 3 == 2

  auto fault = [&](int frame) {
    return "take.bvh:" + std::to_string(firstFrameLine + frame) + ": expected a channel value, found \"x\"";
  };
  EXPECT_EQ(Error(take(8000, -1)), fault(8000));
  EXPECT_EQ(Error(take(10, 8000)), fault(10));
}

TEST(BvhReaderTest, FileNamesByExtension) {
  EXPECT_TRUE(IsBvhPath("walk.bvh"));
  EXPECT_TRUE(IsBvhPath("/takes/WALK.BVH"));
  EXPECT_FALSE(IsBvhPath("walk.bvh.json"));
  EXPECT_FALSE(IsBvhPath("bvh"));
}

}  // namespace
}  // namespace vorn
