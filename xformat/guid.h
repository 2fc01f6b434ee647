// Template and object identifiers: the 16-byte GUID of the .X formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  friend bool operator==(const Guid&, const Guid&) = default;
  bool IsZero() const { return *this == Guid{}; }
};

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", optionally inside {...} or <...>; hex digits
// in either case. False on anything else.
bool ParseGuid(std::string_view text, Guid* out);

// Upper-case hex, no brackets: "3D82AB44-62DA-11CF-AB39-0020AF71E433".
std::string FormatGuid(const Guid& guid);

// The 16 bytes as the binary encodings store them (little-endian fields).
void StoreGuid(const Guid& guid, uint8_t out[16]);
Guid LoadGuid(const uint8_t in[16]);

}  // namespace vorn
