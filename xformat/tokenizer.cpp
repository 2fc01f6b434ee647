#include "xformat/tokenizer.h"

#include <array>
#include <cstring>

namespace vorn {

namespace {

uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// Characters that end a bare word of the text encoding, as a table: every number and name of
// a text file is scanned through it.
constexpr std::array<bool, 256> kDelimiters = [] {
  std::array<bool, 256> t{};
  for (uint8_t c : {' ', '\t', '\r', '\n', '\f', '\v', ',', ';', '{', '}', '[', ']', '(', ')', '<', '>', '"', '#', '\0'})
    t[c] = true;
  return t;
}();
bool IsDelimiter(uint8_t c) { return kDelimiters[c]; }

// For a number's word: what lies between values (blanks, ',' and ';'), and the characters a
// word goes on with without a second look ('/' needs one: "//" starts a comment).
constexpr std::array<bool, 256> kBetweenValues = [] {
  std::array<bool, 256> t{};
  for (uint8_t c : {' ', '\t', '\r', '\n', '\f', '\v', ',', ';'}) t[c] = true;
  return t;
}();
constexpr std::array<bool, 256> kPlainWordChars = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[static_cast<size_t>(c)] = !kDelimiters[static_cast<size_t>(c)] && c != '/';
  return t;
}();

bool EqualNoCase(std::string_view a, std::string_view b) {
  const size_t n = b.size();
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (x != y) return false;
  }
  return true;
}

struct Keyword {
  std::string_view upper;
  XTok kind;
};

constexpr Keyword kKeywords[] = {
    {"TEMPLATE", XTok::Template}, {"WORD", XTok::KwWord},       {"DWORD", XTok::KwDword},
    {"FLOAT", XTok::KwFloat},     {"DOUBLE", XTok::KwDouble},   {"CHAR", XTok::KwChar},
    {"UCHAR", XTok::KwUchar},     {"SWORD", XTok::KwSword},     {"SDWORD", XTok::KwSdword},
    {"VOID", XTok::KwVoid},       {"STRING", XTok::KwLpstr},    {"LPSTR", XTok::KwLpstr},
    {"UNICODE", XTok::KwUnicode}, {"CSTRING", XTok::KwCstring}, {"ARRAY", XTok::KwArray},
    {"BYTE", XTok::KwByte},
};

}  // namespace

bool ParseXFileHeader(const uint8_t* data, size_t size, XFileHeader* header, std::string* error) {
  if (size < 16 || std::memcmp(data, "xof ", 4) != 0) {
    if (error) *error = "not an .X file (no \"xof \" header)";
    return false;
  }
  const char* format = reinterpret_cast<const char*>(data + 8);
  XFileHeader h;
  if (std::memcmp(format, "txt ", 4) == 0) {
  } else if (std::memcmp(format, "bin ", 4) == 0) {
    h.binary = true;
  } else if (std::memcmp(format, "tzip", 4) == 0) {
    h.compressed = true;
  } else if (std::memcmp(format, "bzip", 4) == 0) {
    h.binary = h.compressed = true;
  } else {
    if (error) *error = "unknown .X encoding \"" + std::string(format, 4) + "\"";
    return false;
  }
  const char* floats = reinterpret_cast<const char*>(data + 12);
  if (std::memcmp(floats, "0032", 4) == 0) {
    h.floatBits = 32;
  } else if (std::memcmp(floats, "0064", 4) == 0) {
    h.floatBits = 64;
  } else {
    if (error) *error = "unknown .X float size \"" + std::string(floats, 4) + "\"";
    return false;
  }
  *header = h;
  return true;
}

const char* TokenName(XTok kind) {
  switch (kind) {
    case XTok::End: return "end of file";
    case XTok::Name: return "name";
    case XTok::String: return "string";
    case XTok::Integer: return "integer";
    case XTok::Guid: return "GUID";
    case XTok::IntegerList: return "integer list";
    case XTok::FloatList: return "float list";
    case XTok::OBrace: return "'{'";
    case XTok::CBrace: return "'}'";
    case XTok::OParen: return "'('";
    case XTok::CParen: return "')'";
    case XTok::OBracket: return "'['";
    case XTok::CBracket: return "']'";
    case XTok::OAngle: return "'<'";
    case XTok::CAngle: return "'>'";
    case XTok::Dot: return "'.'";
    case XTok::Comma: return "','";
    case XTok::Semicolon: return "';'";
    case XTok::Template: return "'template'";
    case XTok::KwArray: return "'array'";
    default: return "type keyword";
  }
}

