#include "xformat/xfile_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "xformat/data_walker.h"
#include "xformat/mszip.h"
#include "platform/phase_timings.h"
#include "xformat/tokenizer.h"

namespace vorn {

namespace {

// Past this many recorded faults the rest are counted, not kept.
constexpr size_t kMaxErrors = 100;

// Encoded bytes held before they go to the file.
constexpr size_t kFileWindow = 1 << 20;

struct FileDrain {
  platform::AtomicFileWriter* file;
  PhaseTimings* timings;
};

size_t ToFile(void* drain, const uint8_t* data, size_t size) {
  FileDrain& d = *static_cast<FileDrain*>(drain);
  PhaseScope timing(d.timings, Phase::Write);
  d.file->Write(data, size);
  return size;
}

// ": " and the system's words for errno e, or nothing without one.
std::string Reason(int e) { return e ? std::string(": ") + std::strerror(e) : std::string(); }

std::string Describe(const XTemplate& tpl, const char* name) {
  std::string text = tpl.name;
  if (name && *name) text += " '" + std::string(name) + "'";
  return text;
}

}  // namespace

bool XFileWriter::Fail(std::string message) {
  if (errors_.size() < kMaxErrors) {
    errors_.push_back(std::move(message));
  } else if (errors_.size() == kMaxErrors) {
    errors_.push_back("further faults not listed");
  }
  return false;
}

bool XFileWriter::Omit(std::string message) {
  if (omissions_.size() < kMaxErrors) {
    omissions_.push_back(std::move(message) + "; the reference is left out");
  } else if (omissions_.size() == kMaxErrors) {
    omissions_.push_back("further references left out, not listed");
  }
  return false;
}

bool XFileWriter::AddTemplates(const void* data, size_t size) {
  std::string error;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  XFileHeader header;
  if (!data || !ParseXFileHeader(bytes, size, &header, &error))
    return Fail("AddTemplates: " + (error.empty() ? std::string("no data") : error));
  bool ok;
  if (header.compressed) {
    std::vector<uint8_t> body;
    ok = MszipDecompress(bytes, size, &body, &error) &&
         tree_.templates.AddTokens(body.data(), body.size(), header, &error);
  } else {
    ok = tree_.templates.AddTokens(bytes + 16, size - 16, header, &error);
  }
  return ok ? true : Fail("AddTemplates: " + error);
}

bool XFileWriter::Open(const std::string& path, XFileFormat format) {
  if (path.empty()) return Fail("Open: empty path");
  const std::string folder = platform::DirectoryOf(path);
  struct stat st;
  if (!folder.empty()) {
    const bool found = ::stat(folder.c_str(), &st) == 0;
    // ENOTDIR: a plain file on the way, which is not missing
    if (!found && errno != ENOTDIR) return Fail("Open: folder of " + path + " does not exist");
    if (!found || !S_ISDIR(st.st_mode)) return Fail("Open: folder of " + path + " is not a folder");
  }
  // told now, before the export writes textures and effects beside a file it cannot write
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail("Open: " + path + " is a folder");
  path_ = path;
  format_ = format;
  opened_ = true;
  return true;
}

bool XFileWriter::ResolveParent(XObjectHandle parent, const char* what, uint32_t* index, std::string* why) {
  std::string fault;
  if (parent.IsNone()) {
    *index = kNoObject;
    return true;
  }
  const uint32_t i = parent.id - 1;
  if (parent.IsFailed()) {
    fault = std::string(what) + ": parent was not added (an earlier fault)";
  } else if (i >= tree_.objects.size() || tree_.objects[i].isReference) {
    fault = std::string(what) + ": unknown parent handle " + std::to_string(parent.id);
  } else if (released_[i]) {
    fault = std::string(what) + ": parent handle " + std::to_string(parent.id) + " already released";
  } else {
    *index = i;
    return true;
  }
  if (why) {
    *why = std::move(fault);
    return false;
  }
  return Fail(std::move(fault));
}

int32_t XFileWriter::Check(XObjectHandle parent, const Guid& templateId, const char* name, const void* data,
                           size_t size, uint32_t* p) {
  const int32_t t = tree_.templates.IndexOf(templateId);
  if (t < 0) {
    Fail("AddObject " + std::string(name ? name : "") + ": no template registered with identifier {" + FormatGuid(templateId) + "}");
    return -1;
  }
  const XTemplate& tpl = tree_.templates.At(t);
  if (!ResolveParent(parent, ("AddObject " + Describe(tpl, name)).c_str(), p)) return -1;
  if (*p != kNoObject) {
    const XTemplate& parentTpl = *tree_.TemplateOf(tree_.objects[*p]);
    if (!tree_.templates.AllowsChild(parentTpl, tpl)) {
      Fail(Describe(tpl, name) + ": " + parentTpl.name + " does not allow " + tpl.name + " children");
      return -1;
    }
  }
  if (!data && size) {
    Fail(Describe(tpl, name) + ": " + std::to_string(size) + " bytes announced without data");
    return -1;
  }
  std::string why;
  if (!ValidateData(tree_.templates, tpl, static_cast<const uint8_t*>(data), size, &why)) {
    Fail(Describe(tpl, name) + ": data does not fit the template: " + why);
    return -1;
  }
  return t;
}

XObjectHandle XFileWriter::AddObject(XObjectHandle parent, const Guid& templateId,
                                     const char* name, const void* data, size_t size) {
  PhaseScope timing(timings_, Phase::AddObjects);
  uint32_t p;
  const int32_t t = Check(parent, templateId, name, data, size, &p);
  if (t < 0) return XObjectHandle::Failed();
  const uint32_t index = tree_.AddObject(p, t, name ? name : "", data, size);
  released_.push_back(false);
  return XObjectHandle{index + 1};
}

XObjectHandle XFileWriter::AddObjectOwned(XObjectHandle parent, const Guid& templateId, const char* name,
                                          std::unique_ptr<uint8_t[]> data, size_t size) {
  PhaseScope timing(timings_, Phase::AddObjects);
  uint32_t p;
  const int32_t t = Check(parent, templateId, name, data.get(), size, &p);
  if (t < 0) return XObjectHandle::Failed();
  const uint32_t index = tree_.AdoptObject(p, t, name ? name : "", std::move(data), size);
  released_.push_back(false);
  return XObjectHandle{index + 1};
}

bool XFileWriter::AddReference(XObjectHandle parent, const char* name) {
  uint32_t p;
  std::string why;
  if (!ResolveParent(parent, "AddReference", &p, &why)) return Omit(std::move(why));
  if (p == kNoObject) return Omit("AddReference: a reference needs a parent object");
  const XTemplate& parentTpl = *tree_.TemplateOf(tree_.objects[p]);
  if (!name || !*name) return Omit("AddReference under " + parentTpl.name + ": no name given");
  if (parentTpl.restriction == XRestriction::Closed)
    return Omit("AddReference " + std::string(name) + ": " + parentTpl.name + " allows no children");
  tree_.AddReference(p, name);
  released_.push_back(true);
  return true;
}

void XFileWriter::Release(XObjectHandle handle) {
  if (handle && handle.id - 1 < released_.size()) released_[handle.id - 1] = true;
}

bool XFileWriter::ResolveReferences(std::string* error) {
  std::unordered_map<std::string_view, uint32_t> named;
  for (uint32_t i = 0; i < tree_.objects.size(); ++i) {
    const XTreeObject& o = tree_.objects[i];
    if (!o.isReference && !o.name.empty()) named.emplace(o.name, i);
  }
  for (const XTreeObject& o : tree_.objects) {
    if (!o.isReference) continue;
    auto it = named.find(o.name);
    const XTemplate& parentTpl = *tree_.TemplateOf(tree_.objects[o.parent]);
    if (it == named.end()) {
      // An animation-only file refers to the frames of the file that holds the hierarchy.
      if (parentTpl.name == "Animation") continue;
      *error = "reference under " + parentTpl.name + " names no object: " + o.name;
      return false;
    }
    const XTemplate& target = *tree_.TemplateOf(tree_.objects[it->second]);
    if (!tree_.templates.AllowsChild(parentTpl, target)) {
      *error = "reference " + o.name + ": " + parentTpl.name + " does not allow " + target.name + " children";
      return false;
    }
  }
  return true;
}

bool XFileWriter::Encode(ByteBuffer& out, std::string* error) {
  if (!ResolveReferences(error)) return false;
  return EncodeXFile(tree_, format_, options_, out, error);
}

bool XFileWriter::Save() {
  if (!opened_) return Fail("Save: no file opened");
  if (!errors_.empty()) {
    const std::string first = errors_.front();
    return Fail("Save: " + path_ + " not written after " + std::to_string(errors_.size()) + " fault(s), the first: " + first);
  }
  platform::AtomicFileWriter file(path_);
  if (!file.Ok()) return Fail("Save: cannot create a file beside " + path_ + Reason(file.Error()));
  // The encoding streams into the file a window at a time; a failure anywhere leaves the
  // temporary to be dropped and the old file as it was.
  ByteBuffer bytes;
  FileDrain drain{&file, timings_};
  bytes.SetDrain(kFileWindow, &ToFile, &drain);
  std::string error;
  PhaseTimings unmeasured;
  unmeasured.on = false;
  PhaseTimings& t = timings_ ? *timings_ : unmeasured;
  const double writtenBefore = t.seconds[static_cast<int>(Phase::Write)];
  {
    PhaseScope timing(timings_, Phase::Encode);
    if (!Encode(bytes, &error)) return Fail("Save: " + path_ + " not written: " + error);
    bytes.DrainAll();
  }
  // The file writes during the encoding are counted as writing, not encoding.
  t.seconds[static_cast<int>(Phase::Encode)] -= t.seconds[static_cast<int>(Phase::Write)] - writtenBefore;
  {
    PhaseScope timing(timings_, Phase::Write);
    if (!file.Commit()) return Fail("Save: writing " + path_ + " failed" + Reason(file.Error()));
  }
  if (t.on) {
    t.bytes += bytes.Total();
    t.treeBytes += tree_.DataBytes();
    t.Print();
  }
  return true;
}

}  // namespace vorn
