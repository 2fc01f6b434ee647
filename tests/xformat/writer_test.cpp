#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string_view>

#include "tests/xformat/sample_scene.h"
#include "tests/support/temp_dir.h"
#include "xformat/inspect.h"
#include "xformat/mszip.h"
#include "xformat/shortest_float.h"
#include "xformat/xfile_encoders.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_writer.h"

namespace vorn {
namespace {

using testing::DataBytes;
using testing::TempDir;

constexpr XFileFormat kFormats[] = {XFileFormat::Text, XFileFormat::Binary, XFileFormat::Compressed};

const char* Header(XFileFormat f) {
  return f == XFileFormat::Text ? "xof 0303txt 0032" : f == XFileFormat::Binary ? "xof 0303bin 0032" : "xof 0303bzip0032";
}

TEST(XFileWriter, RoundTripsTheSampleSceneInEveryEncoding) {
  TempDir dir;
  for (XFileFormat format : kFormats) {
    XFileWriter writer;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    const std::string path = dir / "scene.x";
    ASSERT_TRUE(writer.Open(path, format));
    testing::WriteSampleScene(writer);
    ASSERT_TRUE(writer.Errors().empty()) << writer.Error();
    ASSERT_TRUE(writer.Save()) << writer.Error();
    std::vector<uint8_t> bytes = testing::ReadBytes(path);
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 16), Header(format));

    const std::string expected = DumpTree(writer.Tree());
    XFileTree read;
    std::string error;
    ASSERT_TRUE(ReadXFile(bytes.data(), bytes.size(), {}, &read, &error)) << error;
    EXPECT_EQ(DumpTree(read), expected) << Header(format);
    // the file carries its templates: a reader that registered none reads it all the same
    TemplateRegistry none;
    XReadOptions bare;
    bare.templates = &none;
    ASSERT_TRUE(ReadXFile(bytes.data(), bytes.size(), bare, &read, &error)) << error;
    EXPECT_EQ(DumpTree(read), expected) << Header(format);
  }
}

TEST(XFileWriter, TextEncodingFollowsThePublishedGrammar) {
  XFileWriter writer;
  ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
  ASSERT_TRUE(writer.Open("/tmp/unused.x", XFileFormat::Text));
  testing::WriteSampleScene(writer);
  ByteBuffer out;
  std::string error;
  ASSERT_TRUE(writer.Encode(out, &error)) << error;
  const std::string text(reinterpret_cast<const char*>(out.Data()), out.Size());
  // nested structures in arrays end with their own ';', elements are separated by ','
  EXPECT_NE(text.find("0.0;0.0;0.0;,"), std::string::npos);
  EXPECT_NE(text.find("3;0,2,3;;"), std::string::npos);
  // a matrix member: the array's ';' then the structure's ';'
  EXPECT_NE(text.find(",1.0;;"), std::string::npos);
  EXPECT_NE(text.find("\"maps\\red brick.png\";"), std::string::npos);
  EXPECT_NE(text.find("{ Shared_Red }"), std::string::npos);
  EXPECT_NE(text.find("Material Shared_Red {"), std::string::npos);
  EXPECT_NE(text.find("template SkinWeights {"), std::string::npos);
  EXPECT_NE(text.find("0.00001"), std::string::npos);
  EXPECT_EQ(text.find("e-"), std::string::npos);
  EXPECT_EQ(text.find("e+"), std::string::npos);
}

// The mesh arrays are written by a path of their own: the text must stay the grammar's, with
// a face of more than 16 corners broken after every 16 as any long list is.
TEST(XFileWriter, TextMeshArraysKeepTheirLayout) {
  XFileWriter writer;
  ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
  ASSERT_TRUE(writer.Open("/tmp/unused.x", XFileFormat::Text));
  DataBytes mesh;
  mesh.Dword(2).Floats({1, -2.5f, 0, 0.1f, 3, 1e-5f}).Dword(2).Dword(3).Dword(0).Dword(1).Dword(0).Dword(18);
  for (uint32_t i = 0; i < 18; ++i) mesh.Dword(i % 2);
  XObjectHandle m = testing::Add(writer, {}, kMeshGuid, "M", mesh);
  ASSERT_FALSE(m.IsFailed()) << writer.Error();
  testing::Add(writer, m, kMeshTextureCoordsGuid, nullptr, DataBytes().Dword(2).Floats({0.5f, 1, 0, 0.25f}));
  ByteBuffer out;
  std::string error;
  ASSERT_TRUE(writer.Encode(out, &error)) << error;
  const std::string text(reinterpret_cast<const char*>(out.Data()), out.Size());
  EXPECT_NE(text.find("\nMesh M {\n 2;\n 1.0;-2.5;0.0;,\n 0.1;3.0;0.00001;;\n 2;\n 3;0,1,0;,\n "
                      "18;0,1,0,1,0,1,0,1,0,1,0,1,0,1,0,1,\n 0,1;;\n MeshTextureCoords {\n  2;\n"
                      "  0.5;1.0;,\n  0.0;0.25;;\n }\n}"),
            std::string::npos)
      << text.substr(text.find("Mesh M"));
}

// A writer for the text encoding, with or without the second core.
void OpenText(XFileWriter& writer, bool secondCore) {
  EXPECT_TRUE(testing::RegisterTemplateBlocks(writer));
  EXPECT_TRUE(writer.Open("/tmp/unused.x", XFileFormat::Text));
  XEncodeOptions options;
  options.secondCore = secondCore;
  writer.SetEncodeOptions(options);
}

