// Modifiers of the scene document: skin and physique with their bones and weights, and the
// others.
#include <climits>

#include "host/scene_document_loader.h"

namespace vorn::scene_doc {

Matrix3 Loader::OptMat(const json& v, const std::string& path, const char* key, bool& given) {
  const json* m = Find(v, key);
  given = m && !m->is_null();
  return given ? Mat(*m, Key(path, key)) : Matrix3{};
}

// Weights are per point of the object below: a list of another length is a slip.
void Loader::CheckWeightedPoints(const std::string& path, size_t listed, size_t points) {
  if (points && listed && listed != points)
    Fail(path, std::to_string(listed) + (listed == 1 ? " point" : " points") + " weighted, the object has " +
                   std::to_string(points));
}

const Modifier* Loader::ModifierRec(const json& v, const std::string& path, size_t points) {
  CheckObject(v, path);
  auto mod = std::make_unique<Modifier>();
  Modifier& m = *mod;
  std::string type = Str(Require(v, path, "type"), Key(path, "type"));
  if (type == "skin") {
    CheckKeys(v, path, {"type", "class", "flags", "enabled", "bones", "nodeInitTM", "nodeInitObjectTM", "weights"});
    m.kind = Modifier::Kind::Skin;
    m.cls = kSkinClass;
    m.skin = std::make_unique<SkinData>();
    Skin(v, path, *m.skin);
    CheckWeightedPoints(Key(path, "weights"), m.skin->context.offsets.size() - 1, points);
  } else if (type == "physique") {
    CheckKeys(v, path, {"type", "class", "flags", "enabled", "bones", "nodeInitTM", "vertices"});
    m.kind = Modifier::Kind::Physique;
    m.cls = kPhysiqueClass;
    m.physique = std::make_unique<PhysiqueData>();
    Physique(v, path, *m.physique);
    CheckWeightedPoints(Key(path, "vertices"), m.physique->vertices.size(), points);
  } else if (type == "xform") {
    CheckKeys(v, path, {"type", "class", "flags", "enabled", "matrix"});
    m.kind = Modifier::Kind::Xform;
    m.cls = {0x25215824, 0};
    m.xform = Mat(Require(v, path, "matrix"), Key(path, "matrix"));
  } else if (type == "edit") {
    CheckKeys(v, path, {"type", "class", "flags", "enabled", "moves"});
    m.kind = Modifier::Kind::Edit;
    m.cls = {0x50, 0};
    const json& mv = Require(v, path, "moves");
    std::string mp = Key(path, "moves");
    CheckArray(mv, mp);
    for (size_t i = 0; i < mv.size(); ++i) {
      const json& e = mv[i];
      std::string ep = Key(mp, i);
      if (!e.is_array() || e.size() != 4) Fail(ep, "expected [point, dx, dy, dz]");
      uint32_t p = uint32_t(Int(e[0], Key(ep, 0), 0, 0xffffffffLL));
      if (p >= points) Fail(Key(ep, 0), "point index " + std::to_string(p) + " out of range (" + std::to_string(points) + " points)");
      m.moves.emplace_back(p, Point3{Float(e[1], Key(ep, 1)), Float(e[2], Key(ep, 2)), Float(e[3], Key(ep, 3))});
    }
  } else if (type == "other") {
    CheckKeys(v, path, {"type", "class", "flags", "enabled"});
    if (!Find(v, "class")) Fail(path, "an 'other' modifier needs its 'class'");
  } else {
    Fail(Key(path, "type"), "unknown modifier type '" + type + "' (skin, physique, xform, edit, other)");
  }
  if (const json* c = Find(v, "class")) m.cls = Cls(*c, Key(path, "class"));
  if (const json* f = Find(v, "flags")) m.flags = Word(*f, Key(path, "flags"));
  if (const json* e = Find(v, "enabled")) {
    if (Bool(*e, Key(path, "enabled"))) m.flags &= ~kModifierDisabledFlag;
    else m.flags |= kModifierDisabledFlag;
  }
  const Modifier* out = mod.get();
  d.modifiers.push_back(std::move(mod));
  return out;
}

void Loader::Skin(const json& v, const std::string& path, SkinData& s) {
  s.nodeInit = OptMat(v, path, "nodeInitTM", s.hasNodeInit);
  s.nodeInitObject = OptMat(v, path, "nodeInitObjectTM", s.hasNodeInitObject);
  if (const json* bones = Find(v, "bones")) {
    std::string bp = Key(path, "bones");
    CheckArray(*bones, bp);
    for (size_t i = 0; i < bones->size(); ++i) {
      const json& b = (*bones)[i];
      std::string ep = Key(bp, i);
      SkinData::BoneEntry bone;
      if (b.is_object()) {
        CheckKeys(b, ep, {"node", "initTM", "initObjectTM"});
        bone.node = NodeRef(Require(b, ep, "node"), Key(ep, "node"));
        bone.init = OptMat(b, ep, "initTM", bone.hasInit);
        bone.initObject = OptMat(b, ep, "initObjectTM", bone.hasInitObject);
      } else if (!b.is_null()) {
        bone.node = NodeRef(b, ep);
      }
      s.bones.push_back(bone);
    }
  }
  SkinContextData& c = s.context;
  c.offsets.assign(1, 0);
  const json* w = Find(v, "weights");
  if (!w) return;
  std::string wp = Key(path, "weights");
  const int64_t nb = int64_t(s.bones.size());
  if (w->is_object()) {
    // Flat form: per point a count, then the bone indices and weights one after another.
    CheckKeys(*w, wp, {"counts", "bones", "weights"});
    std::vector<uint32_t> counts, bonesIdx;
    std::vector<float> weights;
    IndexArray(Require(*w, wp, "counts"), Key(wp, "counts"), 1, counts);
    IndexArray(Require(*w, wp, "bones"), Key(wp, "bones"), 1, bonesIdx);
    FloatArray(Require(*w, wp, "weights"), Key(wp, "weights"), 1, 1, weights);
    uint64_t total = 0;
    for (uint32_t n : counts) total += n;
    if (total != bonesIdx.size() || total != weights.size())
      Fail(wp, "counts add up to " + std::to_string(total) + " but there are " + std::to_string(bonesIdx.size()) +
                   " bone indices and " + std::to_string(weights.size()) + " weights");
    c.offsets.reserve(counts.size() + 1);
    for (uint32_t n : counts) c.offsets.push_back(c.offsets.back() + n);
    c.bones.resize(bonesIdx.size());
    for (size_t i = 0; i < bonesIdx.size(); ++i) {
      if (int64_t(bonesIdx[i]) >= nb)
        Fail(Key(Key(wp, "bones"), i), "bone index " + std::to_string(bonesIdx[i]) + " out of range (" + std::to_string(nb) + " bones)");
      c.bones[i] = int32_t(bonesIdx[i]);
    }
    c.weights = std::move(weights);
    return;
  }
  CheckArray(*w, wp);
  c.offsets.reserve(w->size() + 1);
  for (size_t i = 0; i < w->size(); ++i) {
    const json& pt = (*w)[i];
    std::string pp = Key(wp, i);
    CheckArray(pt, pp);
    for (size_t j = 0; j < pt.size(); ++j) {
      const json& a = pt[j];
      std::string ap = Key(pp, j);
      if (!a.is_array() || a.size() != 2) Fail(ap, "expected [bone index, weight]");
      int64_t b = Int(a[0], Key(ap, 0), -1, INT32_MAX);
      if (b >= nb) Fail(Key(ap, 0), "bone index " + std::to_string(b) + " out of range (" + std::to_string(nb) + " bones)");
      c.bones.push_back(int32_t(b));
      c.weights.push_back(Float(a[1], Key(ap, 1)));
    }
    c.offsets.push_back(uint32_t(c.bones.size()));
  }
}

void Loader::Physique(const json& v, const std::string& path, PhysiqueData& p) {
  p.nodeInit = OptMat(v, path, "nodeInitTM", p.hasNodeInit);
  p.context.owner = &p;
  if (const json* bones = Find(v, "bones")) {
    std::string bp = Key(path, "bones");
    CheckArray(*bones, bp);
    for (size_t i = 0; i < bones->size(); ++i) {
      std::string ep = Key(bp, i);
      CheckKeys((*bones)[i], ep, {"node", "initTM"});
      const Node* n = NodeRef(Require((*bones)[i], ep, "node"), Key(ep, "node"));
      p.boneInit.emplace_back(n, Mat(Require((*bones)[i], ep, "initTM"), Key(ep, "initTM")));
    }
  }
  const json* vs = Find(v, "vertices");
  if (!vs) return;
  std::string vp = Key(path, "vertices");
  CheckArray(*vs, vp);
  p.vertices.resize(vs->size());
  for (size_t i = 0; i < vs->size(); ++i) {
    const json& e = (*vs)[i];
    std::string ep = Key(vp, i);
    CheckKeys(e, ep, {"rigid", "blended", "type"});
    PhysiqueVertexData& pv = p.vertices[i];
    const json* rigid = Find(e, "rigid");
    const json* blended = Find(e, "blended");
    if (rigid && blended) Fail(ep, "a vertex is either 'rigid' or 'blended'");
    if (rigid) {
      pv.type = kPhysiqueRigidType;
      pv.nodes.push_back(NodeRef(*rigid, Key(ep, "rigid")));
      pv.weights.push_back(1.0f);
    } else if (blended) {
      pv.type = kPhysiqueBlendedType;
      std::string bp = Key(ep, "blended");
      CheckArray(*blended, bp);
      for (size_t j = 0; j < blended->size(); ++j) {
        const json& a = (*blended)[j];
        std::string ap = Key(bp, j);
        if (!a.is_array() || a.size() != 2) Fail(ap, "expected [node, weight]");
        pv.nodes.push_back(NodeRef(a[0], Key(ap, 0)));
        pv.weights.push_back(Float(a[1], Key(ap, 1)));
      }
    } else if (!Find(e, "type")) {
      Fail(ep, "a vertex needs 'rigid', 'blended' or 'type'");
    }
    if (const json* t = Find(e, "type")) pv.type = int(Int(*t, Key(ep, "type"), 0, 255));
  }
}

}  // namespace vorn::scene_doc
