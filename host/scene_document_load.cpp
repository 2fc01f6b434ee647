// Reading a scene document: the whole document and its scene settings, and the entry points.
// Every value is checked where it is read, and every error names its place in the document as
// a JSON pointer.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/scene_document.h"
#include "host/scene_document_loader.h"

namespace vorn {

SceneError::SceneError(const std::string& where, const std::string& message, const std::string& file)
    : std::runtime_error((file.empty() ? "" : file + ": ") + (where.empty() ? "" : where + ": ") + message),
      where_(where), message_(message), file_(file) {}

namespace scene_doc {

void Loader::Scene(const json& v, const std::string& path) {
  CheckKeys(v, path, {"animationRange", "ticksPerFrame", "filePath", "directories", "patchRoutine"});
  if (const json* t = Find(v, "ticksPerFrame")) d.ticksPerFrame = int(Int(*t, Key(path, "ticksPerFrame"), 1, kTicksPerSecond));
  d.range = {0, 100 * d.ticksPerFrame};
  if (const json* r = Find(v, "animationRange")) {
    std::string p = Key(path, "animationRange");
    if (!r->is_array() || r->size() != 2) Fail(p, "expected [start, end] in ticks");
    d.range.start = TimeValue(Int((*r)[0], Key(p, 0), INT32_MIN, INT32_MAX));
    d.range.end = TimeValue(Int((*r)[1], Key(p, 1), INT32_MIN, INT32_MAX));
    if (d.range.end < d.range.start) Fail(p, "the range ends before it starts");
  }
  if (const json* f = Find(v, "filePath")) d.filePath = Str(*f, Key(path, "filePath"));
  if (const json* dirs = Find(v, "directories")) {
    std::string p = Key(path, "directories");
    CheckKeys(*dirs, p, {"7", "9", "32"});
    for (auto it = dirs->begin(); it != dirs->end(); ++it) d.dirs[std::stoi(it.key())] = Str(*it, Key(p, it.key()));
  }
  if (const json* pr = Find(v, "patchRoutine")) d.patchRoutine = Bool(*pr, Key(path, "patchRoutine"));
}

void Loader::Document(const json& doc) {
  CheckKeys(doc, "", {"format", "version", "scene", "root", "nodes", "objects", "materials", "texmaps"});
  if (const json* f = Find(doc, "format"); f && Str(*f, "/format") != "vorn-scene")
    Fail("/format", "this is not a vorn scene document (format '" + f->get<std::string>() + "')");
  if (const json* v = Find(doc, "version")) Int(*v, "/version", 1, 1);
  if (const json* s = Find(doc, "scene")) Scene(*s, "/scene");
  objectsTable = Find(doc, "objects");
  materialsTable = Find(doc, "materials");
  texmapsTable = Find(doc, "texmaps");
  if (objectsTable) CheckObject(*objectsTable, "/objects");
  if (materialsTable) CheckObject(*materialsTable, "/materials");
  if (texmapsTable) CheckObject(*texmapsTable, "/texmaps");
  d.root.name = "Scene Root";
  if (const json* r = Find(doc, "root")) {
    CheckKeys(*r, "/root", {"name", "transform"});
    if (const json* n = Find(*r, "name")) d.root.name = Str(*n, "/root/name");
    if (const json* t = Find(*r, "transform")) d.root.transform = Mat(*t, "/root/transform");
    d.root.world = true;
  }
  d.root.world = true;
  if (const json* n = Find(doc, "nodes")) Nodes(*n, "/nodes");
  for (PendingNode& p : pending) NodeBody(p);
  // Entries nobody refers to are still checked, and can be looked up by id.
  if (texmapsTable)
    for (auto it = texmapsTable->begin(); it != texmapsTable->end(); ++it) TexmapRef(json(it.key()), "/texmaps");
  if (materialsTable)
    for (auto it = materialsTable->begin(); it != materialsTable->end(); ++it) MaterialRef(json(it.key()), "/materials");
  if (objectsTable)
    for (auto it = objectsTable->begin(); it != objectsTable->end(); ++it) ObjectRef(json(it.key()), "/objects");
}

}  // namespace scene_doc

namespace {

using namespace scene_doc;

std::unique_ptr<SceneDocument> Load(const std::string& text, const std::string& baseDir, const std::string& docPath) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    // Syntax errors and numbers out of range alike; the library's message carries the
    // position, drop its internal prefix.
    std::string msg = e.what();
    size_t at = msg.find("] ");
    if (at != std::string::npos) msg = msg.substr(at + 2);
    throw SceneError("", "malformed JSON: " + msg);
  }
  auto data = std::make_unique<Data>();
  data->documentPath = docPath;
  Loader loader{*data, baseDir.empty() ? std::string(".") : baseDir};
  loader.Document(doc);
  return std::make_unique<SceneDocument>(std::move(data));
}

}  // namespace

std::unique_ptr<SceneDocument> LoadSceneDocumentFromString(const std::string& text, const std::string& baseDir) {
  return Load(text, baseDir, "");
}

std::unique_ptr<SceneDocument> LoadSceneDocument(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw SceneError("", "is a folder, not a scene document", path);
  // A device such as /dev/zero would be read until memory runs out; pipes are fine.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
    throw SceneError("", "is not a file", path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SceneError("", std::string("cannot open the scene document: ") + std::strerror(errno), path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw SceneError("", "cannot read the scene document", path);
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  try {
    return Load(text, dir, path);
  } catch (const SceneError& e) {
    throw SceneError(e.where(), e.message(), path);
  }
}

}  // namespace vorn
