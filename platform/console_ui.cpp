#include "platform/console_ui.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace vorn::platform {

namespace {

constexpr int kBarWidth = 30;

void WriteAll(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report a broken console
    s.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

ConsoleUi::ConsoleUi(int fd) : ConsoleUi(fd, ::isatty(fd) == 1) {}

ConsoleUi::ConsoleUi(int fd, bool interactive) : fd_(fd), interactive_(interactive) {}

ConsoleUi::~ConsoleUi() { ProgressEnd(); }

void ConsoleUi::MessageBox(std::string_view caption, std::string_view text, MessageIcon) {
  std::string line;
  line.reserve(caption.size() + text.size() + 3);
  if (!caption.empty()) {
    line += caption;
    line += ": ";
  }
  line += text;
  line += '\n';
  Clear();
  WriteAll(fd_, line);
  if (active_ && percent_ >= 0) Draw();
}

void ConsoleUi::ProgressStart(std::string_view title) {
  ProgressEnd();
  title_ = title;
  active_ = true;
  percent_ = -1;
}

void ConsoleUi::ProgressUpdate(int percent) {
  if (!active_) return;
  percent = std::clamp(percent, 0, 100);
  if (percent == percent_) return;
  percent_ = percent;
  Draw();
}

void ConsoleUi::ProgressEnd() {
  Clear();
  active_ = false;
  percent_ = -1;
}

void ConsoleUi::Draw() {
  if (!interactive_) return;
  const int filled = percent_ * kBarWidth / 100;
  char bar[kBarWidth + 1];
  std::fill(bar, bar + filled, '#');
  std::fill(bar + filled, bar + kBarWidth, '.');
  bar[kBarWidth] = '\0';
  char tail[64];
  std::snprintf(tail, sizeof tail, " [%s] %3d%%", bar, percent_);
  std::string line = "\r" + title_ + tail;
  // Spaces over whatever a longer earlier drawing left behind.
  const size_t width = line.size() - 1;
  if (width < drawnWidth_) line.append(drawnWidth_ - width, ' ');
  drawnWidth_ = std::max(drawnWidth_, width);
  WriteAll(fd_, line);
}

void ConsoleUi::Clear() {
  if (drawnWidth_ == 0) return;
  std::string line = "\r";
  line.append(drawnWidth_, ' ');
  line += '\r';
  WriteAll(fd_, line);
  drawnWidth_ = 0;
}

}  // namespace vorn::platform