// Long arrays are written on two cores: vertices (fixed-size elements), faces of different
// lengths and a material list each cross the point where the second core takes over.
TEST(XFileWriter, TextOnTwoCoresIsTheTextOnOne) {
  auto encode = [](bool secondCore, float poison, std::string* error) {
    XFileWriter writer;
    OpenText(writer, secondCore);
    constexpr uint32_t kVertices = 5001, kFaces = 4003;
    DataBytes mesh;
    mesh.Dword(kVertices);
    for (uint32_t v = 0; v < kVertices; ++v)
      mesh.Floats({v == 4000 ? poison : float(v) * 0.37f, -float(v) / 7.0f, 1e-7f * float(v)});
    mesh.Dword(kFaces);
    for (uint32_t f = 0; f < kFaces; ++f) {
      const uint32_t corners = 3 + f % 19;  // past 16 a face breaks its line
      mesh.Dword(corners);
      for (uint32_t k = 0; k < corners; ++k) mesh.Dword((f + k) % kVertices);
    }
    XObjectHandle m = testing::Add(writer, {}, kMeshGuid, "M", mesh);
    DataBytes list;
    list.Dword(1).Dword(kFaces);
    for (uint32_t f = 0; f < kFaces; ++f) list.Dword(0);
    testing::Add(writer, m, kMeshMaterialListGuid, nullptr, list);
    ByteBuffer out;
    const bool ok = writer.Encode(out, error);
    return ok ? std::string(reinterpret_cast<const char*>(out.Data()), out.Size()) : std::string();
  };
  std::string e1, e2;
  const std::string one = encode(false, 2.5f, &e1), two = encode(true, 2.5f, &e2);
  ASSERT_FALSE(one.empty()) << e1;
  EXPECT_TRUE(one == two) << "the texts differ from byte " << std::mismatch(one.begin(), one.end(), two.begin()).first - one.begin();
  // A float that cannot be written, in the half the second core writes, fails the same way.
  EXPECT_TRUE(encode(false, NAN, &e1).empty());
  EXPECT_TRUE(encode(true, NAN, &e2).empty());
  EXPECT_EQ(e1, e2);
  EXPECT_NE(e2.find("not finite"), std::string::npos) << e2;
}

// A file of many small objects is written in pieces of objects by both cores. Frames nest four
// deep, each with a mesh, some with references, and a top-level mesh follows every fourth, so
// that as the count grows the pieces meet at each kind of step: an object opened at the top or
// deeper, a reference, a close. A float that cannot be written fails as on one core, in any piece.
TEST(XFileWriter, ManyObjectsOnTwoCoresAreTheTextOnOne) {
  auto encode = [](bool secondCore, int frames, std::vector<int> poisoned, std::string* error) {
    XFileWriter writer;
    OpenText(writer, secondCore);
    auto mesh = [&](XObjectHandle parent, int i) {
      const bool bad = std::find(poisoned.begin(), poisoned.end(), i) != poisoned.end();
      DataBytes d;
      d.Dword(60);
      for (uint32_t v = 0; v < 60; ++v)
        d.Floats({bad && v == 7 ? NAN : float(v) * 0.37f + float(i), -float(v) / 7.0f, 1e-7f * float(i)});
      d.Dword(20);
      for (uint32_t f = 0; f < 20; ++f) d.Dword(3).Dword(f).Dword(f + 1).Dword(f + 2);
      const std::string name = "M" + std::to_string(i);
      testing::Add(writer, parent, kMeshGuid, bad ? name.c_str() : nullptr, d);
    };
    std::vector<XObjectHandle> chain;
    for (int i = 0; i < frames; ++i) {
      const int depth = i % 4;
      chain.resize(size_t(depth));
      const std::string name = "F" + std::to_string(i);
      XObjectHandle frame = testing::Add(writer, depth ? chain.back() : XObjectHandle{}, kFrameGuid, name.c_str(), {});
      mesh(frame, i);
      if (depth == 1 || depth == 2) {
        EXPECT_TRUE(writer.AddReference(frame, ("F" + std::to_string(i - 1)).c_str()));
      }
      chain.push_back(frame);
      if (depth == 3) mesh({}, i);
    }
    testing::Add(writer, {}, kFrameGuid, "Last", {});
    ByteBuffer out;
    const bool ok = writer.Encode(out, error);
    return ok ? std::string(reinterpret_cast<const char*>(out.Data()), out.Size()) : std::string();
  };
  std::string e1, e2;
  for (int frames = 400; frames < 424; ++frames) {
    const std::string one = encode(false, frames, {}, &e1), two = encode(true, frames, {}, &e2);
    ASSERT_FALSE(one.empty()) << e1;
    EXPECT_GT(one.size(), size_t{600} << 10);
    EXPECT_TRUE(one == two) << frames << " frames: the texts differ from byte "
                            << std::mismatch(one.begin(), one.end(), two.begin()).first - one.begin();
    EXPECT_NE(one.find("\n   Frame F3 {\n    Mesh {"), std::string::npos);
    EXPECT_NE(one.find("}\n\nFrame Last {"), std::string::npos);
  }
  // The file is written in pieces by both cores; the fault reported is the first in file order,
  // whichever core met it first.
  for (std::vector<int> poisoned : {std::vector<int>{10}, {390}, {390, 200}, {399, 150, 20}}) {
    EXPECT_TRUE(encode(false, 400, poisoned, &e1).empty());
    EXPECT_TRUE(encode(true, 400, poisoned, &e2).empty());
    EXPECT_EQ(e1, e2);
    const int first = *std::min_element(poisoned.begin(), poisoned.end());
    EXPECT_NE(e2.find("'M" + std::to_string(first) + "': a float that is not finite"), std::string::npos) << e2;
  }
}

