// The options dialog's clip list: a grid of editable cells over a list view control, and the
// rules that keep clip names valid and clips inside the scene's frame range.
#pragma once

#include <cstdint>
#include <string>

#include "host/dialog.h"

namespace vorn {

class CListViewBase {
 public:
  virtual ~CListViewBase() = default;

  virtual void Attach(DialogModel& dialog, int controlId);
  // A cell of the list was clicked or double-clicked; true when an in-place edit should begin.
  bool OnNotifyClick(int row, int column);
  bool OnNotifyDoubleClick(int row, int column);
  // The list asks to edit the selected cell: false refuses; otherwise text and filter are set.
  bool OnNotifyBeginEdit(std::string& text, bool& digitsOnly);
  void OnNotifyEndEdit(const std::string* text);

  virtual void BeginEdit(std::string& text, bool& digitsOnly);
  virtual void EndEdit(const std::string& text);
  virtual void OnClick(int row, int column);
  virtual bool OnDoubleClick(int row, int column);
  virtual void OnBeginDrag() {}
  virtual void OnKeyDown() {}
  virtual void AddColumn(const std::string& text, int width);
  virtual void InsertColumn(int index, const std::string& text, int width);
  virtual void SetItemText(int row, int column, const std::string& text);
  virtual void InsertRow(int index);
  virtual void AppendRow();
  virtual void DeleteRow(int index);

  void SelectCell(int row, int column);
  // Sets one cell of an existing row (what an accepted in-place edit stores).
  void SetCell(int row, int column, const std::string& text);
  int RowCount() const;
  std::string ItemText(int row, int column) const;

  int32_t selectedRow = -1;
  int32_t selectedColumn = -1;
  uint32_t selectedColour = 0xCCCCCC;
  int32_t controlId = 0;
  bool editAllowed = true;

 protected:
  DialogControl* List() const;
  DialogModel* dialog_ = nullptr;
};

class CAnimListView : public CListViewBase {
 public:
  void BeginEdit(std::string& text, bool& digitsOnly) override;
  void EndEdit(const std::string& text) override;

  std::string UniqueClipName(const std::string& candidate) const;
  void AddClipRow(const std::string& name, int32_t start, int32_t end);
  void InsertClipRow();
  // "Delete": the selected row, or the last one when none is selected.
  void DeleteSelectedRow();

  int32_t firstFrame = 0;
  int32_t lastFrame = 0;
};

// The "Add" dialog: a clip name and its start and end frames.
class ClipDialog : public DialogProcedure {
 public:
  static constexpr int kName = 1170, kStartEdit = 1169, kStartSpin = 1168, kEndEdit = 1166, kEndSpin = 1167;
  static constexpr int kOk = 1, kCancel = 2;

  explicit ClipDialog(CAnimListView& list) : list_(list) {}
  // The dialog's controls and layout.
  static DialogModel Layout();
  void OnInit(DialogModel& dialog) override;
  int OnCommand(DialogModel& dialog, int id) override;

 private:
  CAnimListView& list_;
};

// "Anims_%d" with n.
std::string DefaultClipName(int n);

}  // namespace vorn
