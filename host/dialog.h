// Modal dialogs as the host runs them: the module describes the controls and their layout
// and handles events; whoever shows the dialog (a terminal here) draws the controls, lets the
// user change them and reports clicks, typing and list events back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn {

enum class ControlKind { Group, Label, Check, Radio, Edit, Combo, Spinner, List, Button };

struct ListColumn {
  std::string title;
  int width = 0;  // pixels in the host; the terminal divides by 6
};

struct DialogControl {
  int id = 0;  // 0 for labels and unlabelled frames
  ControlKind kind = ControlKind::Label;
  std::string label;
  // Layout in character cells: column, row and width; a group's height in rows.
  int x = 0, y = 0, w = 0, h = 1;
  bool enabled = true;
  bool visible = true;
  bool checked = false;  // check boxes and radio buttons
  int radioGroup = 0;    // radio buttons of one group uncheck each other
  std::string text;      // edits
  bool digitsOnly = false;
  int maxLength = 255;   // characters an edit takes: no more than the module reads of it
  std::vector<std::string> items;  // combos
  int selection = -1;
  // Spinners: the value shown in the linked edit, kept within its limits.
  bool isFloat = false;
  float minValue = 0, maxValue = 0, step = 1, value = 0;
  int linkedEdit = 0;
  // List views: columns, rows of cell texts and the cell drawn as selected.
  std::vector<ListColumn> columns;
  std::vector<std::vector<std::string>> rows;
  int highlightRow = -1, highlightColumn = -1;
};

// Characters of its label, chosen entry or text that a control shows at its width; the rest is
// cut. Check boxes and radio buttons draw "[x] label", buttons "[ label ]", combos "<entry >",
// edits "[text]" (scrolled to the caret rather than cut) and group frames their label inset in
// the top border. The layout sizes controls by this and the host draws by it.
int TextRoom(const DialogControl& c);
// Characters a list column's cells and title show.
int ColumnRoom(const ListColumn& c);
// Characters of UTF-8 text, as it takes terminal cells (one each; the dialogs hold no wide ones).
int TextCells(std::string_view text);
// The text cut to at most `room` characters, never inside a character's bytes.
std::string CutText(std::string_view text, int room);

class DialogModel {
 public:
  std::string caption;
  std::string status;  // one fixed line at the bottom
  int width = 0, height = 0;  // the layout's extent in cells
  int okId = 1, cancelId = 2;
  std::vector<DialogControl> controls;

  DialogControl& Add(int id, ControlKind kind, std::string label, int x, int y, int w, int h = 1) {
    DialogControl& c = controls.emplace_back();
    c.id = id;
    c.kind = kind;
    c.label = std::move(label);
    c.x = x, c.y = y, c.w = w, c.h = h;
    return c;
  }
  DialogControl* Find(int id);
  const DialogControl* Find(int id) const;

  bool Checked(int id) const;
  void SetCheck(int id, bool on);
  void Enable(int id, bool on);
  bool Enabled(int id) const;
  std::string Text(int id) const;
  void SetText(int id, const std::string& text);
  int Selection(int id) const;
  void Select(int id, int index);
  float SpinnerValue(int id) const;
  // Sets the value within the spinner's limits and shows it in the linked edit.
  void SetSpinnerValue(int id, float value);
  // One step up (direction 1) or down (-1), to a whole number of steps, within the limits.
  void StepSpinner(int id, float direction);
  // Takes the linked edit's text as the spinner's new value, within its limits.
  void CommitSpinnerText(int id);
};

// The module's side of a dialog: the dialog procedure.
class DialogProcedure {
 public:
  virtual ~DialogProcedure() = default;
  virtual void OnInit(DialogModel& dialog) = 0;
  // A button, check box or radio button was clicked (check and radio states already changed),
  // or the dialog is asked to close (cancelId). Returns the dialog's result to end it, -1 to go on.
  virtual int OnCommand(DialogModel& dialog, int id) = 0;
  // One character typed into an edit at the selection [selStart, selEnd); false refuses it.
  virtual bool FilterChar(const DialogModel& dialog, int id, const std::string& text, int selStart, int selEnd,
                          char ch) {
    (void)dialog, (void)id, (void)text, (void)selStart, (void)selEnd, (void)ch;
    return true;
  }
  // List views: clicks on a cell, each true when it starts an in-place edit of the
  // highlighted cell, and that edit.
  virtual bool OnListClick(DialogModel& dialog, int id, int row, int column) {
    (void)dialog, (void)id, (void)row, (void)column;
    return false;
  }
  virtual bool OnListDoubleClick(DialogModel& dialog, int id, int row, int column) {
    (void)dialog, (void)id, (void)row, (void)column;
    return false;
  }
  // Whether an edit of the highlighted cell may start; fills the edit box's text and filter.
  virtual bool OnBeginEdit(DialogModel& dialog, int id, std::string& text, bool& digitsOnly) {
    (void)dialog, (void)id, (void)text, (void)digitsOnly;
    return false;
  }
  // The edit ended; text is null when it was cancelled.
  virtual void OnEndEdit(DialogModel& dialog, int id, const std::string* text) { (void)dialog, (void)id, (void)text; }
};

// Runs a dialog without showing it: initialised, then confirmed as it stands.
int RunDialogUnshown(DialogModel& dialog, DialogProcedure& procedure);

}  // namespace vorn
