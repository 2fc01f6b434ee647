// The .X reader on its own: malformed files are refused with the file and the fault named, never
// a crash; and the places where it reads what assimp's import gets wrong or refuses.
#include "importers/x_reader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

const std::string kHeader = "xof 0303txt 0032\n";

// A frame holding a one-triangle mesh; `extra` goes inside the mesh.
std::string TriangleFile(const std::string& faces = "1;3;0,1,2;;", const std::string& extra = "") {
  return kHeader + "Frame F {\n Mesh M {\n  3;\n  0.0;0.0;0.0;,\n  1.0;0.0;0.0;,\n  0.0;1.0;0.0;;\n  " + faces + "\n" +
         extra + " }\n}\n";
}

// The message ReadXBytes gives, or "" when it reads the file.
std::string Refusal(const std::string& text) {
  try {
    ReadXBytes(text, "model.x");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(XReaderRefuses, MalformedFilesWithTheFileAndTheFault) {
  const struct {
    std::string text, fault;
  } cases[] = {
      {"hello, world", "not an .X file"},
      {kHeader + "Frame F {\n Frame G {\n", "file ends inside"},
      {kHeader + "Bogus B { 1; }\n", "unknown template Bogus"},
      {TriangleFile("1;3;0,1,3;;"), "face 0 uses vertex 3, the mesh has 3"},
      {TriangleFile("2;3;0,1,2;,0;;"), "face 1 has no corners"},
      {TriangleFile("1;3;0,1,2;;", "MeshNormals { 1; 0.0;0.0;1.0;; 1; 3;0,0,1;; }\n"), "uses normal 1, there are 1"},
      {TriangleFile("1;3;0,1,2;;", "MeshNormals { 1; 0.0;0.0;1.0;; 2; 3;0,0,0;, 3;0,0,0;; }\n"), "2 normal faces for 1 faces"},
      {TriangleFile("1;3;0,1,2;;", "MeshNormals { 1; 0.0;0.0;1.0;; 1; 2;0,0;; }\n"), "normal face 0 has 2 corners"},
      {TriangleFile("1;3;0,1,2;;", "MeshTextureCoords { 2; 0.0;0.0;, 1.0;1.0;; }\n"), "2 texture coordinates for 3 vertices"},
      {TriangleFile("1;3;0,1,2;;", "MeshVertexColors { 3; 0;1.0;1.0;1.0;1.0;;, 1;1.0;1.0;1.0;1.0;;, 7;1.0;1.0;1.0;1.0;;; }\n"),
       "colour 2 is for vertex 7"},
      {TriangleFile("2;3;0,1,2;,3;2,1,0;;", "MeshMaterialList { 1; 2; 0,1;; Material { 1.0;1.0;1.0;1.0;; 0.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;; } }\n"),
       "face 1 has material 1, the list holds 1"},
      {TriangleFile("2;3;0,1,2;,3;2,1,0;;", "MeshMaterialList { 1; 3; 0,0,0;; }\n"), "3 face material indices for 2 faces"},
      {TriangleFile("1;3;0,1,2;;", "MeshMaterialList { 1; 1; 0;; }\n"), "face 0 has material 0, the list holds 0"},
      {TriangleFile("1;3;0,1,2;;", "SkinWeights { \"B\"; 1; 5; 1.0; 1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0;; }\n"),
       "weight 0 is for vertex 5"},
      {kHeader + "Frame F {}\nAnimationSet A { Animation { { F } AnimationKey { 0; 1; 0;3;1.0,0.0,0.0;;; } } }\n",
       "key 0 has 3 values, its type takes 4"},
      {kHeader + "Frame F {}\nAnimationSet A { Animation { { F } AnimationKey { 7; 1; 0;3;1.0,0.0,0.0;;; } } }\n",
       "unknown key type 7"},
      {kHeader + "template NormalmapFilename { <11111111-2222-3333-4444-555555555555> DWORD n; }\nFrame F {}\n",
       "template NormalmapFilename does not start with the file name"},
      {kHeader + "AnimTicksPerSecond { 30; }\n", "no frame and no mesh"},
      {kHeader + "Frame F { FrameTransformMatrix { 1.0,0.0,x; } }\n", "not a number"},
  };
  for (const auto& c : cases) {
    const std::string message = Refusal(c.text);
    EXPECT_EQ(message.rfind("model.x: ", 0), 0u) << c.text << "\n -> " << message;
    EXPECT_NE(message.find(c.fault), std::string::npos) << c.text << "\n -> " << message;
  }
}

// Every cut of a file, text and binary-free, is read or refused; never more.
TEST(XReaderRefuses, EveryPrefixOfAFileIsReadOrRefused) {
  const std::string whole = testing::ReadText(std::string(VORN_SOURCE_DIR) + "/tests/importers/x/skinned.x");
  ASSERT_GT(whole.size(), 4000u);
  size_t refused = 0;
  for (size_t n = 0; n < whole.size(); n += 7) refused += !Refusal(whole.substr(0, n)).empty();
  EXPECT_GT(refused, whole.size() / 8);
  EXPECT_EQ(Refusal(whole), "");
  EXPECT_THROW(ReadX("/nonexistent/model.x"), std::runtime_error);
}

TEST(XReaderReads, PathsByExtension) {
  EXPECT_TRUE(IsXPath("a/b.x"));
  EXPECT_TRUE(IsXPath("B.X"));
  EXPECT_FALSE(IsXPath("b.xml"));
  EXPECT_FALSE(IsXPath("x"));
}

const std::string kMaterial = "{ 1.0;1.0;1.0;1.0;; 0.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;; }\n";

// assimp 5.2 takes a reference's place in the mesh's list for the material's place in the
// scene, which picks the wrong material or none; the reader goes by the name.
TEST(XReaderReads, MaterialReferencesByName) {
  const import::Scene s = ReadXBytes(
      kHeader + "Material First " + kMaterial + "Material Second " + kMaterial +
          TriangleFile("1;3;0,1,2;;", "MeshMaterialList { 1; 1; 0;; { Second } }\n").substr(kHeader.size()),
      "model.x");
  ASSERT_EQ(s.meshes.size(), 1u);
  EXPECT_EQ(s.materials.at(s.meshes[0].material).name, "Second");
}

// Unnamed materials are named by the line as assimp counts it: each line end once, and the
// "\r" before "\n" once more after the header and after a comment.
TEST(XReaderReads, UnnamedMaterialsByAssimpsLineCount) {
  const std::string list = "MeshMaterialList { 1; 1; 0;;\nMaterial\n" + kMaterial + "}\n";
  const std::string lf = TriangleFile("1;3;0,1,2;;", list);
  EXPECT_EQ(ReadXBytes(lf, "model.x").materials.at(0).name, "material10");
  std::string crlf;
  for (char c : TriangleFile("1;3;0,1,2;;", "// a comment\n" + list)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(ReadXBytes(crlf, "model.x").materials.at(0).name, "material13");
}

// An unnamed frame whose meshes are its parent's only child goes into the parent; several top
// frames hang under "$dummy_root"; unnamed frames keep their empty names.
TEST(XReaderReads, FrameHierarchyAsAssimpShapesIt) {
  const std::string mesh = " Mesh M { 3; 0.0;0.0;0.0;, 1.0;0.0;0.0;, 0.0;1.0;0.0;; 1; 3;0,1,2;; }\n";
  const std::string folded =
      "Frame Outer {\n FrameTransformMatrix { 1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0,0.0,1.0,0.0,0.0,1.0;; }\n"
      " Frame {\n  FrameTransformMatrix { 1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,2.0,0.0,1.0;; }\n" +
      mesh + "  Frame Lost {}\n }\n}\n";
  const import::Scene s = ReadXBytes(kHeader + folded + "Frame {\n}\n", "model.x");
  EXPECT_EQ(s.root.name, "$dummy_root");
  ASSERT_EQ(s.root.children.size(), 2u);
  const import::Node& outer = s.root.children[0];
  EXPECT_EQ(outer.name, "Outer");
  EXPECT_EQ(outer.meshes.size(), 1u);
  EXPECT_TRUE(outer.children.empty());
  EXPECT_EQ(outer.transform.m[0][3], 1.0f);  // both translations, the parent's first
  EXPECT_EQ(outer.transform.m[1][3], 2.0f);
  EXPECT_EQ(s.root.children[1].name, "");
}

// A channel without keys of a kind holds its frame's rest value there; assimp refuses a file
// with a channel that has no keys and no frame, the reader leaves the channel out.
TEST(XReaderReads, ChannelsFilledFromTheRestTransformOrDropped) {
  const import::Scene s = ReadXBytes(
      kHeader +
          "Frame F { FrameTransformMatrix { 2.0,0.0,0.0,0.0,0.0,2.0,0.0,0.0,0.0,0.0,2.0,0.0,1.0,2.0,3.0,1.0;; } }\n"
          "AnimTicksPerSecond { 24; }\n"
          "AnimationSet Go {\n Animation { { F } AnimationKey { 2; 2; 0;3;1.0,2.0,3.0;;, 48;3;1.0,5.0,3.0;;; } }\n"
          " Animation { { Gone } }\n}\nAnimationSet Nothing {\n}\n",
      "model.x");
  ASSERT_EQ(s.animations.size(), 1u);
  const import::Animation& a = s.animations[0];
  EXPECT_EQ(a.name, "Go");
  EXPECT_EQ(a.ticksPerSecond, 24);
  EXPECT_EQ(a.duration, 48);
  ASSERT_EQ(a.channels.size(), 1u);
  const import::Channel& c = a.channels[0];
  ASSERT_EQ(c.positions.size(), 2u);
  EXPECT_EQ(c.positions[1].value.y, 5.0f);
  EXPECT_EQ(c.positions[1].value.z, -3.0f);  // mirrored into right-handed space
  ASSERT_EQ(c.scalings.size(), 1u);
  EXPECT_EQ(c.scalings[0].value.x, 2.0f);
  ASSERT_EQ(c.rotations.size(), 1u);
  EXPECT_EQ(c.rotations[0].value.w, 1.0f);
}

}  // namespace
}  // namespace vorn
