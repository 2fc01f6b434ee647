#include "ui/number_filters.h"

#include <algorithm>

namespace vorn {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool NumberRules(const std::string& text, int selStart, int selEnd, char ch) {
  const int digits = static_cast<int>(std::count_if(text.begin(), text.end(), IsDigit));
  const int limit = !text.empty() && text[0] == '.' ? 5 : 6;
  const bool atLimit = digits >= limit;
  const int selected = selEnd - selStart;
  if (IsDigit(ch)) {
    if (!atLimit) return true;
    // Replacing several characters, or one that is not the '.', frees a digit's place.
    if (selected > 1) return true;
    return selected == 1 && selStart >= 0 && selStart < static_cast<int>(text.size()) && text[selStart] != '.';
  }
  if (ch == '.') return text.find('.') == std::string::npos && !(atLimit && selected == 0);
  return false;
}

}  // namespace

bool PositiveNumberFilter(const std::string& text, int selStart, int selEnd, char ch) {
  if (ch == kBackspace) return true;
  return NumberRules(text, selStart, selEnd, ch);
}

bool SignedNumberFilter(const std::string& text, int selStart, int selEnd, char ch) {
  if (ch == kBackspace) return true;
  if (ch == '-') return !(!text.empty() && text[0] == '-') && selStart == 0;
  return NumberRules(text, selStart, selEnd, ch);
}

}  // namespace vorn
