// An .X file as a tree of data objects: what the writer is given and what the reader rebuilds.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "xformat/guid.h"
#include "xformat/template_registry.h"

namespace vorn {

inline constexpr uint32_t kNoObject = 0xFFFFFFFFu;

// One data object or reference. Data bytes are in the data encoding (WORD 2 bytes, DWORD and
// FLOAT 4, STRING inline with its zero byte, nested structures inline).
struct XTreeObject {
  Guid templateId;
  int32_t templateIndex = -1;  // into XFileTree::templates; -1 for a reference
  std::string name;            // object name, or the referenced name
  bool isReference = false;
  bool hasObjectId = false;  // an instance GUID after the name (other exporters' files)
  Guid objectId;
  uint32_t line = 0;  // text encodings: the line of the object's '{', from 1; 0 for binary
  uint64_t dataOffset = 0;  // into XFileTree::data, or into its own block
  uint64_t dataSize = 0;
  int32_t block = -1;  // index into XFileTree::blocks when the bytes have a block of their own
  uint32_t parent = kNoObject;
  uint32_t firstChild = kNoObject;
  uint32_t lastChild = kNoObject;
  uint32_t nextSibling = kNoObject;
};

struct XFileTree {
  TemplateRegistry templates;
  std::vector<XTreeObject> objects;
  std::vector<uint8_t> data;
  // Big objects keep their bytes apart, so adding one neither copies the rest nor doubles `data`.
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  uint64_t blockBytes = 0;
  uint32_t firstTop = kNoObject;
  uint32_t lastTop = kNoObject;
  std::string encoding;  // "txt", "bin", "tzip" or "bzip" for a tree read from a file
  int floatBits = 32;

  // Appends an object as the last child of parent (kNoObject: top level); returns its index.
  uint32_t AddObject(uint32_t parent, int32_t templateIndex, std::string name, const void* bytes,
                     size_t size);
  // The same, keeping the given bytes as they are.
  uint32_t AdoptObject(uint32_t parent, int32_t templateIndex, std::string name, std::unique_ptr<uint8_t[]> bytes,
                       size_t size);
  uint32_t AddReference(uint32_t parent, std::string name);

  std::span<const uint8_t> Data(const XTreeObject& object) const {
    const uint8_t* base = object.block >= 0 ? blocks[static_cast<size_t>(object.block)].get() : data.data();
    return {base + object.dataOffset, static_cast<size_t>(object.dataSize)};
  }
  // Data bytes of all objects.
  uint64_t DataBytes() const { return data.size() + blockBytes; }
  const XTemplate* TemplateOf(const XTreeObject& object) const {
    return object.templateIndex < 0 ? nullptr : &templates.At(object.templateIndex);
  }
  uint32_t FirstChild(uint32_t parent) const {
    return parent == kNoObject ? firstTop : objects[parent].firstChild;
  }
};

// Every object with its template name and identifier, name and data bytes in hex, one line
// each, nested by indentation. Two trees with the same dump hold the same content.
std::string DumpTree(const XFileTree& tree);

}  // namespace vorn