// Keys (a time and a counted list of floats) are written straight into reserved room, long
// tracks on two cores; a key of more than 16 values, whose values break over lines, is left to
// the walker from there on. Each way the text must read back to the bytes written.
TEST(XFileWriter, KeysWrittenAtOnceReadBackAsWritten) {
  auto encode = [](bool secondCore, std::string* dump) {
    XFileWriter writer;
    OpenText(writer, secondCore);
    XObjectHandle set = testing::Add(writer, {}, kAnimationSetGuid, "Walk", {});
    XObjectHandle anim = testing::Add(writer, set, kAnimationGuid, nullptr, {});
    auto track = [&](const char* name, uint32_t type, uint32_t keys, auto count) {
      DataBytes d;
      d.Dword(type).Dword(keys);
      for (uint32_t k = 0; k < keys; ++k) {
        d.Dword(160 * k).Dword(count(k));
        for (uint32_t i = 0; i < count(k); ++i) d.Float(i == 1 ? -0.0f : float(k) * 0.37f - float(i) / 3.0f);
      }
      writer.Release(testing::Add(writer, anim, kAnimationKeyGuid, name, d));
    };
    track("short", 0, 2, [](uint32_t) { return 4u; });
    track("empty", 1, 3, [](uint32_t k) { return k == 1 ? 0u : 3u; });
    track("matrices", 4, 2100, [](uint32_t k) { return 1 + k % 16; });
    track("longKeyOnTheSide", 2, 2100, [](uint32_t k) { return k == 1500 ? 20u : 3u; });
    track("longKeyFirst", 2, 2100, [](uint32_t k) { return k == 5 ? 17u : 3u; });
    writer.Release(anim);
    writer.Release(set);
    *dump = DumpTree(writer.Tree());
    ByteBuffer out;
    std::string error;
    EXPECT_TRUE(writer.Encode(out, &error)) << error;
    return std::string(reinterpret_cast<const char*>(out.Data()), out.Size());
  };
  std::string written;
  const std::string one = encode(false, &written), two = encode(true, &written);
  EXPECT_NE(one.find("\n   0;4;0.0,-0.0,-0.6666667,-1.0;;,\n   160;4;0.37,-0.0,-0.29666668,-0.63;;;"), std::string::npos);
  EXPECT_NE(one.find("160;0;;;,"), std::string::npos);
  EXPECT_TRUE(one == two) << "the texts differ from byte " << std::mismatch(one.begin(), one.end(), two.begin()).first - one.begin();
  XFileTree read;
  std::string error;
  ASSERT_TRUE(ReadXFile(reinterpret_cast<const uint8_t*>(two.data()), two.size(), {}, &read, &error)) << error;
  EXPECT_EQ(DumpTree(read), written);
}

// DWORDs of every length, written by the encoder's own digit code, read back as written.
TEST(XFileWriter, DwordsOfEveryLengthReadBack) {
  XFileWriter writer;
  OpenText(writer, false);
  const std::vector<uint32_t> values = {0, 7, 9, 10, 42, 99, 100, 101, 999, 1000, 1009, 9999, 10000, 65535, 99999,
                                        100000, 123456789, 4294967295u};
  DataBytes mesh;
  mesh.Dword(1).Floats({0, 0, 0});
  mesh.Dword(uint32_t(values.size()));
  for (uint32_t v : values) mesh.Dword(3).Dword(v).Dword(v).Dword(0);
  writer.Release(testing::Add(writer, {}, kMeshGuid, "M", mesh));
  const std::string written = DumpTree(writer.Tree());
  ByteBuffer out;
  std::string error;
  ASSERT_TRUE(writer.Encode(out, &error)) << error;
  const std::string text(reinterpret_cast<const char*>(out.Data()), out.Size());
  for (uint32_t v : values) EXPECT_NE(text.find("3;" + std::to_string(v) + "," + std::to_string(v) + ",0;"), std::string::npos) << v;
  XFileTree read;
  ASSERT_TRUE(ReadXFile(out.Data(), out.Size(), {}, &read, &error)) << error;
  EXPECT_EQ(DumpTree(read), written);
}

// The text is the library's fixed shortest text, written by a method of our own: compared on
// every exponent's edge mantissas (infinities and NaN among them) and a sweep through the bit patterns (VORN_FLOAT_STRIDE=1
// sweeps all of them, a few minutes).
TEST(FormatFloat, SameTextAsTheLibrarysFixedShortest) {
  uint64_t stride = 65521;
  if (const char* s = std::getenv("VORN_FLOAT_STRIDE")) stride = std::max<uint64_t>(1, std::strtoull(s, nullptr, 10));
  std::vector<uint32_t> patterns;
  for (uint32_t e = 0; e < 255; ++e)
    for (uint32_t m : {0u, 1u, 2u, 3u, 5u, 0x400000u, 0x7ffffeu, 0x7fffffu})
      for (uint32_t sign : {0u, 1u}) patterns.push_back(sign << 31 | e << 23 | m);
  for (uint64_t u = 0; u < (uint64_t{1} << 32); u += stride) patterns.push_back(static_cast<uint32_t>(u));
  size_t compared = 0;
  for (uint32_t bits : patterns) {
    float f;
    std::memcpy(&f, &bits, 4);
    char ours[64], theirs[64];
    const std::string_view a(ours, static_cast<size_t>(WriteShortestFixed(f, ours) - ours));
    const std::string_view b(theirs, static_cast<size_t>(std::to_chars(theirs, theirs + 64, f, std::chars_format::fixed).ptr - theirs));
    ASSERT_EQ(a, b) << "bits " << std::hex << bits;
    ASSERT_LE(a.size(), size_t(kShortestFloatMaxChars));
    ++compared;
  }
  EXPECT_GT(compared, 60000u);
}

