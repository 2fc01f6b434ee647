// Hostile scene documents and sidecar buffers through the vorn binary: every one is refused with a
// message and status 1 or 2, in bounded time, without touching the previous export or anything else.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "host/scene_document.h"
#include "xformat/xfile_reader.h"
#include "reliability_fixture.h"

namespace vorn_reliability {
namespace {

struct BadDoc {
  const char* name;
  std::string json;
  const char* message;  // a part of the expected message
};

void PrintTo(const BadDoc& c, std::ostream* os) { *os << c.name; }

std::string LongName() { return std::string(10000, 'n'); }

std::vector<BadDoc> BadDocs() {
  const std::string tri = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]})";
  return {
      {"Empty", "", "malformed JSON"},
      {"NotAnObject", "[1, 2, 3]", "scene.json"},
      {"Binary", std::string("\x00\xff\xfe{\x01", 5), "malformed JSON"},
      {"NodesNotAList", R"({"nodes": "Tri"})", "/nodes"},
      {"WrongFormat", R"({"format": "something-else"})", "/format"},
      {"FaceIndexOutOfRange", Triangle().replace(Triangle().find("[0,1,2]"), 7, "[0,1,3]"), "/faces/0"},
      {"NegativeIndex", Triangle().replace(Triangle().find("[0,1,2]"), 7, "[0,-1,2]"), "/faces/0"},
      {"HugeIndex", Triangle().replace(Triangle().find("[0,1,2]"), 7, "[0,1,4294967296]"), "/faces/0"},
      {"MaterialIdTooLarge", Triangle().replace(Triangle().find("[0,1,2]"), 7, "[0,1,2,0,70000]"), "/faces/0"},
      {"MapFacesMissing", R"({"nodes": [{"name": "T", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]],
         "maps": {"1": {"vertices": [[0,0]], "faces": []}}}}]})", "/maps/1"},
      {"NormalIndexOutOfRange", R"({"nodes": [{"name": "T", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]],
         "faces": [[0,1,2]], "normals": {"normals": [[0,0,1]], "faces": [[0,0,9]]}}}]})", "/normals"},
      {"SmoothingGroupsCountWrong", R"({"nodes": [{"name": "T", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]],
         "faces": [[0,1,2]], "smoothingGroups": [1, 2, 3]}}]})", "smoothingGroups"},
      {"SkinBoneIndexPastList", R"({"nodes": [{"name": "B", "handle": 1, "object": {"type": "bone"}},
         {"name": "S", "object": {"type": "derived", "input": {"type": "mesh", "mesh": )" + tri + R"(},
          "modifiers": [{"type": "skin", "bones": [1], "weights": [[[5, 1]], [], []]}]}}]})", "weights"},
      {"EditPointOutOfRange", R"({"nodes": [{"name": "E", "object": {"type": "derived", "input": {"type": "mesh",
         "mesh": )" + tri + R"(}, "modifiers": [{"type": "edit", "moves": [[99, 1, 0, 0]]}]}}]})", "moves"},
      {"NaNAsText", Triangle().replace(Triangle().find("[1,0,0]"), 7, "[NaN,0,0]"), "malformed JSON"},
      {"OverflowToInfinity", Triangle().replace(Triangle().find("[1,0,0]"), 7, "[1e400,0,0]"), "1e400"},
      {"BeyondSinglePrecision", Triangle().replace(Triangle().find("[1,0,0]"), 7, "[-1e39,0,0]"), "/vertices/1"},
      {"InfiniteTransform", Triangle(R"("transform": {"translation": [0, 1e300, 0]})"), "/transform"},
      {"ZeroQuaternion", Triangle(R"("transform": {"rotation": [0, 0, 0, 0]})"), "/rotation"},
      {"ParentCycle", R"({"nodes": [{"name": "A", "handle": 1, "parent": 2}, {"name": "B", "handle": 2, "parent": 1}]})",
       "cycle"},
      {"OwnParent", R"({"nodes": [{"name": "A", "handle": 1, "parent": 1}]})", "parent"},
      {"UnknownParent", R"({"nodes": [{"name": "A", "parent": 42}]})", "parent"},
      {"DuplicateHandle", R"({"nodes": [{"name": "A", "handle": 3}, {"name": "B", "handle": 3}]})", "handle"},
      {"DerivedInputItself", R"({"nodes": [{"name": "D", "object": "d"}],
         "objects": {"d": {"type": "derived", "input": "d"}}})", "/objects/d"},
      {"MultiMaterialContainsItself", Triangle(R"("material": "m")", R"("materials": {"m": {"type": "multi",
         "subMaterials": ["s", "m"]}, "s": {"type": "standard"}})"), "/materials/m"},
      {"MaterialsInACircle", Triangle(R"("material": "a")", R"("materials": {"a": {"type": "multi",
         "subMaterials": ["b"]}, "b": {"type": "multi", "subMaterials": ["a"]}})"), "/materials/"},
      {"MapContainsItself", Triangle(R"("material": {"type": "standard", "maps": {"diffuse": "t"}})",
         R"("texmaps": {"t": {"type": "normalmap", "map": "t"}})"), "/texmaps/t"},
      {"PatchStepsHuge", R"({"nodes": [{"name": "P", "object": {"type": "patch", "patch": {
         "vertices": [[0,0,0],[1,0,0],[1,1,0],[0,1,0]], "patches": [[0,1,2,3]], "steps": 1000000000}}}]})", "steps"},
      {"TicksPerFrameZero", Triangle("", R"("scene": {"ticksPerFrame": 0})"), "ticksPerFrame"},
      {"RangeBackwards", Triangle("", R"("scene": {"animationRange": [100, "x"]})"), "animationRange"},
      {"KeyTimesNotIncreasing", Triangle(R"("controller": {"position": {"keys": [[10, 0,0,0], [5, 1,1,1]]}})"),
       "keys"},
      {"LongUnknownKey", Triangle("\"" + LongName() + "\": 1"), "nnnn"},
  };
}

