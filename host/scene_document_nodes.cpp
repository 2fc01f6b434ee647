// Nodes of the scene document, their hierarchy and transforms, and their controllers.
#include <climits>
#include <set>

#include "host/scene_document_loader.h"

namespace vorn::scene_doc {

void Loader::CollectNodes(const json& arr, const std::string& path, int parent) {
  DepthGuard guard(depth, path);
  CheckArray(arr, path);
  for (size_t i = 0; i < arr.size(); ++i) {
    std::string p = Key(path, i);
    CheckObject(arr[i], p);
    int self = int(pending.size());
    pending.push_back({&arr[i], p, parent});
    if (parent >= 0 && Find(arr[i], "parent")) Fail(Key(p, "parent"), "a node listed under 'children' cannot name a parent");
    if (const json* c = Find(arr[i], "children")) CollectNodes(*c, Key(p, "children"), self);
  }
}

const Node* Loader::NodeRef(const json& v, const std::string& path) {
  if (v.is_string()) {
    const std::string& name = v.get_ref<const std::string&>();
    auto range = byName.equal_range(name);
    if (range.first == range.second) Fail(path, "no node named '" + name + "'");
    if (std::next(range.first) != range.second) Fail(path, "more than one node is named '" + name + "'; refer to it by handle");
    return range.first->second;
  }
  uint32_t h = uint32_t(Int(v, path, 0, 0xffffffffLL));
  auto it = byHandle.find(h);
  if (it == byHandle.end()) Fail(path, "no node has handle " + std::to_string(h));
  return it->second;
}

void Loader::Nodes(const json& arr, const std::string& path) {
  CollectNodes(arr, path, -1);
  if (pending.size() > size_t(kMaxElements)) Fail(path, "too many nodes");
  // Names and handles first, so that parents and bones can be referred to in any order.
  std::set<uint32_t> used;
  for (PendingNode& p : pending) {
    auto node = std::make_unique<Node>();
    p.node = node.get();
    const json& j = *p.j;
    CheckKeys(j, p.path, {"name", "handle", "parent", "children", "selected", "hidden", "renderable", "wireColor",
                          "transform", "world", "objectOffset", "object", "mesh", "controller", "material", "samples"});
    node->name = Str(Require(j, p.path, "name"), Key(p.path, "name"));
    if (const json* h = Find(j, "handle")) {
      node->handle = uint32_t(Int(*h, Key(p.path, "handle"), 1, 0xffffffffLL));
      if (!used.insert(node->handle).second) Fail(Key(p.path, "handle"), "handle " + std::to_string(node->handle) + " is used twice");
    }
    d.nodes.push_back(std::move(node));
  }
  uint32_t next = 1;
  for (PendingNode& p : pending) {
    if (p.node->handle != 0) continue;
    while (used.count(next)) ++next;
    p.node->handle = next;
    used.insert(next);
  }
  for (PendingNode& p : pending) {
    byHandle[p.node->handle] = p.node;
    byName.emplace(p.node->name, p.node);
  }
  // Parents, then a cycle check, then children in document order.
  for (PendingNode& p : pending) {
    if (p.nestedParent >= 0) p.node->parent = pending[size_t(p.nestedParent)].node;
    else if (const json* par = Find(*p.j, "parent"); par && !par->is_null()) p.node->parent = NodeRef(*par, Key(p.path, "parent"));
  }
  // Cycle check in linear time: walk up from each node until a node already known to be
  // fine; meeting a node of the current walk again closes a cycle.
  std::map<const Node*, size_t> walk;  // node -> index of the walk that reached it
  std::map<const Node*, size_t> index;
  for (size_t i = 0; i < pending.size(); ++i) index[pending[i].node] = i;
  for (size_t i = 0; i < pending.size(); ++i) {
    for (const Node* n = pending[i].node; n; n = n->parent) {
      auto [it, fresh] = walk.emplace(n, i);
      if (!fresh) {
        if (it->second == i) {
          const PendingNode& at = pending[index[n]];
          Fail(Key(at.path, "parent"), "the node hierarchy has a cycle through '" + at.node->name + "'");
        }
        break;
      }
    }
  }
  for (PendingNode& p : pending) {
    Node* parent = p.node->parent ? const_cast<Node*>(p.node->parent) : &d.root;
    parent->children.push_back(p.node);
  }
}

void Loader::NodeBody(PendingNode& p) {
  const json& j = *p.j;
  Node& n = *p.node;
  const std::string& path = p.path;
  if (const json* v = Find(j, "selected")) n.selected = Bool(*v, Key(path, "selected"));
  if (const json* v = Find(j, "hidden")) n.hidden = Bool(*v, Key(path, "hidden"));
  if (const json* v = Find(j, "renderable")) n.renderable = Bool(*v, Key(path, "renderable"));
  if (const json* v = Find(j, "wireColor")) n.wireColor = Word(*v, Key(path, "wireColor")) & 0xffffffu;
  if (const json* v = Find(j, "world")) n.world = Bool(*v, Key(path, "world"));
  Trs trs;
  if (const json* v = Find(j, "transform")) n.transform = Mat(*v, Key(path, "transform"), &trs);
  n.staticPos = trs.t;
  n.staticRot = trs.q;
  n.staticScale = trs.s;
  if (const json* v = Find(j, "objectOffset")) n.objectOffset = Mat(*v, Key(path, "objectOffset"));
  const json* obj = Find(j, "object");
  const json* mesh = Find(j, "mesh");
  if (obj && mesh) Fail(path, "give either 'object' or 'mesh', not both");
  if (obj && !obj->is_null()) n.object = ObjectRef(*obj, Key(path, "object"));
  if (mesh) {
    auto o = std::make_unique<Object>();
    o->kind = Object::Kind::Mesh;
    o->cls = kTriObjectClass;
    o->super = kGeomObjectSuper;
    o->hasMesh = true;
    Mesh(*mesh, Key(path, "mesh"), o->mesh);
    n.object = o.get();
    d.objects.push_back(std::move(o));
  }
  if (const json* v = Find(j, "controller"); v && !v->is_null())
    n.controller = ControllerRec(*v, Key(path, "controller"), Controller::Value::Transform);
  if (const json* v = Find(j, "material"); v && !v->is_null()) n.material = MaterialRef(*v, Key(path, "material"));
  if (const json* v = Find(j, "samples")) {
    std::string sp = Key(path, "samples");
    CheckKeys(*v, sp, {"start", "step", "matrices"});
    auto s = std::make_unique<Samples>();
    if (const json* st = Find(*v, "start")) s->start = TimeValue(Int(*st, Key(sp, "start"), INT32_MIN, INT32_MAX));
    s->step = d.ticksPerFrame;
    if (const json* st = Find(*v, "step")) s->step = TimeValue(Int(*st, Key(sp, "step"), 1, INT32_MAX));
    const json& ms = Require(*v, sp, "matrices");
    std::string mp = Key(sp, "matrices");
    if (ms.is_object()) {
      // A long bake from a buffer: twelve floats a sample, the rows of the inline form.
      std::vector<float> values;
      const size_t count = FloatArray(ms, mp, 12, 12, values);
      if (count == 0) Fail(mp, "at least one sample is needed");
      s->matrices.resize(count);
      for (size_t i = 0; i < count; ++i)
        for (int k = 0; k < 12; ++k) s->matrices[i].row[k / 3][k % 3] = values[i * 12 + size_t(k)];
    } else {
      CheckArray(ms, mp);
      if (ms.empty()) Fail(mp, "at least one sample is needed");
      s->matrices.reserve(ms.size());
      for (size_t i = 0; i < ms.size(); ++i) s->matrices.push_back(Mat(ms[i], Key(mp, i)));
    }
    n.samples = std::move(s);
  }
}

const Controller* Loader::ControllerRec(const json& v, const std::string& path, Controller::Value value) {
  DepthGuard guard(depth, path);
  auto rec = std::make_unique<Controller>();
  Controller& r = *rec;
  r.value = value;
  if (value == Controller::Value::Transform) {
    CheckKeys(v, path, {"class", "position", "rotation", "scale", "subControllers", "usableKeys"});
    r.cls = kPrsControllerClass;
    if (const json* p = Find(v, "position"); p && !p->is_null()) r.position = ControllerRec(*p, Key(path, "position"), Controller::Value::Position);
    if (const json* p = Find(v, "rotation"); p && !p->is_null()) r.rotation = ControllerRec(*p, Key(path, "rotation"), Controller::Value::Rotation);
    if (const json* p = Find(v, "scale"); p && !p->is_null()) r.scale = ControllerRec(*p, Key(path, "scale"), Controller::Value::Scale);
    for (const Controller* s : {r.position, r.rotation, r.scale})
      if (s) r.subs.push_back(s);
  } else {
    CheckKeys(v, path, {"class", "type", "keys", "value", "x", "y", "z", "subControllers", "usableKeys", "keyInterface", "degrees"});
    std::string type = "keys";
    if (const json* t = Find(v, "type")) type = Str(*t, Key(path, "type"));
    r.width = value == Controller::Value::Rotation ? 4 : value == Controller::Value::Float ? 1 : 3;
    bool compound = false;
    if (type == "xyz" && value == Controller::Value::Position) {
      r.cls = kPositionXyzClass;
      compound = true;
    } else if (type == "xyz" && value == Controller::Value::Scale) {
      r.cls = ClassID{0x118f7c01, 0xfeee238b};
      compound = true;
    } else if (type == "euler" && value == Controller::Value::Rotation) {
      r.cls = kEulerXyzClass;
      compound = true;
    } else if (type == "keys") {
      r.cls = value == Controller::Value::Position   ? kLinearPositionClass
              : value == Controller::Value::Rotation ? kLinearRotationClass
              : value == Controller::Value::Scale    ? kLinearScaleClass
                                                     : kLinearFloatClass;
    } else {
      Fail(Key(path, "type"), "unknown controller type '" + type + "' here");
    }
    if (compound) {
      if (Find(v, "keys")) Fail(Key(path, "keys"), "a '" + type + "' controller keeps its keys in its x, y and z sub-controllers");
      r.width = 3;
      r.compound = true;
      r.degrees = type == "euler";
      if (const json* dg = Find(v, "degrees")) r.degrees = Bool(*dg, Key(path, "degrees"));
      for (const char* axis : {"x", "y", "z"}) {
        const json* a = Find(v, axis);
        if (!a) Fail(path, std::string("missing key '") + axis + "'");
        r.subs.push_back(ControllerRec(*a, Key(path, axis), Controller::Value::Float));
      }
    } else {
      for (const char* axis : {"x", "y", "z"})
        if (Find(v, axis)) Fail(Key(path, axis), "only 'xyz' and 'euler' controllers have axis sub-controllers");
      if (const json* k = Find(v, "keys")) {
        r.keyInterface = true;
        std::string kp = Key(path, "keys");
        CheckArray(*k, kp);
        size_t w = size_t(r.width);
        r.times.reserve(k->size());
        r.values.reserve(k->size() * w);
        for (size_t i = 0; i < k->size(); ++i) {
          const json& e = (*k)[i];
          std::string ep = Key(kp, i);
          if (!e.is_array() || e.size() != w + 1)
            Fail(ep, "expected [time, " + std::to_string(w) + (w == 1 ? " value]" : " values]"));
          TimeValue t = TimeValue(Int(e[0], Key(ep, 0), INT32_MIN, INT32_MAX));
          if (!r.times.empty() && t <= r.times.back()) Fail(Key(ep, 0), "key times must increase");
          r.times.push_back(t);
          if (value == Controller::Value::Rotation) {
            json q = json::array({e[1], e[2], e[3], e[4]});
            Quat qq = QuatValue(q, ep);
            for (int c = 0; c < 4; ++c) r.values.push_back(qq[c]);
          } else {
            for (size_t c = 0; c < w; ++c) r.values.push_back(Float(e[c + 1], Key(ep, c + 1)));
          }
        }
      }
      if (const json* val = Find(v, "value")) {
        std::string vp = Key(path, "value");
        if (value == Controller::Value::Rotation) {
          Quat q = QuatValue(*val, vp);
          for (int c = 0; c < 4; ++c) r.constant[c] = q[c];
        } else if (value == Controller::Value::Float) {
          r.constant[0] = Float(*val, vp);
        } else {
          Floats(*val, vp, r.constant, 3);
        }
      } else if (value == Controller::Value::Scale) {
        r.constant[0] = r.constant[1] = r.constant[2] = 1;
      }
      r.hasValue = Find(v, "value") || Find(v, "keys");
    }
    if (const json* ki = Find(v, "keyInterface")) r.keyInterface = Bool(*ki, Key(path, "keyInterface"));
  }
  if (const json* cls = Find(v, "class")) r.cls = Cls(*cls, Key(path, "class"));
  if (const json* u = Find(v, "usableKeys")) r.usable = Bool(*u, Key(path, "usableKeys")) ? 1 : 0;
  if (const json* subs = Find(v, "subControllers")) {
    std::string sp = Key(path, "subControllers");
    CheckArray(*subs, sp);
    for (size_t i = 0; i < subs->size(); ++i) r.subs.push_back(ControllerRec((*subs)[i], Key(sp, i), Controller::Value::Float));
  }
  const Controller* out = rec.get();
  d.controllers.push_back(std::move(rec));
  return out;
}

}  // namespace vorn::scene_doc
