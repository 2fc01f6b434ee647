#include "host/dialog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vorn {

int TextRoom(const DialogControl& c) {
  switch (c.kind) {
    case ControlKind::Label:
      return c.w;
    case ControlKind::Check:
    case ControlKind::Radio:
    case ControlKind::Button:
      return std::max(c.w - 4, 0);
    case ControlKind::Combo:
      return std::max(c.w - 3, 1);
    case ControlKind::Edit:
      return std::max(c.w - 2, 1);
    case ControlKind::Group:
      return std::max(c.w - 5, 0);
    case ControlKind::Spinner:
    case ControlKind::List:
      return 0;
  }
  return 0;
}

int ColumnRoom(const ListColumn& c) { return std::max(3, c.width / 6); }

namespace {
bool Continues(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

int TextCells(std::string_view text) {
  return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) { return !Continues(c); }));
}

std::string CutText(std::string_view text, int room) {
  size_t end = 0;
  for (int cells = 0; end < text.size(); ++cells) {
    if (cells == room) break;
    ++end;
    while (end < text.size() && Continues(text[end])) ++end;
  }
  return std::string(text.substr(0, end));
}

DialogControl* DialogModel::Find(int id) {
  for (DialogControl& c : controls)
    if (c.id == id && id != 0) return &c;
  return nullptr;
}

const DialogControl* DialogModel::Find(int id) const { return const_cast<DialogModel*>(this)->Find(id); }

bool DialogModel::Checked(int id) const {
  const DialogControl* c = Find(id);
  return c && c->checked;
}

void DialogModel::SetCheck(int id, bool on) {
  DialogControl* c = Find(id);
  if (!c) return;
  if (on && c->kind == ControlKind::Radio)
    for (DialogControl& other : controls)
      if (other.kind == ControlKind::Radio && other.radioGroup == c->radioGroup) other.checked = false;
  c->checked = on;
}

void DialogModel::Enable(int id, bool on) {
  if (DialogControl* c = Find(id)) c->enabled = on;
}

bool DialogModel::Enabled(int id) const {
  const DialogControl* c = Find(id);
  return c && c->enabled;
}

std::string DialogModel::Text(int id) const {
  const DialogControl* c = Find(id);
  return c ? c->text : std::string();
}

void DialogModel::SetText(int id, const std::string& text) {
  if (DialogControl* c = Find(id)) c->text = text;
}

int DialogModel::Selection(int id) const {
  const DialogControl* c = Find(id);
  return c ? c->selection : -1;
}

void DialogModel::Select(int id, int index) {
  if (DialogControl* c = Find(id)) c->selection = index;
}

float DialogModel::SpinnerValue(int id) const {
  const DialogControl* c = Find(id);
  return c ? c->value : 0.0f;
}

void DialogModel::SetSpinnerValue(int id, float value) {
  DialogControl* c = Find(id);
  if (!c) return;
  c->value = std::clamp(value, c->minValue, c->maxValue);
  if (!c->isFloat) c->value = std::trunc(c->value);
  char text[32];
  if (c->isFloat) {
    // As typed, to the thousandth: 0.59 stays 0.59 (read as 5 tenths), whole tenths show one place.
    int n = std::snprintf(text, sizeof text, "%.3f", static_cast<double>(c->value));
    while (n > 0 && text[n - 1] == '0' && n >= 2 && text[n - 2] != '.') text[--n] = '\0';
  } else {
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(c->value));
  }
  SetText(c->linkedEdit, text);
}

void DialogModel::StepSpinner(int id, float direction) {
  const DialogControl* c = Find(id);
  if (!c) return;
  float value = c->value + direction * c->step;
  // Whole steps, so that repeated spinning does not drift (1.0 less 0.1 three times is 0.7).
  if (c->isFloat && c->step > 0) value = std::round(value / c->step) * c->step;
  SetSpinnerValue(id, value);
}

void DialogModel::CommitSpinnerText(int id) {
  const DialogControl* c = Find(id);
  if (!c) return;
  const float typed = std::strtof(Text(c->linkedEdit).c_str(), nullptr);
  // "nan" typed into the edit would pass every limit.
  SetSpinnerValue(id, std::isnan(typed) ? 0.0f : typed);
}

int RunDialogUnshown(DialogModel& dialog, DialogProcedure& procedure) {
  procedure.OnInit(dialog);
  const int result = procedure.OnCommand(dialog, dialog.okId);
  return result < 0 ? 0 : result;
}

}  // namespace vorn