// Texts taken from the cache are the texts written: values seen before, values whose slot
// another value took in between, and texts too long to be kept (tiny fractions, big integers).
TEST(FormatFloat, CachedTextsAreTheWrittenTexts) {
  auto cache = std::make_unique<FloatTextCache>();
  std::vector<float> values = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1.0f / 3.0f, 1e-30f, -3.4e38f, 16777216.0f,
                               1.17549435e-38f, 1.4e-45f, 123456.789f, 0.1f, -1.2345678e-7f, -1.2345678e-8f};
  for (uint32_t i = 0; i < 20000; ++i) values.push_back(static_cast<float>(i % 5000) * 0.001f - 2.0f);
  for (int pass = 0; pass < 2; ++pass)
    for (float v : values) {
      char cached[64], direct[64];
      const std::string_view a(cached, static_cast<size_t>(cache->Write(v, cached) - cached));
      const std::string_view b(direct, static_cast<size_t>(WriteShortestFixed(v, direct, true) - direct));
      ASSERT_EQ(a, b) << "pass " << pass;
    }
}

TEST(FormatFloat, ShortestFixedTextThatReadsBackToTheSameBits) {
  struct Case {
    float value;
    const char* text;
  } cases[] = {
      {0.1f, "0.1"},         {1e-05f, "0.00001"},  {-0.0f, "-0.0"},  {0.0f, "0.0"},
      {1.0f, "1.0"},         {-2.5f, "-2.5"},      {100000.0f, "100000.0"},
      {1.0f / 3.0f, "0.33333334"},
  };
  for (const Case& c : cases) {
    char text[64];
    EXPECT_EQ(std::string(text, FormatFloat(c.value, text)), c.text);
  }
  // large values: as many digits as the exact value, which the library prints
  char big[64];
  EXPECT_EQ(std::string(big, FormatFloat(3.4028235e38f, big)), "340282346638528859811704183484516925440.0");
  std::mt19937 rng(7);
  std::vector<float> values = {1.4e-45f, 1.17549435e-38f, 1.1754942e-38f, -3.4028235e38f, 16777217.0f};
  for (int i = 0; i < 200000; ++i) {
    uint32_t bits = static_cast<uint32_t>(rng());
    float f;
    std::memcpy(&f, &bits, 4);
    if (std::isfinite(f)) values.push_back(f);
  }
  for (float f : values) {
    char text[64];
    const size_t n = FormatFloat(f, text);
    const std::string_view s(text, n);
    ASSERT_NE(s.find('.'), std::string_view::npos) << s;
    ASSERT_EQ(s.find('e'), std::string_view::npos) << s;
    float back;
    auto r = std::from_chars(text, text + n, back);
    ASSERT_EQ(r.ptr, text + n);
    uint32_t a, b;
    std::memcpy(&a, &f, 4);
    std::memcpy(&b, &back, 4);
    ASSERT_EQ(a, b) << s;
    // shortest: dropping one more significant digit no longer reads back (".0" aside)
    if (s.size() > 3 && s.substr(s.size() - 2) != ".0") {
      float shorter;
      std::from_chars(text, text + n - 1, shorter);
      uint32_t c;
      std::memcpy(&c, &shorter, 4);
      EXPECT_NE(c, a) << s;
    }
  }
}

TEST(TextName, KeepsValidNamesAndRepairsTheRest) {
  EXPECT_EQ(TextName("Box01"), "Box01");
  EXPECT_EQ(TextName("Bone-L_hand"), "Bone-L_hand");
  EXPECT_EQ(TextName("Walk Cycle"), "Walk_Cycle");
  EXPECT_EQ(TextName("it's"), "it_s");
  EXPECT_EQ(TextName("123"), "_123");
  EXPECT_EQ(TextName("-5"), "_-5");
  EXPECT_EQ(TextName("1abc"), "1abc");
  EXPECT_EQ(TextName("Frame"), "Frame");
  EXPECT_EQ(TextName("array"), "_array");
  EXPECT_EQ(TextName("DWORD"), "_DWORD");
}

// Frames whose names the text encoding must change, each with an animation naming it, and a
// skin naming one as its bone.
void WriteCollidingNames(XFileSink& sink, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    XObjectHandle frame = testing::Add(sink, {}, kFrameGuid, name.c_str(), {});
    testing::AddIdentity(sink, frame, 0);
    sink.Release(frame);
  }
  XObjectHandle set = testing::Add(sink, {}, kAnimationSetGuid, "Clip", {});
  for (const std::string& name : names) {
    XObjectHandle anim = testing::Add(sink, set, kAnimationGuid, nullptr, {});
    EXPECT_TRUE(sink.AddReference(anim, name.c_str()));
    sink.Release(anim);
  }
  sink.Release(set);
  DataBytes weights;
  weights.String(names.front().c_str()).Dword(0);
  for (int i = 0; i < 16; ++i) weights.Float(i % 5 == 0 ? 1.0f : 0.0f);
  sink.Release(testing::Add(sink, {}, kSkinWeightsGuid, nullptr, weights));
}

