// Everything the exporter reads from the host, behind one abstract interface. A host-bound
// implementation calls the host SDK; the scene document and the importers serve the same role.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/dialog.h"
#include "host/math.h"
#include "host/tri_mesh.h"

namespace vorn {

using TimeValue = int32_t;
inline constexpr TimeValue kTicksPerSecond = 4800;

struct Interval {
  TimeValue start = 0, end = 0;
};

struct ClassID {
  uint32_t a = 0, b = 0;
  friend constexpr bool operator==(ClassID x, ClassID y) = default;
};

// Super class numbers the logic compares against.
inline constexpr uint32_t kGenDerivObjectSuper = 2;
inline constexpr uint32_t kDerivObjectSuper = 3;
inline constexpr uint32_t kGeomObjectSuper = 0x10;
inline constexpr uint32_t kShapeSuper = 0x40;
inline constexpr uint32_t kHelperSuper = 0x50;
inline constexpr uint32_t kSceneExportSuper = 0xA20;

inline constexpr ClassID kTriObjectClass{9, 0};
inline constexpr ClassID kSkinClass{0x95c723, 0x15666};
inline constexpr ClassID kPhysiqueClass{0x100, 0};
inline constexpr uint32_t kModifierDisabledFlag = 0x20;
inline constexpr uint32_t kSkinInterfaceId = 0x10000;
inline constexpr uint32_t kPhysiqueInterfaceId = 0x100100;

// Handles to host entities. Each implementation derives its own types from these; the logic
// only passes them back to the host, compares them and uses them as map keys.
class HostNode { public: virtual ~HostNode() = default; };
class HostObject { public: virtual ~HostObject() = default; };
class HostModifier { public: virtual ~HostModifier() = default; };
class HostController { public: virtual ~HostController() = default; };
class HostMaterial { public: virtual ~HostMaterial() = default; };
class HostTexmap { public: virtual ~HostTexmap() = default; };
class HostParamBlock { public: virtual ~HostParamBlock() = default; };
class HostBitmap { public: virtual ~HostBitmap() = default; };

// Patch mesh as the host keeps it inside a patch object.
struct Patch {
  int type = 3;  // 3: three-sided, 4: four-sided
  uint32_t v[4] = {0, 0, 0, 0};
};
struct PatchMesh {
  std::vector<Point3> verts;
  std::vector<Patch> patches;
};
// Correspondence of the patch-to-triangle routine: for each triangle-mesh vertex, the patch
// it lies on and its parametric position there; facePatch gives, for each triangle-mesh face,
// the patch it came from.
struct PatchTableEntry {
  int patch = -1;
  Point3 bary;  // (u, v, w) for three-sided patches, (u, v, 0) for four-sided ones
};
struct PatchTable : std::vector<PatchTableEntry> {
  std::vector<int> facePatch;
};

// Skin modifier as the host's skin interface presents it.
class SkinContext {
 public:
  virtual ~SkinContext() = default;
  virtual int PointCount() const = 0;
  virtual int AssignedBoneCount(int point) const = 0;
  virtual int AssignedBone(int point, int i) const = 0;  // index into the bone list; may be < 0
  virtual float BoneWeight(int point, int i) const = 0;
};
class SkinInterface {
 public:
  virtual ~SkinInterface() = default;
  virtual int BoneCount() const = 0;
  virtual const HostNode* Bone(int index) const = 0;
  // Non-zero answers mean the matrix was given (the host's convention for skin).
  virtual int SkinInitTM(const HostNode* node, Matrix3& tm, bool objectOffset) const = 0;
  virtual int BoneInitTM(const HostNode* bone, Matrix3& tm, bool objectOffset) const = 0;
  virtual const SkinContext* ContextData(const HostNode* node) const = 0;
};

// Physique modifier as the host's physique export interface presents it.
inline constexpr int kPhysiqueRigidType = 1;
inline constexpr int kPhysiqueBlendedType = 5;
class PhysiqueVertex {
 public:
  virtual ~PhysiqueVertex() = default;
  virtual int Type() const = 0;
  virtual const HostNode* Node(int i = 0) const = 0;   // rigid: the one bone (i is ignored)
  virtual int NodeCount() const = 0;                   // blended: number of bones, rigid: 1
  virtual float Weight(int i) const = 0;               // blended only
};
class PhysiqueContext {
 public:
  virtual ~PhysiqueContext() = default;
  virtual void ConvertToRigid(int flag) = 0;
  virtual void AllowBlending(int flag) = 0;
  virtual int VertexCount() const = 0;
  virtual std::unique_ptr<PhysiqueVertex> Vertex(int i) const = 0;  // released when dropped
};
class PhysiqueInterface {
 public:
  virtual ~PhysiqueInterface() = default;
  // The answer 0 means the matrix was given (the host's convention for physique).
  virtual int InitNodeTM(const HostNode* node, Matrix3& tm) const = 0;
  virtual int InitBoneTM(const HostNode* bone, Matrix3& tm) const = 0;
  virtual PhysiqueContext* Context(const HostNode* node) const = 0;
};

// Parameter blocks: typed parameters read at a time.
enum class ParamType : int {
  Float = 0, Int = 1, Rgba = 2, Point3 = 3, Bool = 4, Angle = 5, PercentFloat = 6, WorldUnits = 7,
  String = 8, Filename = 9, Texmap = 15, Bitmap = 16, FRgba = 22, Point4 = 23,
};
struct ParamValue {
  int type = 0;
  float f[4] = {0, 0, 0, 0};
  int i = 0;
  std::string s;
  const HostTexmap* map = nullptr;
};

// Shading context handed to a map's colour evaluation (the host's ShadeContext base).
class ShadeContext {
 public:
  virtual ~ShadeContext() = default;
  virtual Point3 UVW(int channel) const = 0;
  virtual Point3 DUVW(int channel) const = 0;
  virtual Point3 P() const = 0;  // point being shaded
  virtual Point3 Normal() const = 0;
  virtual int NodeID() const { return -1; }
};

// The host's folders the exporter asks for, by the numbers Dir() takes.
inline constexpr int kHostImageDir = 7;         // searched for textures first
inline constexpr int kHostPluginConfigDir = 9;  // holds the settings file
inline constexpr int kHostMapSearchDir = 32;    // searched for textures after the image folder

// What one export came to. XDoExport answers the host with success whatever happened, as the
// host expects; a host that wants to know more is told this at the end of the export.
struct ExportResult {
  enum class Outcome { Written, Cancelled, NothingWritten };
  Outcome outcome = Outcome::NothingWritten;
  std::string reason;          // why nothing was written; empty when written
  bool settingsSaved = false;  // the settings file was rewritten
};

class HostScene {
 public:
  virtual ~HostScene() = default;

