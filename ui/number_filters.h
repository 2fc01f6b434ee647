// Input filters of the options dialog's number edits: one typed character at a time.
#pragma once

#include <string>

namespace vorn {

inline constexpr char kBackspace = '\b';

// Digits and one '.', at most 6 digits (5 after a leading '.').
bool PositiveNumberFilter(const std::string& text, int selStart, int selEnd, char ch);
// The same, and a '-' as the first character.
bool SignedNumberFilter(const std::string& text, int selStart, int selEnd, char ch);

}  // namespace vorn