bool XTokenizer::Fail(const char* what) {
  error_ = what;
  if (binary_) {
    error_ += " at byte " + std::to_string(pos_);
  } else {
    size_t line = 1;
    for (size_t i = 0; i < pos_ && i < size_; ++i) line += data_[i] == '\n';
    error_ += " on line " + std::to_string(line);
  }
  return false;
}

bool XTokenizer::Peek(XToken* token) {
  if (!peeked_) {
    peekOk_ = binary_ ? NextBinary(&peek_) : NextText(&peek_);
    peeked_ = true;
  }
  *token = peek_;
  return peekOk_;
}

bool XTokenizer::Next(XToken* token) {
  if (peeked_) {
    peeked_ = false;
    *token = peek_;
    return peekOk_;
  }
  return binary_ ? NextBinary(token) : NextText(token);
}

bool XTokenizer::NextBinary(XToken* t) {
  *t = XToken{};
  if (pos_ == size_) return true;
  if (size_ - pos_ < 2) return Fail("truncated token");
  const uint16_t code = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
  pos_ += 2;
  const size_t left = size_ - pos_;
  switch (static_cast<XTok>(code)) {
    case XTok::Name:      // DWORD length, characters
    case XTok::String: {  // DWORD length, characters, terminator token
      if (left < 4) return Fail("truncated name");
      const uint32_t length = Load32(data_ + pos_);
      if (length > left - 4) return Fail("name or string runs past the end");
      t->kind = static_cast<XTok>(code);
      t->text = std::string_view(reinterpret_cast<const char*>(data_ + pos_ + 4), length);
      pos_ += 4 + static_cast<size_t>(length);
      if (t->kind == XTok::String) {
        if (size_ - pos_ < 2) return Fail("string without terminator");
        const uint16_t term = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
        if (term != TokenCode(XTok::Comma) && term != TokenCode(XTok::Semicolon))
          return Fail("string not closed by ';' or ','");
        pos_ += 2;
      }
      return true;
    }
    case XTok::Integer:
      if (left < 4) return Fail("truncated integer");
      t->kind = XTok::Integer;
      t->integer = Load32(data_ + pos_);
      pos_ += 4;
      return true;
    case XTok::Guid:
      if (left < 16) return Fail("truncated GUID");
      t->kind = XTok::Guid;
      t->guid = LoadGuid(data_ + pos_);
      pos_ += 16;
      return true;
    case XTok::IntegerList:
    case XTok::FloatList: {
      if (left < 4) return Fail("truncated list");
      const uint32_t count = Load32(data_ + pos_);
      const size_t entry = static_cast<XTok>(code) == XTok::IntegerList ? 4 : floatBytes_;
      if (count > (left - 4) / entry) return Fail("list runs past the end");
      t->kind = static_cast<XTok>(code);
      t->count = count;
      t->list = data_ + pos_ + 4;
      pos_ += 4 + count * entry;
      return true;
    }
    default:
      if (IsBareTokenCode(code)) {
        t->kind = static_cast<XTok>(code);
        return true;
      }
      pos_ -= 2;
      return Fail("unknown binary token");
  }
}