TEST(TextNameMap, RewrittenNamesStayDistinctAndEveryReferenceNamesItsOwnFrame) {
  // Each pair collides under TextName; the second of each is a name the text keeps.
  const std::vector<std::string> names = {"say_'hi'", "say__hi_", "-5", "_-5", "template", "_template",
                                          "a b",      "a.b",      "a_b_2", "Plain"};
  TempDir dir;
  for (XFileFormat format : kFormats) {
    XFileWriter writer;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    const std::string path = dir / "names.x";
    ASSERT_TRUE(writer.Open(path, format));
    WriteCollidingNames(writer, names);
    ASSERT_TRUE(writer.Save()) << writer.Error();
    XFileTree read;
    std::string error;
    ASSERT_TRUE(ReadXFileFromPath(path, {}, &read, &error)) << error;
    std::vector<std::string> frames, references, bones;
    for (const XTreeObject& o : read.objects) {
      const XTemplate* t = read.TemplateOf(o);
      if (o.isReference) references.push_back(o.name);
      else if (t->name == "Frame") frames.push_back(o.name);
      else if (t->name == "SkinWeights") bones.emplace_back(reinterpret_cast<const char*>(read.Data(o).data()));
    }
    EXPECT_EQ(references, frames) << "each animation names its own frame, in order";
    ASSERT_EQ(bones.size(), 1u);
    EXPECT_EQ(bones[0], frames[0]) << "a bone name follows its frame";
    if (format != XFileFormat::Text) {
      EXPECT_EQ(frames, names) << "binary encodings keep names exactly";
      continue;
    }
    // Names the text keeps stay; the others take TextName's form, numbered past any name the
    // file already holds, in the order they first appear.
    EXPECT_EQ(frames, (std::vector<std::string>{"say__hi__2", "say__hi_", "_-5_2", "_-5", "_template_2", "_template",
                                                "a_b", "a_b_3", "a_b_2", "Plain"}));
    // the same tree gives the same text
    XFileWriter again;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(again));
    ASSERT_TRUE(again.Open(dir / "again.x", format));
    WriteCollidingNames(again, names);
    ASSERT_TRUE(again.Save()) << again.Error();
    EXPECT_EQ(testing::ReadBytes(path), testing::ReadBytes(dir / "again.x"));
  }
}

class WriterFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    ASSERT_TRUE(writer.Open(dir / "out.x", XFileFormat::Binary));
  }
  XObjectHandle Add(XObjectHandle parent, const Guid& id, const char* name, const DataBytes& d) {
    return testing::Add(writer, parent, id, name, d);
  }
  TempDir dir;
  XFileWriter writer;
};

TEST_F(WriterFaults, DataThatDoesNotFitItsTemplateIsRefusedWithTemplateAndName) {
  struct Case {
    Guid id;
    const char* name;
    DataBytes data;
    const char* says;
  } cases[] = {
      {kMaterialGuid, "Short", DataBytes().Floats({1, 1, 1}), "takes 44 bytes, 12 given"},
      {kAnimTicksPerSecondGuid, "Long", DataBytes().Dword(1).Dword(2), "takes 4 bytes, 8 given"},
      {kMeshGuid, "Overrun", DataBytes().Dword(1000).Floats({1, 2, 3}), "member vertices"},
      {kMeshGuid, "Trailing", DataBytes().Dword(0).Dword(0).Dword(9), "4 bytes beyond the end"},
      {kMeshGuid, "BadFace", DataBytes().Dword(0).Dword(1).Dword(5).Dword(1), "member faces[0].member faceVertexIndices"},
      {kTextureFilenameGuid, "NoZero", DataBytes().Raw("abc", 3), "terminating zero"},
      {kSkinWeightsGuid, "Huge", DataBytes().String("b").Dword(0xFFFFFFFF), "cannot fit"},
  };
  for (const Case& c : cases) {
    XObjectHandle h = Add({}, c.id, c.name, c.data);
    EXPECT_TRUE(h.IsFailed()) << c.name;
    EXPECT_FALSE(h);
    ASSERT_FALSE(writer.Errors().empty());
    const std::string& e = writer.Errors().back();
    EXPECT_NE(e.find(c.name), std::string::npos) << e;
    EXPECT_NE(e.find(c.says), std::string::npos) << e;
  }
  EXPECT_NE(writer.Errors()[0].find("Material 'Short'"), std::string::npos);
  EXPECT_FALSE(writer.Save());
  EXPECT_EQ(dir.EntryCount(), 0u);
}

