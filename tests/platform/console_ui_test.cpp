#include "platform/console_ui.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/temp_dir.h"

namespace vorn::platform {
namespace {

// Everything a ConsoleUi wrote into a file.
class Capture {
 public:
  Capture() : fd_(::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {}
  ~Capture() { ::close(fd_); }
  int fd() const { return fd_; }
  std::string Text() const { return testing::ReadText(dir_ / "out"); }

 private:
  testing::TempDir dir_;
  int fd_;
};

TEST(ConsoleUi, MessagesNameTheirCaption) {
  Capture out;
  ConsoleUi ui(out.fd(), false);
  ui.MessageBox("", "No node!");
  ui.MessageBox("Warning", "No node will be export.", MessageIcon::kWarning);
  EXPECT_EQ(out.Text(), "No node!\nWarning: No node will be export.\n");
}

TEST(ConsoleUi, ProgressStaysOffAPipeOrFile) {
  Capture out;
  ConsoleUi ui(out.fd(), false);
  ui.ProgressStart("Dovra");
  for (int p = 0; p <= 100; ++p) ui.ProgressUpdate(p);
  ui.ProgressEnd();
  EXPECT_EQ(out.Text(), "");
  EXPECT_FALSE(ConsoleUi(out.fd()).Interactive());
}

TEST(ConsoleUi, TerminalProgressRedrawsInPlaceAndClears) {
  Capture out;
  {
    ConsoleUi ui(out.fd(), true);
    ui.ProgressUpdate(50);  // before Start: nothing
    ui.ProgressStart("Dovra");
    for (int step = 0; step <= 10000; ++step) ui.ProgressUpdate(step / 100);
    ui.ProgressUpdate(250);  // clamped to 100, already drawn
    ui.MessageBox("", "note");
    ui.ProgressEnd();
    ui.ProgressUpdate(10);  // after End: nothing
  }
  const std::string text = out.Text();
  const size_t draws = static_cast<size_t>(std::count(text.begin(), text.end(), '%'));
  EXPECT_EQ(draws, 101u + 1u) << "one drawing per percent, one redraw after the message";
  EXPECT_NE(text.find("Dovra [..............................]   0%"), std::string::npos);
  EXPECT_NE(text.find("Dovra [##############################] 100%"), std::string::npos);
  const size_t note = text.find("note\n");
  ASSERT_NE(note, std::string::npos);
  EXPECT_EQ(text[note - 1], '\r') << "the bar is cleared before the message";
  EXPECT_EQ(text.back(), '\r');
  EXPECT_EQ(text.find_last_not_of(" \r"), text.rfind('%')) << "the end clears the line";
}

}  // namespace
}  // namespace vorn::platform
