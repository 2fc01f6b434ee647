#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "tests/xformat/sample_scene.h"
#include "tests/support/temp_dir.h"
#include "xformat/inspect.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_writer.h"

namespace vorn {
namespace {

using namespace std::string_literals;

std::string SamplePath(const char* name) {
  return std::string(VORN_SOURCE_DIR) + "/../shared/models/x/" + name;
}

// Names of the objects in pre-order, references as "{name}".
std::string Outline(const XFileTree& tree) {
  std::string out;
  for (const XTreeObject& o : tree.objects) {
    if (o.isReference) {
      out += "{" + o.name + "} ";
    } else {
      out += tree.TemplateOf(o)->name + (o.name.empty() ? "" : ":" + o.name) + "/" +
             std::to_string(o.dataSize) + " ";
    }
  }
  return out;
}

TEST(XFileReader, ReadsOtherExportersFilesInAllEncodings) {
  if (!std::filesystem::exists(SamplePath("test_cube_binary.x"))) GTEST_SKIP() << "no sample files";
  XFileTree text, binary, compressed;
  std::string error;
  ASSERT_TRUE(ReadXFileFromPath(SamplePath("test_cube_text.x"), {}, &text, &error)) << error;
  ASSERT_TRUE(ReadXFileFromPath(SamplePath("test_cube_binary.x"), {}, &binary, &error)) << error;
  ASSERT_TRUE(ReadXFileFromPath(SamplePath("test_cube_compressed.x"), {}, &compressed, &error)) << error;
  EXPECT_EQ(text.encoding, "txt");
  EXPECT_EQ(binary.encoding, "bin");
  EXPECT_EQ(compressed.encoding, "bzip");
  // binary and compressed hold the same bits; the text twin the same tree with rounded floats
  EXPECT_EQ(DumpTree(binary), DumpTree(compressed));
  EXPECT_EQ(Outline(text), Outline(binary));
  ASSERT_EQ(binary.objects.size(), 14u);
  const XTreeObject& mesh = binary.objects[6];
  EXPECT_EQ(binary.TemplateOf(mesh)->name, "Mesh");
  EXPECT_EQ(mesh.name, "Cube");
  EXPECT_EQ(mesh.dataSize, 12u * 24 + 16u * 12 + 8);
  // the reference in the material list names the top-level material
  bool found = false;
  for (const XTreeObject& o : binary.objects)
    if (o.isReference) found = o.name == "Material" && binary.TemplateOf(binary.objects[o.parent])->name == "MeshMaterialList";
  EXPECT_TRUE(found);
  // the skin weights string is inline with its zero byte
  const XTreeObject& skin = binary.objects[13];
  EXPECT_EQ(binary.TemplateOf(skin)->name, "SkinWeights");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(binary.Data(skin).data()), 5), std::string("Cube\0", 5));

  XFileTree anim, kw;
  ASSERT_TRUE(ReadXFileFromPath(SamplePath("anim_test.x"), {}, &anim, &error)) << error;
  EXPECT_EQ(anim.objects.size(), 43u);
  // templates defined in the file itself, with strings
  ASSERT_TRUE(ReadXFileFromPath(SamplePath("kwxport_test_cubewithvcolors.x"), {}, &kw, &error)) << error;
  ASSERT_EQ(kw.objects.size(), 19u);
  EXPECT_EQ(kw.TemplateOf(kw.objects[0])->name, "KeyValuePair");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(kw.Data(kw.objects[0]).data()), 5), std::string("Date\0", 5));
}

std::string Read(const std::string& bytes, XFileTree* tree) {
  std::string error;
  if (ReadXFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), {}, tree, &error)) return "";
  return error.empty() ? "(no message)" : error;
}