TEST_F(WriterFaults, TreeFaultsAreRefusedAndKeepTheSubtreeOut) {
  XObjectHandle frame = Add({}, kFrameGuid, "F", {});
  ASSERT_TRUE(frame);
  Guid unknown;
  ASSERT_TRUE(ParseGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}", &unknown));
  EXPECT_TRUE(Add(frame, unknown, "X", {}).IsFailed());
  EXPECT_NE(writer.Errors().back().find("01234567-89AB-CDEF-0123-456789ABCDEF"), std::string::npos);
  // a closed template takes no children, a restricted one only the listed ones
  XObjectHandle ticks = Add({}, kAnimTicksPerSecondGuid, nullptr, DataBytes().Dword(30));
  EXPECT_TRUE(Add(ticks, kFrameGuid, "Child", {}).IsFailed());
  XObjectHandle set = Add({}, kAnimationSetGuid, "Set", {});
  EXPECT_TRUE(Add(set, kFrameGuid, "Child2", {}).IsFailed());
  EXPECT_NE(writer.Errors().back().find("AnimationSet does not allow Frame"), std::string::npos);
  EXPECT_FALSE(writer.AddReference(ticks, "F"));
  EXPECT_FALSE(writer.AddReference({}, "F"));
  // children of a failed object stay out of the file instead of moving to the top level
  XObjectHandle failed = Add({}, kMaterialGuid, "Bad", DataBytes());
  EXPECT_TRUE(Add(failed, kTextureFilenameGuid, nullptr, DataBytes().String("a.png")).IsFailed());
  writer.Release(frame);
  EXPECT_TRUE(Add(frame, kFrameGuid, "Late", {}).IsFailed());
  EXPECT_NE(writer.Errors().back().find("released"), std::string::npos);
  for (const XTreeObject& o : writer.Tree().objects) EXPECT_NE(o.name, "Late");
  EXPECT_EQ(writer.Tree().objects.size(), 3u);
  EXPECT_FALSE(writer.Save());
}

TEST_F(WriterFaults, ReferenceToNoObjectFailsTheSave) {
  XObjectHandle frame = Add({}, kFrameGuid, "Frame", {});
  EXPECT_TRUE(writer.AddReference(frame, "Missing"));
  EXPECT_FALSE(writer.Save());
  EXPECT_NE(writer.Error().find("names no object: Missing"), std::string::npos) << writer.Error();
}

// A reference is an optional child: leaving it out keeps the file well formed, so it costs
// the reference, not the file.
TEST_F(WriterFaults, AReferenceThatCannotBeMadeIsLeftOutAndTheFileIsStillSaved) {
  XObjectHandle frame = Add({}, kFrameGuid, "F", {});
  XObjectHandle set = Add({}, kAnimationSetGuid, "Set", {});
  XObjectHandle anim = Add(set, kAnimationGuid, nullptr, {});
  XObjectHandle ticks = Add({}, kAnimTicksPerSecondGuid, nullptr, DataBytes().Dword(30));
  EXPECT_FALSE(writer.AddReference(anim, ""));
  EXPECT_FALSE(writer.AddReference(anim, nullptr));
  EXPECT_FALSE(writer.AddReference(ticks, "F"));
  EXPECT_FALSE(writer.AddReference({}, "F"));
  writer.Release(frame);
  EXPECT_FALSE(writer.AddReference(frame, "F"));
  EXPECT_TRUE(writer.AddReference(anim, "F"));
  EXPECT_TRUE(writer.Errors().empty()) << writer.Error();
  const std::vector<std::string>& left = writer.Omissions();
  ASSERT_EQ(left.size(), 5u);
  EXPECT_NE(left[0].find("AddReference under Animation: no name given; the reference is left out"), std::string::npos)
      << left[0];
  EXPECT_NE(left[2].find("AnimTicksPerSecond allows no children"), std::string::npos) << left[2];
  EXPECT_NE(left[4].find("released"), std::string::npos) << left[4];
  ASSERT_TRUE(writer.Save()) << writer.Error();
  XFileTree read;
  std::string error;
  ASSERT_TRUE(ReadXFileFromPath(dir / "out.x", {}, &read, &error)) << error;
  EXPECT_EQ(DumpTree(read), DumpTree(writer.Tree()));
  size_t references = 0;
  for (const XTreeObject& o : read.objects) references += o.isReference;
  EXPECT_EQ(references, 1u) << "only the one that could be made";
}

// An animation-only file names the frames of the file that holds the hierarchy.
TEST_F(WriterFaults, AnimationMayNameAFrameOfAnotherFile) {
  XObjectHandle set = Add({}, kAnimationSetGuid, "Set", {});
  XObjectHandle anim = Add(set, kAnimationGuid, nullptr, {});
  EXPECT_TRUE(writer.AddReference(anim, "Elsewhere"));
  EXPECT_TRUE(writer.Save()) << writer.Error();
}

