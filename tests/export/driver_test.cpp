#include "export/driver.h"

#include "spine_fixture.h"

namespace vorn {
namespace {

using testing::SceneOf;
using testing::SpineTest;
using testing::TriangleNode;

class Driver : public SpineTest {
 protected:
  // Runs one export and returns the message boxes shown.
  std::vector<RecordedMessage> Export(SceneDocument& doc, bool silent = true, const std::string& name = "out.x") {
    XDoExport((Dir() + "/" + name).c_str(), nullptr, &doc, silent, 0);
    return doc.Messages();
  }
  bool Written(const std::string& name = "out.x") { return std::filesystem::exists(dir_ / name); }
};

TEST_F(Driver, NoNodeWithoutChildrenOfTheRoot) {
  auto doc = Load(R"({"format": "vorn-scene", "version": 1, "nodes": []})");
  auto msgs = Export(*doc, false);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "No node!");
  EXPECT_EQ(msgs[0].caption, "");
  EXPECT_FALSE(std::filesystem::exists(Settings())) << "no settings are saved";
  EXPECT_EQ(XDoExport("x", nullptr, nullptr, true, 0), 1);
}

TEST_F(Driver, HiddenOnlyChildrenGiveTheWarningAndUnhiddenExport) {
  auto doc = Load(SceneOf(TriangleNode("A", R"("hidden": true)")));
  auto msgs = Export(*doc, false);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].caption, "Warning");
  EXPECT_EQ(msgs[0].text,
            "No node will be export. To export hidden nodes please unhide them and make sure the Renderable option "
            "of the object properties is checked.");
  EXPECT_FALSE(Written());
  EXPECT_TRUE(std::filesystem::exists(Settings())) << "a non-silent export saves the settings";

  auto visible = Load(SceneOf(TriangleNode("A")));
  EXPECT_TRUE(Export(*visible).empty());
  EXPECT_TRUE(Written());
}

TEST_F(Driver, EmptyTreeMessageDependsOnDummyAndOther) {
  // A scene whose only node is skipped entirely yields no top-level node.
  const std::string skipped = R"({"format": "vorn-scene", "version": 1,
    "nodes": [{"name": "S", "object": {"type": "geometry", "class": ["0x1020", 0]}}]})";
  auto doc = Load(skipped);
  auto msgs = Export(*doc);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "No node will be export, you can check the Dummy or Helper option and try again.");
  EXPECT_EQ(msgs[0].caption, "");

  WriteSettings("[Option]\nDummy=1\nOTHER=1\n");
  auto quiet = Load(skipped);
  EXPECT_TRUE(Export(*quiet).empty());
  EXPECT_FALSE(Written());
}

// XDoExport answers 1 whatever happens; the host learns the outcome through ExportFinished.
TEST_F(Driver, EveryOutcomeIsReportedToTheHost) {
  using Outcome = ExportResult::Outcome;
  auto empty = Load(R"({"format": "vorn-scene", "version": 1, "nodes": []})");
  Export(*empty, false);
  ASSERT_TRUE(empty->LastExportResult());
  EXPECT_EQ(empty->LastExportResult()->outcome, Outcome::NothingWritten);
  EXPECT_FALSE(empty->LastExportResult()->reason.empty());
  EXPECT_FALSE(empty->LastExportResult()->settingsSaved);

  auto hidden = Load(SceneOf(TriangleNode("A", R"("hidden": true)")));
  Export(*hidden, false);
  ASSERT_TRUE(hidden->LastExportResult());
  EXPECT_EQ(hidden->LastExportResult()->outcome, Outcome::NothingWritten);
  EXPECT_TRUE(hidden->LastExportResult()->settingsSaved) << "saved though nothing was written";

  auto cancelled = Load(SceneOf(TriangleNode("A")));
  cancelled->SetDialogRunner([](DialogModel&, DialogProcedure&) { return 0; });
  EXPECT_EQ(XDoExport((Dir() + "/out.x").c_str(), nullptr, cancelled.get(), false, 0), 1);
  ASSERT_TRUE(cancelled->LastExportResult());
  EXPECT_EQ(cancelled->LastExportResult()->outcome, Outcome::Cancelled);
  EXPECT_FALSE(cancelled->LastExportResult()->settingsSaved);
  EXPECT_FALSE(Written());

  auto unwritable = Load(SceneOf(TriangleNode("A")));
  Export(*unwritable, true, "no-such-folder/out.x");
  ASSERT_TRUE(unwritable->LastExportResult());
  EXPECT_EQ(unwritable->LastExportResult()->outcome, Outcome::NothingWritten);
  EXPECT_NE(unwritable->LastExportResult()->reason.find("out.x"), std::string::npos)
      << unwritable->LastExportResult()->reason;

  auto visible = Load(SceneOf(TriangleNode("A")));
  Export(*visible);
  ASSERT_TRUE(visible->LastExportResult());
  EXPECT_EQ(visible->LastExportResult()->outcome, Outcome::Written);
  EXPECT_TRUE(visible->LastExportResult()->reason.empty());
  EXPECT_FALSE(visible->LastExportResult()->settingsSaved) << "a silent export saves nothing";
  EXPECT_TRUE(Written());
}

