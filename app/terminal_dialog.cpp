#include "app/terminal_dialog.h"

#include <curses.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <vector>

namespace vorn::platform {

namespace {

constexpr int kEscape = 27;

// The text cut or padded with spaces to `room` characters.
std::string Fit(const std::string& text, int room) {
  std::string t = CutText(text, room);
  t.append(static_cast<size_t>(std::max(room - TextCells(t), 0)), ' ');
  return t;
}

// After an Esc: true when the rest of a key's sequence follows at once (ESC [ ... final byte,
// ESC O x, or Alt with a key), read and dropped. A key the terminal database does not know (Home
// under tmux, Ctrl-Right) arrives so; only an Esc alone cancels.
bool SkipEscapeSequence() {
  timeout(0);
  int ch = getch();
  if (ch == '[') {
    do ch = getch();
    while (ch != ERR && !(ch >= 0x40 && ch <= 0x7e));
    ch = '[';
  } else if (ch == 'O') {
    getch();
  }
  timeout(-1);
  return ch != ERR;
}

bool Focusable(const DialogControl& c) {
  return c.visible && c.enabled && c.kind != ControlKind::Group && c.kind != ControlKind::Label;
}

// One shown dialog: focus, scrolling and the in-place edit of a list cell.
class Session {
 public:
  Session(DialogModel& d, DialogProcedure& p) : d_(d), p_(p) {}

  int Run() {
    p_.OnInit(d_);
    FocusFirst();
    for (;;) {
      Draw();
      const int ch = getch();
      if (ch == kEscape && SkipEscapeSequence()) continue;
      const int result = Handle(ch);
      if (result >= 0) return result;
    }
  }

 private:
  DialogControl* Focused() { return focus_ >= 0 ? &d_.controls[static_cast<size_t>(focus_)] : nullptr; }

  void FocusFirst() {
    focus_ = -1;
    Move(1);
  }

  void SetFocus(int index) {
    if (index == focus_) return;
    LeaveFocused();
    focus_ = index;
    selectAll_ = true;
  }

  // Typing into a spinner's edit takes effect when the focus leaves it.
  void LeaveFocused() {
    DialogControl* c = Focused();
    if (!c || c->kind != ControlKind::Edit) return;
    for (DialogControl& s : d_.controls)
      if (s.kind == ControlKind::Spinner && s.linkedEdit == c->id) d_.CommitSpinnerText(s.id);
  }

  void Move(int delta) {
    const int n = static_cast<int>(d_.controls.size());
    int i = focus_;
    for (int step = 0; step < n; ++step) {
      i = (i + delta + n) % n;
      if (Focusable(d_.controls[static_cast<size_t>(i)])) {
        SetFocus(i);
        return;
      }
    }
  }

  int Command(int id) { return p_.OnCommand(d_, id); }

  int Activate(DialogControl& c) {
    switch (c.kind) {
      case ControlKind::Check:
        d_.SetCheck(c.id, !c.checked);
        return Command(c.id);
      case ControlKind::Radio:
        d_.SetCheck(c.id, true);
        return Command(c.id);
      case ControlKind::Button:
        return Command(c.id);
      case ControlKind::Combo:
        if (!c.items.empty()) c.selection = (c.selection + 1) % static_cast<int>(c.items.size());
        return -1;
      case ControlKind::List:
        ClickCell(c, std::max(c.highlightRow, 0), std::max(c.highlightColumn, 0), false);
        return -1;
      default:
        return -1;
    }
  }

  void Spin(DialogControl& s, float direction) {
    // The value belongs to its edit: a disabled edit's stays as it is.
    if (const DialogControl* edit = d_.Find(s.linkedEdit); edit && !edit->enabled) return;
    d_.CommitSpinnerText(s.id);
    d_.StepSpinner(s.id, direction);
  }

  void ClickCell(DialogControl& list, int row, int column, bool twice) {
    if (row < 0 || row >= static_cast<int>(list.rows.size())) return;
    const bool edit = twice ? p_.OnListDoubleClick(d_, list.id, row, column) : p_.OnListClick(d_, list.id, row, column);
    if (!edit) return;
    std::string text;
    bool digits = false;
    if (!p_.OnBeginEdit(d_, list.id, text, digits)) return;
    editing_ = true;
    editText_ = text;
    editDigits_ = digits;
    editSelected_ = true;  // as a label edit opens: the first key typed replaces the text
  }

