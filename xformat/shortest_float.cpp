// Shortest digits by Ulf Adams' Ryu method for 32-bit floats (PLDI 2018): the interval of
// decimals that round to the value is scaled by a power of ten through 64-bit reciprocal
// tables, and digits are removed while both ends of the interval still differ.
#include "xformat/shortest_float.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vorn {

namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr int kInverseBits = 59, kPowerBits = 61;

// Bits of 5^e, for 0 <= e <= 3528.
constexpr int Pow5Bits(int e) { return static_cast<int>((static_cast<uint32_t>(e) * 1217359u) >> 19) + 1; }
// floor(log10(2^e)) and floor(log10(5^e)), for the exponents a float has.
constexpr uint32_t Log10Pow2(int e) { return (static_cast<uint32_t>(e) * 78913u) >> 18; }
constexpr uint32_t Log10Pow5(int e) { return (static_cast<uint32_t>(e) * 732923u) >> 20; }

constexpr Uint128 Pow5(int e) {
  Uint128 p = 1;
  for (int i = 0; i < e; ++i) p *= 5;
  return p;
}

// floor(2^(bits(5^q) - 1 + 59) / 5^q) + 1: 5^-q scaled into 59 bits, rounded up.
constexpr std::array<uint64_t, 31> kInverse = [] {
  std::array<uint64_t, 31> t{};
  for (int q = 0; q < 31; ++q) {
    const int shift = Pow5Bits(q) - 1 + kInverseBits;
    // 2^128 itself does not fit; 5^q never divides it, so the floor is that of 2^128 - 1.
    const Uint128 numerator = shift == 128 ? ~Uint128{0} : Uint128{1} << shift;
    t[static_cast<size_t>(q)] = static_cast<uint64_t>(numerator / Pow5(q)) + 1;
  }
  return t;
}();

// 5^i in its top 61 bits.
constexpr std::array<uint64_t, 48> kPower = [] {
  std::array<uint64_t, 48> t{};
  for (int i = 0; i < 48; ++i) {
    const int bits = Pow5Bits(i);
    const Uint128 p = Pow5(i);
    t[static_cast<size_t>(i)] =
        static_cast<uint64_t>(bits >= kPowerBits ? p >> (bits - kPowerBits) : p << (kPowerBits - bits));
  }
  return t;
}();

// (m * factor) >> shift for shifts of 32 and more, in 64-bit pieces: a 128-bit shift by a
// variable count costs more than the two products.
uint32_t MulShift(uint32_t m, uint64_t factor, int shift) {
  const uint64_t low = uint64_t{m} * static_cast<uint32_t>(factor);
  const uint64_t high = uint64_t{m} * (factor >> 32);
  return static_cast<uint32_t>(((low >> 32) + high) >> (shift - 32));
}

bool MultipleOfPow5(uint32_t value, uint32_t p) {
  uint32_t count = 0;
  for (; value % 5 == 0; value /= 5) ++count;
  return count >= p;
}

bool MultipleOfPow2(uint32_t value, uint32_t p) { return (value & ((1u << p) - 1)) == 0; }

// The value's shortest digits and the power of ten they are scaled by.
struct Decimal {
  uint32_t digits;
  int exponent;
};

