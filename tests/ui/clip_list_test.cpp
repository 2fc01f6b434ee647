#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/clip_list.h"

namespace vorn {
namespace {

class ClipList : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog_.Add(1014, ControlKind::List, "", 0, 0, 30, 6);
    list_.Attach(dialog_, 1014);
    list_.InsertColumn(0, "Name", 90);
    list_.InsertColumn(1, "Start", 45);
    list_.InsertColumn(2, "End", 45);
    list_.firstFrame = 0;
    list_.lastFrame = 100;
  }
  std::vector<std::string> Row(int r) const { return dialog_.Find(1014)->rows[static_cast<size_t>(r)]; }
  // Selects the cell with a click and edits it with text, as the user would.
  void Edit(int row, int column, const std::string& text) {
    ASSERT_TRUE(list_.OnNotifyDoubleClick(row, column));
    std::string shown;
    bool digits = false;
    ASSERT_TRUE(list_.OnNotifyBeginEdit(shown, digits));
    EXPECT_EQ(digits, column >= 1);
    list_.OnNotifyEndEdit(&text);
  }

  DialogModel dialog_;
  CAnimListView list_;
};

TEST_F(ClipList, AddedRowsAreClampedIntoTheSceneRange) {
  list_.AddClipRow("Walk", -5, 200);
  list_.AddClipRow("Back", 80, 20);
  list_.AddClipRow("", 10, 20);
  EXPECT_EQ(Row(0), (std::vector<std::string>{"Walk", "0", "100"}));
  EXPECT_EQ(Row(1), (std::vector<std::string>{"Back", "20", "20"})) << "a start after the end moves to it";
  EXPECT_EQ(Row(2), (std::vector<std::string>{"Anims_3", "10", "20"}));
}

TEST_F(ClipList, UniqueNamesExtendTheLongestMatch) {
  list_.AddClipRow("Anims_1", 0, 10);
  list_.AddClipRow("Anims_10", 0, 10);
  EXPECT_EQ(list_.UniqueClipName("Anims_1"), "Anims_10_");
  EXPECT_EQ(list_.UniqueClipName("Run"), "Run");
}

TEST_F(ClipList, NameEditsAreValidated) {
  list_.AddClipRow("Walk", 10, 50);
  for (const char* bad : {"1st", "two words", "a-b", "", "abcdefghijklmnopqrstuvwxyz0123456"}) {
    Edit(0, 0, bad);
    EXPECT_EQ(Row(0)[0], "Walk") << bad;
  }
  Edit(0, 0, "_run2");
  EXPECT_EQ(Row(0)[0], "_run2");
  EXPECT_EQ(dialog_.Find(1014)->rows.size(), 1u) << "an edit never adds a row";
}

TEST_F(ClipList, FrameEditsAreClampedAndOrdered) {
  list_.AddClipRow("Walk", 10, 50);
  Edit(0, 2, "150");
  EXPECT_EQ(Row(0), (std::vector<std::string>{"Walk", "10", "100"}));
  list_.SetCell(0, 2, "50");
  Edit(0, 2, "5");
  EXPECT_EQ(Row(0), (std::vector<std::string>{"Walk", "5", "5"})) << "an end before the start moves both";
  list_.SetCell(0, 1, "10");
  list_.SetCell(0, 2, "50");
  Edit(0, 1, "80");
  EXPECT_EQ(Row(0), (std::vector<std::string>{"Walk", "80", "80"}));
  list_.SetCell(0, 1, "10");
  list_.SetCell(0, 2, "50");
  Edit(0, 1, "007");
  EXPECT_EQ(Row(0)[1], "007") << "the typed text is kept";
  Edit(0, 1, "4x");
  EXPECT_EQ(Row(0)[1], "007") << "digits only";
  list_.firstFrame = 20;
  Edit(0, 1, "3");
  EXPECT_EQ(Row(0)[1], "20") << "below the first frame";
}

TEST_F(ClipList, FirstClickSelectsSecondClickEdits) {
  list_.AddClipRow("Walk", 10, 50);
  list_.SelectCell(-1, -1);
  EXPECT_FALSE(list_.OnNotifyClick(0, 1));
  EXPECT_EQ(dialog_.Find(1014)->highlightRow, 0);
  EXPECT_EQ(dialog_.Find(1014)->highlightColumn, 1);
  std::string text;
  bool digits = false;
  EXPECT_FALSE(list_.OnNotifyBeginEdit(text, digits)) << "one click only selects";
  EXPECT_TRUE(list_.OnNotifyClick(0, 1));
  EXPECT_TRUE(list_.OnNotifyBeginEdit(text, digits));
  EXPECT_EQ(text, "10");
  EXPECT_TRUE(digits);
  EXPECT_FALSE(list_.OnNotifyClick(0, 2)) << "another cell: selected, not edited";
}

TEST_F(ClipList, InsertAndDelete) {
  list_.InsertClipRow();
  EXPECT_EQ(Row(0), (std::vector<std::string>{"Anims_1", "0", "100"})) << "no selection: appended";
  list_.AddClipRow("B", 1, 2);
  list_.AddClipRow("C", 1, 2);
  list_.SelectCell(2, 0);
  list_.InsertClipRow();
  ASSERT_EQ(dialog_.Find(1014)->rows.size(), 4u);
  EXPECT_EQ(Row(2), (std::vector<std::string>{"Anims_3", "0", "100"}));
  EXPECT_EQ(Row(3)[0], "C");
  EXPECT_EQ(list_.selectedRow, 2);

  list_.DeleteSelectedRow();
  EXPECT_EQ(Row(2)[0], "C");
  EXPECT_EQ(list_.selectedRow, 1) << "the selection moves up";
  list_.SelectCell(-1, -1);
  list_.DeleteSelectedRow();
  ASSERT_EQ(dialog_.Find(1014)->rows.size(), 2u);
  EXPECT_EQ(Row(1)[0], "B") << "no selection: the last row goes";
}

TEST_F(ClipList, ClipDialogAddsWhatItShows) {
  list_.AddClipRow("Anims_1", 0, 10);
  ClipDialog proc(list_);
  DialogModel d = ClipDialog::Layout();
  proc.OnInit(d);
  EXPECT_EQ(d.Text(ClipDialog::kName), "Anims_2");
  EXPECT_EQ(d.Text(ClipDialog::kStartEdit), "0");
  EXPECT_EQ(d.Text(ClipDialog::kEndEdit), "100");
  d.SetText(ClipDialog::kEndEdit, "500");  // typed past the spinner's limit
  d.SetText(ClipDialog::kName, "Jump");
  EXPECT_EQ(proc.OnCommand(d, ClipDialog::kOk), 1);
  EXPECT_EQ(Row(1), (std::vector<std::string>{"Jump", "0", "100"}));
  EXPECT_EQ(proc.OnCommand(d, ClipDialog::kCancel), 2);
  EXPECT_EQ(dialog_.Find(1014)->rows.size(), 2u);
}

}  // namespace
}  // namespace vorn
