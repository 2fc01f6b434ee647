#include "xformat/xfile_reader.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "xformat/mszip.h"
#include "xformat/standard_templates.h"
#include "xformat/tokenizer.h"

namespace vorn {

namespace {

class Reader {
 public:
  Reader(XTokenizer& tokens, XFileTree& tree, const XReadOptions& options, const uint8_t* body, size_t inputSize)
      : tokens_(tokens), tree_(tree), options_(options), body_(body), inputSize_(inputSize) {}

  bool Run();
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const std::string& message) {
    if (error_.empty()) error_ = message + Where();
    return false;
  }
  bool FailTokens() {
    if (error_.empty()) error_ = tokens_.Error();
    return false;
  }
  std::string Where() const {
    return tokens_.Binary() ? " (at byte " + std::to_string(tokens_.Offset()) + ")" : "";
  }
  bool Next(XToken* t) { return tokens_.Next(t) || FailTokens(); }
  bool Peek(XToken* t) { return tokens_.Peek(t) || FailTokens(); }
  // The next token that is not a ',' or ';' separator.
  bool NextValueToken(XToken* t) {
    do {
      if (!Next(t)) return false;
    } while (t->kind == XTok::Comma || t->kind == XTok::Semicolon);
    return true;
  }
  // A text value's word: straight from the text where it can be, else from the next token,
  // which must be a Name.
  bool ValueWord(std::string_view* word, const char* what) {
    if (tokens_.NextWord(word)) return true;
    XToken t;
    if (!NextValueToken(&t)) return false;
    if (t.kind != XTok::Name) return Fail(std::string("expected ") + what + " in " + context_ + ", found " + TokenName(t.kind));
    *word = t.text;
    return true;
  }

  bool ParseObject(uint32_t parent, uint32_t depth);
  bool ParseReference(uint32_t parent);
  // An object's or reference's optional name, then optional id; *t is the token after them.
  bool ReadNameAndId(XToken* t, std::string* name, bool* hasId, Guid* id) {
    if (t->kind == XTok::Name) {
      *name = std::string(t->text);
      if (!Next(t)) return false;
    }
    if (t->kind == XTok::Guid) {
      *hasId = true;
      *id = t->guid;
      if (!Next(t)) return false;
    }
    return true;
  }
  bool ParseData(const XTemplate& tpl);
  // A structure of plain FLOAT members only, no arrays or nested structures.
  static bool AllFloats(const XTemplate& t) {
    if (t.members.empty()) return false;
    for (const XTemplateMember& m : t.members)
      if (m.isArray || m.type != XMemberType::Float) return false;
    return true;
  }
  bool ReadInteger(XMemberType type, uint32_t* value);
  bool ReadFloat(XMemberType type);
  bool ReadString();
  size_t InputLeft() const { return inputSize_ - tokens_.Offset(); }
  void Put(const void* bytes, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    tree_.data.insert(tree_.data.end(), b, b + n);
  }

  // Line of the byte at offset, counted on from the last call (offsets only grow).
  uint32_t LineAt(size_t offset) {
    for (const uint8_t* p = body_ + lineOffset_; p < body_ + offset;) {
      const void* nl = std::memchr(p, '\n', static_cast<size_t>(body_ + offset - p));
      if (!nl) break;
      ++line_;
      p = static_cast<const uint8_t*>(nl) + 1;
    }
    lineOffset_ = offset;
    return line_;
  }

