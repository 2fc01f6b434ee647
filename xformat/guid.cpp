#include "xformat/guid.h"

#include <cstdio>

namespace vorn {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, size_t pos, size_t digits, uint64_t* out) {
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    int v = HexValue(text[pos + i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  *out = value;
  return true;
}

}  // namespace

bool ParseGuid(std::string_view text, Guid* out) {
  if (text.size() == 38) {
    const char open = text.front(), close = text.back();
    if (!((open == '{' && close == '}') || (open == '<' && close == '>'))) return false;
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    return false;
  uint64_t d1, d2, d3, d4a, d4b;
  if (!ParseHex(text, 0, 8, &d1) || !ParseHex(text, 9, 4, &d2) || !ParseHex(text, 14, 4, &d3) ||
      !ParseHex(text, 19, 4, &d4a) || !ParseHex(text, 24, 12, &d4b))
    return false;
  Guid g;
  g.data1 = static_cast<uint32_t>(d1);
  g.data2 = static_cast<uint16_t>(d2);
  g.data3 = static_cast<uint16_t>(d3);
  g.data4[0] = static_cast<uint8_t>(d4a >> 8);
  g.data4[1] = static_cast<uint8_t>(d4a);
  for (int i = 0; i < 6; ++i) g.data4[2 + i] = static_cast<uint8_t>(d4b >> (8 * (5 - i)));
  *out = g;
  return true;
}

std::string FormatGuid(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

void StoreGuid(const Guid& g, uint8_t out[16]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(g.data1 >> (8 * i));
  out[4] = static_cast<uint8_t>(g.data2);
  out[5] = static_cast<uint8_t>(g.data2 >> 8);
  out[6] = static_cast<uint8_t>(g.data3);
  out[7] = static_cast<uint8_t>(g.data3 >> 8);
  for (int i = 0; i < 8; ++i) out[8 + i] = g.data4[i];
}

Guid LoadGuid(const uint8_t in[16]) {
  Guid g;
  g.data1 = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
            static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
  g.data2 = static_cast<uint16_t>(in[4] | in[5] << 8);
  g.data3 = static_cast<uint16_t>(in[6] | in[7] << 8);
  for (int i = 0; i < 8; ++i) g.data4[i] = in[8 + i];
  return g;
}

}  // namespace vorn
