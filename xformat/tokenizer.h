// Tokens of the .X text and binary encodings, shared by the template parser and the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xformat/guid.h"
#include "xformat/token_codes.h"

namespace vorn {

struct XToken {
  XTok kind = XTok::End;
  std::string_view text;        // Name, String
  uint32_t integer = 0;         // Integer
  Guid guid;                    // Guid
  const uint8_t* list = nullptr;  // IntegerList, FloatList: count entries of 4 (or 8) bytes
  uint32_t count = 0;
};

struct XFileHeader {
  bool binary = false;
  bool compressed = false;
  int floatBits = 32;
};

// Reads the 16-byte "xof 0303txt 0032" style header. False when it is not one.
bool ParseXFileHeader(const uint8_t* data, size_t size, XFileHeader* header, std::string* error);

class XTokenizer {
 public:
  XTokenizer(const uint8_t* data, size_t size, bool binary, int floatBits)
      : data_(data), size_(size), binary_(binary), floatBytes_(floatBits == 64 ? 8 : 4) {}

  // False on malformed input, with Error() saying what and where. At the end: kind End.
  bool Next(XToken* token);
  bool Peek(XToken* token);
  // The text encoding's next value word, for a reader of numbers: skips blanks, comments and
  // the ',' and ';' between values, then takes the word as Next would take it as a Name. False,
  // having taken no word, when a token is peeked or what follows is not a number's word (a
  // delimiter, a letter, a lone "."): Next then reads it and names any fault.
  bool NextWord(std::string_view* word);
  bool Binary() const { return binary_; }
  size_t FloatBytes() const { return floatBytes_; }
  size_t Offset() const { return pos_; }
  const std::string& Error() const { return error_; }

 private:
  bool NextBinary(XToken* token);
  bool NextText(XToken* token);
  bool Fail(const char* what);

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool binary_;
  size_t floatBytes_;
  bool peeked_ = false;
  bool peekOk_ = false;
  XToken peek_;
  std::string error_;
};

// Human-readable name of a token for messages.
const char* TokenName(XTok kind);

}  // namespace vorn