  XTokenizer& tokens_;
  XFileTree& tree_;
  const XReadOptions& options_;
  const uint8_t* body_;
  size_t inputSize_;
  size_t lineOffset_ = 0;
  uint32_t line_ = 1;
  std::string error_;
  std::string context_;  // "Mesh 'Box'" of the object whose data is being read
  // the binary list being consumed
  XTok listKind_ = XTok::End;
  const uint8_t* list_ = nullptr;
  uint32_t listLeft_ = 0;
};

bool Reader::Run() {
  for (;;) {
    XToken t;
    if (!Peek(&t)) return false;
    if (t.kind == XTok::End) return true;
    if (t.kind == XTok::Template) {
      Next(&t);
      if (!tree_.templates.ParseTemplate(tokens_, &error_)) return false;
      continue;
    }
    if (t.kind == XTok::Comma || t.kind == XTok::Semicolon) {
      Next(&t);
      continue;
    }
    if (t.kind != XTok::Name) return Fail(std::string("expected a template or data object, found ") + TokenName(t.kind));
    if (!ParseObject(kNoObject, 0)) return false;
  }
}

bool Reader::ParseReference(uint32_t parent) {
  XToken t;
  if (!Next(&t)) return false;
  std::string name;
  bool hasId = false;
  Guid id;
  if (!ReadNameAndId(&t, &name, &hasId, &id)) return false;
  if (t.kind != XTok::CBrace) return Fail("reference not closed by '}' in " + context_);
  if (name.empty() && !hasId) return Fail("empty reference in " + context_);
  const uint32_t index = tree_.AddReference(parent, std::move(name));
  tree_.objects[index].hasObjectId = hasId;
  tree_.objects[index].objectId = id;
  return true;
}

bool Reader::ParseObject(uint32_t parent, uint32_t depth) {
  if (depth >= options_.maxDepth) return Fail("objects nested deeper than " + std::to_string(options_.maxDepth));
  XToken t;
  if (!Next(&t)) return false;
  const std::string templateName(t.text);
  const int32_t index = tree_.templates.IndexOfAnyCase(templateName);
  if (index < 0) return Fail("data object of unknown template " + templateName);
  std::string name;
  bool hasId = false;
  Guid id;
  if (!Next(&t) || !ReadNameAndId(&t, &name, &hasId, &id)) return false;
  if (t.kind != XTok::OBrace) return Fail("expected '{' after " + templateName + (name.empty() ? "" : " " + name));

  const XTemplate& tpl = tree_.templates.At(index);
  const uint32_t self = tree_.AddObject(parent, index, name, nullptr, 0);
  tree_.objects[self].hasObjectId = hasId;
  tree_.objects[self].objectId = id;
  if (!tokens_.Binary()) tree_.objects[self].line = LineAt(tokens_.Offset() - 1);
  context_ = templateName + (name.empty() ? "" : " '" + name + "'");
  const size_t start = tree_.data.size();
  listKind_ = XTok::End;
  listLeft_ = 0;
  if (!ParseData(tpl)) return false;
  if (listLeft_ != 0) return Fail("more values than the template holds in " + context_);
  tree_.objects[self].dataOffset = start;
  tree_.objects[self].dataSize = tree_.data.size() - start;

  for (;;) {
    if (!Peek(&t)) return false;
    switch (t.kind) {
      case XTok::CBrace:
        Next(&t);
        return true;
      case XTok::Comma:
      case XTok::Semicolon:
        Next(&t);
        break;
      case XTok::Name:
        if (!ParseObject(self, depth + 1)) return false;
        break;
      case XTok::OBrace:
        Next(&t);
        context_ = templateName + (name.empty() ? "" : " '" + name + "'");
        if (!ParseReference(self)) return false;
        break;
      case XTok::End:
        return Fail("file ends inside " + templateName + (name.empty() ? "" : " '" + name + "'"));
      default:
        return Fail(std::string("unexpected ") + TokenName(t.kind) + " in " + templateName +
                    (name.empty() ? "" : " '" + name + "'"));
    }
  }
}

bool Reader::ReadInteger(XMemberType type, uint32_t* value) {
  uint32_t v = 0;
  if (tokens_.Binary()) {
    if (listLeft_ == 0) {
      XToken t;
      if (!NextValueToken(&t)) return false;
      if (t.kind == XTok::Integer) {
        v = t.integer;
      } else if (t.kind == XTok::IntegerList && t.count > 0) {
        listKind_ = t.kind;
        list_ = t.list;
        listLeft_ = t.count;
      } else {
        return Fail(std::string("expected an integer in ") + context_ + ", found " + TokenName(t.kind));
      }
    }
    if (listLeft_ != 0) {
      if (listKind_ != XTok::IntegerList) return Fail("float where an integer belongs in " + context_);
      std::memcpy(&v, list_, 4);
      list_ += 4;
      --listLeft_;
    }
  } else {
    std::string_view word;
    if (!ValueWord(&word, "an integer")) return false;
    std::string_view text = word;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
      return Fail("not an integer: \"" + std::string(word) + "\" in " + context_);
    if (negative) v = 0u - v;
  }
  *value = v;
  uint8_t bytes[4];
  std::memcpy(bytes, &v, 4);
  Put(bytes, PrimitiveSize(type));
  return true;
}

bool Reader::ReadFloat(XMemberType type) {
  double d = 0;
  float f = 0;
  bool isFloat = false;  // f holds the exact value read
  if (tokens_.Binary()) {
    if (listLeft_ == 0) {
      XToken t;
      if (!NextValueToken(&t)) return false;
      if (t.kind != XTok::FloatList || t.count == 0)
        return Fail(std::string("expected a float in ") + context_ + ", found " + TokenName(t.kind));
      listKind_ = t.kind;
      list_ = t.list;
      listLeft_ = t.count;
    }
    if (listKind_ != XTok::FloatList) return Fail("integer where a float belongs in " + context_);
    if (tokens_.FloatBytes() == 8) {
      std::memcpy(&d, list_, 8);
    } else {
      std::memcpy(&f, list_, 4);
      isFloat = true;
    }
    list_ += tokens_.FloatBytes();
    --listLeft_;
  } else {
    std::string_view word;
    if (!ValueWord(&word, "a float")) return false;
    const char* first = word.data();
    const char* last = first + word.size();
    std::from_chars_result r;
    if (type == XMemberType::Float && options_.textFloat) {
      const char* readable = reinterpret_cast<const char*>(body_ + inputSize_);
      if (!options_.textFloat(first, last, readable, &f))
        return Fail("not a number: \"" + std::string(word) + "\" in " + context_);
      r = {last, std::errc()};
      isFloat = true;
    } else if (type == XMemberType::Float) {
      r = std::from_chars(first, last, f);
      isFloat = true;
    } else {
      r = std::from_chars(first, last, d);
    }
    if (r.ec != std::errc() || r.ptr != last)
      return Fail("not a number: \"" + std::string(word) + "\" in " + context_);
  }
  if (type == XMemberType::Float) {
    if (!isFloat) f = static_cast<float>(d);
    Put(&f, 4);
  } else {
    if (isFloat) d = f;
    Put(&d, 8);
  }
  return true;
}

bool Reader::ReadString() {
  if (listLeft_ != 0) return Fail("a string where a number belongs in " + context_);
  XToken t;
  if (!NextValueToken(&t)) return false;
  if (t.kind != XTok::String) return Fail(std::string("expected a string in ") + context_ + ", found " + TokenName(t.kind));
  if (std::memchr(t.text.data(), 0, t.text.size())) return Fail("zero byte inside a string in " + context_);
  Put(t.text.data(), t.text.size());
  tree_.data.push_back(0);
  return true;
}

bool Reader::ParseData(const XTemplate& tpl) {
  uint32_t counts[256];
  for (size_t i = 0; i < tpl.members.size(); ++i) {
    const XTemplateMember& m = tpl.members[i];
    uint64_t count = 1;
    for (uint32_t d = 0; d < m.dimCount; ++d) {
      const XArrayDim& dim = tpl.dims[m.firstDim + d];
      count *= dim.member >= 0 ? counts[dim.member] : dim.size;
      // every value read takes at least one byte of input
      if (count > InputLeft() + listLeft_) {
        const bool empty = m.type == XMemberType::Template && tree_.templates.At(m.templateIndex).fixedSize == 0;
        if (!empty || count > (1u << 20))
          return Fail("array " + m.name + " of " + std::to_string(count) + " elements is longer than the file in " + context_);
      }
    }
    // Arrays of small structures of floats (Vector, Coords2d, ...) are read value by value
    // here, not element by element through the general path.
    if (m.type == XMemberType::Template && count > 1) {
      const XTemplate& element = tree_.templates.At(m.templateIndex);
      if (AllFloats(element)) {
        const uint64_t values = count * element.members.size();
        for (uint64_t k = 0; k < values; ++k)
          if (!ReadFloat(XMemberType::Float)) return false;
        continue;
      }
    }
    for (uint64_t k = 0; k < count; ++k) {
      switch (m.type) {
        case XMemberType::Template:
          if (!ParseData(tree_.templates.At(m.templateIndex))) return false;
          break;
        case XMemberType::String:
          if (!ReadString()) return false;
          break;
        case XMemberType::Float:
        case XMemberType::Double:
          if (!ReadFloat(m.type)) return false;
          break;
        default: {
          uint32_t v = 0;
          if (!ReadInteger(m.type, &v)) return false;
          if (!m.isArray) counts[i] = v;
          break;
        }
      }
    }
  }
  return true;
}

}  // namespace

