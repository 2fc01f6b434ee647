// Message boxes and the progress display of the command-line host, on stderr.
#pragma once

#include <string>
#include <string_view>

namespace vorn::platform {

enum class MessageIcon { kNone, kInformation, kWarning, kError };

class ConsoleUi {
 public:
  // Draws progress only when fd is a terminal.
  explicit ConsoleUi(int fd = 2);
  ConsoleUi(int fd, bool interactive);
  ~ConsoleUi();
  ConsoleUi(const ConsoleUi&) = delete;
  ConsoleUi& operator=(const ConsoleUi&) = delete;

  // "caption: text", or the text alone when the caption is empty, on a line of its own. The console
  // has no icons; the icon is accepted for the callers' sake.
  void MessageBox(std::string_view caption, std::string_view text, MessageIcon icon = MessageIcon::kNone);

  // A bar redrawn in place with '\r', at most once per whole percent, cleared by ProgressEnd.
  void ProgressStart(std::string_view title);
  void ProgressUpdate(int percent);
  void ProgressEnd();

  bool Interactive() const { return interactive_; }

 private:
  void Draw();
  void Clear();

  int fd_;
  bool interactive_;
  bool active_ = false;
  int percent_ = -1;
  size_t drawnWidth_ = 0;
  std::string title_;
};

}  // namespace vorn::platform
