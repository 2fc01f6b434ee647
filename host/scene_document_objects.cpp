// Objects of the scene document: meshes, patches and the other object kinds.
#include <climits>
#include <stdexcept>

#include "host/scene_document_loader.h"

namespace vorn::scene_doc {

const Object* Loader::ObjectRef(const json& v, const std::string& path) {
  if (v.is_string()) {
    std::string id = v.get<std::string>();
    auto st = objectState.find(id);
    if (st != objectState.end()) {
      if (st->second.first == State::Busy) Fail(path, "object '" + id + "' refers to itself through its inputs");
      return st->second.second;
    }
    const json* table = objectsTable ? Find(*objectsTable, id.c_str()) : nullptr;
    if (!table) Fail(path, "no object '" + id + "' in /objects");
    objectState[id] = {State::Busy, nullptr};
    const Object* o = ObjectRec(*table, Key("/objects", id), id);
    objectState[id] = {State::Done, o};
    d.objectIds[id] = o;
    return o;
  }
  return ObjectRec(v, path, "");
}

void Loader::Mesh(const json& v, const std::string& path, TriMesh& m) {
  CheckKeys(v, path, {"vertices", "faces", "smoothingGroups", "materialIds", "maps", "normals"});
  size_t nv = PointArray(Require(v, path, "vertices"), Key(path, "vertices"), 3, m.verts);
  const json& faces = Require(v, path, "faces");
  std::string fp = Key(path, "faces");
  TriFace* out = nullptr;
  if (faces.is_object()) {
    ReadIndices(
        faces, fp, 3, 0xffffffffLL,
        [&](size_t count) {
          m.faces.assign(count, TriFace{});
          out = m.faces.MutableData();
        },
        [&](size_t i, int k, uint32_t x) { out[i].v[k] = x; });
  } else {
    CheckArray(faces, fp);
    m.faces.resize(faces.size());
    out = m.faces.MutableData();
    for (size_t i = 0; i < faces.size(); ++i) {
      const json& e = faces[i];
      std::string ep = Key(fp, i);
      if (!e.is_array() || e.size() < 3 || e.size() > 5)
        Fail(ep, "expected [v0, v1, v2] with an optional smoothing-group mask and material id");
      TriFace& face = out[i];
      for (size_t k = 0; k < 3; ++k) face.v[k] = uint32_t(Int(e[k], Key(ep, k), 0, 0xffffffffLL));
      if (e.size() > 3) face.smGroup = Word(e[3], Key(ep, 3));
      if (e.size() > 4) face.matID = uint16_t(Int(e[4], Key(ep, 4), 0, 0xffff));
    }
  }
  for (size_t i = 0; i < m.faces.size(); ++i)
    for (int k = 0; k < 3; ++k)
      if (m.faces[i].v[k] >= nv)
        Fail(Key(fp, i), "vertex index " + std::to_string(m.faces[i].v[k]) + " out of range (" + std::to_string(nv) + " vertices)");
  if (const json* sg = Find(v, "smoothingGroups"))
    PerFace(*sg, Key(path, "smoothingGroups"), m.faces.size(), 0xffffffffLL,
            [&](size_t i, uint32_t x) { out[i].smGroup = x; });
  if (const json* mi = Find(v, "materialIds"))
    PerFace(*mi, Key(path, "materialIds"), m.faces.size(), 0xffff,
            [&](size_t i, uint32_t x) { out[i].matID = uint16_t(x); });
  if (const json* maps = Find(v, "maps")) {
    std::string mp = Key(path, "maps");
    CheckObject(*maps, mp);
    for (auto it = maps->begin(); it != maps->end(); ++it) {
      std::string cp = Key(mp, it.key());
      int ch = 0;
      try {
        size_t used = 0;
        ch = std::stoi(it.key(), &used);
        if (used != it.key().size()) throw std::invalid_argument("");
      } catch (const std::exception&) {
        Fail(cp, "map channels are named by number (-2 to 99)");
      }
      if (ch < TriMesh::kMinChannel || ch > TriMesh::kMaxChannel) Fail(cp, "map channel " + it.key() + " out of range (-2 to 99)");
      CheckKeys(*it, cp, {"vertices", "faces"});
      MapChannel& c = m.Map(ch);
      c.supported = true;
      size_t nmv = PointArray(Require(*it, cp, "vertices"), Key(cp, "vertices"), 1, c.verts);
      std::string mfp = Key(cp, "faces");
      size_t nmf = CornerIndices(Require(*it, cp, "faces"), mfp, c.faces, nmv, "map vertex", "map vertices");
      if (nmf != m.faces.size())
        Fail(mfp, std::to_string(nmf) + " map faces for " + std::to_string(m.faces.size()) + " faces");
    }
  }
  if (const json* nrm = Find(v, "normals")) {
    std::string np = Key(path, "normals");
    CheckKeys(*nrm, np, {"normals", "faces"});
    size_t nn = PointArray(Require(*nrm, np, "normals"), Key(np, "normals"), 3, m.specified.normals);
    CornerIndices(Require(*nrm, np, "faces"), Key(np, "faces"), m.specified.faces, nn, "normal", "normals");
    m.hasSpecifiedNormals = true;
  }
}

void Loader::Patch(const json& v, const std::string& path, Object& o) {
  CheckKeys(v, path, {"vertices", "patches", "steps"});
  size_t nv = PointArray(Require(v, path, "vertices"), Key(path, "vertices"), 3, o.patch.verts);
  const json& ps = Require(v, path, "patches");
  std::string pp = Key(path, "patches");
  CheckArray(ps, pp);
  o.patch.patches.resize(ps.size());
  for (size_t i = 0; i < ps.size(); ++i) {
    const json& e = ps[i];
    std::string ep = Key(pp, i);
    if (!e.is_array() || (e.size() != 3 && e.size() != 4)) Fail(ep, "a patch has 3 or 4 corner vertices");
    ::vorn::Patch& p = o.patch.patches[i];
    p.type = int(e.size());
    for (size_t k = 0; k < e.size(); ++k) {
      p.v[k] = uint32_t(Int(e[k], Key(ep, k), 0, 0xffffffffLL));
      if (p.v[k] >= nv) Fail(Key(ep, k), "vertex index " + std::to_string(p.v[k]) + " out of range (" + std::to_string(nv) + " vertices)");
    }
  }
  if (const json* s = Find(v, "steps")) o.patchSteps = int(Int(*s, Key(path, "steps"), 1, 64));
  const uint64_t triangles = uint64_t(o.patch.patches.size()) * uint64_t(o.patchSteps) * uint64_t(o.patchSteps) * 2;
  if (triangles > uint64_t(kMaxElements))
    Fail(path, "tessellation would give " + std::to_string(triangles) + " triangles, too many");
}

const Object* Loader::ObjectRec(const json& v, const std::string& path, const std::string& id) {
  DepthGuard guard(depth, path);
  CheckObject(v, path);
  auto obj = std::make_unique<Object>();
  Object& o = *obj;
  o.id = id;
  std::string type = Str(Require(v, path, "type"), Key(path, "type"));
  std::initializer_list<const char*> common = {"type", "class", "super", "points", "convertible"};
  auto keys = [&](std::initializer_list<const char*> extra) {
    std::vector<const char*> all(common);
    all.insert(all.end(), extra);
    for (auto it = v.begin(); it != v.end(); ++it)
      if (std::find_if(all.begin(), all.end(), [&](const char* a) { return it.key() == a; }) == all.end())
        Fail(Key(path, it.key()), "unknown key '" + it.key() + "' for a " + type + " object");
  };
  if (type == "mesh") {
    keys({"mesh"});
    o.kind = Object::Kind::Mesh;
    o.cls = kTriObjectClass;
    o.super = kGeomObjectSuper;
    o.hasMesh = true;
    Mesh(Require(v, path, "mesh"), Key(path, "mesh"), o.mesh);
  } else if (type == "patch") {
    keys({"patch"});
    o.kind = Object::Kind::Patch;
    o.cls = {0x1030, 0};
    o.super = kGeomObjectSuper;
    Patch(Require(v, path, "patch"), Key(path, "patch"), o);
  } else if (type == "shape") {
    keys({"mesh"});
    o.kind = Object::Kind::Shape;
    o.cls = {0xa, 0};
    o.super = kShapeSuper;
  } else if (type == "helper" || type == "dummy") {
    keys({});
    o.kind = Object::Kind::Helper;
    o.cls = type == "dummy" ? ClassID{0x876234, 0} : ClassID{0x2008, 0};
    o.super = kHelperSuper;
  } else if (type == "bone" || type == "biped") {
    keys({"mesh", "length", "width"});
    o.kind = Object::Kind::Geometry;
    o.cls = type == "bone" ? ClassID{0x28bf6e8d, 0x2ecca840} : ClassID{0x9125, 0};
    o.super = kGeomObjectSuper;
    if (!Find(v, "mesh")) {
      float len = 10, width = 2;
      if (const json* l = Find(v, "length")) len = Float(*l, Key(path, "length"));
      if (const json* w = Find(v, "width")) width = Float(*w, Key(path, "width"));
      MakeBoneMesh(len, width, o.mesh);
      o.hasMesh = true;
    }
  } else if (type == "geometry") {
    keys({"mesh"});
    o.kind = Object::Kind::Geometry;
    o.super = kGeomObjectSuper;
    if (!Find(v, "class")) Fail(path, "a geometry object needs its 'class'");
  } else if (type == "derived") {
    keys({"input", "modifiers"});
    o.kind = Object::Kind::Derived;
    o.cls = {0xd, 0};
    o.super = kGenDerivObjectSuper;
  } else if (type == "other") {
    keys({"mesh"});
    o.kind = Object::Kind::Other;
    if (!Find(v, "class") || !Find(v, "super")) Fail(path, "an 'other' object needs its 'class' and 'super'");
  } else {
    Fail(Key(path, "type"), "unknown object type '" + type + "' (mesh, patch, shape, helper, dummy, bone, biped, geometry, derived, other)");
  }
  if (const json* c = Find(v, "class")) o.cls = Cls(*c, Key(path, "class"));
  if (const json* s = Find(v, "super")) o.super = Word(*s, Key(path, "super"));
  if (o.kind != Object::Kind::Mesh)
    if (const json* m = Find(v, "mesh")) {
      Mesh(*m, Key(path, "mesh"), o.mesh);
      o.hasMesh = true;
    }
  if (const json* c = Find(v, "convertible")) o.convertible = Bool(*c, Key(path, "convertible")) ? 1 : 0;
  if (o.kind == Object::Kind::Derived) {
    o.input = ObjectRef(Require(v, path, "input"), Key(path, "input"));
    if (const json* mods = Find(v, "modifiers")) {
      std::string mp = Key(path, "modifiers");
      CheckArray(*mods, mp);
      size_t points = BasePointCount(*o.input);
      for (size_t i = 0; i < mods->size(); ++i) {
        if ((*mods)[i].is_null()) {
          o.modifiers.push_back(nullptr);  // an absent modifier slot
          continue;
        }
        o.modifiers.push_back(ModifierRec((*mods)[i], Key(mp, i), points));
      }
    }
  }
  if (const json* pts = Find(v, "points")) {
    std::vector<float> f;
    size_t n = FloatArray(*pts, Key(path, "points"), 3, 3, f);
    ToPoints(f, n, o.points);
    o.explicitPoints = true;
  }
  const Object* out = obj.get();
  d.objects.push_back(std::move(obj));
  return out;
}

}  // namespace vorn::scene_doc
