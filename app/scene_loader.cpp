#include "app/scene_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "app/plugin_loader.h"
#include "importers/bvh_reader.h"
#include "importers/collada_reader.h"
#include "importers/gltf_reader.h"
#include "importers/import_scene.h"
#include "importers/x_reader.h"

namespace vorn::app {

namespace {

using LoadFn = SceneDocument* (*)(const char*, std::vector<ImportedClip>*, std::string*);

LoadFn ImporterEntry() {
  const std::string plugin = DefaultPluginPath();
  const std::string path = plugin.substr(0, plugin.find_last_of('/') + 1) + "vorn_assimp.so";
  // Stays loaded: the scene it makes runs its code until exit.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw std::runtime_error(std::string("cannot load the importer module: ") + dlerror());
  void* entry = dlsym(handle, "VornLoadAssimpScene");
  if (!entry) throw std::runtime_error(path + ": the module does not export VornLoadAssimpScene");
  return reinterpret_cast<LoadFn>(entry);
}

// The host's records of what a reader made, its notes told to the user first.
std::unique_ptr<SceneDocument> Built(const import::Scene& scene, const std::string& path,
                                     std::vector<ImportedClip>* clips) {
  for (const std::string& note : scene.notes) std::fprintf(stderr, "vorn: %s: %s\n", path.c_str(), note.c_str());
  return BuildImportedScene(scene, path, clips);
}

}  // namespace

std::unique_ptr<SceneDocument> LoadScene(const std::string& path, std::vector<ImportedClip>* clips, bool forceAssimp) {
  if (clips) clips->clear();
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::is_directory(status)) throw std::runtime_error(path + ": a folder, not a scene file");
  // A device (/dev/zero) would be read until memory runs out; a pipe ends.
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
      !std::filesystem::is_fifo(status))
    throw std::runtime_error(path + ": not a regular file");
  if (IsSceneDocumentPath(path)) return LoadSceneDocument(path);
  // glTF without assimp: the reader costs less than loading the module alone.
  // glTF 1.x and compressed meshes are assimp's to read; if it cannot either, both say why.
  std::string notRead;
  if (!forceAssimp && IsGltfPath(path)) {
    try {
      return Built(ReadGltf(path), path, clips);
    } catch (const GltfNotRead& e) {
      notRead = e.what();
    }
  }
  // Read without assimp, which costs more than the export on motion capture.
  if (!forceAssimp && IsBvhPath(path)) return Built(ReadBvh(path), path, clips);
  // .X through the format library's reader: loading assimp alone costs more than the whole read.
  if (!forceAssimp && IsXPath(path)) return Built(ReadX(path), path, clips);
  // COLLADA too: loading the module and assimp's import cost several times our whole export.
  if (!forceAssimp && IsColladaPath(path)) return Built(ReadCollada(path), path, clips);
  std::string error;
  LoadFn load;
  try {
    load = ImporterEntry();
  } catch (const std::exception& e) {
    if (notRead.empty()) throw;
    throw std::runtime_error(notRead + "; " + e.what());
  }
  std::unique_ptr<SceneDocument> scene(load(path.c_str(), clips, &error));
  if (!scene) throw std::runtime_error(notRead.empty() ? error : notRead + "; assimp: " + error);
  return scene;
}

}  // namespace vorn::app
