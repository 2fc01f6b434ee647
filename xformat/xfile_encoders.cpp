#include "xformat/xfile_encoders.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "xformat/mszip.h"
#include "xformat/shortest_float.h"

namespace vorn {

namespace {

// Uncompressed bytes handed to the compressor at once: enough blocks for every core.
constexpr size_t kCompressWindow = 4 << 20;

void MarkUsed(const TemplateRegistry& registry, int32_t index, std::vector<bool>& used) {
  if (used[index]) return;
  used[index] = true;
  for (const XTemplateMember& m : registry.At(index).members)
    if (m.type == XMemberType::Template) MarkUsed(registry, m.templateIndex, used);
}

size_t EnsurePoint(char* begin, char* end) {
  for (char* p = begin; p < end; ++p)
    if (*p == '.') return static_cast<size_t>(end - begin);
  end[0] = '.';
  end[1] = '0';
  return static_cast<size_t>(end - begin) + 2;
}

}  // namespace

std::vector<int32_t> TemplatesUsed(const XFileTree& tree) {
  std::vector<bool> used(tree.templates.Count(), false);
  for (const XTreeObject& o : tree.objects)
    if (o.templateIndex >= 0) MarkUsed(tree.templates, o.templateIndex, used);
  std::vector<int32_t> out;
  for (size_t i = 0; i < used.size(); ++i)
    if (used[i]) out.push_back(static_cast<int32_t>(i));
  return out;
}

size_t FormatFloat(float value, char* out) {
  // The DirectX text parser takes neither exponents nor numbers without a decimal point.
  return static_cast<size_t>(WriteShortestFixed(value, out, true) - out);
}

size_t FormatDouble(double value, char* out) {
  auto r = std::to_chars(out, out + 396, value, std::chars_format::fixed);
  return EnsurePoint(out, r.ptr);
}

std::string TextName(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 1);
  bool numeric = !name.empty();
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool digit = c >= '0' && c <= '9';
    const bool keep = digit || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
    out += keep ? c : '_';
    if (!(digit || (i == 0 && c == '-'))) numeric = false;
  }
  static constexpr const char* kKeywords[] = {
      "template", "word", "dword", "float", "double", "char", "uchar", "sword", "sdword",
      "void", "string", "lpstr", "unicode", "cstring", "array", "byte"};
  bool keyword = false;
  for (const char* k : kKeywords) {
    if (out.size() != std::char_traits<char>::length(k)) continue;
    keyword = std::equal(out.begin(), out.end(), k, [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
    });
    if (keyword) break;
  }
  if (numeric || keyword) out.insert(out.begin(), '_');
  return out;
}

TextNameMap::TextNameMap(const XFileTree& tree) {
  // Names that stay are taken first, so that a name changed early cannot take the form of a
  // name that comes later.
  std::unordered_set<std::string_view> seen;
  std::vector<std::string_view> changed;
  std::unordered_set<std::string> taken;
  for (const XTreeObject& o : tree.objects) {
    if (o.name.empty() || !seen.insert(o.name).second) continue;
    std::string text = TextName(o.name);
    if (text != o.name)
      changed.push_back(o.name);
    else
      taken.insert(std::move(text));
  }
  for (std::string_view name : changed) {
    const std::string base = TextName(name);
    std::string text = base;
    for (uint32_t k = 2; taken.contains(text); ++k) text = base + "_" + std::to_string(k);
    taken.insert(text);
    rewritten_.emplace(name, std::move(text));
  }
}

std::string_view TextNameMap::operator()(std::string_view name) const {
  if (rewritten_.empty()) return name;
  auto it = rewritten_.find(name);
  return it == rewritten_.end() ? name : std::string_view(it->second);
}

bool EncodeXFile(const XFileTree& tree, XFileFormat format, const XEncodeOptions& options,
                 ByteBuffer& out, std::string* error) {
  switch (format) {
    case XFileFormat::Text:
      out.Append("xof 0303txt 0032", 16);
      return EncodeText(tree, options.embedTemplates, out, error, options.secondCore);
    case XFileFormat::Binary:
      out.Append("xof 0303bin 0032", 16);
      return EncodeBinaryBody(tree, options.embedTemplates, out, error);
    case XFileFormat::Compressed: {
      out.Append("xof 0303bzip0032", 16);
      // The body goes through the compressor a window at a time, never held whole.
      MszipStream z(options.compressionLevel, options.chainBlocks, out);
      ByteBuffer body;
      body.SetDrain(kCompressWindow, &MszipStream::Drain, &z);
      bool fits = true;
      const auto sized = [&](uint64_t n) {
        fits = n <= 0xFFFFFFFFull - 16;
        out.PutDword(static_cast<uint32_t>(n + 16));
      };
      if (!EncodeBinaryBody(tree, options.embedTemplates, body, error, sized)) return false;
      if (!fits) {
        if (error) *error = "file too large for the compressed encoding";
        return false;
      }
      if (!z.Finish(body.Data(), body.Size())) {
        if (error) *error = z.Error();
        return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace vorn
