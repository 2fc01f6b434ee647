#include "ui/clip_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace vorn {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool AllDigits(const std::string& s) { return std::all_of(s.begin(), s.end(), IsDigit); }

bool ValidClipName(const std::string& s) {
  if (s.empty() || IsDigit(s[0])) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return IsLetter(c) || IsDigit(c) || c == '_'; });
}

int32_t Number(const std::string& s) { return static_cast<int32_t>(std::atol(s.c_str())); }

}  // namespace

std::string DefaultClipName(int n) { return "Anims_" + std::to_string(n); }

void CListViewBase::Attach(DialogModel& dialog, int id) {
  dialog_ = &dialog;
  controlId = id;
  if (DialogControl* list = List()) {
    list->rows.clear();
    list->columns.clear();
  }
  selectedRow = selectedColumn = -1;
}

DialogControl* CListViewBase::List() const { return dialog_ ? dialog_->Find(controlId) : nullptr; }

int CListViewBase::RowCount() const {
  const DialogControl* list = List();
  return list ? static_cast<int>(list->rows.size()) : 0;
}

std::string CListViewBase::ItemText(int row, int column) const {
  const DialogControl* list = List();
  if (!list || row < 0 || row >= RowCount() || column < 0) return {};
  const std::vector<std::string>& cells = list->rows[static_cast<size_t>(row)];
  return static_cast<size_t>(column) < cells.size() ? cells[static_cast<size_t>(column)] : std::string();
}

bool CListViewBase::OnNotifyClick(int row, int column) {
  OnClick(row, column);
  return editAllowed && row >= 0 && column >= 0;
}

bool CListViewBase::OnNotifyDoubleClick(int row, int column) { return OnDoubleClick(row, column); }

bool CListViewBase::OnNotifyBeginEdit(std::string& text, bool& digitsOnly) {
  if (!editAllowed || selectedRow < 0 || selectedColumn < 0) return false;
  BeginEdit(text, digitsOnly);
  return true;
}

void CListViewBase::OnNotifyEndEdit(const std::string* text) {
  if (text) EndEdit(*text);
}

void CListViewBase::BeginEdit(std::string& text, bool& digitsOnly) {
  (void)digitsOnly;
  text = ItemText(selectedRow, selectedColumn);
}

void CListViewBase::EndEdit(const std::string& text) { SetCell(selectedRow, selectedColumn, text); }

void CListViewBase::SetCell(int row, int column, const std::string& text) {
  DialogControl* list = List();
  if (!list || row < 0 || row >= RowCount() || column < 0) return;
  std::vector<std::string>& cells = list->rows[static_cast<size_t>(row)];
  if (cells.size() <= static_cast<size_t>(column)) cells.resize(static_cast<size_t>(column) + 1);
  cells[static_cast<size_t>(column)] = text;
}

void CListViewBase::OnClick(int row, int column) {
  editAllowed = row == selectedRow && column == selectedColumn;
  SelectCell(row, column);
}

bool CListViewBase::OnDoubleClick(int row, int column) {
  SelectCell(row, column);
  if (row < 0 || column < 0 || row >= RowCount()) return false;
  editAllowed = true;
  return true;
}

void CListViewBase::AddColumn(const std::string& text, int width) {
  // The full-width character of the host's font is 12 pixels wide.
  if (width == -1) width = (static_cast<int>(text.size()) + 2) * 12;
  if (DialogControl* list = List()) list->columns.push_back({text, width});
}

void CListViewBase::InsertColumn(int index, const std::string& text, int width) {
  DialogControl* list = List();
  if (!list) return;
  const size_t at = std::min(static_cast<size_t>(std::max(index, 0)), list->columns.size());
  list->columns.insert(list->columns.begin() + static_cast<ptrdiff_t>(at), ListColumn{text, width});
}

void CListViewBase::SetItemText(int row, int column, const std::string& text) {
  DialogControl* list = List();
  if (!list || row < 0 || column < 0) return;
  const size_t columns = std::max<size_t>(list->columns.size(), static_cast<size_t>(column) + 1);
  if (column == 0) {
    const size_t at = std::min(static_cast<size_t>(row), list->rows.size());
    list->rows.insert(list->rows.begin() + static_cast<ptrdiff_t>(at), std::vector<std::string>(columns));
    list->rows[at][0] = text;
    return;
  }
  SetCell(row, column, text);
}

void CListViewBase::InsertRow(int index) {
  DialogControl* list = List();
  if (!list || index < 0 || index > RowCount()) return;
  list->rows.insert(list->rows.begin() + index, std::vector<std::string>(list->columns.size()));
  selectedRow = index;
  list->highlightRow = selectedRow;
  list->highlightColumn = selectedColumn;
}

void CListViewBase::AppendRow() {
  DialogControl* list = List();
  if (!list) return;
  list->rows.emplace_back(list->columns.size());
  selectedRow = RowCount() - 1;
  list->highlightRow = selectedRow;
  list->highlightColumn = selectedColumn;
}

void CListViewBase::DeleteRow(int index) {
  DialogControl* list = List();
  if (!list || index < 0 || index >= RowCount()) return;
  list->rows.erase(list->rows.begin() + index);
  if (index <= selectedRow) --selectedRow;
  if (selectedRow < 0) selectedColumn = -1;
  list->highlightRow = selectedRow;
  list->highlightColumn = selectedColumn;
}

