#include "xformat/template_registry.h"

#include <algorithm>

namespace vorn {

namespace {

constexpr size_t kMaxTemplates = 4096;

uint64_t GuidKey(const Guid& g) {
  uint64_t hi = static_cast<uint64_t>(g.data1) << 32 | static_cast<uint64_t>(g.data2) << 16 | g.data3;
  uint64_t lo = 0;
  for (int i = 0; i < 8; ++i) lo = lo << 8 | g.data4[i];
  return hi ^ (lo * 0x9E3779B97F4A7C15ull);
}

}  // namespace

size_t PrimitiveSize(XMemberType type) {
  switch (type) {
    case XMemberType::Word:
    case XMemberType::Sword: return 2;
    case XMemberType::Dword:
    case XMemberType::Sdword:
    case XMemberType::Float: return 4;
    case XMemberType::Double: return 8;
    case XMemberType::Char:
    case XMemberType::Uchar:
    case XMemberType::Byte: return 1;
    case XMemberType::String:
    case XMemberType::Template: return 0;
  }
  return 0;
}

bool IsIntegerType(XMemberType type) {
  return type != XMemberType::Float && type != XMemberType::Double &&
         type != XMemberType::String && type != XMemberType::Template;
}

bool IsFloatType(XMemberType type) {
  return type == XMemberType::Float || type == XMemberType::Double;
}

int32_t TemplateRegistry::IndexOf(const Guid& guid) const {
  auto it = byGuid_.find(GuidKey(guid));
  if (it == byGuid_.end()) return -1;
  for (int32_t index : it->second)
    if (templates_[index].guid == guid) return index;
  return -1;
}

int32_t TemplateRegistry::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < templates_.size(); ++i)
    if (templates_[i].name == name) return static_cast<int32_t>(i);
  return -1;
}

int32_t TemplateRegistry::IndexOfAnyCase(std::string_view name) const {
  const int32_t exact = IndexOf(name);
  if (exact >= 0) return exact;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < templates_.size(); ++i) {
    const std::string& n = templates_[i].name;
    if (n.size() == name.size() &&
        std::equal(n.begin(), n.end(), name.begin(), [&](char a, char b) { return lower(a) == lower(b); }))
      return static_cast<int32_t>(i);
  }
  return -1;
}

const XTemplate* TemplateRegistry::Find(const Guid& guid) const {
  int32_t i = IndexOf(guid);
  return i < 0 ? nullptr : &templates_[i];
}

const XTemplate* TemplateRegistry::Find(std::string_view name) const {
  int32_t i = IndexOf(name);
  return i < 0 ? nullptr : &templates_[i];
}

bool TemplateRegistry::AllowsChild(const XTemplate& parent, const XTemplate& child) const {
  switch (parent.restriction) {
    case XRestriction::Closed: return false;
    case XRestriction::Open: return true;
    case XRestriction::Restricted:
      for (size_t i = 0; i < parent.allowedNames.size(); ++i) {
        if (parent.allowedNames[i] == child.name) return true;
        if (!parent.allowedGuids[i].IsZero() && parent.allowedGuids[i] == child.guid) return true;
      }
      return false;
  }
  return false;
}

bool TemplateRegistry::Insert(XTemplate&& tpl, std::string* error) {
  // The first definition of an identifier stays: files routinely repeat registered templates.
  if (IndexOf(tpl.guid) >= 0) return true;
  if (templates_.size() >= kMaxTemplates) {
    if (error) *error = "too many templates";
    return false;
  }
  const int32_t index = static_cast<int32_t>(templates_.size());
  byGuid_[GuidKey(tpl.guid)].push_back(index);
  templates_.push_back(std::move(tpl));
  return true;
}

}  // namespace vorn
