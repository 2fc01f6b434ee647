// HostScene answers from a loaded scene document. Every handle may be absent; an absent or
// out-of-range query gets the host's empty answer.
#include "host/scene_document.h"

#include <algorithm>

#include "host/scene_document_data.h"

namespace vorn {

using namespace scene_doc;

namespace {

const Node* N(const HostNode* n) { return static_cast<const Node*>(n); }
const Object* O(const HostObject* o) { return static_cast<const Object*>(o); }
const Modifier* Mo(const HostModifier* m) { return static_cast<const Modifier*>(m); }
const Controller* C(const HostController* c) { return static_cast<const Controller*>(c); }
const Material* Ma(const HostMaterial* m) { return static_cast<const Material*>(m); }
const Texmap* T(const HostTexmap* m) { return static_cast<const Texmap*>(m); }
const ParamBlock* B(const HostParamBlock* b) { return static_cast<const ParamBlock*>(b); }

template <typename V>
auto At(const V& v, int i) -> typename V::value_type {
  return i >= 0 && size_t(i) < v.size() ? v[size_t(i)] : typename V::value_type{};
}

}  // namespace

// ---- Skin and physique ----------------------------------------------------------------------

namespace scene_doc {

int SkinContextData::AssignedBoneCount(int p) const {
  if (p < 0 || p >= PointCount()) return 0;
  return int(offsets[size_t(p) + 1] - offsets[size_t(p)]);
}
int SkinContextData::AssignedBone(int p, int i) const {
  if (i < 0 || i >= AssignedBoneCount(p)) return -1;
  return bones[offsets[size_t(p)] + size_t(i)];
}
float SkinContextData::BoneWeight(int p, int i) const {
  if (i < 0 || i >= AssignedBoneCount(p)) return 0.0f;
  return weights[offsets[size_t(p)] + size_t(i)];
}

const HostNode* SkinData::Bone(int index) const {
  return index >= 0 && size_t(index) < bones.size() ? bones[size_t(index)].node : nullptr;
}
int SkinData::SkinInitTM(const HostNode* node, Matrix3& tm, bool objectOffset) const {
  if (!node) return 0;
  if (objectOffset ? !hasNodeInitObject : !hasNodeInit) return 0;
  tm = objectOffset ? nodeInitObject : nodeInit;
  return 1;
}
int SkinData::BoneInitTM(const HostNode* bone, Matrix3& tm, bool objectOffset) const {
  for (const auto& b : bones)
    if (b.node == bone && bone) {
      if (objectOffset ? !b.hasInitObject : !b.hasInit) return 0;
      tm = objectOffset ? b.initObject : b.init;
      return 1;
    }
  return 0;
}
const SkinContext* SkinData::ContextData(const HostNode* node) const { return node ? &context : nullptr; }

namespace {

class PhysiqueVertexView final : public PhysiqueVertex {
 public:
  PhysiqueVertexView(const PhysiqueVertexData& v, bool blending) : v_(v), blending_(blending) {}
  int Type() const override {
    if (v_.type == kPhysiqueBlendedType && !blending_) return kPhysiqueRigidType;
    return v_.type;
  }
  const HostNode* Node(int i) const override {
    if (Type() == kPhysiqueRigidType) return v_.nodes.empty() ? nullptr : v_.nodes[Heaviest()];
    return i >= 0 && size_t(i) < v_.nodes.size() ? v_.nodes[size_t(i)] : nullptr;
  }
  int NodeCount() const override { return Type() == kPhysiqueRigidType ? 1 : int(v_.nodes.size()); }
  float Weight(int i) const override {
    if (Type() == kPhysiqueRigidType) return 1.0f;
    return i >= 0 && size_t(i) < v_.weights.size() ? v_.weights[size_t(i)] : 0.0f;
  }