void CListViewBase::SelectCell(int row, int column) {
  if (row >= 0 && column >= 0) {
    selectedRow = row;
    selectedColumn = column;
  } else {
    selectedRow = selectedColumn = -1;
  }
  if (DialogControl* list = List()) {
    list->highlightRow = selectedRow;
    list->highlightColumn = selectedColumn;
  }
}

void CAnimListView::BeginEdit(std::string& text, bool& digitsOnly) {
  digitsOnly = selectedColumn >= 1;
  CListViewBase::BeginEdit(text, digitsOnly);
}

void CAnimListView::EndEdit(const std::string& text) {
  if (text.empty() || text.size() > 31) return;
  const int row = selectedRow, column = selectedColumn;
  if (column == 0) {
    if (ValidClipName(text)) SetCell(row, column, text);
    return;
  }
  if (!AllDigits(text)) return;
  const int32_t n = Number(text);
  if (column == 1) {
    const int32_t m = Number(ItemText(row, 2));
    if (n <= m) {
      SetCell(row, 1, n < firstFrame ? std::to_string(firstFrame) : text);
    } else {
      const std::string both = std::to_string(std::min(n, lastFrame));
      SetCell(row, 1, both);
      SetCell(row, 2, both);
    }
  } else if (column == 2) {
    const int32_t m = Number(ItemText(row, 1));
    if (n >= m) {
      SetCell(row, 2, n > lastFrame ? std::to_string(lastFrame) : text);
    } else {
      const std::string both = std::to_string(std::max(n, firstFrame));
      SetCell(row, 1, both);
      SetCell(row, 2, both);
    }
  }
}

std::string CAnimListView::UniqueClipName(const std::string& candidate) const {
  std::string best;
  bool found = false;
  for (int r = 0; r < RowCount(); ++r) {
    const std::string name = ItemText(r, 0).substr(0, 63);
    if (name.find(candidate) == std::string::npos) continue;
    if (!found || name.size() > best.size()) best = name;
    found = true;
  }
  return found ? best + "_" : candidate;
}

void CAnimListView::AddClipRow(const std::string& name, int32_t start, int32_t end) {
  const std::string clip = name.empty() ? UniqueClipName(DefaultClipName(RowCount() + 1)) : name;
  const int32_t e = std::clamp(end, firstFrame, std::max(firstFrame, lastFrame));
  const int32_t s = std::min(std::clamp(start, firstFrame, std::max(firstFrame, lastFrame)), e);
  AppendRow();
  const int row = RowCount() - 1;
  SetCell(row, 0, clip);
  SetCell(row, 1, std::to_string(s));
  SetCell(row, 2, std::to_string(e));
}

void CAnimListView::InsertClipRow() {
  if (selectedRow < 0) {
    AddClipRow("", firstFrame, lastFrame);
    return;
  }
  const int row = selectedRow;
  const std::string name = UniqueClipName(DefaultClipName(row + 1));
  InsertRow(row);
  SetCell(row, 0, name);
  SetCell(row, 1, std::to_string(firstFrame));
  SetCell(row, 2, std::to_string(lastFrame));
}

void CAnimListView::DeleteSelectedRow() { DeleteRow(selectedRow >= 0 ? selectedRow : RowCount() - 1); }

DialogModel ClipDialog::Layout() {
  DialogModel d;
  d.caption = "Animation";
  d.width = 36;
  d.height = 7;
  d.okId = kOk;
  d.cancelId = kCancel;
  d.Add(0, ControlKind::Label, "Name:", 2, 1, 6);
  d.Add(kName, ControlKind::Edit, "", 9, 1, 24);
  d.Add(0, ControlKind::Label, "Start:", 2, 2, 6);
  d.Add(kStartEdit, ControlKind::Edit, "", 9, 2, 9).digitsOnly = true;
  d.Add(kStartSpin, ControlKind::Spinner, "", 18, 2, 3).linkedEdit = kStartEdit;
  d.Add(0, ControlKind::Label, "End:", 2, 3, 6);
  d.Add(kEndEdit, ControlKind::Edit, "", 9, 3, 9).digitsOnly = true;
  d.Add(kEndSpin, ControlKind::Spinner, "", 18, 3, 3).linkedEdit = kEndEdit;
  d.Add(kOk, ControlKind::Button, "OK", 9, 5, 8);
  d.Add(kCancel, ControlKind::Button, "Cancel", 19, 5, 10);
  return d;
}

void ClipDialog::OnInit(DialogModel& dialog) {
  dialog.SetText(kName, list_.UniqueClipName(DefaultClipName(list_.RowCount() + 1)));
  for (int spin : {kStartSpin, kEndSpin}) {
    DialogControl* c = dialog.Find(spin);
    c->isFloat = false;
    c->minValue = static_cast<float>(list_.firstFrame);
    c->maxValue = static_cast<float>(std::max(list_.firstFrame, list_.lastFrame));
    c->step = 1;
  }
  dialog.SetSpinnerValue(kStartSpin, static_cast<float>(list_.firstFrame));
  dialog.SetSpinnerValue(kEndSpin, static_cast<float>(list_.lastFrame));
}

int ClipDialog::OnCommand(DialogModel& dialog, int id) {
  if (id == kCancel) return 2;
  if (id != kOk) return -1;
  dialog.CommitSpinnerText(kStartSpin);
  dialog.CommitSpinnerText(kEndSpin);
  list_.AddClipRow(dialog.Text(kName).substr(0, 63), static_cast<int32_t>(dialog.SpinnerValue(kStartSpin)),
                   static_cast<int32_t>(dialog.SpinnerValue(kEndSpin)));
  return 1;
}

}  // namespace vorn
