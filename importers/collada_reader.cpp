// Reads COLLADA into import::Scene: the document (from a .dae, or the root document of a .zae
// archive), its ids, the visual scene's node tree, materials and the public entry points. Every
// reference and index the file gives is checked before it is used; anything out of place throws
// with the file's name.
#include "importers/collada_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "importers/assimp_arithmetic.h"
#include "importers/uri_path.h"
#include "importers/collada_document.h"
#include "importers/skeleton_stand_in.h"
#include "platform/mapped_file.h"

namespace vorn {

namespace collada {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxDepth = 1000;             // node nesting, instance_node included
constexpr size_t kMaxNodes = size_t(1) << 18;  // nodes instanced over and over; bounds the skeleton stand-in too

bool IsSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A single number as an effect's <float> gives it: read up to the first character that is not
// part of a number ("0,2" is 0), 0 when there is none.
float LeadingFloat(const char* text) {
  const std::string_view t = Trim(text);
  float v = 0;
  ParseAssimpDecimal(t.data(), t.data() + t.size(), v);
  return v;
}

}  // namespace

Reader::Reader(std::string_view bytes, const std::string& path) : input_(bytes), path_(path) {}
Reader::~Reader() = default;

void Reader::Fail(const std::string& what) const { throw std::runtime_error(path_ + ": " + what); }

// ---- Document --------------------------------------------------------------------------

void Reader::Load() {
  std::string_view text = input_;
  if (LooksLikeZip(input_)) {
    archive_ = std::make_unique<ZipArchive>(input_, path_);
    // manifest.xml names the root document; without one, the first .dae in the archive.
    if (const ZipArchive::Entry* manifest = archive_->Find("manifest.xml")) {
      const std::string m = archive_->Read(*manifest);
      pugi::xml_document md;
      if (!md.load_buffer(m.data(), m.size())) Fail("manifest.xml is not XML");
      const pugi::xml_node root = md.child("dae_root");
      if (!root) Fail("manifest.xml names no <dae_root>");
      rootInArchive_ = std::string(Trim(root.text().get()));
      if (rootInArchive_.rfind("file://", 0) == 0) rootInArchive_.erase(0, 7);
      rootInArchive_ = PercentDecode(rootInArchive_);
    } else {
      for (const ZipArchive::Entry& e : archive_->Entries())
        if (e.name.size() > 4 && Lower(e.name.substr(e.name.size() - 4)) == ".dae") {
          rootInArchive_ = e.name;
          break;
        }
      if (rootInArchive_.empty()) Fail("the archive holds no .dae document");
    }
    const ZipArchive::Entry* entry = archive_->Find(rootInArchive_);
    if (!entry) Fail("the archive has no " + rootInArchive_ + ", which its manifest names");
    // Not zero-filled first: inflating writes every byte.
    if (entry->size > (uint64_t(1) << 32)) Fail("zip member " + entry->name + ": too large");
    archiveText_.reset(new char[size_t(entry->size)]);
    archive_->ReadInto(*entry, archiveText_.get());
    text = std::string_view(archiveText_.get(), size_t(entry->size));
  }
  constexpr unsigned kOptions = pugi::parse_default & ~pugi::parse_eol;
  // The inflated document is ours to parse in place; a mapped file is copied by the parser.
  const pugi::xml_parse_result r = archive_ ? doc_.load_buffer_inplace(archiveText_.get(), text.size(), kOptions)
                                            : doc_.load_buffer(text.data(), text.size(), kOptions);
  if (!r) {
    const size_t at = std::min(size_t(std::max<ptrdiff_t>(r.offset, 0)), text.size());
    const size_t line = size_t(std::count(text.begin(), text.begin() + ptrdiff_t(at), '\n')) + 1;
    Fail("line " + std::to_string(line) + ": not well-formed XML (" + r.description() + ")");
  }
  const pugi::xml_node root = doc_.child("COLLADA");
  if (!root) Fail("not a COLLADA document (no <COLLADA> element)");
  Index(root);
}

void Reader::Index(pugi::xml_node root) {
  // Every element with an id, iteratively: documents nest deeply at times.
  std::vector<pugi::xml_node> stack{root};
  while (!stack.empty()) {
    const pugi::xml_node n = stack.back();
    stack.pop_back();
    if (const pugi::xml_attribute id = n.attribute("id")) ids_.emplace(id.value(), n);
    if (std::strcmp(n.name(), "node") == 0) {
      if (const pugi::xml_attribute sid = n.attribute("sid")) sids_.emplace(sid.value(), n);
      if (const pugi::xml_attribute name = n.attribute("name")) nodeNames_.emplace(name.value(), n);
    }
    for (pugi::xml_node c = n.last_child(); c; c = c.previous_sibling())
      if (c.type() == pugi::node_element) stack.push_back(c);
  }
}

pugi::xml_node Reader::ById(std::string_view id) const {
  auto it = ids_.find(id);
  return it == ids_.end() ? pugi::xml_node() : it->second;
}

pugi::xml_node Reader::Resolve(std::string_view url, const char* what, const std::string& where) const {
  if (!url.empty() && url.front() == '#') url.remove_prefix(1);
  const pugi::xml_node n = ById(url);
  if (!n) Fail(where + ": refers to " + what + " \"" + std::string(url) + "\", which the file does not hold");
  return n;
}

void Reader::ParseFloats(const char* text, std::vector<float>& out, const std::string& where) const {
  out.clear();
  const char* p = text;
  const char* e = p + std::strlen(p);
  out.reserve(size_t(e - p) / 2 + 1);  // pages the numbers do not fill are never touched
  while (true) {
    while (p < e && IsSpace(*p)) ++p;
    if (p == e) break;
    float v = 0;
    const char* next = ParseAssimpDecimal(p, e, v, true);
    if (!next || (next < e && !IsSpace(*next)))
      Fail(where + ": \"" + std::string(p, size_t(std::min<ptrdiff_t>(e - p, 20))) + "\" is not a number");
    out.push_back(v);
    p = next;
  }
}

void Reader::ParseUints(const char* text, std::vector<uint32_t>& out, const std::string& where, bool append) const {
  if (!append) out.clear();
  const char* p = text;
  out.reserve(out.size() + std::strlen(p) / 2 + 1);
  while (true) {
    while (IsSpace(*p)) ++p;
    if (!*p) break;
    uint64_t v = 0;
    const char* b = p;
    while (*p >= '0' && *p <= '9' && p - b < 11) v = v * 10 + uint64_t(*p++ - '0');
    if (v > 0xffffffffu || (*p >= '0' && *p <= '9')) Fail(where + ": an index is too large");
    if (p == b || (*p && !IsSpace(*p))) {
      // -1 stands for "none" in skin joint indices.
      if (p == b && *p == '-' && p[1] == '1' && (!p[2] || IsSpace(p[2]))) {
        out.push_back(0xffffffffu);
        p += 2;
        continue;
      }
      Fail(where + ": \"" + std::string(b, strnlen(b, 20)) + "\" is not an index");
    }
    out.push_back(uint32_t(v));
  }
}

const Source& Reader::GetSource(std::string_view url, const std::string& where) {
  if (!url.empty() && url.front() == '#') url.remove_prefix(1);
  if (auto it = sources_.find(url); it != sources_.end()) return *it->second;
  const pugi::xml_node s = Resolve(url, "the source", where);
  const std::string sw = "source \"" + std::string(url) + "\"";
  if (std::strcmp(s.name(), "source") != 0) Fail(sw + " is a <" + s.name() + ">, not a <source>");
  auto source = std::make_unique<Source>();
  const pugi::xml_node accessor = s.child("technique_common").child("accessor");
  size_t arraySize = 0;
  if (const pugi::xml_node fa = s.child("float_array")) {
    ParseFloats(fa.child_value(), source->floats, sw);
    arraySize = source->floats.size();
  } else if (pugi::xml_node na = s.child("Name_array") ? s.child("Name_array") : s.child("IDREF_array")) {
    const char* p = na.child_value();
    while (*p) {
      while (IsSpace(*p)) ++p;
      const char* b = p;
      while (*p && !IsSpace(*p)) ++p;
      if (p > b) source->names.emplace_back(b, size_t(p - b));
    }
    arraySize = source->names.size();
  } else if (const pugi::xml_node ia = s.child("int_array")) {
    ParseFloats(ia.child_value(), source->floats, sw);
    arraySize = source->floats.size();
  }
  if (accessor) {
    source->count = accessor.attribute("count").as_ullong();
    source->stride = std::max<unsigned long long>(accessor.attribute("stride").as_ullong(1), 1);
    source->offset = accessor.attribute("offset").as_ullong();
    // Every parameter is read, named or not (as assimp reads them); a matrix parameter is 16 values.
    uint32_t k = 0;
    for (pugi::xml_node param : accessor.children("param")) {
      const std::string_view type = param.attribute("type").value();
      const uint32_t width = type == "float4x4" ? 16 : type == "float3x3" ? 9 : 1;
      for (uint32_t i = 0; i < width; ++i) source->picks.push_back(k++);
    }
    if (k == 0)
      for (uint32_t i = 0; i < source->stride; ++i) source->picks.push_back(i);
    if (k > source->stride) Fail(sw + ": more parameters than its stride");
  } else {
    source->count = arraySize;
    source->picks.push_back(0);
  }
  if (source->count > 0) {
    const size_t last = source->picks.empty() ? 0 : source->picks.back();
    if (source->stride > arraySize || source->offset > arraySize || source->count > arraySize ||
        (source->count - 1) * source->stride + last >= arraySize - source->offset)
      Fail(sw + ": its accessor reads past the end of its array (" + std::to_string(arraySize) + " values)");
  }
  return *sources_.emplace(url, std::move(source)).first->second;
}

// ---- Asset ------------------------------------------------------------------------------

void Reader::ReadAsset() {
  const pugi::xml_node asset = doc_.child("COLLADA").child("asset");
  if (const pugi::xml_attribute meter = asset.child("unit").attribute("meter")) {
    const std::string_view t = Trim(meter.value());
    float v = 0;
    if (ParseAssimpDecimal(t.data(), t.data() + t.size(), v, true) && v > 0) unit_ = v;
  }
  const std::string_view up = Trim(asset.child_value("up_axis"));
  if (up == "Z_UP") upAxis_ = 'Z';
  if (up == "X_UP") upAxis_ = 'X';
}

// ---- Materials --------------------------------------------------------------------------

int Reader::Embedded(const std::string& file) {
  if (!archive_) return -1;
  if (auto it = embedded_.find(file); it != embedded_.end()) return it->second;
  // Images inside the archive are found relative to the root document.
  std::string name = file;
  if (name.rfind("file://", 0) == 0) name.erase(0, 7);
  const size_t slash = rootInArchive_.find_last_of('/');
  const ZipArchive::Entry* entry =
      slash == std::string::npos ? archive_->Find(name) : archive_->Find(rootInArchive_.substr(0, slash + 1) + name);
  if (!entry) entry = archive_->Find(name);
  int index = -1;
  if (entry) {
    import::Texture tex;
    tex.fileName = file;
    const size_t dot = file.find_last_of('.');
    tex.formatHint = dot == std::string::npos ? "" : Lower(file.substr(dot + 1));
    if (entry->size > (uint64_t(1) << 31)) Fail("zip member " + entry->name + ": too large");
    tex.data.resize(size_t(entry->size));
    archive_->ReadInto(*entry, reinterpret_cast<char*>(tex.data.data()));
    scene_.textures.push_back(std::move(tex));
    index = int(scene_.textures.size() - 1);
  }
  embedded_.emplace(file, index);
  return index;
}

// A <texture texture="..."> through its sampler and surface to the image's file.
import::MaterialMap Reader::TextureMap(pugi::xml_node effect, pugi::xml_node texture) {
  import::MaterialMap map;
  std::string ref = texture.attribute("texture").value();
  const pugi::xml_node profile = effect.child("profile_COMMON");
  auto param = [&](const std::string& sid) {
    for (pugi::xml_node p : profile.children("newparam"))
      if (sid == p.attribute("sid").value()) return p;
    for (pugi::xml_node p : effect.children("newparam"))
      if (sid == p.attribute("sid").value()) return p;
    return pugi::xml_node();
  };
  pugi::xml_node image;
  for (int hops = 0; hops < 4 && !image; ++hops) {
    const pugi::xml_node p = param(ref);
    if (!p) {
      image = ById(ref);
      break;
    }
    if (const pugi::xml_node sampler = p.child("sampler2D")) {
      if (const pugi::xml_node inst = sampler.child("instance_image")) {
        std::string_view url = inst.attribute("url").value();
        if (!url.empty() && url.front() == '#') url.remove_prefix(1);
        image = ById(url);
        break;
      }
      ref = Trim(sampler.child_value("source"));
    } else if (const pugi::xml_node surface = p.child("surface")) {
      pugi::xml_node init = surface.child("init_from");
      image = ById(Trim(init.child_value()));
      break;
    } else {
      break;
    }
  }
  if (!image || std::strcmp(image.name(), "image") != 0) return map;  // an unresolved texture is no map
  pugi::xml_node init = image.child("init_from");
  std::string file = PercentDecode(std::string(Trim(init.child("ref") ? init.child_value("ref") : init.child_value())));
  if (file.empty()) return map;
  map.embedded = Embedded(file);
  if (map.embedded < 0) map.file = file.rfind("file://", 0) == 0 ? file.substr(7) : file;
  // The texture's coordinate set: a trailing number of its texcoord semantic until a binding says otherwise.
  const std::string texcoord = texture.attribute("texcoord").value();
  size_t d = texcoord.size();
  while (d > 0 && std::isdigit(static_cast<unsigned char>(texcoord[d - 1]))) --d;
  if (d < texcoord.size() && texcoord.size() - d < 4) map.uvSet = unsigned(std::stoul(texcoord.substr(d)));
  // Maya's wrap flags, where an exporter writes them.
  const pugi::xml_node maya = texture.child("extra").find_child_by_attribute("technique", "profile", "MAYA");
  auto flag = [&](const char* name) {
    const std::string_view v = Trim(maya.child_value(name));
    return v.empty() ? -1 : (v == "1" || v == "TRUE" || v == "true") ? 1 : 0;
  };
  if (maya) {
    const int wrap[2] = {flag("wrapU"), flag("wrapV")}, mirror[2] = {flag("mirrorU"), flag("mirrorV")};
    for (int k = 0; k < 2; ++k) {
      if (wrap[k] == 0) map.wrap[k] = import::Wrap::Clamp;
      if (mirror[k] == 1) map.wrap[k] = import::Wrap::Mirror;
    }
  }
  return map;
}

void Reader::LoadMaterials() {
  // Materials in the order of their ids, as assimp keeps them.
  std::vector<std::pair<std::string_view, pugi::xml_node>> all;
  for (pugi::xml_node lib : doc_.child("COLLADA").children("library_materials"))
    for (pugi::xml_node m : lib.children("material")) all.emplace_back(m.attribute("id").value(), m);
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  all.erase(std::unique(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first == b.first; }), all.end());
  for (const auto& [id, m] : all) {
    const std::string where = "material \"" + std::string(id) + "\"";
    import::Material mat;
    mat.name = m.attribute("name") ? m.attribute("name").value() : std::string(id);
    mat.hasDiffuse = mat.hasAmbient = mat.hasSpecular = mat.hasEmissive = mat.hasShininess = true;
    mat.diffuse = {0.6f, 0.6f, 0.6f, 1};
    mat.ambient = {0.1f, 0.1f, 0.1f, 1};
    mat.specular = {0.4f, 0.4f, 0.4f, 1};
    mat.emissive = {0, 0, 0, 1};
    mat.shininess = 10;
    std::string_view url = m.child("instance_effect").attribute("url").value();
    if (!url.empty() && url.front() == '#') url.remove_prefix(1);
    const pugi::xml_node effect = ById(url);
    pugi::xml_node shading;
    if (effect)
      for (pugi::xml_node t : effect.child("profile_COMMON").children("technique")) {
        for (const char* model : {"phong", "blinn", "lambert", "constant"})
          if ((shading = t.child(model))) break;
        if (shading) break;
      }
    float transparency = 1;
    import::Rgba transparent{1, 1, 1, 1};
    bool hasTransparency = false;
    std::string opaque = "A_ONE";
    for (pugi::xml_node e : shading.children()) {
      const std::string_view name = e.name();
      auto color = [&](import::Rgba& out, import::MaterialMap* map) {
        if (const pugi::xml_node c = e.child("color")) {
          std::vector<float> v;
          ParseFloats(c.child_value(), v, where + " " + std::string(name));
          for (size_t i = 0; i < 4 && i < v.size(); ++i) (&out.r)[i] = v[i];
        } else if (const pugi::xml_node t = e.child("texture")) {
          out = {1, 1, 1, 1};
          if (map) *map = TextureMap(effect, t);
        }
      };
      if (name == "emission") {
        color(mat.emissive, nullptr);
      } else if (name == "ambient") {
        color(mat.ambient, nullptr);
      } else if (name == "diffuse") {
        color(mat.diffuse, &mat.diffuseMap);
      } else if (name == "specular") {
        color(mat.specular, nullptr);
      } else if (name == "shininess") {
        mat.shininess = LeadingFloat(e.child_value("float"));
      } else if (name == "transparent") {
        hasTransparency = true;
        if (e.attribute("opaque")) opaque = e.attribute("opaque").value();
        color(transparent, nullptr);
      } else if (name == "transparency") {
        hasTransparency = true;
        transparency = LeadingFloat(e.child_value("float"));
      }
    }
    if (hasTransparency) {
      mat.hasOpacity = true;
      const float luminance = transparent.r * 0.212671f + transparent.g * 0.71516f + transparent.b * 0.072169f;
      if (opaque == "RGB_ZERO")
        mat.opacity = 1 - luminance * transparency;
      else if (opaque == "RGB_ONE")
        mat.opacity = luminance * transparency;
      else if (opaque == "A_ZERO")
        mat.opacity = 1 - transparent.a * transparency;
      else
        mat.opacity = transparent.a * transparency;
    }
    materialIds_.emplace(std::string(id), unsigned(scene_.materials.size()));
    scene_.materials.push_back(std::move(mat));
  }
}

