// Token codes of the .X binary encoding: the tokenizer reads them, the binary encoder and the
// template serialiser write them.
#pragma once

#include <cstdint>

namespace vorn {

// Binary token codes as the binary encoding stores them; Name also carries every bare word of
// the text encoding (identifiers and numbers alike).
enum class XTok : uint16_t {
  End = 0,
  Name = 1,
  String = 2,
  Integer = 3,
  Guid = 5,
  IntegerList = 6,
  FloatList = 7,
  OBrace = 10,
  CBrace = 11,
  OParen = 12,
  CParen = 13,
  OBracket = 14,
  CBracket = 15,
  OAngle = 16,
  CAngle = 17,
  Dot = 18,
  Comma = 19,
  Semicolon = 20,
  Template = 31,
  KwWord = 40,
  KwDword = 41,
  KwFloat = 42,
  KwDouble = 43,
  KwChar = 44,
  KwUchar = 45,
  KwSword = 46,
  KwSdword = 47,
  KwVoid = 48,
  KwLpstr = 49,
  KwUnicode = 50,
  KwCstring = 51,
  KwArray = 52,
  // Text only: BYTE has no binary code of its own and is stored as UCHAR.
  KwByte = 200,
};

constexpr uint16_t TokenCode(XTok kind) { return static_cast<uint16_t>(kind); }

// Whether a binary code is a token with no payload after it (punctuation and keywords).
constexpr bool IsBareTokenCode(uint16_t code) {
  return (code >= TokenCode(XTok::OBrace) && code <= TokenCode(XTok::Semicolon)) ||
         code == TokenCode(XTok::Template) ||
         (code >= TokenCode(XTok::KwWord) && code <= TokenCode(XTok::KwArray));
}

}  // namespace vorn