  void MoveCell(DialogControl& list, int dr, int dc) {
    const int rows = static_cast<int>(list.rows.size()), cols = static_cast<int>(list.columns.size());
    if (rows == 0 || cols == 0) return;
    const int r = std::clamp(list.highlightRow + dr, 0, rows - 1);
    const int c = std::clamp(list.highlightColumn + dc, 0, cols - 1);
    p_.OnListClick(d_, list.id, r, c);  // a click on another cell only selects it
  }

  int HandleEditing(int ch) {
    DialogControl& list = *Focused();
    if (ch == '\n' || ch == KEY_ENTER) {
      editing_ = false;
      p_.OnEndEdit(d_, list.id, &editText_);
    } else if (ch == kEscape) {
      editing_ = false;
      p_.OnEndEdit(d_, list.id, nullptr);
    } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
      if (editSelected_) editText_.clear();
      else if (!editText_.empty()) editText_.pop_back();
      editSelected_ = false;
    } else if (ch == KEY_LEFT || ch == KEY_RIGHT || ch == KEY_END) {
      editSelected_ = false;  // the caret goes to the end of the text, which then stays
    } else if (ch >= 32 && ch < 127 && (!editDigits_ || (ch >= '0' && ch <= '9'))) {
      if (editSelected_) editText_.clear();
      editSelected_ = false;
      if (editText_.size() < 255) editText_ += static_cast<char>(ch);
    }
    return -1;
  }

  void Type(DialogControl& c, int ch) {
    const int size = static_cast<int>(c.text.size());
    if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
      if (selectAll_) c.text.clear();
      else if (!c.text.empty()) c.text.pop_back();
      selectAll_ = false;
      return;
    }
    if (ch < 32 || ch >= 127) return;
    const char key = static_cast<char>(ch);
    if (c.digitsOnly && !(key >= '0' && key <= '9')) return;
    const int selStart = selectAll_ ? 0 : size;
    if (!p_.FilterChar(d_, c.id, c.text, selStart, size, key)) return;
    if (selectAll_) c.text.clear();
    selectAll_ = false;
    if (static_cast<int>(c.text.size()) < c.maxLength) c.text += key;
  }

  int Mouse() {
    MEVENT ev;
    if (getmouse(&ev) != OK) return -1;
    const int x = ev.x - originX_, y = ev.y - originY_ + scroll_;
    for (size_t i = 0; i < d_.controls.size(); ++i) {
      DialogControl& c = d_.controls[i];
      if (!Focusable(c) || y < c.y || y >= c.y + c.h || x < c.x || x >= c.x + c.w) continue;
      SetFocus(static_cast<int>(i));
      if (!(ev.bstate & (BUTTON1_CLICKED | BUTTON1_PRESSED | BUTTON1_DOUBLE_CLICKED))) return -1;
      if (c.kind == ControlKind::List) {
        const int row = y - c.y - 1 + listScroll_;
        int left = c.x, column = -1;
        for (size_t k = 0; k < c.columns.size(); ++k) {
          const int w = ColumnRoom(c.columns[k]) + 1;
          if (x >= left && x < left + w) column = static_cast<int>(k);
          left += w;
        }
        if (row >= listScroll_ && column >= 0) ClickCell(c, row, column, (ev.bstate & BUTTON1_DOUBLE_CLICKED) != 0);
        return -1;
      }
      if (c.kind == ControlKind::Spinner) {
        Spin(c, x < c.x + c.w / 2 ? 1.0f : -1.0f);
        return -1;
      }
      if (c.kind == ControlKind::Edit) return -1;
      return Activate(c);
    }
    return -1;
  }