unsigned Reader::DefaultMaterial() {
  if (defaultMaterial_ == SIZE_MAX) {
    import::Material mat;
    mat.name = "DefaultMaterial";
    mat.hasDiffuse = true;
    mat.diffuse = {0.6f, 0.6f, 0.6f, 1};
    defaultMaterial_ = scene_.materials.size();
    scene_.materials.push_back(std::move(mat));
  }
  return unsigned(defaultMaterial_);
}

unsigned Reader::MaterialIndex(const Bindings& bindings, std::string_view symbol) {
  const Binding* b = nullptr;
  if (auto it = bindings.find(symbol); it != bindings.end()) b = &it->second;
  // A primitive without a symbol takes the instance's only binding.
  if (!b && symbol.empty() && !bindings.empty()) b = &bindings.begin()->second;
  std::string_view target = b ? std::string_view(b->target) : symbol;
  if (!target.empty() && target.front() == '#') target.remove_prefix(1);
  auto found = materialIds_.find(target);
  // Unresolved: the file's first material, or a default one when it has none.
  if (found == materialIds_.end()) return scene_.materials.empty() ? DefaultMaterial() : 0;
  import::Material& mat = scene_.materials[found->second];
  // The binding says which coordinate set the texture's semantic stands for.
  if (b && mat.diffuseMap.Present()) {
    const pugi::xml_node m = ById(target);
    std::string_view url = m.child("instance_effect").attribute("url").value();
    if (!url.empty() && url.front() == '#') url.remove_prefix(1);
    for (const auto& [semantic, set] : b->texcoordSets) {
      const pugi::xml_node effect = ById(url);
      for (pugi::xml_node t : effect.child("profile_COMMON").children("technique"))
        for (pugi::xml_node shading : t.children())
          if (semantic == shading.child("diffuse").child("texture").attribute("texcoord").value()) mat.diffuseMap.uvSet = set;
    }
  }
  return found->second;
}