class BadDocument : public VornRun, public ::testing::WithParamInterface<BadDoc> {};

TEST_P(BadDocument, IsRefusedWithItsPlaceAndNothingIsWritten) {
  const BadDoc& c = GetParam();
  const fs::path doc = Doc(c.json);
  PlantPrevious();
  const auto before = FilesOutsideOut();
  EXPECT_EQ(Export(doc), 2) << stderr_;
  EXPECT_EQ(stderr_.rfind("vorn: ", 0), 0u) << stderr_;
  EXPECT_NE(stderr_.find(c.message), std::string::npos) << stderr_;
  EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 1) << "one message, not a dump";
  EXPECT_TRUE(Read(Out()) == kPrevious);
  EXPECT_EQ(FilesOutsideOut(), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out"), fs::directory_iterator{}), 1);
}

INSTANTIATE_TEST_SUITE_P(Documents, BadDocument, ::testing::ValuesIn(BadDocs()),
                         [](const ::testing::TestParamInfo<BadDoc>& i) { return std::string(i.param.name); });

// Cutting a good document anywhere gives a JSON error, never a partial scene.
TEST_F(VornRun, TruncatedDocumentsAreRefusedAtEveryLength) {
  const std::string whole = Read(fs::path(VORN_SOURCE_DIR) / "examples" / "skinned_cylinder.json");
  ASSERT_GT(whole.size(), 1000u);
  PlantPrevious();
  for (size_t cut : {size_t(1), whole.size() / 7, whole.size() / 3, whole.size() / 2, whole.size() - 3}) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(Export(Doc(whole.substr(0, cut))), 2) << stderr_;
    EXPECT_NE(stderr_.find("malformed JSON"), std::string::npos) << stderr_;
    EXPECT_TRUE(Read(Out()) == kPrevious);
  }
}

