// The save interface every writer of the .X output goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "xformat/guid.h"

namespace vorn {

enum class XFileFormat { Text, Binary, Compressed };

// The XFileType setting: 0 text, 1 binary, anything else compressed.
constexpr XFileFormat FormatFromXFileType(int xfileType) {
  return xfileType == 0 ? XFileFormat::Text
         : xfileType == 1 ? XFileFormat::Binary
                          : XFileFormat::Compressed;
}

inline constexpr uint32_t kFailedHandleId = 0xFFFFFFFFu;

// Names one data object given to a sink. The default value is "none", the top level as a
// parent. A failed AddObject returns a failed handle: false like none, but children given it
// as their parent are refused instead of landing at the top level.
struct XObjectHandle {
  uint32_t id = 0;
  explicit operator bool() const { return id != 0 && id != kFailedHandleId; }
  bool IsNone() const { return id == 0; }
  bool IsFailed() const { return id == kFailedHandleId; }
  static constexpr XObjectHandle Failed() { return {kFailedHandleId}; }
  friend bool operator==(XObjectHandle, XObjectHandle) = default;
};

class XFileSink {
 public:
  virtual ~XFileSink() = default;

  // A block of templates in the text ("xof 0303txt") or binary template encoding.
  virtual bool AddTemplates(const void* data, size_t size) = 0;
  // Chooses the output file and its encoding; nothing is written before Save.
  virtual bool Open(const std::string& path, XFileFormat format) = 0;
  // A data object as the last child of parent (top level when parent is none). name may be
  // null or empty; data is the object's bytes in the data encoding (null and 0 when memberless).
  virtual XObjectHandle AddObject(XObjectHandle parent, const Guid& templateId, const char* name,
                                  const void* data, size_t size) = 0;
  // AddObject for bytes the caller gives away: a sink that keeps objects until Save may keep
  // these as they are instead of copying them.
  virtual XObjectHandle AddObjectOwned(XObjectHandle parent, const Guid& templateId, const char* name,
                                       std::unique_ptr<uint8_t[]> data, size_t size) {
    return AddObject(parent, templateId, name, data.get(), size);
  }
  // A reference child of parent naming an object of the file.
  virtual bool AddReference(XObjectHandle parent, const char* name) = 0;
  // Encodes and writes the whole file.
  virtual bool Save() = 0;
  virtual void Release(XObjectHandle handle) = 0;
};

}  // namespace vorn
