// The shortest decimal text of a float that reads back to the same bits, in fixed notation
// (no exponent): the characters std::to_chars(first, last, value, std::chars_format::fixed)
// writes, at a fraction of its cost (the text encoding's floats are most of its work).
#pragma once

#include <cstdint>

namespace vorn {

// The longest text: a sign, "0.", 44 zeros and one digit, or a sign and 39 digits (and ".0").
constexpr int kShortestFloatMaxChars = 50;

// Writes the value's text at out (no terminator) and returns its end. out must hold
// kShortestFloatMaxChars bytes; those after the text's end may be overwritten. With `point`, a
// text without a decimal point gets ".0". Integral values of 2^24 and more are written exactly,
// as every digit string of their length is equally short and the exact one is nearest.
// Infinities and NaN are written as the library writes them.
char* WriteShortestFixed(float value, char* out, bool point = false);

// The texts of floats written lately, by their bits: mesh data repeats its values (normals,
// texture coordinates, vertices shared by meshes), and copying a text costs less than finding
// its digits (engine.glb's 510,000 fractions: 20 ns a float without, 11 ns with; four times the
// entries gave 8.5 ns but made small exports slower, by the memory first touched). Write gives
// what WriteShortestFixed(value, out, true) gives, with the same room at out.
class FloatTextCache {
 public:
  char* Write(float value, char* out);

 private:
  static constexpr int kBits = 12;
  struct Entry {
    uint32_t bits;
    uint8_t size;  // 0: empty
    char text[19];
  };
  Entry entries_[1 << kBits] = {};
};

// This thread's cache: the text encoder writes on two threads at once.
FloatTextCache& ThreadFloatTextCache();

}  // namespace vorn