// Far more nesting than any scene has: no recursion deep enough to overflow the stack.
TEST_F(VornRun, DeepNestingIsRefusedWithoutCrashing) {
  PlantPrevious();
  EXPECT_EQ(Export(Doc(std::string(200000, '['))), 2) << stderr_;
  EXPECT_NE(stderr_.find("malformed JSON"), std::string::npos) << stderr_;
  std::string nested = R"({"nodes": [)";
  for (int i = 0; i < 100000; ++i) nested += R"({"name": "n", "children": [)";
  EXPECT_EQ(Export(Doc(nested)), 2) << stderr_;
  EXPECT_TRUE(Read(Out()) == kPrevious);
}

// A 10,000-character name is legal; the export shortens it where the format limits names.
TEST_F(VornRun, TenThousandCharacterNamesExportOrAreRefusedCleanly) {
  const std::string name = LongName();
  const std::string json = R"({"nodes": [{"name": ")" + name + R"(", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]],
      "faces": [[0,1,2]]}, "material": {"type": "standard", "name": ")" + name + R"(", "maps": {"diffuse":
      {"type": "bitmap", "name": ")" + name + R"(", "file": "C:\\)" + name + R"(.png"}}}}],
      "root": {"name": ")" + name + R"("}})";
  EXPECT_EQ(Export(Doc(json), "--set XFileType=0"), 0) << stderr_;
  vorn::XFileTree tree;
  std::string error;
  EXPECT_TRUE(vorn::ReadXFileFromPath(Out().string(), vorn::XReadOptions{}, &tree, &error)) << error;
  // Frame names are cut to the host's 255 characters; the texture's file name is kept whole.
  const std::string x = Read(Out());
  EXPECT_NE(x.find("Frame " + std::string(255, 'n') + " {"), std::string::npos);
  EXPECT_EQ(x.find(std::string(256, 'n') + " {"), std::string::npos);
  // An output path past the system's limit.
  const std::string longOut = (dir_ / "out").string() + "/" + name + ".x";
  EXPECT_EQ(Run("export " + Doc(Triangle()).string() + " " + longOut + " --silent --config-dir " +
                (dir_ / "cfg").string()),
            1)
      << stderr_;
  EXPECT_EQ(stderr_.rfind("vorn: ", 0), 0u) << stderr_;
}

// Sidecar buffers: short files, bad offsets, counts that would need more memory than there is.
class BadBuffer : public VornRun {
 protected:
  fs::path WithVertices(const std::string& ref) {
    return Doc(R"({"nodes": [{"name": "B", "mesh": {"vertices": )" + ref + R"(, "faces": [[0,1,2]]}}]})");
  }
  void WriteFloats(const std::vector<float>& v) {
    std::ofstream out(dir_ / "in" / "v.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size() * sizeof(float)));
  }
  void ExpectRefused(const fs::path& doc, const char* message) {
    PlantPrevious();
    EXPECT_EQ(Export(doc), 2) << stderr_;
    EXPECT_NE(stderr_.find(message), std::string::npos) << stderr_;
    EXPECT_TRUE(Read(Out()) == kPrevious);
  }
};

TEST_F(BadBuffer, ShortMissingAndOddFilesAreRefused) {
  WriteFloats({0, 0, 0, 1, 0, 0, 0, 1});  // one float short of three points
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 3, "type": "float32x3"})"), "truncated");
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "offset": 4, "count": 3, "type": "float32x3"})"), "truncated");
  ExpectRefused(WithVertices(R"({"buffer": "nothere.bin", "count": 3, "type": "float32x3"})"), "nothere.bin");
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 3, "type": "float64x3"})"), "type");
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": -3, "type": "float32x3"})"), "count");
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "offset": 18446744073709551615, "count": 1,
      "type": "float32x3"})"), "offset");
  // The document's own folder, a folder, and a device are not buffers.
  ExpectRefused(WithVertices(R"({"buffer": ".", "count": 3, "type": "float32x3"})"), "not a file");
  ExpectRefused(WithVertices(R"({"buffer": "/dev/zero", "count": 3, "type": "float32x3"})"), "not a file");
}

TEST_F(BadBuffer, HugeCountsAreRefusedBeforeAnyAllocation) {
  WriteFloats({0, 0, 0, 1, 0, 0, 0, 1, 0});
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 4000000000, "type": "float32x3"})"), "count");
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 268435457, "type": "float32x3"})"), "count");
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 1e300, "type": "float32x3"})"), "count");
  // Within the element limit but far beyond the file.
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 268435456, "type": "float32x3"})"), "truncated");
}

