// Materials and texture maps of the scene document, with their parameter blocks.
#include <climits>
#include <stdexcept>

#include "host/scene_document_loader.h"

namespace vorn::scene_doc {

template <typename T, typename Rec>
const T* Loader::TableRef(const json& v, const std::string& path, const json* table, const char* tableName,
                          std::map<std::string, std::pair<State, const T*>>& state, std::map<std::string, const T*>& ids,
                          Rec rec) {
  if (v.is_string()) {
    std::string id = v.get<std::string>();
    auto st = state.find(id);
    if (st != state.end()) {
      if (st->second.first == State::Busy) Fail(path, std::string("'") + id + "' contains itself");
      return st->second.second;
    }
    const json* body = table ? Find(*table, id.c_str()) : nullptr;
    if (!body) Fail(path, "no entry '" + id + "' in /" + tableName);
    state[id] = {State::Busy, nullptr};
    const T* r = (this->*rec)(*body, Key(std::string("/") + tableName, id), id);
    state[id] = {State::Done, r};
    ids[id] = r;
    return r;
  }
  return (this->*rec)(v, path, "");
}

const Material* Loader::MaterialRef(const json& v, const std::string& path) {
  return TableRef<Material>(v, path, materialsTable, "materials", materialState, d.materialIds, &Loader::MaterialRec);
}

const Texmap* Loader::TexmapRef(const json& v, const std::string& path) {
  if (v.is_null()) return nullptr;
  return TableRef<Texmap>(v, path, texmapsTable, "texmaps", texmapState, d.texmapIds, &Loader::TexmapRec);
}

int Loader::ParamTypeCode(const json& v, const std::string& path) {
  if (v.is_string()) {
    static const std::pair<const char*, int> names[] = {
        {"float", 0}, {"int", 1}, {"rgba", 2}, {"point3", 3}, {"bool", 4}, {"angle", 5}, {"percent", 6},
        {"worldUnits", 7}, {"string", 8}, {"filename", 9}, {"texmap", 15}, {"bitmap", 16}, {"frgba", 22}, {"point4", 23}};
    for (auto& [n, c] : names)
      if (v.get_ref<const std::string&>() == n) return c;
    Fail(path, "unknown parameter type '" + v.get<std::string>() + "'");
  }
  return int(Int(v, path, 0, 255));
}

const ParamBlock* Loader::Block(const json& v, const std::string& path) {
  CheckArray(v, path);
  auto b = std::make_unique<ParamBlock>();
  for (size_t i = 0; i < v.size(); ++i) {
    std::string ep = Key(path, i);
    CheckKeys(v[i], ep, {"name", "type", "value"});
    ParamEntry e;
    e.name = Str(Require(v[i], ep, "name"), Key(ep, "name"));
    int type = ParamTypeCode(Require(v[i], ep, "type"), Key(ep, "type"));
    e.value.type = type;
    const json* val = Find(v[i], "value");
    std::string vp = Key(ep, "value");
    if (val && !val->is_null()) {
      switch (type) {
        case 0: case 5: case 6: case 7: e.value.f[0] = Float(*val, vp); break;
        case 1: case 4:
          e.value.i = val->is_boolean() ? int(val->get<bool>()) : int(Int(*val, vp, INT32_MIN, INT32_MAX));
          e.value.f[0] = float(e.value.i);
          break;
        case 2: case 3: Floats(*val, vp, e.value.f, 3); break;
        case 22: case 23: Floats(*val, vp, e.value.f, 4); break;
        case 8: case 9: case 16: e.value.s = Str(*val, vp); break;
        case 15: e.value.map = TexmapRef(*val, vp); break;
        default: break;  // kept by name and type only
      }
    }
    b->params.push_back(std::move(e));
  }
  const ParamBlock* out = b.get();
  d.blocks.push_back(std::move(b));
  return out;
}

void Loader::Blocks(const json& v, const std::string& path, std::vector<const ParamBlock*>& out) {
  CheckArray(v, path);
  for (size_t i = 0; i < v.size(); ++i) out.push_back(Block(v[i], Key(path, i)));
}

int Loader::StandardSlot(const std::string& name) {
  static const char* names[] = {"ambient", "diffuse", "specular", "glossiness", "specularLevel", "selfIllumination",
                                "opacity", "filterColor", "bump", "reflection", "refraction", "displacement"};
  for (int i = 0; i < 12; ++i)
    if (name == names[i]) return i;
  return -1;
}

void Loader::MapSlot(const json& v, const std::string& path, Material& m, size_t slot) {
  if (m.maps.size() <= slot) {
    m.maps.resize(slot + 1, nullptr);
    m.mapOn.resize(slot + 1, 1);
  }
  if (v.is_object() && Find(v, "map") && !Find(v, "type")) {
    CheckKeys(v, path, {"map", "enabled"});
    m.maps[slot] = TexmapRef(v["map"], Key(path, "map"));
    if (const json* e = Find(v, "enabled")) m.mapOn[slot] = Bool(*e, Key(path, "enabled"));
    return;
  }
  m.maps[slot] = TexmapRef(v, path);
}

const Material* Loader::MaterialRec(const json& v, const std::string& path, const std::string& id) {
  DepthGuard guard(depth, path);
  CheckKeys(v, path, {"type", "class", "name", "interfaces", "ambient", "diffuse", "specular", "shininess",
                      "shininessStrength", "transparency", "selfIllum", "selfIllumColor", "maps", "subMaterials",
                      "paramBlocks", "effectFile", "effectBitmaps", "usesChannels"});
  auto mat = std::make_unique<Material>();
  Material& m = *mat;
  m.id = id;
  m.name = id;
  std::string type = "standard";
  if (const json* t = Find(v, "type")) type = Str(*t, Key(path, "type"));
  bool standard = type == "standard";
  if (standard) {
    m.cls = kStandardMtlClass;
    m.maps.assign(12, nullptr);
    m.mapOn.assign(12, 1);
  } else if (type == "multi") {
    m.cls = kMultiMtlClass;
  } else if (type == "shader") {
    m.cls = kShaderMtlClass;
    m.interfaces.push_back(kShaderInterface);
  } else if (type == "other") {
    if (!Find(v, "class")) Fail(path, "an 'other' material needs its 'class'");
  } else {
    Fail(Key(path, "type"), "unknown material type '" + type + "' (standard, multi, shader, other)");
  }
  if (const json* c = Find(v, "class")) m.cls = Cls(*c, Key(path, "class"));
  if (const json* n = Find(v, "name")) m.name = Str(*n, Key(path, "name"));
  if (const json* ifs = Find(v, "interfaces")) {
    std::string ip = Key(path, "interfaces");
    CheckArray(*ifs, ip);
    for (size_t i = 0; i < ifs->size(); ++i) m.interfaces.push_back(Cls((*ifs)[i], Key(ip, i)));
  }
  if (const json* c = Find(v, "ambient")) m.ambient = Col(*c, Key(path, "ambient"));
  if (const json* c = Find(v, "diffuse")) m.diffuse = Col(*c, Key(path, "diffuse"));
  if (const json* c = Find(v, "specular")) m.specular = Col(*c, Key(path, "specular"));
  if (const json* c = Find(v, "shininess")) m.shininess = Float(*c, Key(path, "shininess"));
  if (const json* c = Find(v, "shininessStrength")) m.shinStr = Float(*c, Key(path, "shininessStrength"));
  if (const json* c = Find(v, "transparency")) m.transparency = Float(*c, Key(path, "transparency"));
  if (const json* c = Find(v, "selfIllum")) m.selfIllum = Float(*c, Key(path, "selfIllum"));
  if (const json* c = Find(v, "selfIllumColor")) {
    m.selfIllumColor = Col(*c, Key(path, "selfIllumColor"));
    m.selfIllumColorOn = true;
  }
  if (const json* maps = Find(v, "maps")) {
    std::string mp = Key(path, "maps");
    if (maps->is_array()) {
      for (size_t i = 0; i < maps->size(); ++i) MapSlot((*maps)[i], Key(mp, i), m, i);
    } else {
      CheckObject(*maps, mp);
      for (auto it = maps->begin(); it != maps->end(); ++it) {
        std::string sp = Key(mp, it.key());
        int slot = StandardSlot(it.key());
        if (slot < 0) {
          size_t used = 0;
          try {
            slot = std::stoi(it.key(), &used);
          } catch (const std::exception&) {
            used = 0;
          }
          if (used != it.key().size() || slot < 0 || slot > 255)
            Fail(sp, "a map slot is a number (0 to 255) or a standard slot name such as 'diffuse'");
        }
        MapSlot(*it, sp, m, size_t(slot));
      }
    }
  }
  if (const json* subs = Find(v, "subMaterials")) {
    std::string sp = Key(path, "subMaterials");
    CheckArray(*subs, sp);
    for (size_t i = 0; i < subs->size(); ++i)
      m.subs.push_back((*subs)[i].is_null() ? nullptr : MaterialRef((*subs)[i], Key(sp, i)));
  }
  if (const json* b = Find(v, "paramBlocks")) Blocks(*b, Key(path, "paramBlocks"), m.blocks);
  if (const json* ef = Find(v, "effectFile")) {
    // The shader material keeps its effect file in a block after the parameter block.
    if (m.blocks.empty()) {
      auto empty = std::make_unique<ParamBlock>();
      m.blocks.push_back(empty.get());
      d.blocks.push_back(std::move(empty));
    }
    auto fb = std::make_unique<ParamBlock>();
    ParamEntry e;
    e.name = "effectFile";
    e.value.type = 9;
    e.value.s = Str(*ef, Key(path, "effectFile"));
    fb->params.push_back(std::move(e));
    m.blocks.push_back(fb.get());
    d.blocks.push_back(std::move(fb));
  }
  if (const json* eb = Find(v, "effectBitmaps")) {
    std::string ep = Key(path, "effectBitmaps");
    CheckArray(*eb, ep);
    m.interfaces.push_back(kEffectBitmapInterface);
    for (size_t i = 0; i < eb->size(); ++i) {
      const json& e = (*eb)[i];
      std::string bp = Key(ep, i);
      EffectBitmap b;
      if (!e.is_null()) {
        CheckKeys(e, bp, {"path", "channel"});
        b.present = true;
        b.path = Str(Require(e, bp, "path"), Key(bp, "path"));
        if (const json* c = Find(e, "channel")) b.channel = int(Int(*c, Key(bp, "channel"), -2, 99));
      }
      m.effectBitmaps.push_back(std::move(b));
    }
  }
  if (const json* u = Find(v, "usesChannels")) m.usesChannels = Bool(*u, Key(path, "usesChannels"));
  const Material* out = mat.get();
  d.materials.push_back(std::move(mat));
  return out;
}

int Loader::Tiling(const json& v, const std::string& path) {
  if (v.is_array()) {
    int flags = 0;
    for (size_t i = 0; i < v.size(); ++i) {
      std::string s = Str(v[i], Key(path, i));
      if (s == "uWrap") flags |= 1;
      else if (s == "vWrap") flags |= 2;
      else if (s == "uMirror") flags |= 4;
      else if (s == "vMirror") flags |= 8;
      else Fail(Key(path, i), "unknown tiling flag '" + s + "' (uWrap, vWrap, uMirror, vMirror)");
    }
    return flags;
  }
  return int(Int(v, path, 0, 15));
}

const Texmap* Loader::TexmapRec(const json& v, const std::string& path, const std::string& id) {
  DepthGuard guard(depth, path);
  CheckKeys(v, path, {"type", "class", "name", "file", "channel", "tiling", "uvTransform", "crop", "subMaps", "map",
                      "bump", "paramBlocks", "color", "color1", "color2", "color3", "position", "gradientType", "size"});
  auto tex = std::make_unique<Texmap>();
  Texmap& t = *tex;
  t.id = id;
  t.name = id;
  std::string type = Str(Require(v, path, "type"), Key(path, "type"));
  auto only = [&](std::initializer_list<const char*> keys, const char* what) {
    for (const char* k : keys)
      if (Find(v, k)) Fail(Key(path, k), std::string("'") + k + "' belongs to " + what + " maps");
  };
  if (type != "bitmap") only({"file", "crop"}, "bitmap");
  if (type != "normalmap") only({"map", "bump"}, "normalmap");
  if (type != "gradient") only({"color3", "position", "gradientType"}, "gradient");
  if (type != "noise") only({"size"}, "noise");
  if (type == "bitmap") {
    t.kind = Texmap::Kind::Bitmap;
    t.cls = kBitmapTexClass;
    t.color1 = {1, 1, 1, 1};
  } else if (type == "normalmap") {
    t.kind = Texmap::Kind::NormalMap;
    t.cls = kNormalMapClass;
  } else if (type == "vertexcolor") {
    t.kind = Texmap::Kind::VertexColor;
    t.cls = kVertexColorClass;
    t.channel = 0;
    t.color1 = {1, 1, 1, 1};
  } else if (type == "checker") {
    t.kind = Texmap::Kind::Checker;
    t.cls = kCheckerClass;
  } else if (type == "gradient") {
    t.kind = Texmap::Kind::Gradient;
    t.cls = kGradientClass;
    t.color1 = {1, 1, 1, 1};
    t.color2 = {0.5f, 0.5f, 0.5f, 1};
    t.color3 = {0, 0, 0, 1};
  } else if (type == "noise") {
    t.kind = Texmap::Kind::Noise;
    t.cls = kNoiseClass;
  } else if (type == "other") {
    t.kind = Texmap::Kind::Other;
    if (!Find(v, "class")) Fail(path, "an 'other' map needs its 'class'");
    t.color1 = {0.5f, 0.5f, 0.5f, 1};
  } else {
    Fail(Key(path, "type"), "unknown map type '" + type + "' (bitmap, normalmap, vertexcolor, checker, gradient, noise, other)");
  }
  if (const json* c = Find(v, "class")) t.cls = Cls(*c, Key(path, "class"));
  if (const json* n = Find(v, "name")) t.name = Str(*n, Key(path, "name"));
  if (const json* f = Find(v, "file")) t.file = Str(*f, Key(path, "file"));
  if (const json* c = Find(v, "channel")) t.channel = int(Int(*c, Key(path, "channel"), -2, 99));
  if (const json* c = Find(v, "tiling")) t.tiling = Tiling(*c, Key(path, "tiling"));
  if (const json* c = Find(v, "uvTransform")) t.uvTransform = Mat(*c, Key(path, "uvTransform"));
  if (const json* c = Find(v, "color")) {
    if (Find(v, "color1")) Fail(Key(path, "color"), "give either 'color' or 'color1'");
    t.color1 = ACol(*c, Key(path, "color"));
  }
  if (const json* c = Find(v, "color1")) t.color1 = ACol(*c, Key(path, "color1"));
  if (const json* c = Find(v, "color2")) t.color2 = ACol(*c, Key(path, "color2"));
  if (const json* c = Find(v, "color3")) t.color3 = ACol(*c, Key(path, "color3"));
  if (const json* c = Find(v, "position")) {
    t.position = Float(*c, Key(path, "position"));
    if (t.position <= 0 || t.position >= 1) Fail(Key(path, "position"), "the middle colour lies strictly between 0 and 1");
  }
  if (const json* c = Find(v, "gradientType")) {
    std::string g = Str(*c, Key(path, "gradientType"));
    if (g != "linear" && g != "radial") Fail(Key(path, "gradientType"), "gradientType is 'linear' or 'radial'");
    t.radial = g == "radial";
  }
  if (const json* c = Find(v, "size")) {
    t.size = Float(*c, Key(path, "size"));
    if (t.size <= 0) Fail(Key(path, "size"), "the noise size must be positive");
  }
  if (t.kind == Texmap::Kind::NormalMap) {
    t.subs.assign(2, nullptr);
    if (const json* m = Find(v, "map")) t.subs[0] = TexmapRef(*m, Key(path, "map"));
    if (const json* m = Find(v, "bump")) t.subs[1] = TexmapRef(*m, Key(path, "bump"));
  }
  if (const json* subs = Find(v, "subMaps")) {
    if (t.kind == Texmap::Kind::NormalMap) Fail(Key(path, "subMaps"), "a normalmap names its sub-maps 'map' and 'bump'");
    std::string sp = Key(path, "subMaps");
    CheckArray(*subs, sp);
    for (size_t i = 0; i < subs->size(); ++i) t.subs.push_back(TexmapRef((*subs)[i], Key(sp, i)));
  }
  const json* crop = Find(v, "crop");
  if (const json* b = Find(v, "paramBlocks")) {
    if (crop) Fail(Key(path, "crop"), "give the crop in 'paramBlocks' or in 'crop', not both");
    Blocks(*b, Key(path, "paramBlocks"), t.blocks);
  } else if (t.kind == Texmap::Kind::Bitmap) {
    // The bitmap's own block, in the host's order: crop u, v, width, height, jitter,
    // use jitter, apply, crop/place.
    float u = 0, vv = 0, w = 1, h = 1;
    int apply = 0, mode = 0;
    if (crop) {
      std::string cp = Key(path, "crop");
      CheckKeys(*crop, cp, {"u", "v", "width", "height", "apply", "mode"});
      if (const json* c = Find(*crop, "u")) u = Float(*c, Key(cp, "u"));
      if (const json* c = Find(*crop, "v")) vv = Float(*c, Key(cp, "v"));
      if (const json* c = Find(*crop, "width")) w = Float(*c, Key(cp, "width"));
      if (const json* c = Find(*crop, "height")) h = Float(*c, Key(cp, "height"));
      apply = 1;
      if (const json* c = Find(*crop, "apply")) apply = Bool(*c, Key(cp, "apply"));
      if (const json* c = Find(*crop, "mode")) {
        std::string s = Str(*c, Key(cp, "mode"));
        if (s != "crop" && s != "place") Fail(Key(cp, "mode"), "mode is 'crop' or 'place'");
        mode = s == "place";
      }
    }
    auto block = std::make_unique<ParamBlock>();
    auto add = [&](const char* name, int code, float f, int i) {
      ParamEntry e;
      e.name = name;
      e.value.type = code;
      e.value.f[0] = f;
      e.value.i = i;
      block->params.push_back(std::move(e));
    };
    add("clipu", 0, u, 0);
    add("clipv", 0, vv, 0);
    add("clipw", 0, w, 0);
    add("cliph", 0, h, 0);
    add("jitter", 0, 1.0f, 0);
    add("usejitter", 4, 0, 0);
    add("apply", 4, float(apply), apply);
    add("cropPlace", 1, float(mode), mode);
    ParamEntry fe;
    fe.name = "fileName";
    fe.value.type = 9;
    fe.value.s = t.file;
    block->params.push_back(std::move(fe));
    t.blocks.push_back(block.get());
    d.blocks.push_back(std::move(block));
  }
  const Texmap* out = tex.get();
  d.texmaps.push_back(std::move(tex));
  return out;
}

}  // namespace vorn::scene_doc