 private:
  // Without blending a blended vertex follows its strongest bone alone.
  size_t Heaviest() const {
    size_t best = 0;
    for (size_t i = 1; i < v_.weights.size(); ++i)
      if (v_.weights[i] > v_.weights[best]) best = i;
    return best;
  }
  const PhysiqueVertexData& v_;
  bool blending_;
};

}  // namespace

int PhysiqueContextData::VertexCount() const { return owner ? int(owner->vertices.size()) : 0; }
std::unique_ptr<PhysiqueVertex> PhysiqueContextData::Vertex(int i) const {
  if (!owner || i < 0 || size_t(i) >= owner->vertices.size()) return nullptr;
  return std::make_unique<PhysiqueVertexView>(owner->vertices[size_t(i)], blending != 0);
}

// Physique's answers: 0 the matrix was given, 1 no such node, 2 no matrix saved.
int PhysiqueData::InitNodeTM(const HostNode* node, Matrix3& tm) const {
  if (!node) return 1;
  if (!hasNodeInit) return 2;
  tm = nodeInit;
  return 0;
}
int PhysiqueData::InitBoneTM(const HostNode* bone, Matrix3& tm) const {
  for (const auto& [n, m] : boneInit)
    if (n == bone && bone) {
      tm = m;
      return 0;
    }
  return 1;
}
PhysiqueContext* PhysiqueData::Context(const HostNode* node) const { return node ? &context : nullptr; }

}  // namespace scene_doc

// ---- Document -----------------------------------------------------------------------------

SceneDocument::SceneDocument(std::unique_ptr<Data> data) : d_(std::move(data)) {}
SceneDocument::~SceneDocument() = default;

void SceneDocument::SetDirectory(int which, const std::string& path) { d_->dirs[which] = path; }

int SceneDocument::LiveTemporaries() const {
  std::lock_guard<std::mutex> lock(d_->cacheMutex);
  return int(d_->temporaries.size());
}

const HostNode* SceneDocument::FindNode(const std::string& name) const {
  for (const auto& n : d_->nodes)
    if (n->name == name) return n.get();
  return nullptr;
}
const HostNode* SceneDocument::FindNodeByHandle(uint32_t handle) const {
  for (const auto& n : d_->nodes)
    if (n->handle == handle) return n.get();
  return nullptr;
}
const HostMaterial* SceneDocument::FindMaterial(const std::string& id) const {
  auto it = d_->materialIds.find(id);
  return it == d_->materialIds.end() ? nullptr : it->second;
}
const HostTexmap* SceneDocument::FindTexmap(const std::string& id) const {
  auto it = d_->texmapIds.find(id);
  return it == d_->texmapIds.end() ? nullptr : it->second;
}
const HostObject* SceneDocument::FindObject(const std::string& id) const {
  auto it = d_->objectIds.find(id);
  return it == d_->objectIds.end() ? nullptr : it->second;
}

Interval SceneDocument::AnimRange() const { return d_->range; }
int SceneDocument::TicksPerFrame() const { return d_->ticksPerFrame; }
int SceneDocument::FrameRate() const { return kTicksPerSecond / d_->ticksPerFrame; }
const HostNode* SceneDocument::RootNode() const { return &d_->root; }
std::string SceneDocument::Dir(int which) const {
  auto it = d_->dirs.find(which);
  return it == d_->dirs.end() ? std::string() : it->second;
}
// Without a filePath the document stands in for the scene file, so that textures are searched
// beside it.
std::string SceneDocument::CurFilePath() const { return d_->filePath.empty() ? d_->documentPath : d_->filePath; }

void SceneDocument::ProgressStart(const std::string& title, bool showBar) {
  (void)showBar;
  if (progressSink_) progressSink_(ProgressEvent::Start, 0, title);
}
void SceneDocument::ProgressUpdate(int percent, bool showPercent, const std::string& title) {
  (void)showPercent;
  if (progressSink_) progressSink_(ProgressEvent::Update, percent, title);
}
void SceneDocument::ProgressEnd() {
  if (progressSink_) progressSink_(ProgressEvent::End, 100, std::string());
}
void SceneDocument::MessageBox(const std::string& text, const std::string& caption, int icon, bool owned) {
  (void)owned;
  messages_.push_back({caption, text, icon});
  if (messageSink_) messageSink_(caption, text, icon);
}

// ---- Nodes --------------------------------------------------------------------------------

std::string SceneDocument::NodeName(const HostNode* n) const { return n ? N(n)->name : std::string(); }
int SceneDocument::ChildCount(const HostNode* n) const { return n ? int(N(n)->children.size()) : 0; }
const HostNode* SceneDocument::Child(const HostNode* n, int i) const { return n ? At(N(n)->children, i) : nullptr; }
bool SceneDocument::Selected(const HostNode* n) const { return n && N(n)->selected; }
bool SceneDocument::Hidden(const HostNode* n, int flags) const {
  (void)flags;
  return n && N(n)->hidden;
}
bool SceneDocument::Renderable(const HostNode* n) const { return n && N(n)->renderable; }
uint32_t SceneDocument::WireColor(const HostNode* n) const { return n ? N(n)->wireColor : 0; }

Matrix3 SceneDocument::NodeTM(const HostNode* n, TimeValue t) const {
  if (!n) return Matrix3{};
  // Up the parent chain, each local transform applied before its parent's.
  Matrix3 world;
  for (const Node* node = N(n);;) {
    if (node == &d_->root) return world * node->transform;
    world = world * CachedLocalTransform(*d_, *node, t);
    if (node->world) return world;
    node = node->parent ? node->parent : &d_->root;
  }
}
Matrix3 SceneDocument::ObjectTM(const HostNode* n, TimeValue t) const {
  if (!n) return Matrix3{};
  return N(n)->objectOffset * NodeTM(n, t);
}
const HostObject* SceneDocument::ObjectRef(const HostNode* n) const { return n ? N(n)->object : nullptr; }
const HostController* SceneDocument::TMController(const HostNode* n) const { return n ? N(n)->controller : nullptr; }
const HostMaterial* SceneDocument::NodeMaterial(const HostNode* n) const { return n ? N(n)->material : nullptr; }
uint32_t SceneDocument::NodeHandle(const HostNode* n) const { return n ? N(n)->handle : 0; }

// ---- Objects ------------------------------------------------------------------------------

const HostObject* SceneDocument::BaseObject(const HostObject* o) const {
  const Object* p = O(o);
  while (p && p->kind == Object::Kind::Derived) p = p->input;
  return p;
}
ClassID SceneDocument::ObjectClassID(const HostObject* o) const { return o ? O(o)->cls : ClassID{}; }
uint32_t SceneDocument::SuperClassID(const HostObject* o) const { return o ? O(o)->super : 0; }

const HostObject* SceneDocument::Eval(const HostObject* o, TimeValue t) const {
  const Object* obj = O(o);
  if (!obj || obj->kind != Object::Kind::Derived) return obj;
  const Object* input = obj->input ? O(Eval(obj->input, t)) : nullptr;
  if (!input) return nullptr;
  // Modifiers here do not animate, so one evaluation serves every time.
  std::lock_guard<std::mutex> lock(d_->cacheMutex);
  auto& slot = d_->evaluated[obj];
  if (!slot) slot = EvaluatePipeline(*obj, *input);
  return slot.get();
}

int SceneDocument::PointCount(const HostObject* o) const {
  const Object* e = O(Eval(o, 0));
  return e ? int(ObjectPoints(*e).size()) : 0;
}
Point3 SceneDocument::GetPoint(const HostObject* o, int i) const {
  const Object* e = O(Eval(o, 0));
  return e ? At(ObjectPoints(*e), i) : Point3{};
}

bool SceneDocument::CanConvertTo(const HostObject* o, ClassID cls) const {
  const Object* obj = O(o);
  if (!obj) return false;
  if (obj->kind == Object::Kind::Derived) obj = O(Eval(o, 0));
  if (!obj || !(cls == kTriObjectClass)) return false;
  if (obj->convertible >= 0) return obj->convertible != 0;
  switch (obj->kind) {
    case Object::Kind::Mesh:
    case Object::Kind::Patch:
    case Object::Kind::Shape:
      return true;
    case Object::Kind::Geometry:
    case Object::Kind::Other:
      return obj->hasMesh;
    default:
      return false;
  }
}

const HostObject* SceneDocument::ConvertToTriObject(const HostObject* o, TimeValue t) const {
  if (!CanConvertTo(o, kTriObjectClass)) return nullptr;
  const Object* src = O(o);
  if (src->kind != Object::Kind::Derived && src->cls == kTriObjectClass && src->hasMesh) return src;
  const Object* e = O(Eval(o, t));
  auto tmp = std::make_unique<Object>();
  tmp->kind = Object::Kind::Mesh;
  tmp->cls = kTriObjectClass;
  tmp->super = kGeomObjectSuper;
  tmp->hasMesh = true;
  if (e->kind == Object::Kind::Patch) {
    PatchTable table;
    TessellatePatch(e->patch, e->patchSteps, tmp->mesh, table);
  } else if (e->hasMesh) {
    tmp->mesh = e->mesh;  // a shape without a mesh gives an empty one
  }
  if (e->explicitPoints) {
    tmp->points = e->points;
    tmp->explicitPoints = true;
  }
  std::lock_guard<std::mutex> lock(d_->cacheMutex);
  const Object* out = tmp.get();
  d_->temporaries.emplace(out, std::move(tmp));
  return out;
}

void SceneDocument::DeleteTemporary(const HostObject* o) const {
  std::lock_guard<std::mutex> lock(d_->cacheMutex);
  d_->temporaries.erase(O(o));  // objects of the document itself are not deleted
}

const TriMesh* SceneDocument::ObjectMesh(const HostObject* o) const {
  const Object* obj = O(o);
  return obj && obj->cls == kTriObjectClass && obj->hasMesh ? &obj->mesh : nullptr;
}
int SceneDocument::ModifierCount(const HostObject* o) const {
  return o && O(o)->kind == Object::Kind::Derived ? int(O(o)->modifiers.size()) : 0;
}
const HostModifier* SceneDocument::Modifier(const HostObject* o, int i) const {
  return o && O(o)->kind == Object::Kind::Derived ? At(O(o)->modifiers, i) : nullptr;
}
const HostObject* SceneDocument::DerivedInput(const HostObject* o) const {
  return o && O(o)->kind == Object::Kind::Derived ? O(o)->input : nullptr;
}
const PatchMesh* SceneDocument::GetPatchMesh(const HostObject* o) const {
  return o && O(o)->kind == Object::Kind::Patch ? &O(o)->patch : nullptr;
}
bool SceneDocument::PatchToTriMesh(const PatchMesh& patch, TriMesh& out, PatchTable& table, int flags) const {
  (void)flags;
  if (!d_->patchRoutine) return false;
  int steps = 2;
  for (const auto& o : d_->objects)
    if (&o->patch == &patch) steps = o->patchSteps;
  {
    std::lock_guard<std::mutex> lock(d_->cacheMutex);
    for (const auto& [k, o] : d_->evaluated)
      if (&o->patch == &patch) steps = o->patchSteps;
  }
  TessellatePatch(patch, steps, out, table);
  return true;
}

// ---- Modifiers ----------------------------------------------------------------------------

ClassID SceneDocument::ModifierClassID(const HostModifier* m) const { return m ? Mo(m)->cls : ClassID{}; }
uint32_t SceneDocument::ModifierFlags(const HostModifier* m) const { return m ? Mo(m)->flags : 0; }
const SkinInterface* SceneDocument::GetSkinInterface(const HostModifier* m, uint32_t id) const {
  return m && id == kSkinInterfaceId ? Mo(m)->skin.get() : nullptr;
}
const PhysiqueInterface* SceneDocument::GetPhysiqueInterface(const HostModifier* m, uint32_t id) const {
  return m && id == kPhysiqueInterfaceId ? Mo(m)->physique.get() : nullptr;
}

// ---- Controllers --------------------------------------------------------------------------

ClassID SceneDocument::ControllerClassID(const HostController* c) const { return c ? C(c)->cls : ClassID{}; }
const HostController* SceneDocument::PositionController(const HostController* c) const { return c ? C(c)->position : nullptr; }
const HostController* SceneDocument::RotationController(const HostController* c) const { return c ? C(c)->rotation : nullptr; }
const HostController* SceneDocument::ScaleController(const HostController* c) const { return c ? C(c)->scale : nullptr; }
int SceneDocument::SubControllerCount(const HostController* c) const { return c ? int(C(c)->subs.size()) : 0; }
const HostController* SceneDocument::SubController(const HostController* c, int i) const {
  return c ? At(C(c)->subs, i) : nullptr;
}
bool SceneDocument::HasUsableKeys(const HostController* c) const {
  if (!c) return false;
  const Controller* k = C(c);
  if (k->usable >= 0) return k->usable != 0;
  if (k->keyInterface && !k->times.empty()) return true;
  return std::any_of(k->subs.begin(), k->subs.end(), [&](const Controller* s) { return HasUsableKeys(s); });
}
bool SceneDocument::HasKeyInterface(const HostController* c) const { return c && C(c)->keyInterface; }
int SceneDocument::KeyCount(const HostController* c) const {
  return c && C(c)->keyInterface ? int(C(c)->times.size()) : 0;
}
TimeValue SceneDocument::KeyTime(const HostController* c, int i) const {
  return c && C(c)->keyInterface ? At(C(c)->times, i) : 0;
}

// ---- Materials ----------------------------------------------------------------------------

ClassID SceneDocument::MaterialClassID(const HostMaterial* m) const { return m ? Ma(m)->cls : ClassID{}; }
std::string SceneDocument::MaterialName(const HostMaterial* m) const { return m ? Ma(m)->name : std::string(); }
bool SceneDocument::HasInterface(const HostMaterial* m, ClassID id) const {
  if (!m) return false;
  const auto& ifs = Ma(m)->interfaces;
  return std::find(ifs.begin(), ifs.end(), id) != ifs.end();
}
int SceneDocument::SubMtlCount(const HostMaterial* m) const { return m ? int(Ma(m)->subs.size()) : 0; }
const HostMaterial* SceneDocument::SubMtl(const HostMaterial* m, int i) const { return m ? At(Ma(m)->subs, i) : nullptr; }
int SceneDocument::SubTexmapCount(const HostMaterial* m) const { return m ? int(Ma(m)->maps.size()) : 0; }
const HostTexmap* SceneDocument::SubTexmap(const HostMaterial* m, int i) const { return m ? At(Ma(m)->maps, i) : nullptr; }
bool SceneDocument::SubTexmapOn(const HostMaterial* m, int i) const { return m && At(Ma(m)->mapOn, i) != 0; }
Color SceneDocument::Ambient(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->ambient : Color{}; }
Color SceneDocument::Diffuse(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->diffuse : Color{}; }
Color SceneDocument::Specular(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->specular : Color{}; }
float SceneDocument::Shininess(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->shininess : 0.0f; }
float SceneDocument::ShinStr(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->shinStr : 0.0f; }
float SceneDocument::Xparency(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->transparency : 0.0f; }
float SceneDocument::SelfIllum(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->selfIllum : 0.0f; }
Color SceneDocument::SelfIllumColor(const HostMaterial* m, TimeValue) const { return m ? Ma(m)->selfIllumColor : Color{}; }
bool SceneDocument::SelfIllumColorOn(const HostMaterial* m) const { return m && Ma(m)->selfIllumColorOn; }
int SceneDocument::ParamBlockCount(const HostMaterial* m) const { return m ? int(Ma(m)->blocks.size()) : 0; }
const HostParamBlock* SceneDocument::ParamBlock(const HostMaterial* m, int i) const { return m ? At(Ma(m)->blocks, i) : nullptr; }
int SceneDocument::EffectBitmapCount(const HostMaterial* m) const { return m ? int(Ma(m)->effectBitmaps.size()) : 0; }
bool SceneDocument::EffectBitmapPresent(const HostMaterial* m, int i) const { return m && At(Ma(m)->effectBitmaps, i).present; }
std::string SceneDocument::EffectBitmapPath(const HostMaterial* m, int i) const {
  return m ? At(Ma(m)->effectBitmaps, i).path : std::string();
}
int SceneDocument::EffectBitmapChannel(const HostMaterial* m, int i) const {
  return m ? At(Ma(m)->effectBitmaps, i).channel : 0;
}
bool SceneDocument::EffectUsesChannels(const HostMaterial* m) const { return m && Ma(m)->usesChannels; }

int SceneDocument::ParamCount(const HostParamBlock* b) const { return b ? int(B(b)->params.size()) : 0; }
std::string SceneDocument::ParamName(const HostParamBlock* b, int i) const {
  return b ? At(B(b)->params, i).name : std::string();
}
ParamValue SceneDocument::ParamAt(const HostParamBlock* b, int i, TimeValue) const {
  return b ? At(B(b)->params, i).value : ParamValue{};
}

// ---- Maps ---------------------------------------------------------------------------------

ClassID SceneDocument::TexmapClassID(const HostTexmap* m) const { return m ? T(m)->cls : ClassID{}; }
std::string SceneDocument::TexmapName(const HostTexmap* m) const { return m ? T(m)->name : std::string(); }
int SceneDocument::TexmapSubCount(const HostTexmap* m) const { return m ? int(T(m)->subs.size()) : 0; }
const HostTexmap* SceneDocument::TexmapSub(const HostTexmap* m, int i) const { return m ? At(T(m)->subs, i) : nullptr; }
int SceneDocument::MapChannel(const HostTexmap* m) const { return m ? T(m)->channel : 0; }
int SceneDocument::TextureTiling(const HostTexmap* m) const { return m ? T(m)->tiling : 0; }
Matrix3 SceneDocument::UVTransform(const HostTexmap* m) const { return m ? T(m)->uvTransform : Matrix3{}; }
std::string SceneDocument::BitmapFileName(const HostTexmap* m) const { return m ? T(m)->file : std::string(); }
int SceneDocument::TexmapParamBlockCount(const HostTexmap* m) const { return m ? int(T(m)->blocks.size()) : 0; }
const HostParamBlock* SceneDocument::TexmapParamBlock(const HostTexmap* m, int i) const {
  return m ? At(T(m)->blocks, i) : nullptr;
}
AColor SceneDocument::EvalColor(const HostTexmap* m, ShadeContext& sc) const {
  return m ? EvalTexmap(*T(m), sc) : AColor{0, 0, 0, 1};
}

}  // namespace vorn