TEST(AtomicSave, AnExistingFileStaysIntactWhenSaveFails) {
  TempDir dir;
  const std::string path = dir / "keep.x";
  testing::WriteText(path, "old content");
  {
    XFileWriter writer;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    ASSERT_TRUE(writer.Open(path, XFileFormat::Text));
    testing::WriteSampleScene(writer);
    float nan = std::nanf("");
    writer.Release(testing::Add(writer, {}, kAnimationOptionsGuid, nullptr, DataBytes().Dword(0).Dword(0)));
    writer.Release(testing::Add(writer, {}, kMaterialGuid, "NaN",
                                DataBytes().Floats({nan, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(writer.Save());
    EXPECT_NE(writer.Error().find("Material 'NaN'"), std::string::npos) << writer.Error();
  }
  const std::vector<uint8_t> kept = testing::ReadBytes(path);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "old content");
  EXPECT_EQ(dir.EntryCount(), 1u);
  // the folder vanishing between Open and Save: nothing written, a clear fault
  const std::string sub = dir / "gone";
  std::filesystem::create_directory(sub);
  XFileWriter writer;
  ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
  ASSERT_TRUE(writer.Open(sub + "/a.x", XFileFormat::Binary));
  std::filesystem::remove(sub);
  EXPECT_FALSE(writer.Save());
  EXPECT_NE(writer.Error().find(std::string("a.x: ") + std::strerror(ENOENT)), std::string::npos)
      << "the system's reason: " << writer.Error();
  EXPECT_FALSE(writer.Open(dir / "missing/a.x", XFileFormat::Binary));
  std::filesystem::create_directory(sub);
  XFileWriter onFolder;
  EXPECT_FALSE(onFolder.Open(sub, XFileFormat::Binary));
  EXPECT_NE(onFolder.Error().find("is a folder"), std::string::npos) << onFolder.Error();
  std::filesystem::remove(sub);
  // a successful save replaces the file whole
  XFileWriter good;
  ASSERT_TRUE(testing::RegisterTemplateBlocks(good));
  ASSERT_TRUE(good.Open(path, XFileFormat::Binary));
  testing::WriteSampleScene(good);
  ASSERT_TRUE(good.Save()) << good.Error();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(testing::ReadBytes(path).data()), 16), "xof 0303bin 0032");
  EXPECT_EQ(dir.EntryCount(), 1u);
}

// An infinity or a NaN reads back in no reader as a number: every encoding refuses it by object
// and leaves the old file.
TEST(AtomicSave, EveryEncodingRefusesAFloatThatIsNotFinite) {
  TempDir dir;
  const std::string path = dir / "keep.x";
  testing::WriteText(path, "old content");
  for (XFileFormat format : {XFileFormat::Text, XFileFormat::Binary, XFileFormat::Compressed})
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
      XFileWriter writer;
      ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
      ASSERT_TRUE(writer.Open(path, format));
      testing::WriteSampleScene(writer);
      writer.Release(testing::Add(writer, {}, kMaterialGuid, "Bad",
                                  DataBytes().Floats({1, 0, 0, 1, bad, 0, 0, 0, 0, 0, 0})));
      EXPECT_FALSE(writer.Save()) << int(format) << " " << bad;
      EXPECT_NE(writer.Error().find("Material 'Bad'"), std::string::npos) << writer.Error();
      EXPECT_NE(writer.Error().find("not finite"), std::string::npos) << writer.Error();
    }
  const std::vector<uint8_t> kept = testing::ReadBytes(path);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "old content");
  EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST(Mszip, BlocksHoldAtMost32KiBAndInflateBack) {
  std::vector<uint8_t> body(200000);
  std::mt19937 rng(3);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i % 251 < 40 ? rng() : i / 7);
  for (bool chain : {false, true}) {
    ByteBuffer out;
    out.Append("xof 0303bzip0032", 16);
    std::string error;
    ASSERT_TRUE(MszipCompress(body.data(), body.size(), 6, chain, out, &error)) << error;
    const uint8_t* p = out.Data();
    uint32_t total;
    std::memcpy(&total, p + 16, 4);
    EXPECT_EQ(total, body.size() + 16);
    size_t pos = 20, sum = 0, blocks = 0;
    while (pos < out.Size()) {
      const size_t plain = p[pos] | p[pos + 1] << 8;
      const size_t packed = p[pos + 2] | p[pos + 3] << 8;
      EXPECT_LE(plain, kMszipBlockSize);
      EXPECT_EQ(p[pos + 4], 'C');
      EXPECT_EQ(p[pos + 5], 'K');
      sum += plain;
      pos += 4 + packed;
      ++blocks;
    }
    EXPECT_EQ(pos, out.Size());
    EXPECT_EQ(sum, body.size());
    EXPECT_EQ(blocks, (body.size() + kMszipBlockSize - 1) / kMszipBlockSize);
    std::vector<uint8_t> back;
    ASSERT_TRUE(MszipDecompress(out.Data(), out.Size(), &back, &error)) << error;
    EXPECT_EQ(back, body);
  }
}

// A grid mesh of the kind an export produces, with normals and texture coordinates.
void WriteGrid(XFileSink& sink, int n) {
  DataBytes mesh, normals, uv;
  const uint32_t vertices = static_cast<uint32_t>((n + 1) * (n + 1));
  mesh.Dword(vertices);
  normals.Dword(vertices);
  uv.Dword(vertices);
  for (int y = 0; y <= n; ++y)
    for (int x = 0; x <= n; ++x) {
      const float fx = static_cast<float>(x) / static_cast<float>(n), fy = static_cast<float>(y) / static_cast<float>(n);
      mesh.Floats({fx * 10, fy * 10, std::sin(fx * 6) * std::cos(fy * 4)});
      normals.Floats({0.1f * fx, 0.2f * fy, 0.97f});
      uv.Floats({fx, fy});
    }
  const uint32_t faces = static_cast<uint32_t>(2 * n * n);
  mesh.Dword(faces);
  normals.Dword(faces);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const uint32_t a = static_cast<uint32_t>(y * (n + 1) + x), b = a + 1, c = a + static_cast<uint32_t>(n) + 1, d = c + 1;
      for (DataBytes* m : {&mesh, &normals}) {
        m->Dword(3).Dword(a).Dword(b).Dword(d);
        m->Dword(3).Dword(a).Dword(d).Dword(c);
      }
    }
  XObjectHandle frame = testing::Add(sink, {}, kFrameGuid, "Grid", {});
  XObjectHandle m = testing::Add(sink, frame, kMeshGuid, "Grid", mesh);
  sink.Release(testing::Add(sink, m, kMeshNormalsGuid, nullptr, normals));
  sink.Release(testing::Add(sink, m, kMeshTextureCoordsGuid, nullptr, uv));
  sink.Release(m);
  sink.Release(frame);
}