TEST_F(Driver, SilentExportDoesNotSaveAndSampleRateIsCorrected) {
  auto doc = Load(SceneOf(TriangleNode("A")));
  Export(*doc, true);
  EXPECT_FALSE(std::filesystem::exists(Settings()));

  WriteSettings("[Option]\nSampleRate=0\n");
  auto again = Load(SceneOf(TriangleNode("A")));
  Export(*again, false);
  EXPECT_NE(ReadFile(Settings()).find("SampleRate=30\n"), std::string::npos);
}

TEST(DriverNames, RootNameCleaning) {
  EXPECT_EQ(CleanRootName("Scene Root Node"), "SceneRootNode");
  EXPECT_EQ(CleanRootName("my.scene"), "SceneRoot");
  EXPECT_EQ(CleanRootName("1scene"), "SceneRoot");
  EXPECT_EQ(CleanRootName("Root_01-a"), "Root_01-a");
  EXPECT_EQ(CleanRootName("caf\xe9"), "SceneRoot");
}

TEST(DriverNames, OutputDirectory) {
  EXPECT_EQ(OutputDirectoryOf("out.x"), "./");
  EXPECT_EQ(OutputDirectoryOf("/tmp/a/out.x"), "/tmp/a/");
  EXPECT_EQ(OutputDirectoryOf("/out.x"), "/");
}

TEST(DriverProgress, IncrementsFollowTheEstimate) {
  auto doc = LoadSceneDocumentFromString(SceneOf(TriangleNode("A")));
  std::vector<int> shown;
  doc->SetProgressSink([&](ProgressEvent ev, int percent, const std::string&) {
    if (ev == ProgressEvent::Update) shown.push_back(percent);
  });
  for (uint32_t units : {10u, 1000u}) {
    shown.clear();
    ExportContext ctx;
    ctx.host = doc.get();
    const uint32_t k = std::min<uint32_t>(units, 95);
    ASSERT_TRUE(ctx.progress.StartPhase(units, 0, 95));
    for (uint32_t i = 0; i < units; ++i) AdvanceProgress(ctx);
    EXPECT_EQ(shown.size(), k) << units << " units";
    if (units == 10) {
      EXPECT_EQ(shown.front(), 9);   // 9.5 percent per step
      EXPECT_EQ(shown[1], 19);
    } else {
      EXPECT_EQ(shown.front(), 1);
      EXPECT_LE(shown.back(), 95);
    }
    // The write phase goes on from the units done so far, over the last five percent.
    shown.clear();
    EXPECT_FALSE(ctx.progress.StartPhase(0, 95, 5));
    ASSERT_TRUE(ctx.progress.StartPhase(3, 95, 5));
    for (int i = 0; i < 3; ++i) AdvanceProgress(ctx);
    ASSERT_EQ(shown.size(), 3u) << units << " units";
    EXPECT_EQ(shown.front(), 96);
    EXPECT_LE(shown.back(), 100);
  }
}

}  // namespace
}  // namespace vorn
