#include "xformat/inspect.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "xformat/template_serialisers.h"
#include "xformat/xfile_encoders.h"

namespace vorn {

namespace {

using nlohmann::ordered_json;

struct Bytes {
  const uint8_t* p;
  size_t left;
  bool ok = true;
  template <class T>
  T Take() {
    T v{};
    if (left < sizeof(T)) {
      ok = false;
      return v;
    }
    std::memcpy(&v, p, sizeof(T));
    p += sizeof(T);
    left -= sizeof(T);
    return v;
  }
};

ordered_json DecodeValue(XMemberType type, Bytes& b, uint32_t* integer) {
  switch (type) {
    case XMemberType::Word: return *integer = b.Take<uint16_t>();
    case XMemberType::Sword: return b.Take<int16_t>();
    case XMemberType::Dword: return *integer = b.Take<uint32_t>();
    case XMemberType::Sdword: return b.Take<int32_t>();
    case XMemberType::Char: return b.Take<int8_t>();
    case XMemberType::Uchar:
    case XMemberType::Byte: return *integer = b.Take<uint8_t>();
    case XMemberType::Float: return b.Take<float>();
    case XMemberType::Double: return b.Take<double>();
    case XMemberType::String: {
      const void* zero = std::memchr(b.p, 0, b.left);
      if (!zero) {
        b.ok = false;
        return "";
      }
      const size_t n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - b.p);
      std::string s(reinterpret_cast<const char*>(b.p), n);
      b.p += n + 1;
      b.left -= n + 1;
      return s;
    }
    case XMemberType::Template: break;
  }
  return nullptr;
}

ordered_json DecodeStruct(const TemplateRegistry& registry, const XTemplate& tpl, Bytes& b) {
  ordered_json out = ordered_json::object();
  uint32_t counts[256] = {};
  for (size_t i = 0; i < tpl.members.size() && b.ok; ++i) {
    const XTemplateMember& m = tpl.members[i];
    auto one = [&](uint32_t* integer) {
      if (m.type == XMemberType::Template) return DecodeStruct(registry, registry.At(m.templateIndex), b);
      return DecodeValue(m.type, b, integer);
    };
    if (!m.isArray) {
      out[m.name] = one(&counts[i]);
      continue;
    }
    uint64_t count = 1;
    for (uint32_t d = 0; d < m.dimCount; ++d) {
      const XArrayDim& dim = tpl.dims[m.firstDim + d];
      count *= dim.member >= 0 ? counts[dim.member] : dim.size;
    }
    if (count > b.left + 1) {
      b.ok = false;
      break;
    }
    ordered_json array = ordered_json::array();
    uint32_t unused;
    for (uint64_t k = 0; k < count && b.ok; ++k) array.push_back(one(&unused));
    out[m.name] = std::move(array);
  }
  return out;
}

ordered_json ObjectJson(const XFileTree& tree, uint32_t index) {
  const XTreeObject& o = tree.objects[index];
  if (o.isReference) return ordered_json{{"reference", o.name}};
  ordered_json j;
  const XTemplate* t = tree.TemplateOf(o);
  j["template"] = t ? t->name : "";
  j["guid"] = FormatGuid(o.templateId);
  j["name"] = o.name;
  j["size"] = o.dataSize;
  if (t) {
    std::span<const uint8_t> data = tree.Data(o);
    Bytes b{data.data(), data.size()};
    j["data"] = DecodeStruct(tree.templates, *t, b);
    if (!b.ok || b.left) j["dataError"] = "data does not fit the template";
  }
  ordered_json children = ordered_json::array();
  for (uint32_t c = o.firstChild; c != kNoObject; c = tree.objects[c].nextSibling)
    children.push_back(ObjectJson(tree, c));
  if (!children.empty()) j["children"] = std::move(children);
  return j;
}

void AppendScalar(const ordered_json& v, std::string& out) {
  if (v.is_number_float()) {
    // FLOAT members arrive widened; show them in their own shortest form
    const double d = v.get<double>();
    char text[400];
    const float f = static_cast<float>(d);
    out.append(text, static_cast<double>(f) == d ? FormatFloat(f, text) : FormatDouble(d, text));
  } else if (v.is_string()) {
    out += '"' + v.get<std::string>() + '"';
  } else {
    out += v.dump();
  }
}

void AppendValue(const ordered_json& v, const InspectOptions& options, std::string& out) {
  if (v.is_array()) {
    out += "[" + std::to_string(v.size()) + "]";
    size_t shown = 0;
    for (const ordered_json& e : v) {
      if (shown == options.maxElements) {
        out += " ... (" + std::to_string(v.size() - shown) + " more)";
        break;
      }
      out += shown ? ", " : " ";
      AppendValue(e, options, out);
      ++shown;
    }
  } else if (v.is_object()) {
    out += "(";
    bool first = true;
    for (const auto& [key, member] : v.items()) {
      if (!first) out += ", ";
      first = false;
      AppendValue(member, options, out);
    }
    out += ")";
  } else {
    AppendScalar(v, out);
  }
}

void ObjectText(const XFileTree& tree, uint32_t index, int depth, const InspectOptions& options,
                std::string& out) {
  const XTreeObject& o = tree.objects[index];
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  if (o.isReference) {
    out += indent + "{ " + o.name + " }\n";
    return;
  }
  const XTemplate* t = tree.TemplateOf(o);
  out += indent + (t ? t->name : "?");
  if (!o.name.empty()) out += " " + o.name;
  out += "  <" + FormatGuid(o.templateId) + ">, " + std::to_string(o.dataSize) + " bytes\n";
  if (t) {
    std::span<const uint8_t> data = tree.Data(o);
    Bytes b{data.data(), data.size()};
    ordered_json members = DecodeStruct(tree.templates, *t, b);
    for (const auto& [key, value] : members.items()) {
      out += indent + "  " + key + " = ";
      AppendValue(value, options, out);
      out += '\n';
    }
    if (!b.ok || b.left) out += indent + "  (data does not fit the template)\n";
  }
  for (uint32_t c = o.firstChild; c != kNoObject; c = tree.objects[c].nextSibling)
    ObjectText(tree, c, depth + 1, options, out);
}

}  // namespace

std::string InspectText(const XFileTree& tree, const InspectOptions& options) {
  size_t top = 0;
  for (uint32_t i = tree.firstTop; i != kNoObject; i = tree.objects[i].nextSibling) ++top;
  std::string out = "encoding " + (tree.encoding.empty() ? std::string("(in memory)") : tree.encoding) +
                    ", " + std::to_string(tree.floatBits) + "-bit floats, " +
                    std::to_string(tree.objects.size()) + " objects, " + std::to_string(top) +
                    " at top level\n";
  for (uint32_t i = tree.firstTop; i != kNoObject; i = tree.objects[i].nextSibling)
    ObjectText(tree, i, 0, options, out);
  return out;
}

std::string InspectJson(const XFileTree& tree) {
  ordered_json j;
  j["encoding"] = tree.encoding;
  j["floatBits"] = tree.floatBits;
  ordered_json objects = ordered_json::array();
  for (uint32_t i = tree.firstTop; i != kNoObject; i = tree.objects[i].nextSibling)
    objects.push_back(ObjectJson(tree, i));
  j["objects"] = std::move(objects);
  // Names and strings are 8-bit text of any code page; bytes that are not UTF-8 become U+FFFD.
  return j.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

std::string TemplatesText(const TemplateRegistry& registry) {
  std::string out;
  for (size_t i = 0; i < registry.Count(); ++i) AppendTemplateText(registry, registry.At(i), out);
  return out;
}

}  // namespace vorn
