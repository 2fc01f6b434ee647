// Records of a loaded scene document, shared by the loader and the query side. Every record
// lives in one of Data's owning lists; handles handed to the exporter point into them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <span>
#include <thread>
#include <vector>

#include "host/host_scene.h"
#include "host/key_cursor.h"

namespace vorn::scene_doc {

inline constexpr ClassID kPrsControllerClass{0x2005, 0};
inline constexpr ClassID kPositionXyzClass{0x118f7e02, 0xffee238a};
inline constexpr ClassID kEulerXyzClass{0x2012, 0};
inline constexpr ClassID kLinearPositionClass{0x2002, 0};
inline constexpr ClassID kLinearRotationClass{0x2003, 0};
inline constexpr ClassID kLinearScaleClass{0x2004, 0};
inline constexpr ClassID kLinearFloatClass{0x2001, 0};

inline constexpr ClassID kBitmapTexClass{0x240, 0};
inline constexpr ClassID kNormalMapClass{0x243e22c6, 0x63f6a014};
inline constexpr ClassID kVertexColorClass{0x934851, 0};
inline constexpr ClassID kCheckerClass{0x200, 0};
inline constexpr ClassID kGradientClass{0x270, 0};
inline constexpr ClassID kNoiseClass{0x234, 0};

inline constexpr ClassID kStandardMtlClass{2, 0};
inline constexpr ClassID kMultiMtlClass{0x200, 0};
inline constexpr ClassID kShaderMtlClass{0xed995e4, 0x6133daf2};
inline constexpr ClassID kShaderInterface{0x55b3201d, 0x29ab7fc3};
inline constexpr ClassID kEffectBitmapInterface{0x54e4202f, 0x30ab6bc4};

struct Node;
struct Material;

// Keys of one controller; values hold `width` floats per key.
struct Controller final : HostController {
  enum class Value { Transform, Position, Rotation, Scale, Float };
  ClassID cls;
  Value value = Value::Float;
  int width = 1;
  std::vector<TimeValue> times;
  std::vector<float> values;
  float constant[4] = {0, 0, 0, 1};  // value when there are no keys
  bool keyInterface = false;
  bool hasValue = false;
  bool compound = false;  // xyz / Euler: the value comes from three float sub-controllers  // keys or a constant; otherwise the node's own part is used
  int usable = -1;  // -1: decided from the keys
  bool degrees = false;  // Euler sub-controller values are degrees
  std::vector<const Controller*> subs;
  const Controller* position = nullptr;
  const Controller* rotation = nullptr;
  const Controller* scale = nullptr;
  KeyCursor cursor;  // the last key search's result, for the next
};

struct SkinContextData final : SkinContext {
  std::vector<uint32_t> offsets;  // points + 1
  std::vector<int32_t> bones;
  std::vector<float> weights;
  int PointCount() const override { return static_cast<int>(offsets.size()) - 1; }
  int AssignedBoneCount(int p) const override;
  int AssignedBone(int p, int i) const override;
  float BoneWeight(int p, int i) const override;
};

struct SkinData final : SkinInterface {
  struct BoneEntry {
    const Node* node = nullptr;
    bool hasInit = false, hasInitObject = false;
    Matrix3 init, initObject;
  };
  std::vector<BoneEntry> bones;
  bool hasNodeInit = false, hasNodeInitObject = false;
  Matrix3 nodeInit, nodeInitObject;
  SkinContextData context;

  int BoneCount() const override { return static_cast<int>(bones.size()); }
  const HostNode* Bone(int index) const override;
  int SkinInitTM(const HostNode* node, Matrix3& tm, bool objectOffset) const override;
  int BoneInitTM(const HostNode* bone, Matrix3& tm, bool objectOffset) const override;
  const SkinContext* ContextData(const HostNode* node) const override;
};

struct PhysiqueVertexData {
  int type = kPhysiqueRigidType;
  std::vector<const Node*> nodes;
  std::vector<float> weights;
};

struct PhysiqueData;
struct PhysiqueContextData final : PhysiqueContext {
  const PhysiqueData* owner = nullptr;
  int rigid = 0, blending = 1;
  void ConvertToRigid(int flag) override { rigid = flag; }
  void AllowBlending(int flag) override { blending = flag; }
  int VertexCount() const override;
  std::unique_ptr<PhysiqueVertex> Vertex(int i) const override;
};

struct PhysiqueData final : PhysiqueInterface {
  std::vector<PhysiqueVertexData> vertices;
  std::vector<std::pair<const Node*, Matrix3>> boneInit;
  bool hasNodeInit = false;
  Matrix3 nodeInit;
  mutable PhysiqueContextData context;

