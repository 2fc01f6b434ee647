// Our XFileSink: keeps the object tree in memory, checks every object against its template,
// and on Save encodes it and replaces the file atomically.
#pragma once

#include <string>
#include <vector>

#include "xformat/xfile_encoders.h"
#include "xformat/xfile_sink.h"
#include "xformat/xfile_tree.h"

namespace vorn {

struct PhaseTimings;

class XFileWriter final : public XFileSink {
 public:
  XFileWriter() = default;

  bool AddTemplates(const void* data, size_t size) override;
  bool Open(const std::string& path, XFileFormat format) override;
  // A failed handle (see XObjectHandle) when the template is unknown, the bytes do not fit it,
  // the parent is unusable or does not allow the child; the fault is recorded.
  XObjectHandle AddObject(XObjectHandle parent, const Guid& templateId, const char* name,
                          const void* data, size_t size) override;
  XObjectHandle AddObjectOwned(XObjectHandle parent, const Guid& templateId, const char* name,
                               std::unique_ptr<uint8_t[]> data, size_t size) override;
  // False when the reference cannot be made (no name, no usable parent, a parent that takes
  // no children): it is left out and noted in Omissions(). The file stays well formed without
  // it, so this alone does not stop Save.
  bool AddReference(XObjectHandle parent, const char* name) override;
  // Fails, writing nothing, when any fault was recorded before, when a reference names no
  // object, or when the file cannot be written; an existing file then stays as it was.
  bool Save() override;
  void Release(XObjectHandle handle) override;

  // Every fault in the order it happened, and the first of them ("" when none).
  const std::vector<std::string>& Errors() const { return errors_; }
  std::string Error() const { return errors_.empty() ? std::string() : errors_.front(); }
  // The references that were left out, in order.
  const std::vector<std::string>& Omissions() const { return omissions_; }

  void SetEncodeOptions(const XEncodeOptions& options) { options_ = options; }
  // Adds the time spent adding, encoding and writing into the record, which Save prints when it
  // is on; none measured without one.
  void SetTimings(PhaseTimings* timings) { timings_ = timings; }
  const XFileTree& Tree() const { return tree_; }
  const std::string& Path() const { return path_; }
  XFileFormat Format() const { return format_; }

  // The encoded file as Save would write it.
  bool Encode(ByteBuffer& out, std::string* error);

 private:
  bool Fail(std::string message);
  bool Omit(std::string message);
  // The object index of a parent handle (kNoObject for none); false when unusable, with the
  // fault recorded, or put into *why when given.
  bool ResolveParent(XObjectHandle parent, const char* what, uint32_t* index, std::string* why = nullptr);
  bool ResolveReferences(std::string* error);
  // The checks of AddObject; the template index, or -1 with the fault recorded.
  int32_t Check(XObjectHandle parent, const Guid& templateId, const char* name, const void* data, size_t size,
                uint32_t* p);

  XFileTree tree_;
  std::vector<bool> released_;
  std::string path_;
  XFileFormat format_ = XFileFormat::Binary;
  bool opened_ = false;
  XEncodeOptions options_;
  std::vector<std::string> errors_;
  std::vector<std::string> omissions_;
  PhaseTimings* timings_ = nullptr;
};

}  // namespace vorn