// ---- Nodes ------------------------------------------------------------------------------

std::string Reader::NodeName(pugi::xml_node node) const {
  if (const pugi::xml_attribute id = node.attribute("id")) return id.value();
  if (const pugi::xml_attribute name = node.attribute("name")) return name.value();
  return node.attribute("sid").value();
}

pugi::xml_node Reader::JointNode(std::string_view name) const {
  if (auto it = sids_.find(name); it != sids_.end()) return it->second;
  if (const pugi::xml_node n = ById(name); n && std::strcmp(n.name(), "node") == 0) return n;
  if (auto it = nodeNames_.find(name); it != nodeNames_.end()) return it->second;
  return pugi::xml_node();
}

import::Matrix4 Reader::NodeTransform(pugi::xml_node node, const std::map<pugi::xml_node_struct*, std::vector<float>>* override,
                                      const std::string& where) const {
  import::Matrix4 m;
  std::vector<float> v;
  for (pugi::xml_node e : node.children()) {
    const std::string_view name = e.name();
    size_t want = 0;
    if (name == "matrix") want = 16;
    else if (name == "translate" || name == "scale") want = 3;
    else if (name == "rotate") want = 4;
    else if (name == "lookat") want = 9;
    else continue;
    const std::vector<float>* values = nullptr;
    if (override)
      if (auto it = override->find(e.internal_object()); it != override->end()) values = &it->second;
    if (!values) {
      ParseFloats(e.child_value(), v, where + " <" + std::string(name) + ">");
      values = &v;
    }
    if (values->size() < want)
      Fail(where + ": <" + std::string(name) + "> holds " + std::to_string(values->size()) + " numbers, not " + std::to_string(want));
    const float* x = values->data();
    import::Matrix4 t;
    if (name == "matrix") {
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) t.m[r][c] = x[r * 4 + c];
    } else if (name == "translate") {
      t.m[0][3] = x[0];
      t.m[1][3] = x[1];
      t.m[2][3] = x[2];
    } else if (name == "scale") {
      t.m[0][0] = x[0];
      t.m[1][1] = x[1];
      t.m[2][2] = x[2];
    } else if (name == "rotate") {
      const float a = x[3] * 3.14159265358979323846f / 180.0f;  // the rounding assimp's matrices show
      const float c = std::cos(a), s = std::sin(a), k = 1 - c;
      const float ax = x[0], ay = x[1], az = x[2];
      t.m[0][0] = k * ax * ax + c;
      t.m[0][1] = k * ax * ay - s * az;
      t.m[0][2] = k * ax * az + s * ay;
      t.m[1][0] = k * ax * ay + s * az;
      t.m[1][1] = k * ay * ay + c;
      t.m[1][2] = k * ay * az - s * ax;
      t.m[2][0] = k * ax * az - s * ay;
      t.m[2][1] = k * ay * az + s * ax;
      t.m[2][2] = k * az * az + c;
    } else {  // lookat: eye, target, up
      const float eye[3] = {x[0], x[1], x[2]}, up[3] = {x[6], x[7], x[8]};
      float z[3] = {eye[0] - x[3], eye[1] - x[4], eye[2] - x[5]};
      auto normalize = [](float* a) {
        const float l = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
        if (l > 0)
          for (int i = 0; i < 3; ++i) a[i] /= l;
      };
      normalize(z);
      float xa[3] = {up[1] * z[2] - up[2] * z[1], up[2] * z[0] - up[0] * z[2], up[0] * z[1] - up[1] * z[0]};
      normalize(xa);
      const float ya[3] = {z[1] * xa[2] - z[2] * xa[1], z[2] * xa[0] - z[0] * xa[2], z[0] * xa[1] - z[1] * xa[0]};
      for (int r = 0; r < 3; ++r) {
        t.m[r][0] = xa[r];
        t.m[r][1] = ya[r];
        t.m[r][2] = z[r];
        t.m[r][3] = eye[r];
      }
    }
    m = import::Multiply(m, t);
  }
  return m;
}

