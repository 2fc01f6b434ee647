// Reads .X files of all encodings (text, binary, compressed text and binary) back into an
// object tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "xformat/template_registry.h"
#include "xformat/xfile_tree.h"

namespace vorn {

struct XReadOptions {
  // Templates known before the file's own definitions: null means the three standard blocks.
  const TemplateRegistry* templates = nullptr;
  uint32_t maxDepth = 256;  // object nesting
  // How the text encoding's FLOAT values become floats; null: correctly rounded. A reader that
  // must give another program's values to the bit passes that program's conversion. False
  // refuses the number. The text goes on past last up to readable, so that a conversion may read
  // whole machine words.
  bool (*textFloat)(const char* first, const char* last, const char* readable, float* value) = nullptr;
};

// False with a message naming the fault and where it is. Memory use is bounded by a small
// multiple of the input size, whatever counts the input claims.
bool ReadXFile(const uint8_t* data, size_t size, const XReadOptions& options, XFileTree* tree,
               std::string* error);
bool ReadXFileFromPath(const std::string& path, const XReadOptions& options, XFileTree* tree,
                       std::string* error);

}  // namespace vorn