bool XTokenizer::NextWord(std::string_view* word) {
  if (binary_ || peeked_) return false;
  for (;;) {
    while (pos_ < size_ && kBetweenValues[data_[pos_]]) ++pos_;
    if (pos_ < size_ && (data_[pos_] == '#' || (data_[pos_] == '/' && pos_ + 1 < size_ && data_[pos_ + 1] == '/'))) {
      while (pos_ < size_ && data_[pos_] != '\n') ++pos_;
      continue;
    }
    break;
  }
  if (pos_ == size_) return false;
  const uint8_t first = data_[pos_];
  if (IsDelimiter(first) || ((first | 0x20) >= 'a' && (first | 0x20) <= 'z')) return false;
  size_t end = pos_;
  for (;;) {
    while (end < size_ && kPlainWordChars[data_[end]]) ++end;
    // A '/' goes on the word unless a second one makes it a comment.
    if (end < size_ && data_[end] == '/' && !(end + 1 < size_ && data_[end + 1] == '/')) {
      ++end;
      continue;
    }
    break;
  }
  if (end - pos_ == 1 && first == '.') return false;
  *word = std::string_view(reinterpret_cast<const char*>(data_ + pos_), end - pos_);
  pos_ = end;
  return true;
}

bool XTokenizer::NextText(XToken* t) {
  *t = XToken{};
  for (;;) {
    while (pos_ < size_ && IsSpace(data_[pos_])) ++pos_;
    if (pos_ == size_) return true;
    const uint8_t c = data_[pos_];
    if (c == '#' || (c == '/' && pos_ + 1 < size_ && data_[pos_ + 1] == '/')) {
      while (pos_ < size_ && data_[pos_] != '\n') ++pos_;
      continue;
    }
    break;
  }
  const uint8_t c = data_[pos_];
  switch (c) {
    case '{': ++pos_; t->kind = XTok::OBrace; return true;
    case '}': ++pos_; t->kind = XTok::CBrace; return true;
    case '[': ++pos_; t->kind = XTok::OBracket; return true;
    case ']': ++pos_; t->kind = XTok::CBracket; return true;
    case '(': ++pos_; t->kind = XTok::OParen; return true;
    case ')': ++pos_; t->kind = XTok::CParen; return true;
    case ',': ++pos_; t->kind = XTok::Comma; return true;
    case ';': ++pos_; t->kind = XTok::Semicolon; return true;
    case '>': ++pos_; t->kind = XTok::CAngle; return true;
    case '<': {
      size_t end = pos_ + 1;
      while (end < size_ && data_[end] != '>' && end - pos_ < 40) ++end;
      if (end == size_ || data_[end] != '>') return Fail("unterminated GUID");
      std::string_view inner(reinterpret_cast<const char*>(data_ + pos_ + 1), end - pos_ - 1);
      while (!inner.empty() && IsSpace(static_cast<uint8_t>(inner.front()))) inner.remove_prefix(1);
      while (!inner.empty() && IsSpace(static_cast<uint8_t>(inner.back()))) inner.remove_suffix(1);
      if (!ParseGuid(inner, &t->guid)) return Fail("malformed GUID");
      t->kind = XTok::Guid;
      pos_ = end + 1;
      return true;
    }
    case '"': {
      size_t end = pos_ + 1;
      while (end < size_ && data_[end] != '"') ++end;
      if (end == size_) return Fail("unterminated string");
      t->kind = XTok::String;
      t->text = std::string_view(reinterpret_cast<const char*>(data_ + pos_ + 1), end - pos_ - 1);
      pos_ = end + 1;
      return true;
    }
    case 0:
      return Fail("zero byte in text");
    default:
      break;
  }
  size_t end = pos_;
  while (end < size_ && !IsDelimiter(data_[end]) &&
         !(data_[end] == '/' && end + 1 < size_ && data_[end + 1] == '/'))
    ++end;
  std::string_view word(reinterpret_cast<const char*>(data_ + pos_), end - pos_);
  pos_ = end;
  if (word == ".") {
    t->kind = XTok::Dot;
    return true;
  }
  // Keywords are letters; numbers, the most common words, skip the search.
  const uint8_t first = word.empty() ? 0 : static_cast<uint8_t>(word[0]);
  if ((first | 0x20) >= 'a' && (first | 0x20) <= 'z')
    for (const Keyword& k : kKeywords) {
      if (EqualNoCase(word, k.upper)) {
        t->kind = k.kind;
        return true;
      }
    }
  t->kind = XTok::Name;
  t->text = word;
  return true;
}

}  // namespace vorn
