// The three .X encodings of an object tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xformat/byte_buffer.h"
#include "xformat/xfile_sink.h"
#include "xformat/xfile_tree.h"

namespace vorn {

struct XEncodeOptions {
  // Write the definition of every template the objects use (and those they nest) at the top,
  // so the file loads whatever the reading program registered.
  bool embedTemplates = true;
  // deflate level of the compressed encoding (1 to 12); 1 is several times faster than 6 for a few
  // per cent in size
  int compressionLevel = 1;
  bool chainBlocks = false;  // let MSZIP blocks refer into the previous block
  bool secondCore = true;    // the text encoding's long arrays on two cores (the same bytes)
};

// Encodes the whole tree, header included. False with a message when something cannot be
// represented (a non-finite float in the text encoding). With a drain on out the file streams
// through it as it is made.
bool EncodeXFile(const XFileTree& tree, XFileFormat format, const XEncodeOptions& options,
                 ByteBuffer& out, std::string* error);

// The templates used by the tree's objects and their nested members, in registry order
// (which puts every template after the ones it nests).
std::vector<int32_t> TemplatesUsed(const XFileTree& tree);

// The shortest text that reads back to the same float and that the DirectX text parser
// accepts: fixed notation with a decimal point ("1.0", "0.00001", "-0.0"). out holds 64 bytes.
size_t FormatFloat(float value, char* out);
// The same for doubles; out holds 400 bytes.
size_t FormatDouble(double value, char* out);

// An object name as the text encoding writes it: characters other than letters, digits, '_'
// and '-' become '_', and a name that would read as a number or keyword gets a leading '_'.
std::string TextName(std::string_view name);

// The names of one tree as its text file writes them. TextName is not one to one ("a b" and
// "a_b" both give "a_b"), and references bind by name, so within a file: a name TextName keeps
// stays as it is; a name it changes gets TextName's form, followed by "_2", "_3", ... when that
// form is already another name of the file. Names are taken in object order, so the result
// depends on the tree alone. The tree must outlive the map.
class TextNameMap {
 public:
  explicit TextNameMap(const XFileTree& tree);
  // How the name is written; the name itself when it needs no change.
  std::string_view operator()(std::string_view name) const;

 private:
  std::unordered_map<std::string_view, std::string> rewritten_;
};

// Binary token stream of the tree without the 16-byte header ("bin" and, inflated, "bzip").
// sized, when given, learns the stream's length before its first byte is written.
bool EncodeBinaryBody(const XFileTree& tree, bool embedTemplates, ByteBuffer& out, std::string* error,
                      const std::function<void(uint64_t)>& sized = {});
// With secondCore, long arrays of small structures are written on two cores; the bytes are the same.
bool EncodeText(const XFileTree& tree, bool embedTemplates, ByteBuffer& out, std::string* error,
                bool secondCore = true);

}  // namespace vorn