  // Scene and time.
  virtual Interval AnimRange() const = 0;
  virtual int TicksPerFrame() const = 0;
  virtual int FrameRate() const = 0;
  virtual const HostNode* RootNode() const = 0;
  virtual void* MainWindow() const { return nullptr; }
  virtual std::string Dir(int which) const = 0;  // kHostImageDir and the like
  virtual std::string CurFilePath() const = 0;
  virtual void ExportStartNotify(int code) { (void)code; }

  // Progress display.
  virtual void ProgressStart(const std::string& title, bool showBar) = 0;
  virtual void ProgressUpdate(int percent, bool showPercent, const std::string& title) = 0;
  virtual void ProgressEnd() = 0;

  // Message box with an OK button; icon 0 none, 1 error, 2 warning.
  virtual void MessageBox(const std::string& text, const std::string& caption, int icon, bool owned) = 0;

  // Told once at the end of every export that had a host.
  virtual void ExportFinished(const ExportResult& result) { (void)result; }

  // Dialog controls: whether modal dialogs are shown to a user (a terminal here); when not, a
  // dialog is initialised and confirmed with OK as it stands.
  virtual bool InteractiveDialogs() const { return false; }
  // Runs a modal dialog and returns its result; unshown, it is initialised and confirmed.
  virtual int RunDialog(DialogModel& dialog, DialogProcedure& procedure) { return RunDialogUnshown(dialog, procedure); }