bool ReadXFile(const uint8_t* data, size_t size, const XReadOptions& options, XFileTree* tree,
               std::string* error) {
  XFileHeader header;
  if (!ParseXFileHeader(data, size, &header, error)) return false;
  *tree = XFileTree{};
  tree->templates = options.templates ? *options.templates : StandardRegistry();
  tree->encoding = std::string(reinterpret_cast<const char*>(data + 8), 4);
  if (tree->encoding == "txt ") tree->encoding = "txt";
  if (tree->encoding == "bin ") tree->encoding = "bin";
  tree->floatBits = header.floatBits;
  std::vector<uint8_t> inflated;
  const uint8_t* body = data + 16;
  size_t bodySize = size - 16;
  if (header.compressed) {
    if (!MszipDecompress(data, size, &inflated, error)) return false;
    body = inflated.data();
    bodySize = inflated.size();
  }
  // The data bytes come to about the body's size in either encoding; growing to it copies them
  // several times over.
  tree->data.reserve(bodySize);
  XTokenizer tokens(body, bodySize, header.binary, header.floatBits);
  Reader reader(tokens, *tree, options, body, bodySize);
  if (!reader.Run()) {
    if (error) *error = reader.Error();
    return false;
  }
  return true;
}

bool ReadXFileFromPath(const std::string& path, const XReadOptions& options, XFileTree* tree,
                       std::string* error) {
  // A folder or a device (/dev/zero) is refused before it is read: it would throw or never end.
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    if (error) *error = path + ": " + (std::filesystem::is_directory(status) ? "a folder" : "not a regular file");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  if (!ReadXFile(bytes.data(), bytes.size(), options, tree, error)) {
    if (error) *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace vorn