TEST_F(BadBuffer, NonFiniteFloatsAndBadIndicesAreRefused) {
  WriteFloats({0, 0, 0, std::numeric_limits<float>::quiet_NaN(), 0, 0, 0, 1, 0});
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 3, "type": "float32x3"})"), "/vertices");
  WriteFloats({0, 0, 0, 1, 0, 0, 0, -std::numeric_limits<float>::infinity(), 0});
  ExpectRefused(WithVertices(R"({"buffer": "v.bin", "count": 3, "type": "float32x3"})"), "/vertices");
  const uint32_t faces[] = {0, 1, 2, 0, 1, 3000000000u};
  std::ofstream(dir_ / "in" / "f.bin", std::ios::binary).write(reinterpret_cast<const char*>(faces), sizeof faces);
  ExpectRefused(Doc(R"({"nodes": [{"name": "B", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]],
      "faces": {"buffer": "f.bin", "count": 2, "type": "uint32x3"}}}]})"), "/faces");
}

// Sampling a range of two billion ticks one tick apart would take hours and gigabytes: the export
// refuses or limits it rather than hanging.
TEST_F(VornRun, HugeAnimationRangeDoesNotHang) {
  PlantPrevious();
  const fs::path doc = Doc(Triangle(R"("controller": {"position": {"keys": [[0, 0,0,0], [2000000000, 1,1,1]]}})",
                                    R"("scene": {"animationRange": [0, 2000000000], "ticksPerFrame": 1})"));
  const int rc = Export(doc, "--set Animation=1 --set SampleRate=4800");
  EXPECT_TRUE(rc == 0 || rc == 1 || rc == 2) << rc << " " << stderr_;
  if (rc != 0) {
    EXPECT_TRUE(Read(Out()) == kPrevious);
  }
}

// The settings file is input too: values the dialog would never allow still give an export or a
// refusal, in bounded time and memory.
TEST_F(VornRun, OutOfRangeSettingsStayBounded) {
  const fs::path examples = fs::path(VORN_SOURCE_DIR) / "examples";
  fs::copy(examples / "textures", dir_ / "in" / "textures");
  fs::copy_file(examples / "textured_box.json", dir_ / "in" / "textured_box.json");
  for (const char* set : {"ProcMapX=100000 --set ProcMapY=100000", "ProcMapX=-5 --set ProcMapY=0", "XFileType=99",
                          "TextureConvert=1 --set TextureFormat=-7", "SampleRate=0", "Precision=-1",
                          "SpaceScaleEnable=1 --set SpaceScale=nan", "SpaceScaleEnable=1 --set SpaceScale=1e39",
                          "KeyFrames=1 --set KeyOptimizeLevel=-100"}) {
    SCOPED_TRACE(set);
    const int rc = Export(dir_ / "in" / "textured_box.json", std::string("--set ") + set);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc << " " << stderr_;
  }
}

// The loader's own entry point, for what the binary cannot show: the error type and the file name.
TEST(SceneLoader, ErrorsNameTheFileAndThePlace) {
  try {
    vorn::LoadSceneDocumentFromString(R"({"nodes": [{"name": "A", "handle": 1, "parent": 1}]})");
    FAIL() << "a node that is its own parent loads";
  } catch (const vorn::SceneError& e) {
    EXPECT_EQ(e.where().rfind("/nodes/0", 0), 0u) << e.what();
    EXPECT_FALSE(e.message().empty());
  }
  EXPECT_THROW(vorn::LoadSceneDocument("/nonexistent/scene.json"), vorn::SceneError);
  EXPECT_THROW(vorn::LoadSceneDocument("/"), vorn::SceneError);
  EXPECT_THROW(vorn::LoadSceneDocument("/dev/zero"), vorn::SceneError) << "read until memory runs out";
}

}  // namespace
}  // namespace vorn_reliability
