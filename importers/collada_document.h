// The COLLADA reader's state, shared by the files that hold its parts: the document and its
// index of ids (collada_reader.cpp), meshes and skins (collada_geometry.cpp), animations
// (collada_animation.cpp). Internal to the reader.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "importers/import_scene.h"
#include "importers/zip_archive.h"

namespace vorn::collada {

// A <source>: its float or name array read through the accessor. Element i's k-th component
// (one per accessor parameter, 16 for a matrix) is at floats[offset + i * stride + picks[k]],
// all checked to lie inside the array.
struct Source {
  std::vector<float> floats;
  std::vector<std::string> names;
  size_t count = 0, stride = 1, offset = 0;
  std::vector<uint32_t> picks;
  float At(size_t i, size_t k) const { return floats[offset + i * stride + picks[k]]; }
  size_t Width() const { return picks.size(); }
};

// A material bound to a primitive's symbol on one instance.
struct Binding {
  std::string target;  // material id
  std::vector<std::pair<std::string, unsigned>> texcoordSets;  // texcoord semantic -> input set
};
using Bindings = std::map<std::string, Binding, std::less<>>;

// One animated value of a node's transform element, with its keys.
struct ChannelTarget {
  pugi::xml_node element;  // the <translate>, <rotate>, ... it drives
  int component = -1;      // -1: the whole element
  const Source* input = nullptr;
  const Source* output = nullptr;
};

class Reader {
 public:
  Reader(std::string_view bytes, const std::string& path);
  ~Reader();
  import::Scene Run();

  [[noreturn]] void Fail(const std::string& what) const;

  // ---- Document (collada_reader.cpp) -------------------------------------------------
  pugi::xml_node ById(std::string_view id) const;
  // The element a "#id" reference names; fails naming `what` and `where` when there is none.
  pugi::xml_node Resolve(std::string_view url, const char* what, const std::string& where) const;
  const Source& GetSource(std::string_view url, const std::string& where);
  void ParseFloats(const char* text, std::vector<float>& out, const std::string& where) const;
  // Appends to `out` with `append`, replaces its contents otherwise.
  void ParseUints(const char* text, std::vector<uint32_t>& out, const std::string& where, bool append = false) const;
  // The node's transform from its transform elements; `override`, when given, replaces the
  // values of the elements it holds (animation).
  import::Matrix4 NodeTransform(pugi::xml_node node, const std::map<pugi::xml_node_struct*, std::vector<float>>* override,
                                const std::string& where) const;
  std::string NodeName(pugi::xml_node node) const;
  // The node a skin joint names (sid first, then id, then name); null when none does.
  pugi::xml_node JointNode(std::string_view name) const;

  // ---- Geometry (collada_geometry.cpp) -----------------------------------------------
  // The meshes of an <instance_geometry> or <instance_controller>, made once per element and
  // material binding.
  const std::vector<unsigned>& InstanceMeshes(pugi::xml_node instance, const std::string& where);

  // ---- Animation (collada_animation.cpp) ---------------------------------------------
  void LoadAnimations();

  // ---- Materials (collada_reader.cpp) ------------------------------------------------
  unsigned MaterialIndex(const Bindings& bindings, std::string_view symbol);

 private:
  void Load();
  void Index(pugi::xml_node root);
  void ReadAsset();
  void LoadMaterials();
  void BuildScene();
  void MakeNode(pugi::xml_node node, import::Node& out, int depth);
  unsigned DefaultMaterial();
  import::MaterialMap TextureMap(pugi::xml_node effect, pugi::xml_node texture);
  int Embedded(const std::string& file);

  std::vector<unsigned> BuildMeshes(pugi::xml_node geometry, pugi::xml_node skin, const Bindings& bindings,
                                    const std::string& where);

  std::string_view input_;
  std::string path_;
  std::unique_ptr<char[]> archiveText_;  // the root document inflated from a .zae
  std::unique_ptr<ZipArchive> archive_;
  std::string rootInArchive_;
  pugi::xml_document doc_;
  std::unordered_map<std::string_view, pugi::xml_node> ids_;
  std::unordered_map<std::string_view, pugi::xml_node> sids_;  // nodes by sid (first one)
  std::unordered_map<std::string_view, pugi::xml_node> nodeNames_;
  std::unordered_map<std::string_view, std::unique_ptr<Source>> sources_;
  std::map<std::string, unsigned, std::less<>> materialIds_;
  std::map<std::string, int, std::less<>> embedded_;
  std::map<std::string, std::vector<unsigned>> instances_;
  size_t defaultMaterial_ = SIZE_MAX;
  size_t nodeCount_ = 0;
  float unit_ = 1;
  char upAxis_ = 'Y';
  import::Scene scene_;
  // Scratch reused across primitives.
  std::vector<uint32_t> ints_, counts_;
};

}  // namespace vorn::collada
