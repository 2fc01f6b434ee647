// vorn_assimp.so: the assimp importer as a module the command-line host loads only for files
// that are not scene documents. assimp is big; loading it costs about 7 ms of relocations and
// page faults, paid twice when vorn restarts itself with huge pages.
#include <exception>
#include <string>
#include <vector>

#include "importers/assimp_scene.h"

extern "C" __attribute__((visibility("default"))) vorn::SceneDocument* VornLoadAssimpScene(
    const char* path, std::vector<vorn::ImportedClip>* clips, std::string* error) {
  try {
    return vorn::LoadAssimpScene(path, clips).release();
  } catch (const std::exception& e) {
    *error = e.what();
  } catch (...) {
    *error = std::string(path) + ": the importer failed";
  }
  return nullptr;
}