  int InitNodeTM(const HostNode* node, Matrix3& tm) const override;
  int InitBoneTM(const HostNode* bone, Matrix3& tm) const override;
  PhysiqueContext* Context(const HostNode* node) const override;
};

struct Modifier final : HostModifier {
  enum class Kind { Skin, Physique, Xform, Edit, Other };
  Kind kind = Kind::Other;
  ClassID cls;
  uint32_t flags = 0;
  Matrix3 xform;                                    // Xform: points go through it
  std::vector<std::pair<uint32_t, Point3>> moves;   // Edit: point index and offset
  std::unique_ptr<SkinData> skin;
  std::unique_ptr<PhysiqueData> physique;
};

struct Object final : HostObject {
  enum class Kind { Mesh, Patch, Shape, Helper, Geometry, Derived, Other };
  Kind kind = Kind::Other;
  std::string id;
  ClassID cls;
  uint32_t super = 0;
  bool hasMesh = false;
  TriMesh mesh;
  PatchMesh patch;
  int patchSteps = 2;
  std::vector<Point3> points;  // the object's own points when they are not the mesh's
  bool explicitPoints = false;
  int convertible = -1;        // -1: decided by the kind
  // Derived objects.
  const Object* input = nullptr;
  std::vector<const Modifier*> modifiers;
};

struct Samples {
  TimeValue start = 0, step = 1;
  std::vector<Matrix3> matrices;
};

// A keyed node's local transforms at the times asked so far, rising. Sampling the nodes one
// after another asks every ancestor again at each time; this answers without its keys.
struct LocalTimeline {
  std::vector<TimeValue> times;
  std::vector<Matrix3> matrices;
  size_t next = 0;  // where the next time asked is expected
};

struct Node final : HostNode {
  std::string name;
  uint32_t handle = 0;
  bool selected = false, hidden = false, renderable = true;
  uint32_t wireColor = 0;
  const Node* parent = nullptr;
  std::vector<const Node*> children;
  Matrix3 transform;
  bool world = false;  // transform, controller and samples give the world transform
  // Parts of the static transform a controller falls back on.
  Point3 staticPos, staticScale{1, 1, 1};
  Quat staticRot;
  Matrix3 objectOffset;
  const Object* object = nullptr;
  const Controller* controller = nullptr;
  const Material* material = nullptr;
  std::unique_ptr<Samples> samples;
  mutable LocalTimeline timeline;  // touched by the document's evaluating thread only
};

struct ParamEntry {
  std::string name;
  ParamValue value;
};
struct ParamBlock final : HostParamBlock {
  std::vector<ParamEntry> params;
};

struct Texmap final : HostTexmap {
  enum class Kind { Bitmap, NormalMap, VertexColor, Checker, Gradient, Noise, Other };
  Kind kind = Kind::Other;
  std::string id, name, file;
  ClassID cls;
  int channel = 1;
  int tiling = 3;
  Matrix3 uvTransform;
  std::vector<const Texmap*> subs;
  std::vector<const ParamBlock*> blocks;
  AColor color1{0, 0, 0, 1}, color2{1, 1, 1, 1}, color3{1, 1, 1, 1};
  float position = 0.5f;  // gradient: place of color2
  bool radial = false;
  float size = 0.25f;     // noise cell size in UVW units
};

struct EffectBitmap {
  bool present = false;
  std::string path;
  int channel = 1;
};

struct Material final : HostMaterial {
  std::string id, name;
  ClassID cls;
  std::vector<ClassID> interfaces;
  std::vector<const Material*> subs;
  std::vector<const Texmap*> maps;
  std::vector<char> mapOn;
  Color ambient{0.588f, 0.588f, 0.588f}, diffuse{0.588f, 0.588f, 0.588f}, specular{0.9f, 0.9f, 0.9f};
  float shininess = 0.1f, shinStr = 0, transparency = 0, selfIllum = 0;
  Color selfIllumColor;
  bool selfIllumColorOn = false;
  std::vector<const ParamBlock*> blocks;
  std::vector<EffectBitmap> effectBitmaps;
  bool usesChannels = false;
};

// A number no other document in this process has, for caches keyed by node address.
inline uint64_t NextDocumentSerial() {
  static std::atomic<uint64_t> next{0};
  return ++next;
}

struct Data {
  const uint64_t serial = NextDocumentSerial();
  std::string documentPath;
  Interval range{0, 100 * 160};
  int ticksPerFrame = 160;
  std::string filePath;
  std::map<int, std::string> dirs;
  bool patchRoutine = true;

  Node root;
  std::vector<std::unique_ptr<Node>> nodes;  // document order
  std::vector<std::unique_ptr<Object>> objects;
  std::vector<std::unique_ptr<Modifier>> modifiers;
  std::vector<std::unique_ptr<Controller>> controllers;
  std::vector<std::unique_ptr<Material>> materials;
  std::vector<std::unique_ptr<Texmap>> texmaps;
  std::vector<std::unique_ptr<ParamBlock>> blocks;
  std::map<std::string, const Object*> objectIds;
  std::map<std::string, const Material*> materialIds;
  std::map<std::string, const Texmap*> texmapIds;

  // Results the host hands out: evaluated pipelines (kept) and conversion temporaries.
  mutable std::mutex cacheMutex;
  mutable std::unordered_map<const Object*, std::unique_ptr<Object>> evaluated;
  mutable std::unordered_map<const Object*, std::unique_ptr<Object>> temporaries;
  std::vector<std::unique_ptr<HostBitmap>> bitmaps;  // open until CloseBitmap

  // The first thread to evaluate a transform keeps the nodes' timelines; others use the memo.
  mutable std::atomic<std::thread::id> evaluator{};
  mutable size_t timelineEntries = 0;
};

// Pipeline and geometry (scene_document_eval.cpp).
void TessellatePatch(const PatchMesh& patch, int steps, TriMesh& out, PatchTable& table);
// A copy of the evaluated input with the derived object's enabled modifiers applied.
std::unique_ptr<Object> EvaluatePipeline(const Object& derived, const Object& input);
std::span<const Point3> ObjectPoints(const Object& o);
size_t BasePointCount(const Object& o);
void MakeBoneMesh(float length, float width, TriMesh& out);

// Controllers (scene_document_eval.cpp).
Matrix3 LocalTransform(const Node& n, TimeValue t);
// The same, remembered: on the evaluating thread in the node's timeline (up to a memory
// budget), elsewhere per thread for the last time asked, so that a node's world transform and
// then its parent's at one time evaluate each ancestor's keys once.
Matrix3 CachedLocalTransform(const Data& d, const Node& n, TimeValue t);

// Maps (scene_document_output.cpp).
AColor EvalTexmap(const Texmap& m, ShadeContext& sc);

}  // namespace vorn::scene_doc