Decimal Shortest(uint32_t mantissa, uint32_t biased) {
  int e2;
  uint32_t m2;
  if (biased == 0) {
    e2 = 1 - 127 - 23 - 2;
    m2 = mantissa;
  } else {
    e2 = static_cast<int>(biased) - 127 - 23 - 2;
    m2 = (1u << 23) | mantissa;
  }
  const bool acceptBounds = (m2 & 1) == 0;  // ties go to the even mantissa
  const uint32_t mv = 4 * m2, mp = 4 * m2 + 2;
  const uint32_t mmShift = mantissa != 0 || biased <= 1;  // the gap below a power of two is half
  const uint32_t mm = 4 * m2 - 1 - mmShift;

  uint32_t vr, vp, vm;
  int e10;
  bool vmTrailingZeros = false, vrTrailingZeros = false;
  uint32_t lastRemoved = 0;
  if (e2 >= 0) {
    const uint32_t q = Log10Pow2(e2);
    e10 = static_cast<int>(q);
    const int k = kInverseBits + Pow5Bits(static_cast<int>(q)) - 1;
    const int i = -e2 + static_cast<int>(q) + k;
    vr = MulShift(mv, kInverse[q], i);
    vp = MulShift(mp, kInverse[q], i);
    vm = MulShift(mm, kInverse[q], i);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      const int l = kInverseBits + Pow5Bits(static_cast<int>(q) - 1) - 1;
      lastRemoved = MulShift(mv, kInverse[q - 1], -e2 + static_cast<int>(q) - 1 + l) % 10;
    }
    if (q <= 9) {
      if (mv % 5 == 0)
        vrTrailingZeros = MultipleOfPow5(mv, q);
      else if (acceptBounds)
        vmTrailingZeros = MultipleOfPow5(mm, q);
      else
        vp -= MultipleOfPow5(mp, q);
    }
  } else {
    const uint32_t q = Log10Pow5(-e2);
    e10 = static_cast<int>(q) + e2;
    const int i = -e2 - static_cast<int>(q);
    const int k = Pow5Bits(i) - kPowerBits;
    int j = static_cast<int>(q) - k;
    vr = MulShift(mv, kPower[static_cast<size_t>(i)], j);
    vp = MulShift(mp, kPower[static_cast<size_t>(i)], j);
    vm = MulShift(mm, kPower[static_cast<size_t>(i)], j);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      j = static_cast<int>(q) - 1 - (Pow5Bits(i + 1) - kPowerBits);
      lastRemoved = MulShift(mv, kPower[static_cast<size_t>(i + 1)], j) % 10;
    }
    if (q <= 1) {
      vrTrailingZeros = true;
      if (acceptBounds)
        vmTrailingZeros = mmShift == 1;
      else
        --vp;
    } else if (q < 31) {
      vrTrailingZeros = MultipleOfPow2(mv, q - 1);
    }
  }

  int removed = 0;
  uint32_t digits;
  if (vmTrailingZeros || vrTrailingZeros) {
    // Rare: an end of the interval is itself a short decimal.
    while (vp / 100 > vm / 100) {  // two digits at a time, as one and one would
      vmTrailingZeros &= vm % 100 == 0;
      vrTrailingZeros &= lastRemoved == 0 && vr % 10 == 0;
      lastRemoved = vr % 100 / 10;
      vr /= 100, vp /= 100, vm /= 100;
      removed += 2;
    }
    if (vp / 10 > vm / 10) {
      vmTrailingZeros &= vm % 10 == 0;
      vrTrailingZeros &= lastRemoved == 0;
      lastRemoved = vr % 10;
      vr /= 10, vp /= 10, vm /= 10;
      ++removed;
    }
    if (vmTrailingZeros)
      while (vm % 10 == 0) {
        vrTrailingZeros &= lastRemoved == 0;
        lastRemoved = vr % 10;
        vr /= 10, vp /= 10, vm /= 10;
        ++removed;
      }
    if (vrTrailingZeros && lastRemoved == 5 && vr % 2 == 0) lastRemoved = 4;  // exactly half: to even
    digits = vr + ((vr == vm && (!acceptBounds || !vmTrailingZeros)) || lastRemoved >= 5);
  } else {
    // Two digits at a time while two can go; the first of them decides the rounding.
    while (vp / 100 > vm / 100) {
      lastRemoved = vr % 100 / 10;
      vr /= 100, vp /= 100, vm /= 100;
      removed += 2;
    }
    if (vp / 10 > vm / 10) {
      lastRemoved = vr % 10;
      vr /= 10, vp /= 10, vm /= 10;
      ++removed;
    }
    digits = vr + (vr == vm || lastRemoved >= 5);
  }
  return {digits, e10 + removed};
}

// The exact value of an integral float.
char* WriteIntegral(uint32_t mantissa, uint32_t biased, char* out) {
  const uint32_t m2 = biased == 0 ? mantissa : (1u << 23) | mantissa;
  const int shift = (biased == 0 ? 1 : static_cast<int>(biased)) - 127 - 23;
  if (shift < 40) {
    const uint64_t v = shift >= 0 ? uint64_t{m2} << shift : uint64_t{m2} >> -shift;
    return std::to_chars(out, out + 24, v).ptr;
  }
  Uint128 v = Uint128{m2} << shift;
  char digits[40];
  char* p = digits + sizeof digits;
  for (; v != 0; v /= 10) *--p = static_cast<char>('0' + static_cast<int>(v % 10));
  const size_t n = static_cast<size_t>(digits + sizeof digits - p);
  std::memcpy(out, p, n);
  return out + n;
}

constexpr uint32_t kPow10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