  int Handle(int ch) {
    if (ch == KEY_RESIZE || ch == ERR) return -1;
    if (editing_) return HandleEditing(ch);
    if (ch == KEY_MOUSE) return Mouse();
    DialogControl* c = Focused();
    if (ch == kEscape) return Command(d_.cancelId);
    if (ch == '\t') return Move(1), -1;
    if (ch == KEY_BTAB) return Move(-1), -1;
    if (c && c->kind == ControlKind::List) {
      if (ch == KEY_UP && c->highlightRow <= 0) return Move(-1), -1;
      if (ch == KEY_DOWN && c->highlightRow >= static_cast<int>(c->rows.size()) - 1) return Move(1), -1;
      if (ch == KEY_UP || ch == KEY_DOWN || ch == KEY_LEFT || ch == KEY_RIGHT) {
        MoveCell(*c, ch == KEY_UP ? -1 : ch == KEY_DOWN ? 1 : 0, ch == KEY_LEFT ? -1 : ch == KEY_RIGHT ? 1 : 0);
        return -1;
      }
      if (ch == '\n' || ch == KEY_ENTER) {
        ClickCell(*c, std::max(c->highlightRow, 0), std::max(c->highlightColumn, 0), true);
        return -1;
      }
    }
    if (c && c->kind == ControlKind::Combo && (ch == KEY_LEFT || ch == KEY_RIGHT) && !c->items.empty()) {
      const int n = static_cast<int>(c->items.size());
      c->selection = (std::max(c->selection, 0) + (ch == KEY_RIGHT ? 1 : n - 1)) % n;
      return -1;
    }
    if (c && c->kind == ControlKind::Spinner &&
        (ch == '+' || ch == '-' || ch == KEY_LEFT || ch == KEY_RIGHT || ch == KEY_PPAGE || ch == KEY_NPAGE)) {
      Spin(*c, ch == '+' || ch == KEY_RIGHT || ch == KEY_PPAGE ? 1.0f : -1.0f);
      return -1;
    }
    if (ch == KEY_DOWN || ch == KEY_RIGHT) return Move(1), -1;
    if (ch == KEY_UP || ch == KEY_LEFT) return Move(-1), -1;
    if (c && c->kind == ControlKind::Edit && ch != '\n') {
      Type(*c, ch);
      return -1;
    }
    if (ch == ' ' && c) return Activate(*c);
    if (ch == '\n' || ch == KEY_ENTER) {
      if (c && c->kind == ControlKind::Button) return Command(c->id);
      LeaveFocused();
      return Command(d_.okId);
    }
    return -1;
  }

  // Drawing, in dialog cells offset by the origin and the scroll. Text is cut at the screen's
  // edges: written on, it would wrap into the next row over other controls.
  void Put(int x, int y, const std::string& s, attr_t a = A_NORMAL) {
    const int sy = originY_ + y - scroll_;
    if (sy < originY_ || sy >= originY_ + viewRows_) return;
    int sx = originX_ + x;
    std::string_view text = s;
    while (sx < 0 && !text.empty()) {  // a character at a time, its UTF-8 bytes together
      size_t n = 1;
      while (n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) ++n;
      text.remove_prefix(n);
      ++sx;
    }
    if (sx >= COLS || text.empty()) return;
    const std::string shown = CutText(text, COLS - sx);
    attron(a);
    mvaddnstr(sy, sx, shown.c_str(), static_cast<int>(shown.size()));
    attroff(a);
  }

  void DrawGroup(const DialogControl& g) {
    for (int y = g.y; y < g.y + g.h; ++y) {
      const int sy = originY_ + y - scroll_;
      if (sy < originY_ || sy >= originY_ + viewRows_) continue;
      const bool top = y == g.y, bottom = y == g.y + g.h - 1;
      mvaddch(sy, originX_ + g.x, top ? ACS_ULCORNER : bottom ? ACS_LLCORNER : ACS_VLINE);
      mvaddch(sy, originX_ + g.x + g.w - 1, top ? ACS_URCORNER : bottom ? ACS_LRCORNER : ACS_VLINE);
      if (top || bottom) mvhline(sy, originX_ + g.x + 1, ACS_HLINE, g.w - 2);
    }
    if (!g.label.empty()) Put(g.x + 2, g.y, " " + CutText(g.label, TextRoom(g)) + " ", A_BOLD);
  }

