#include "xformat/xfile_tree.h"

#include <cstring>

namespace vorn {

namespace {

// Objects this big get a block of their own.
constexpr size_t kOwnBlockSize = 64 * 1024;

void Link(XFileTree& tree, uint32_t parent, uint32_t index) {
  XTreeObject& object = tree.objects[index];
  object.parent = parent;
  uint32_t& first = parent == kNoObject ? tree.firstTop : tree.objects[parent].firstChild;
  uint32_t& last = parent == kNoObject ? tree.lastTop : tree.objects[parent].lastChild;
  if (last == kNoObject) {
    first = index;
  } else {
    tree.objects[last].nextSibling = index;
  }
  last = index;
}

void DumpObject(const XFileTree& tree, uint32_t index, int depth, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  const XTreeObject& o = tree.objects[index];
  out.append(static_cast<size_t>(depth) * 2, ' ');
  if (o.isReference) {
    out += "{ " + o.name + " }\n";
    return;
  }
  const XTemplate* t = tree.TemplateOf(o);
  out += t ? t->name : "?";
  out += " <" + FormatGuid(o.templateId) + ">";
  if (!o.name.empty()) out += " " + o.name;
  out += " [" + std::to_string(o.dataSize) + "]";
  if (o.dataSize) out += ' ';
  for (uint8_t b : tree.Data(o)) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  out += '\n';
  for (uint32_t c = o.firstChild; c != kNoObject; c = tree.objects[c].nextSibling)
    DumpObject(tree, c, depth + 1, out);
}

}  // namespace

uint32_t XFileTree::AddObject(uint32_t parent, int32_t templateIndex, std::string name,
                              const void* bytes, size_t size) {
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  if (size >= kOwnBlockSize) {
    auto copy = std::make_unique_for_overwrite<uint8_t[]>(size);
    std::memcpy(copy.get(), b, size);
    return AdoptObject(parent, templateIndex, std::move(name), std::move(copy), size);
  }
  const uint32_t index = static_cast<uint32_t>(objects.size());
  XTreeObject& o = objects.emplace_back();
  o.templateIndex = templateIndex;
  if (templateIndex >= 0) o.templateId = templates.At(templateIndex).guid;
  o.name = std::move(name);
  o.dataOffset = data.size();
  o.dataSize = size;
  if (size) data.insert(data.end(), b, b + size);
  Link(*this, parent, index);
  return index;
}

uint32_t XFileTree::AdoptObject(uint32_t parent, int32_t templateIndex, std::string name,
                                std::unique_ptr<uint8_t[]> bytes, size_t size) {
  const uint32_t index = static_cast<uint32_t>(objects.size());
  XTreeObject& o = objects.emplace_back();
  o.templateIndex = templateIndex;
  if (templateIndex >= 0) o.templateId = templates.At(templateIndex).guid;
  o.name = std::move(name);
  o.dataSize = size;
  o.block = static_cast<int32_t>(blocks.size());
  blocks.push_back(std::move(bytes));
  blockBytes += size;
  Link(*this, parent, index);
  return index;
}

uint32_t XFileTree::AddReference(uint32_t parent, std::string name) {
  const uint32_t index = static_cast<uint32_t>(objects.size());
  XTreeObject& o = objects.emplace_back();
  o.isReference = true;
  o.name = std::move(name);
  o.dataOffset = data.size();
  Link(*this, parent, index);
  return index;
}

std::string DumpTree(const XFileTree& tree) {
  std::string out;
  for (uint32_t i = tree.firstTop; i != kNoObject; i = tree.objects[i].nextSibling)
    DumpObject(tree, i, 0, out);
  return out;
}

}  // namespace vorn