// How many decimal digits v has: from its bit length, one comparison to settle it.
int DigitCount(uint32_t v) {
  const int guess = ((32 - std::countl_zero(v | 1)) * 1233) >> 12;  // floor(log10(2^bits))
  return guess + (v >= kPow10[guess]);
}

// The eight digits of v < 10^8, leading zeros included, as ASCII in text order: the halves,
// quarters and digits split in the lanes of one register (x / 100 as x * 10486 >> 20 for
// x < 10^4, x / 10 as x * 103 >> 10 for x < 100).
uint64_t EightDigits(uint32_t v) {
  const uint64_t x = uint64_t{v / 10000} | (uint64_t{v % 10000} << 32);
  const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;
  const uint64_t y = hundreds | ((x - hundreds * 100) << 16);
  const uint64_t tens = ((y * 103) >> 10) & 0x000F000F000F000Full;
  return tens | ((y - tens * 10) << 8) | 0x3030303030303030ull;
}

// Digits with a decimal point among or before them. Whole 16-byte copies place them: the
// bytes after the text, up to 34 past out, are scratch.
char* WriteFraction(const Decimal& d, char* out) {
  const int n = DigitCount(d.digits);  // at most 9: a float needs no more
  const int whole = n + d.exponent;    // digits before the point
  char buffer[32] = {};
  char* const digits = buffer + 16 - n;
  buffer[7] = static_cast<char>('0' + d.digits / 100000000);
  const uint64_t low = EightDigits(d.digits % 100000000);
  std::memcpy(buffer + 8, &low, 8);
  if (whole > 0) {
    std::memcpy(out, digits, 16);
    std::memcpy(out + whole + 1, digits + whole, 16);
    out[whole] = '.';
    return out + n + 1;
  }
  if (whole >= -16) {
    std::memcpy(out, "0.0000000000000000", 18);
    std::memcpy(out + 2 - whole, digits, 16);
    return out + 2 - whole + n;
  }
  out[0] = '0';
  out[1] = '.';
  std::memset(out + 2, '0', static_cast<size_t>(-whole));
  std::memcpy(out + 2 - whole, digits, static_cast<size_t>(n));
  return out + 2 - whole + n;
}

}  // namespace

char* WriteShortestFixed(float value, char* out, bool point) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  const uint32_t mantissa = bits & ((1u << 23) - 1), biased = (bits >> 23) & 0xff;
  if (biased == 0xff) {
    out = std::to_chars(out, out + 8, value).ptr;
  } else {
    if (bits >> 31) *out++ = '-';
    // An integral value's shortest digits are its own (a fraction would need more): skip the
    // search.
    const int lowZeros = 150 - static_cast<int>(biased);  // fraction bits below the point
    const uint32_t m2 = biased == 0 ? mantissa : (1u << 23) | mantissa;
    if (lowZeros <= 0 || (lowZeros < 24 && (m2 & ((1u << lowZeros) - 1)) == 0 && biased != 0)) {
      out = WriteIntegral(mantissa, biased, out);
    } else if (mantissa != 0 || biased != 0) {
      const Decimal d = Shortest(mantissa, biased);
      if (d.exponent < 0) return WriteFraction(d, out);
      out = WriteIntegral(mantissa, biased, out);
    } else {
      *out++ = '0';
    }
  }
  if (point) {
    out[0] = '.';
    out[1] = '0';
    out += 2;
  }
  return out;
}

char* FloatTextCache::Write(float value, char* out) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  Entry& e = entries_[(bits * 2654435761u) >> (32 - kBits)];
  if (e.bits == bits && e.size != 0) {
    std::memcpy(out, e.text, 16);
    if (e.size > 16) std::memcpy(out + 16, e.text + 16, 3);
    return out + e.size;
  }
  char* const end = WriteShortestFixed(value, out, true);
  const size_t size = static_cast<size_t>(end - out);
  if (size <= sizeof e.text) {
    e.bits = bits;
    e.size = static_cast<uint8_t>(size);
    std::memcpy(e.text, out, size);
  }
  return end;
}

FloatTextCache& ThreadFloatTextCache() {
  // Made on a thread's first use: as thread storage of the module itself it would be made,
  // and its pages cleared, for every export, text or not.
  thread_local std::unique_ptr<FloatTextCache> cache;
  if (!cache) cache = std::make_unique<FloatTextCache>();
  return *cache;
}

}  // namespace vorn