  void DrawList(const DialogControl& c, bool focused) {
    std::string header;
    for (const ListColumn& col : c.columns) {
      header += Fit(col.title, ColumnRoom(col)) + "|";
    }
    Put(c.x, c.y, header, focused ? A_UNDERLINE | A_REVERSE : A_UNDERLINE);  // focus shows before a cell is
    const int visible = c.h - 1;
    if (c.highlightRow >= 0) {
      if (c.highlightRow < listScroll_) listScroll_ = c.highlightRow;
      if (c.highlightRow >= listScroll_ + visible) listScroll_ = c.highlightRow - visible + 1;
    }
    for (int r = 0; r < visible; ++r) {
      const int row = r + listScroll_;
      int x = c.x;
      for (size_t k = 0; k < c.columns.size(); ++k) {
        const int w = ColumnRoom(c.columns[k]);
        std::string t;
        const bool selected = row == c.highlightRow && static_cast<int>(k) == c.highlightColumn;
        if (row < static_cast<int>(c.rows.size()) && k < c.rows[static_cast<size_t>(row)].size())
          t = selected && editing_ ? (editSelected_ ? editText_ : editText_ + "_") : c.rows[static_cast<size_t>(row)][k];
        t = Fit(t, w);
        attr_t a = selected ? (focused ? A_REVERSE : A_BOLD) : A_NORMAL;
        if (selected && editing_ && editSelected_) a |= A_UNDERLINE;  // the text is selected
        Put(x, c.y + 1 + r, t, a);
        Put(x + w, c.y + 1 + r, "|");
        x += w + 1;
      }
    }
  }

  void DrawControl(const DialogControl& c, bool focused) {
    const attr_t base = c.enabled ? A_NORMAL : A_DIM;
    const attr_t mark = focused ? A_REVERSE : A_NORMAL;
    switch (c.kind) {
      case ControlKind::Group:
        DrawGroup(c);
        break;
      case ControlKind::Label:
        Put(c.x, c.y, CutText(c.label, TextRoom(c)), base);
        break;
      case ControlKind::Check:
        Put(c.x, c.y, c.checked ? "[x]" : "[ ]", base | mark);
        Put(c.x + 4, c.y, CutText(c.label, TextRoom(c)), base);
        break;
      case ControlKind::Radio:
        Put(c.x, c.y, c.checked ? "(*)" : "( )", base | mark);
        Put(c.x + 4, c.y, CutText(c.label, TextRoom(c)), base);
        break;
      case ControlKind::Edit: {
        std::string t = c.text;
        const size_t room = static_cast<size_t>(TextRoom(c));
        if (t.size() > room) t = t.substr(t.size() - room);
        t.resize(room, '_');
        Put(c.x, c.y, "[" + t + "]", base | (focused ? A_REVERSE : A_NORMAL));
        break;
      }
      case ControlKind::Spinner:
        Put(c.x, c.y, "+-", base | mark);
        break;
      case ControlKind::Combo: {
        const std::string t = c.selection >= 0 && c.selection < static_cast<int>(c.items.size())
                                  ? c.items[static_cast<size_t>(c.selection)]
                                  : "";
        Put(c.x, c.y, "<" + Fit(t, TextRoom(c)) + " >", base | mark);
        break;
      }
      case ControlKind::Button: {
        std::string t = "[ " + CutText(c.label, TextRoom(c)) + " ]";
        Put(c.x + std::max(0, (c.w - static_cast<int>(t.size())) / 2), c.y, t, base | mark);
        break;
      }
      case ControlKind::List:
        DrawList(c, focused);
        break;
    }
  }