void Reader::MakeNode(pugi::xml_node node, import::Node& out, int depth) {
  const std::string where = "node \"" + NodeName(node) + "\"";
  if (depth > kMaxDepth) Fail(where + ": nodes nest deeper than " + std::to_string(kMaxDepth) + " levels (a node instancing itself?)");
  if (++nodeCount_ > kMaxNodes) Fail("more than " + std::to_string(kMaxNodes) + " nodes once instanced nodes are copied");
  out.name = NodeName(node);
  out.transform = NodeTransform(node, nullptr, where);
  size_t children = 0;
  for (pugi::xml_node c : node.children()) {
    const std::string_view name = c.name();
    if (name == "node" || name == "instance_node") ++children;
  }
  out.children.resize(children);
  size_t k = 0;
  for (pugi::xml_node c : node.children()) {
    const std::string_view name = c.name();
    if (name == "instance_geometry" || name == "instance_controller") {
      const std::vector<unsigned>& meshes = InstanceMeshes(c, where);
      out.meshes.insert(out.meshes.end(), meshes.begin(), meshes.end());
    }
  }
  for (pugi::xml_node c : node.children())
    if (std::strcmp(c.name(), "node") == 0) MakeNode(c, out.children[k++], depth + 1);
  for (pugi::xml_node c : node.children())
    if (std::strcmp(c.name(), "instance_node") == 0) {
      const pugi::xml_node target = Resolve(c.attribute("url").value(), "the node", where);
      if (std::strcmp(target.name(), "node") != 0) Fail(where + ": <instance_node> refers to a <" + std::string(target.name()) + ">");
      MakeNode(target, out.children[k++], depth + 1);
    }
}

