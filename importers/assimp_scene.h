// Scenes in other formats (FBX, glTF, COLLADA, OBJ and whatever assimp reads) presented as a
// host scene. The assimp scene becomes imported-scene records and those the records of a scene
// document, so the exporter sees the same kind of host as with a .json document. Mapping and
// losses: docs/importers.md.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "importers/import_scene.h"
#include "host/scene_document.h"

struct aiScene;
namespace Assimp {
class Importer;
}

namespace vorn {

// The assimp scene as imported-scene records.
import::Scene ToImportedScene(const aiScene& scene);

// Reads a file as the importer does (its settings and post-processing steps), so that tests
// see sources as the importer sees them; null with the importer's error string set.
const aiScene* ReadAssimpFile(Assimp::Importer& importer, const std::string& path);

// True for files the scene document loader reads (.json); every other file goes to assimp.
bool IsSceneDocumentPath(const std::string& path);

// Loads a scene through assimp; throws std::runtime_error with assimp's message when it cannot
// read the file. Clips, when asked for, get one entry per animation.
std::unique_ptr<SceneDocument> LoadAssimpScene(const std::string& path, std::vector<ImportedClip>* clips = nullptr);

// The scene document or assimp, by the file's extension.
std::unique_ptr<SceneDocument> LoadScene(const std::string& path, std::vector<ImportedClip>* clips = nullptr);

// Settings overrides ("KEY=VALUE") that put the clips into the clip list, when the settings
// file at settingsPath holds no clip list of its own; none otherwise.
std::vector<std::string> ClipSettings(const std::vector<ImportedClip>& clips, const std::string& settingsPath);

}  // namespace vorn