  // Nodes.
  virtual std::string NodeName(const HostNode* n) const = 0;
  virtual int ChildCount(const HostNode* n) const = 0;
  virtual const HostNode* Child(const HostNode* n, int i) const = 0;
  virtual bool Selected(const HostNode* n) const = 0;
  virtual bool Hidden(const HostNode* n, int flags = 0) const = 0;
  virtual bool Renderable(const HostNode* n) const = 0;
  virtual uint32_t WireColor(const HostNode* n) const = 0;
  virtual Matrix3 NodeTM(const HostNode* n, TimeValue t) const = 0;
  virtual Matrix3 ObjectTM(const HostNode* n, TimeValue t) const = 0;
  virtual const HostObject* ObjectRef(const HostNode* n) const = 0;
  virtual const HostController* TMController(const HostNode* n) const = 0;
  virtual const HostMaterial* NodeMaterial(const HostNode* n) const = 0;
  // Stable integer identifying the node; orders bone tables.
  virtual uint32_t NodeHandle(const HostNode* n) const = 0;

  // Objects and the modifier pipeline.
  virtual const HostObject* BaseObject(const HostObject* o) const = 0;
  virtual ClassID ObjectClassID(const HostObject* o) const = 0;
  virtual uint32_t SuperClassID(const HostObject* o) const = 0;
  // Evaluates the object at t: a derived object applies its modifiers to its input.
  virtual const HostObject* Eval(const HostObject* o, TimeValue t) const = 0;
  virtual int PointCount(const HostObject* o) const = 0;
  virtual Point3 GetPoint(const HostObject* o, int i) const = 0;
  virtual bool CanConvertTo(const HostObject* o, ClassID cls) const = 0;
  // The object itself when it already is a triangle object, else a temporary.
  virtual const HostObject* ConvertToTriObject(const HostObject* o, TimeValue t) const = 0;
  virtual void DeleteTemporary(const HostObject* o) const = 0;
  virtual const TriMesh* ObjectMesh(const HostObject* triObject) const = 0;
  virtual int ModifierCount(const HostObject* derived) const = 0;
  virtual const HostModifier* Modifier(const HostObject* derived, int i) const = 0;
  virtual const HostObject* DerivedInput(const HostObject* derived) const = 0;
  virtual const PatchMesh* GetPatchMesh(const HostObject* patchObject) const = 0;
  // The host's patch-to-triangle routine; false when the host does not offer it.
  virtual bool PatchToTriMesh(const PatchMesh& patch, TriMesh& out, PatchTable& table, int flags) const = 0;

  // Modifiers.
  virtual ClassID ModifierClassID(const HostModifier* m) const = 0;
  virtual uint32_t ModifierFlags(const HostModifier* m) const = 0;
  virtual const SkinInterface* GetSkinInterface(const HostModifier* m, uint32_t id) const = 0;
  virtual const PhysiqueInterface* GetPhysiqueInterface(const HostModifier* m, uint32_t id) const = 0;

  // Controllers and keys.
  virtual ClassID ControllerClassID(const HostController* c) const = 0;
  virtual const HostController* PositionController(const HostController* c) const = 0;
  virtual const HostController* RotationController(const HostController* c) const = 0;
  virtual const HostController* ScaleController(const HostController* c) const = 0;
  virtual int SubControllerCount(const HostController* c) const = 0;
  virtual const HostController* SubController(const HostController* c, int i) const = 0;
  virtual bool HasUsableKeys(const HostController* c) const = 0;
  virtual bool HasKeyInterface(const HostController* c) const = 0;
  virtual int KeyCount(const HostController* c) const = 0;
  virtual TimeValue KeyTime(const HostController* c, int i) const = 0;