TEST(XFileWriter, CompressedIsSmallerThanBinaryOnARealisticMesh) {
  TempDir dir;
  size_t sizes[3] = {};
  XFileTree trees[3];
  for (int i = 0; i < 3; ++i) {
    XFileWriter writer;
    ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
    ASSERT_TRUE(writer.Open(dir / "grid.x", kFormats[i]));
    WriteGrid(writer, 60);
    ASSERT_TRUE(writer.Save()) << writer.Error();
    std::vector<uint8_t> bytes = testing::ReadBytes(dir / "grid.x");
    sizes[i] = bytes.size();
    std::string error;
    ASSERT_TRUE(ReadXFile(bytes.data(), bytes.size(), {}, &trees[i], &error)) << error;
    EXPECT_EQ(DumpTree(trees[i]), DumpTree(writer.Tree()));
  }
  EXPECT_LT(sizes[2], sizes[1] * 3 / 4) << sizes[2] << " vs " << sizes[1];
  EXPECT_GT(sizes[2], 16u + 4u);
}

// A file bigger than the encoder's windows streams out in parts; the parts join to exactly the
// file encoded in one piece, list counts and block chaining across windows included.
TEST(XFileWriter, StreamedSaveEqualsTheEncodingInOnePiece) {
  TempDir dir;
  for (XFileFormat format : kFormats)
    for (bool chain : {false, true}) {
      if (chain && format != XFileFormat::Compressed) continue;
      SCOPED_TRACE(std::string(Header(format)) + (chain ? " chained" : ""));
      XFileWriter writer;
      ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
      XEncodeOptions options;
      options.chainBlocks = chain;
      writer.SetEncodeOptions(options);
      ASSERT_TRUE(writer.Open(dir / "big.x", format));
      WriteGrid(writer, 350);
      ASSERT_TRUE(writer.Save()) << writer.Error();
      const std::vector<uint8_t> file = testing::ReadBytes(dir / "big.x");
      ByteBuffer whole;
      std::string error;
      ASSERT_TRUE(writer.Encode(whole, &error)) << error;
      ASSERT_GT(whole.Size(), size_t{format == XFileFormat::Compressed ? 1u << 20 : 8u << 20});
      ASSERT_EQ(file.size(), whole.Size());
      EXPECT_EQ(std::memcmp(file.data(), whole.Data(), file.size()), 0);
      XFileTree read;
      ASSERT_TRUE(ReadXFile(file.data(), file.size(), {}, &read, &error)) << error;
      EXPECT_EQ(DumpTree(read), DumpTree(writer.Tree()));
    }
}

TEST(ByteBuffer, DrainTakesWhatItWantsAndKeepsTheRest) {
  struct Sink {
    std::string got;
    size_t unit;
  } sink{{}, 1000};
  ByteBuffer b;
  b.Append("ab", 2);
  b.SetDrain(4096, [](void* s, const uint8_t* data, size_t size) {
    auto* k = static_cast<Sink*>(s);
    const size_t take = size / k->unit * k->unit;  // whole units only, like the compressor
    k->got.append(reinterpret_cast<const char*>(data), take);
    return take;
  }, &sink);
  std::string expected = "ab";
  for (int i = 0; i < 3000; ++i) {
    const std::string piece(static_cast<size_t>(i % 17), static_cast<char>('a' + i % 26));
    b.Append(piece.data(), piece.size());
    b.Put('.');
    b.PutDword(static_cast<uint32_t>(i));
    expected += piece + '.' + std::string(reinterpret_cast<const char*>(&i), 4);
  }
  const std::string big(20000, 'z');  // larger than the window
  b.Append(big.data(), big.size());
  expected += big;
  EXPECT_EQ(b.Total(), expected.size());
  EXPECT_EQ(sink.got.size() % 1000, 0u);
  EXPECT_LT(b.Size(), 4096u + 1000u) << "the window does not grow";
  sink.unit = 1;
  b.DrainAll();
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(sink.got, expected);
}

TEST(Inspect, ShowsDecodedMembersAndJson) {
  XFileWriter writer;
  ASSERT_TRUE(testing::RegisterTemplateBlocks(writer));
  testing::WriteSampleScene(writer);
  const std::string text = InspectText(writer.Tree(), {4});
  EXPECT_NE(text.find("Mesh Box01  <3D82AB44-62DA-11CF-AB39-0020AF71E433>, 88 bytes"), std::string::npos) << text;
  EXPECT_NE(text.find("nVertices = 4\n"), std::string::npos);
  EXPECT_NE(text.find("faces = [2] (3, [3] 0, 1, 2), (3, [3] 0, 2, 3)"), std::string::npos) << text;
  EXPECT_NE(text.find("transformNodeName = \"Bone_1\""), std::string::npos);
  EXPECT_NE(text.find("... (12 more)"), std::string::npos);
  EXPECT_NE(text.find("{ Shared_Red }"), std::string::npos);
  const nlohmann::json j = nlohmann::json::parse(InspectJson(writer.Tree()));
  ASSERT_EQ(j["objects"].size(), 4u);
  EXPECT_EQ(j["objects"][0]["template"], "Material");
  EXPECT_EQ(j["objects"][0]["data"]["power"], 12.5);
  EXPECT_EQ(j["objects"][0]["children"][0]["data"]["filename"], "maps\\red brick.png");
  EXPECT_EQ(j["objects"][3]["children"][0]["children"][0]["reference"], "Bone_1");
  const std::string templates = TemplatesText(writer.Tree().templates);
  EXPECT_NE(templates.find("template DeclData {\n <BF22E553-292C-4781-9FEA-62BD554BDD93>\n DWORD nElements;\n array VertexElement Elements[nElements];"), std::string::npos);
}

}  // namespace
}  // namespace vorn
