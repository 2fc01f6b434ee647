// Modal dialogs and message boxes drawn in the terminal (curses), for the command-line host.
#pragma once

#include <string>

#include "host/dialog.h"

namespace vorn::platform {

class TerminalDialogs {
 public:
  TerminalDialogs() = default;
  TerminalDialogs(const TerminalDialogs&) = delete;
  TerminalDialogs& operator=(const TerminalDialogs&) = delete;
  ~TerminalDialogs();

  // Shows the dialog until the procedure ends it; dialogs opened from its events nest. The
  // screen is taken at the first dialog and given back when the outermost one ends.
  int Run(DialogModel& dialog, DialogProcedure& procedure);
  // A modal box with an OK button over the dialogs; only while one is shown.
  void MessageBox(const std::string& caption, const std::string& text);
  bool Active() const { return depth_ > 0; }

 private:
  void Begin();
  void End();

  int depth_ = 0;
  void* screen_ = nullptr;
};

}  // namespace vorn::platform