  // Materials.
  virtual ClassID MaterialClassID(const HostMaterial* m) const = 0;
  virtual std::string MaterialName(const HostMaterial* m) const = 0;
  virtual bool HasInterface(const HostMaterial* m, ClassID id) const = 0;
  virtual int SubMtlCount(const HostMaterial* m) const = 0;
  virtual const HostMaterial* SubMtl(const HostMaterial* m, int i) const = 0;
  virtual int SubTexmapCount(const HostMaterial* m) const = 0;
  virtual const HostTexmap* SubTexmap(const HostMaterial* m, int i) const = 0;
  virtual bool SubTexmapOn(const HostMaterial* m, int i) const = 0;
  virtual Color Ambient(const HostMaterial* m, TimeValue t) const = 0;
  virtual Color Diffuse(const HostMaterial* m, TimeValue t) const = 0;
  virtual Color Specular(const HostMaterial* m, TimeValue t) const = 0;
  virtual float Shininess(const HostMaterial* m, TimeValue t) const = 0;
  virtual float ShinStr(const HostMaterial* m, TimeValue t) const = 0;
  virtual float Xparency(const HostMaterial* m, TimeValue t) const = 0;
  virtual float SelfIllum(const HostMaterial* m, TimeValue t) const = 0;
  virtual Color SelfIllumColor(const HostMaterial* m, TimeValue t) const = 0;
  virtual bool SelfIllumColorOn(const HostMaterial* m) const = 0;
  virtual int ParamBlockCount(const HostMaterial* m) const = 0;
  virtual const HostParamBlock* ParamBlock(const HostMaterial* m, int i) const = 0;
  // The shader material's effect bitmaps.
  virtual int EffectBitmapCount(const HostMaterial* m) const = 0;
  virtual bool EffectBitmapPresent(const HostMaterial* m, int i) const = 0;
  virtual std::string EffectBitmapPath(const HostMaterial* m, int i) const = 0;
  virtual int EffectBitmapChannel(const HostMaterial* m, int i) const = 0;
  virtual bool EffectUsesChannels(const HostMaterial* m) const = 0;

  // Parameter blocks.
  virtual int ParamCount(const HostParamBlock* b) const = 0;
  virtual std::string ParamName(const HostParamBlock* b, int i) const = 0;
  virtual ParamValue ParamAt(const HostParamBlock* b, int i, TimeValue t) const = 0;

  // Texture maps.
  virtual ClassID TexmapClassID(const HostTexmap* m) const = 0;
  virtual std::string TexmapName(const HostTexmap* m) const = 0;
  virtual int TexmapSubCount(const HostTexmap* m) const = 0;
  virtual const HostTexmap* TexmapSub(const HostTexmap* m, int i) const = 0;
  virtual int MapChannel(const HostTexmap* m) const = 0;
  virtual int TextureTiling(const HostTexmap* m) const = 0;  // bit 0 U wrap, 1 V wrap, 2 U mirror, 3 V mirror
  virtual Matrix3 UVTransform(const HostTexmap* m) const = 0;
  virtual std::string BitmapFileName(const HostTexmap* m) const = 0;
  virtual int TexmapParamBlockCount(const HostTexmap* m) const = 0;
  virtual const HostParamBlock* TexmapParamBlock(const HostTexmap* m, int i) const = 0;
  virtual AColor EvalColor(const HostTexmap* m, ShadeContext& sc) const = 0;

  // Bitmap output.
  virtual HostBitmap* CreateBitmap(const std::string& path, int width, int height) = 0;
  virtual bool PutPixels(HostBitmap* bm, int x, int y, int count, const AColor* pixels) = 0;
  virtual bool WriteBitmap(HostBitmap* bm) = 0;
  virtual void CloseBitmap(HostBitmap* bm) = 0;  // closes and deletes
};

}  // namespace vorn