  void Draw() {
    erase();
    const int frameW = d_.width + 2;
    viewRows_ = std::max(1, std::min(d_.height, LINES - 3));
    const int viewCols = std::max(1, COLS - 2);
    originY_ = 1;
    // Keep the focused control in view, across as well when the terminal is narrower than the dialog.
    if (const DialogControl* c = Focused()) {
      if (c->y < scroll_) scroll_ = c->y;
      if (c->y + c->h > scroll_ + viewRows_) scroll_ = c->y + c->h - viewRows_;
      if (c->x < hscroll_) hscroll_ = c->x;
      if (c->x + c->w > hscroll_ + viewCols) hscroll_ = c->x + c->w - viewCols;
    }
    scroll_ = std::clamp(scroll_, 0, std::max(0, d_.height - viewRows_));
    hscroll_ = std::clamp(hscroll_, 0, std::max(0, d_.width - viewCols));
    originX_ = frameW <= COLS ? (COLS - frameW) / 2 + 1 : 1 - hscroll_;
    attron(A_REVERSE);
    mvhline(0, std::max(0, originX_ - 1), ' ', std::min(frameW, COLS));
    mvaddnstr(0, std::max(0, originX_), d_.caption.c_str(), std::min(frameW - 2, COLS));
    attroff(A_REVERSE);
    for (size_t i = 0; i < d_.controls.size(); ++i) {
      const DialogControl& c = d_.controls[i];
      if (c.visible) DrawControl(c, static_cast<int>(i) == focus_);
    }
    const int marks = std::min(originX_ + d_.width, COLS) - 3;
    if (scroll_ > 0) mvaddstr(originY_, marks, "^^^");
    if (scroll_ + viewRows_ < d_.height) mvaddstr(originY_ + viewRows_ - 1, marks, "vvv");
    if (hscroll_ > 0) mvaddstr(originY_ + viewRows_ / 2, 0, "<");
    if (originX_ + d_.width > COLS) mvaddstr(originY_ + viewRows_ / 2, COLS - 1, ">");
    attron(A_REVERSE);
    mvhline(LINES - 1, 0, ' ', COLS);
    mvaddnstr(LINES - 1, 0, d_.status.c_str(), COLS);
    attroff(A_REVERSE);
    refresh();
  }

  DialogModel& d_;
  DialogProcedure& p_;
  int focus_ = -1;
  bool selectAll_ = true;
  bool editing_ = false;
  bool editDigits_ = false;
  bool editSelected_ = false;
  std::string editText_;
  int scroll_ = 0, hscroll_ = 0, listScroll_ = 0;
  int originX_ = 0, originY_ = 1, viewRows_ = 1;
};

}  // namespace

TerminalDialogs::~TerminalDialogs() {
  if (screen_) {
    // Ended already when the dialog closed: a second end would restore the screen again, over
    // the messages printed since.
    if (!isendwin()) endwin();
    delscreen(static_cast<SCREEN*>(screen_));
  }
}

void TerminalDialogs::Begin() {
  if (depth_++ > 0) return;
  // Characters only: numbers the module formats and reads stay in the C locale's form.
  std::setlocale(LC_CTYPE, "");
  if (!screen_) {
    // Drawn on stderr, so that stdout may be redirected.
    screen_ = newterm(nullptr, stderr, stdin);
    set_term(static_cast<SCREEN*>(screen_));
  } else {
    refresh();
  }
  cbreak();
  noecho();
  keypad(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  mousemask(BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED, nullptr);
}

void TerminalDialogs::End() {
  if (--depth_ > 0) return;
  endwin();
}

int TerminalDialogs::Run(DialogModel& dialog, DialogProcedure& procedure) {
  Begin();
  Session session(dialog, procedure);
  const int result = session.Run();
  End();
  return result;
}

void TerminalDialogs::MessageBox(const std::string& caption, const std::string& text) {
  if (!Active()) return;
  const int w = std::min(COLS - 2, std::max(30, static_cast<int>(std::max(caption.size(), text.size())) + 4));
  std::vector<std::string> lines;
  const size_t room = static_cast<size_t>(std::max(w - 4, 1));
  for (size_t at = 0; at < text.size(); at += room) lines.push_back(text.substr(at, room));
  const int h = static_cast<int>(lines.size()) + 4;
  WINDOW* box = newwin(h, w, std::max(0, (LINES - h) / 2), std::max(0, (COLS - w) / 2));
  keypad(box, TRUE);
  ::box(box, 0, 0);
  mvwaddnstr(box, 0, 2, (" " + caption + " ").c_str(), w - 4);
  for (size_t i = 0; i < lines.size(); ++i) mvwaddstr(box, static_cast<int>(i) + 1, 2, lines[i].c_str());
  wattron(box, A_REVERSE);
  mvwaddstr(box, h - 2, (w - 6) / 2, "[ OK ]");
  wattroff(box, A_REVERSE);
  wrefresh(box);
  for (int ch = wgetch(box); ch != '\n' && ch != ' ' && ch != 27 && ch != KEY_ENTER && ch != KEY_MOUSE;)
    ch = wgetch(box);
  delwin(box);
  touchwin(stdscr);
  refresh();
}

}  // namespace vorn::platform
