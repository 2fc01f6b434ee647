// The options dialog as a user drives it in a terminal: vorn runs in a tmux session of 80 x 24,
// keys go in through tmux, and the export and the saved settings are checked afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "model/export_context.h"
#include "model/export_settings.h"
#include "ui/options_dialog_proc.h"
#include "tests/support/temp_dir.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class TerminalDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux not available";
    session_ = "vorn-e2e-" + std::to_string(getpid());
    // A server of its own: tests run side by side, and a shared server that exits as one test's
    // last session ends fails another test's new session.
    tmux_ = "tmux -L " + session_ + " ";
    fs::create_directories(dir_ / "cfg");
  }
  void TearDown() override {
    if (session_.empty()) return;
    (void)std::system((tmux_ + "kill-server >/dev/null 2>&1").c_str());
  }

  void Start() {
    (void)std::system((tmux_ + "kill-session -t " + session_ + " >/dev/null 2>&1").c_str());
    fs::remove(dir_ / "status");
    const std::string cmd = std::string(VORN_EXE) + " export " + Quote(Scene()) + " " + Quote(Out()) +
                            " --config-dir " + Quote((dir_ / "cfg").string()) + "; echo $? >" + Quote((dir_ / "status").string()) + "; sleep 60";
    const std::string tmux = tmux_ + "new-session -d -s " + session_ + " -x 80 -y 24 " + Quote(cmd);
    ASSERT_EQ(std::system(tmux.c_str()), 0);
  }
  std::string Screen() {
    const std::string file = (dir_ / "screen").string();
    (void)std::system((tmux_ + "capture-pane -p -t " + session_ + " >" + Quote(file)).c_str());
    return Read(file);
  }
  // Polls until done() holds. The limit is only there so that a broken dialog fails the test;
  // a slow machine just takes longer.
  template <class Done>
  static bool Eventually(Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      if (done()) return true;
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool WaitFor(const std::string& text) {
    return Eventually([&] { return Screen().find(text) != std::string::npos; });
  }
  // tmux key names: "Tab", "Enter", "Space", "Escape", or literal text with -l. Keys queue up in
  // the terminal and are read in order, so nothing waits between them.
  void Keys(const std::string& keys, bool literal = false) {
    ASSERT_EQ(std::system((tmux_ + "send-keys -t " + session_ + (literal ? " -l " : " ") + keys).c_str()), 0);
  }
  int Status() {
    std::string status;
    Eventually([&] { return !(status = Read(dir_ / "status")).empty(); });
    return status.empty() ? -1 : std::atoi(status.c_str());
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string Scene() { return std::string(VORN_SOURCE_DIR) + "/examples/box.json"; }
  std::string Out() const { return (dir_ / "box.x").string(); }
  std::string Settings() const { return Read(dir_ / "cfg" / "vorn_max_config.ini"); }

  // Tab presses from one control to another, in the order the dialog moves focus, with the
  // enabled states the default settings give.
  static int Tabs(int from, int to) {
    ExportContext ctx;
    ctx.animationRange = {0, 16000};
    ExportSettings settings;
    CAnimListView clips;
    DialogModel d = OptionsDialogProc::Layout();
    InitOptionsDialog(d, ctx, settings, clips);
    int count = -1;
    for (const DialogControl& c : d.controls) {
      const bool focusable =
          c.visible && c.enabled && c.kind != ControlKind::Group && c.kind != ControlKind::Label;
      if (!focusable) continue;
      if (c.id == from) count = 0;
      else if (count >= 0) ++count;
      if (c.id == to) return count;
    }
    return -1;
  }
  void Tab(int n) {
    for (int i = 0; i < n; ++i) Keys("Tab");
  }
  // A left click (two for a double click) on a clip list cell, as an xterm mouse reports it;
  // the dialog is drawn from the second line at the first column of an 80-column screen.
  void ClickCell(int row, int column, bool twice = false) {
    const DialogModel d = OptionsDialogProc::Layout();
    const DialogControl& list = *d.Find(ids::kClipList);
    const int widths[] = {90, 45, 45};  // the columns the dialog gives the list
    int x = 1 + list.x;
    for (int k = 0; k < column; ++k) x += ColumnRoom(ListColumn{"", widths[k]}) + 1;
    const int y = 1 + list.y + 1 + row;
    auto event = [&](int button) {
      return std::string("\x1b[M") + static_cast<char>(32 + button) + static_cast<char>(32 + x + 1) +
             static_cast<char>(32 + y + 1);
    };
    std::string click = event(0) + event(3);
    Keys(Quote(twice ? click + click : click), true);
    // Past the time in which curses waits for a further click to make a double or triple one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // The text of a clip list cell once the screen shows want, else as it last showed it.
  std::string Cell(int row, int column, const std::string& want) {
    std::string seen;
    Eventually([&] { return (seen = CellOnScreen(row, column)) == want; });
    return seen;
  }
  // The text of a clip list cell as the screen shows it, found below the list's header line
  // wherever the dialog is scrolled to.
  std::string CellOnScreen(int row, int column) {
    const int widths[] = {90, 45, 45};
    std::istringstream lines(Screen());
    std::string line;
    int x = -1;
    while (x < 0 && std::getline(lines, line)) {
      const size_t name = line.find("Name ");
      if (name == std::string::npos || line.find("|Start") == std::string::npos) continue;
      x = TextCells(line.substr(0, name));
    }
    for (int r = 0; r <= row; ++r) std::getline(lines, line);
    if (x < 0 || !lines) return "(no list on screen)";
    for (int k = 0; k < column; ++k) x += ColumnRoom(ListColumn{"", widths[k]}) + 1;
    // Box-drawing characters before the cell take three bytes for one column.
    size_t at = 0;
    for (int cells = 0; at < line.size() && cells < x; ++cells) {
      ++at;
      while (at < line.size() && (static_cast<unsigned char>(line[at]) & 0xC0) == 0x80) ++at;
    }
    const std::string cell = line.substr(at, static_cast<size_t>(ColumnRoom(ListColumn{"", widths[column]})));
    return cell.substr(0, cell.find_last_not_of(' ') + 1);
  }

  std::string session_;
  std::string tmux_;
  vorn::testing::TempDir temp_;
  fs::path dir_{temp_.path()};
};

TEST_F(TerminalDialog, ChangesASettingAddsAClipAndExports) {
  Start();
  ASSERT_TRUE(WaitFor("Animation Clips")) << Screen();
  EXPECT_NE(Screen().find("Scene Root"), std::string::npos);
  Keys("Space");  // the first control: Scene Root
  Tab(Tabs(ids::kSceneRoot, ids::kAdd));
  Keys("Enter");
  ASSERT_TRUE(WaitFor("Name:")) << Screen();
  Keys("Jump", true);
  Keys("Enter");
  ASSERT_TRUE(WaitFor("Jump")) << Screen();
  Tab(Tabs(ids::kAdd, ids::kSampleRate));
  // The edit takes the three characters read on OK, so it shows what will be saved.
  Keys("2456", true);
  EXPECT_TRUE(WaitFor("[245]")) << Screen();
  Keys("Enter");
  ASSERT_EQ(Status(), 0) << Screen();

  const std::string settings = Settings();
  EXPECT_NE(settings.find("SceneRoot=1"), std::string::npos) << settings;
  EXPECT_NE(settings.find("=Jump"), std::string::npos) << settings;
  EXPECT_NE(settings.find("AnimationCount=2"), std::string::npos) << settings;
  EXPECT_NE(settings.find("SampleRate=245"), std::string::npos) << settings;
  XFileTree tree;
  std::string error;
  ASSERT_TRUE(ReadXFileFromPath(Out(), XReadOptions{}, &tree, &error)) << error;
  bool sceneRoot = false, jump = false;
  for (const XTreeObject& o : tree.objects) {
    const XTemplate* t = tree.TemplateOf(o);
    if (!t) continue;
    if (t->name == "Frame" && o.parent == kNoObject && o.name == "SceneRoot") sceneRoot = true;
    if (t->name == "AnimationSet" && o.name == "Jump") jump = true;
  }
  EXPECT_TRUE(sceneRoot) << "the file has the scene-root frame";
  EXPECT_TRUE(jump) << "and the new clip";
}

TEST_F(TerminalDialog, TypingIntoAClipCellReplacesItsText) {
  const char* magic[] = {"xof 0303txt 0032", "xof 0303bin 0032", "xof 0303bzip0032"};
  enum Way { kClickTwice, kEnter, kDoubleClick };
  for (int way : {kClickTwice, kEnter, kDoubleClick}) {
    SCOPED_TRACE(way);
    std::ofstream(dir_ / "cfg" / "vorn_max_config.ini")
        << "[Option]\nXFileType=" << way << "\nAnimationCount=1\nAnimation0_Name=Clip\n"
        << "Animation0_StartKey=10\nAnimation0_EndKey=20\n";
    Start();
    ASSERT_TRUE(WaitFor("Animation Clips")) << Screen();
    ASSERT_EQ(Cell(0, 2, "20"), "20") << Screen();
    if (way == kClickTwice) {
      ClickCell(0, 2);
      ClickCell(0, 2);
    } else if (way == kEnter) {
      Tab(Tabs(ids::kSceneRoot, ids::kClipList));
      Keys("Right");  // from no cell to the first, then on to End
      Keys("Right");
      Keys("Right");
      Keys("Enter");
    } else {
      ClickCell(0, 2, true);
    }
    Keys("15", true);
    EXPECT_EQ(Cell(0, 2, "15_"), "15_") << Screen();
    Keys("Enter");
    EXPECT_EQ(Cell(0, 2, "15"), "15") << Screen();
    // A second edit of the same cell replaces again; Backspace first empties the selected text.
    if (way == kEnter) {
      Keys("Enter");
      Keys("BSpace");
      Keys("12", true);
      Keys("Enter");
      EXPECT_EQ(Cell(0, 2, "12"), "12") << Screen();
    }
    Keys("BTab");  // to the edit before the list (a click focuses the list too), where Enter is OK
    Keys("Enter");
    ASSERT_EQ(Status(), 0) << Screen();
    const std::string settings = Settings();
    EXPECT_NE(settings.find(way == kEnter ? "Animation0_EndKey=12\n" : "Animation0_EndKey=15\n"), std::string::npos)
        << settings;
    EXPECT_EQ(Read(Out()).substr(0, 16), magic[way]);
  }
}

TEST_F(TerminalDialog, EscapeCancelsWithNothingWritten) {
  Start();
  ASSERT_TRUE(WaitFor("Animation Clips")) << Screen();
  Keys("Space");
  // Keys the terminal database does not know come as Esc and more: dropped, not a cancel.
  Keys(Quote("\x1b[1;9C\x1b[99~\x1bOZ\x1bx"), true);
  Keys("Tab");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(dir_ / "status")) << Screen();
  Keys("Escape");
  EXPECT_EQ(Status(), 1);
  EXPECT_TRUE(WaitFor("export cancelled")) << Screen();
  EXPECT_FALSE(fs::exists(Out()));
  EXPECT_FALSE(fs::exists(dir_ / "cfg" / "vorn_max_config.ini"));
}

}  // namespace
}  // namespace vorn