void Reader::BuildScene() {
  const pugi::xml_node root = doc_.child("COLLADA");
  std::string_view url = root.child("scene").child("instance_visual_scene").attribute("url").value();
  pugi::xml_node vs;
  if (!url.empty()) {
    vs = Resolve(url, "the visual scene", "<scene>");
  } else {
    vs = root.child("library_visual_scenes").child("visual_scene");
    if (!vs) Fail("the file has no visual scene");
  }
  scene_.root.name = vs.attribute("id") ? vs.attribute("id").value() : vs.attribute("name").value();
  MakeNode(vs, scene_.root, 0);
  scene_.root.name = vs.attribute("id") ? vs.attribute("id").value() : vs.attribute("name").value();
  // The unit and the up axis go into the root: Z up turns to Y up.
  import::Matrix4 axis;
  if (upAxis_ == 'Z') axis.m[1][1] = 0, axis.m[1][2] = 1, axis.m[2][1] = -1, axis.m[2][2] = 0;
  if (upAxis_ == 'X') axis.m[0][0] = 0, axis.m[0][1] = -1, axis.m[1][0] = 1, axis.m[1][1] = 0;
  import::Matrix4 scale;
  for (int i = 0; i < 3; ++i) scale.m[i][i] = unit_;
  if (unit_ != 1 || upAxis_ != 'Y') scene_.root.transform = import::Multiply(import::Multiply(scale, axis), scene_.root.transform);
}

import::Scene Reader::Run() {
  Load();
  ReadAsset();
  LoadMaterials();
  BuildScene();
  LoadAnimations();
  AddSkeletonStandIn(scene_);  // a scene of nodes alone, as assimp gives it
  return std::move(scene_);
}

}  // namespace collada

bool IsColladaPath(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".dae" || ext == ".zae";
}

import::Scene ReadColladaBytes(std::string_view bytes, const std::string& path) {
  return collada::Reader(bytes, path).Run();
}

import::Scene ReadCollada(const std::string& path) {
  platform::MappedFile file;
  if (!file.Open(path)) throw std::runtime_error(path + ": cannot read the file");
  return ReadColladaBytes(file.Bytes(), path);
}

}  // namespace vorn