TEST(XFileReader, RefusesMalformedFilesWithAClearMessage) {
  const struct {
    std::string text;
    const char* says;
  } cases[] = {
      {"xof 0303txt 0032\nNoSuch a { 1; }"s, "unknown template NoSuch"},
      {"xof 0303txt 0032\nVector a { 1.0; 2.0; }"s, "expected a float in Vector 'a', found '}'"},
      {"xof 0303txt 0032\nVector a { 1.0; x; 3.0; }"s, "not a number: \"x\""},
      {"xof 0303txt 0032\nFloatKeys a { 1.5; }"s, "not an integer"},
      {"xof 0303txt 0032\nFloatKeys a { 4000000000; 1.0; }"s, "longer than the file"},
      {"xof 0303txt 0032\nTextureFilename { 12; }"s, "expected a string"},
      {"xof 0303txt 0032\nFrame a { { } }"s, "empty reference"},
      {"xof 0303txt 0032\nFrame a { \"x\" }"s, "unexpected string"},
      {"xof 0303txt 0032\nTextureFilename { \"abc"s, "unterminated string"},
      {"xof 0303txt 0032\ntemplate T { <01234567-89AB-CDEF-0123-456789ABCDEF> Nope n; }"s, "unknown member type"},
      {"xof 0302bin 0032\x01\x00\xff\xff\xff\x7f"s, "runs past the end"},
      {"xof 0303bin 0032\x63\x00"s, "unknown binary token"},
      {"xof 0303bzip0032\xff\xff\xff\x7f\x10\x00\x06\x00XXyyzz"s, "CK signature"},
      {"xof 0303bzip0032\x20\x00\x00\x00\x10\x00\x08\x00" "CK\x01\x02\x03\x04\x05\x06"s, "does not inflate"},
      {"xof 0303qqqq0032"s, "unknown .X encoding"},
  };
  for (const auto& c : cases) {
    XFileTree tree;
    const std::string error = Read(c.text, &tree);
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
  }
  // nesting deeper than the limit
  std::string deep = "xof 0303txt 0032\n";
  for (int i = 0; i < 300; ++i) deep += "Frame {";
  XFileTree tree;
  EXPECT_NE(Read(deep, &tree).find("nested deeper than 256"), std::string::npos);
}

// Every cut and many random corruptions of valid files: a clean error or a tree, never a
// crash, a hang or memory out of proportion (the sanitizer build checks the rest).
TEST(XFileReader, SurvivesTruncationAndCorruption) {
  std::vector<std::string> files;
  for (XFileFormat format : {XFileFormat::Text, XFileFormat::Binary, XFileFormat::Compressed}) {
    XFileWriter writer;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    ASSERT_TRUE(writer.Open("/tmp/unused.x", format));
    testing::WriteSampleScene(writer);
    ByteBuffer out;
    std::string error;
    ASSERT_TRUE(writer.Encode(out, &error)) << error;
    files.emplace_back(reinterpret_cast<const char*>(out.Data()), out.Size());
  }
  std::mt19937 rng(11);
  size_t readOk = 0, refused = 0;
  for (const std::string& file : files) {
    for (size_t cut = 0; cut < file.size(); cut += 1 + file.size() / 400) {
      XFileTree tree;
      (Read(file.substr(0, cut), &tree).empty() ? readOk : refused)++;
    }
    for (int round = 0; round < 1500; ++round) {
      std::string bad = file;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) {
        const size_t at = 16 + rng() % (bad.size() - 16);
        bad[at] = static_cast<char>(rng() % 3 == 0 ? 0xFF : rng());
      }
      XFileTree tree;
      (Read(bad, &tree).empty() ? readOk : refused)++;
      EXPECT_LE(tree.data.size(), bad.size() * 8 + 4096);
    }
  }
  EXPECT_GT(refused, 0u);
  EXPECT_GT(readOk, 0u);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// Inputs the fuzzers once broke, replayed through every view of the reader.
TEST(XFileReaderRegressions, KeptFuzzInputsAreReadOrRejected) {
  const std::filesystem::path kept = std::filesystem::path(VORN_SOURCE_DIR) / "tests/fuzz/regressions/xfile_reader";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kept)) {
    XFileTree tree;
    std::string error;
    if (ReadXFileFromPath(entry.path().string(), {}, &tree, &error)) {
      EXPECT_FALSE(InspectText(tree).empty());
      EXPECT_FALSE(InspectJson(tree).empty());
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace vorn
