// Decimal numbers read as assimp reads them, so that our readers give assimp's floats to the last
// bit: the integer part and up to 15 digits of the fraction each read as an integer, the fraction
// scaled in double precision, the two added in float (not always the float nearest to the text,
// one unit in the last place off at times); an exponent multiplies by a float power of ten.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

namespace vorn {

// Reads one number at p (sign, digits, fraction, exponent) and returns the end of what it read,
// or nullptr when p does not start a number. With `comma`, a ',' followed by a digit is taken as
// the decimal point, as some exporters write it. Integer parts too long for 64 bits fall back to
// std::from_chars over the rest.
inline const char* ParseAssimpDecimal(const char* c, const char* e, float& out, bool comma = false) {
  constexpr double kFractionScale[] = {1.0,  1e-1, 1e-2, 1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                       1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};
  auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  const bool negative = c < e && *c == '-';
  if (c < e && (*c == '-' || *c == '+')) ++c;
  const char* digits = c;
  while (c < e && digit(*c)) ++c;
  const bool hasFraction = c + 1 < e && (*c == '.' || (comma && *c == ',')) && digit(c[1]);
  if (c == digits && !hasFraction) return nullptr;
  float f = 0;
  if (c > digits) {
    uint64_t whole = 0;
    if (c - digits <= 19) {
      for (const char* d = digits; d < c; ++d) whole = whole * 10 + uint64_t(*d - '0');
    } else if (std::from_chars(digits, c, whole).ec != std::errc()) {
      const auto [end, ec] = std::from_chars(digits, e, f);
      if (ec != std::errc() || !std::isfinite(f)) return nullptr;
      out = negative ? -f : f;
      return end;
    }
    f = float(whole);
  }
  if (hasFraction) {
    const char* b = ++c;
    while (c < e && digit(*c)) ++c;
    const size_t n = c - b < ptrdiff_t(std::size(kFractionScale)) ? size_t(c - b) : std::size(kFractionScale) - 1;
    uint64_t fraction = 0;
    for (size_t k = 0; k < n; ++k) fraction = fraction * 10 + uint64_t(b[k] - '0');
    f += float(double(fraction) * kFractionScale[n]);
  } else if (c < e && *c == '.') {
    ++c;  // "1." is 1
  }
  if (c < e && (*c == 'e' || *c == 'E')) {
    const char* mark = c;
    ++c;
    const bool down = c < e && *c == '-';
    if (c < e && (*c == '-' || *c == '+')) ++c;
    const char* b = c;
    while (c < e && digit(*c)) ++c;
    unsigned power = 0;
    if (c == b) {
      c = mark;  // "2e" is 2 followed by something else
    } else {
      if (std::from_chars(b, c, power).ec != std::errc() || power > 1000) return nullptr;
      f *= std::pow(10.0f, down ? -float(power) : float(power));
    }
  }
  if (!std::isfinite(f)) return nullptr;
  out = negative ? -f : f;
  return c;
}

}  // namespace vorn
