// A host scene read from a JSON scene document (format in docs/scene-format.md). It answers
// every HostScene query from the loaded records, so the exporter runs without the host.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/host_scene.h"

namespace vorn {

// A document that cannot be loaded. where() is a JSON-pointer-like place in the document
// ("/nodes/3/mesh/faces/17"), empty for whole-file problems; what() is "file: where: message".
class SceneError : public std::runtime_error {
 public:
  SceneError(const std::string& where, const std::string& message, const std::string& file = "");
  const std::string& where() const { return where_; }
  const std::string& message() const { return message_; }
  const std::string& file() const { return file_; }

 private:
  std::string where_, message_, file_;
};

enum class ProgressEvent { Start, Update, End };

struct RecordedMessage {
  std::string caption, text;
  int icon = 0;
};

namespace scene_doc {
struct Data;
}

class SceneDocument final : public HostScene {
 public:
  using MessageSink = std::function<void(const std::string& caption, const std::string& text, int icon)>;
  using ProgressSink = std::function<void(ProgressEvent event, int percent, const std::string& title)>;

  explicit SceneDocument(std::unique_ptr<scene_doc::Data> data);
  ~SceneDocument() override;
  SceneDocument(const SceneDocument&) = delete;
  SceneDocument& operator=(const SceneDocument&) = delete;

  // Host side hooks the app sets.
  void SetMessageSink(MessageSink sink) { messageSink_ = std::move(sink); }
  // Shows modal dialogs to a user; without one they are confirmed as they open.
  using DialogRunner = std::function<int(DialogModel& dialog, DialogProcedure& procedure)>;
  void SetDialogRunner(DialogRunner runner) { dialogRunner_ = std::move(runner); }
  void SetProgressSink(ProgressSink sink) { progressSink_ = std::move(sink); }
  void SetDirectory(int which, const std::string& path);
  const std::vector<RecordedMessage>& Messages() const { return messages_; }
  // What the last export reported; none before any.
  const std::optional<ExportResult>& LastExportResult() const { return lastExportResult_; }
  // The code of the last ExportStartNotify, -1 before any.
  int ExportStartCode() const { return exportStartCode_; }
  // Temporaries made by ConvertToTriObject and not yet deleted.
  int LiveTemporaries() const;
  // Lookups for callers that know the document (tests, the app).
  const HostNode* FindNode(const std::string& name) const;
  const HostNode* FindNodeByHandle(uint32_t handle) const;
  const HostMaterial* FindMaterial(const std::string& id) const;
  const HostTexmap* FindTexmap(const std::string& id) const;
  const HostObject* FindObject(const std::string& id) const;

  // HostScene.
  Interval AnimRange() const override;
  int TicksPerFrame() const override;
  int FrameRate() const override;
  const HostNode* RootNode() const override;
  std::string Dir(int which) const override;
  std::string CurFilePath() const override;
  void ExportStartNotify(int code) override { exportStartCode_ = code; }

  void ProgressStart(const std::string& title, bool showBar) override;
  void ProgressUpdate(int percent, bool showPercent, const std::string& title) override;
  void ProgressEnd() override;
  void MessageBox(const std::string& text, const std::string& caption, int icon, bool owned) override;
  void ExportFinished(const ExportResult& result) override { lastExportResult_ = result; }
  bool InteractiveDialogs() const override { return static_cast<bool>(dialogRunner_); }
  int RunDialog(DialogModel& dialog, DialogProcedure& procedure) override {
    return dialogRunner_ ? dialogRunner_(dialog, procedure) : RunDialogUnshown(dialog, procedure);
  }

  std::string NodeName(const HostNode* n) const override;
  int ChildCount(const HostNode* n) const override;
  const HostNode* Child(const HostNode* n, int i) const override;
  bool Selected(const HostNode* n) const override;
  bool Hidden(const HostNode* n, int flags = 0) const override;
  bool Renderable(const HostNode* n) const override;
  uint32_t WireColor(const HostNode* n) const override;
  Matrix3 NodeTM(const HostNode* n, TimeValue t) const override;
  Matrix3 ObjectTM(const HostNode* n, TimeValue t) const override;
  const HostObject* ObjectRef(const HostNode* n) const override;
  const HostController* TMController(const HostNode* n) const override;
  const HostMaterial* NodeMaterial(const HostNode* n) const override;
  uint32_t NodeHandle(const HostNode* n) const override;

  const HostObject* BaseObject(const HostObject* o) const override;
  ClassID ObjectClassID(const HostObject* o) const override;
  uint32_t SuperClassID(const HostObject* o) const override;
  const HostObject* Eval(const HostObject* o, TimeValue t) const override;
  int PointCount(const HostObject* o) const override;
  Point3 GetPoint(const HostObject* o, int i) const override;
  bool CanConvertTo(const HostObject* o, ClassID cls) const override;
  const HostObject* ConvertToTriObject(const HostObject* o, TimeValue t) const override;
  void DeleteTemporary(const HostObject* o) const override;
  const TriMesh* ObjectMesh(const HostObject* triObject) const override;
  int ModifierCount(const HostObject* derived) const override;
  const HostModifier* Modifier(const HostObject* derived, int i) const override;
  const HostObject* DerivedInput(const HostObject* derived) const override;
  const PatchMesh* GetPatchMesh(const HostObject* patchObject) const override;
  bool PatchToTriMesh(const PatchMesh& patch, TriMesh& out, PatchTable& table, int flags) const override;

  ClassID ModifierClassID(const HostModifier* m) const override;
  uint32_t ModifierFlags(const HostModifier* m) const override;
  const SkinInterface* GetSkinInterface(const HostModifier* m, uint32_t id) const override;
  const PhysiqueInterface* GetPhysiqueInterface(const HostModifier* m, uint32_t id) const override;

  ClassID ControllerClassID(const HostController* c) const override;
  const HostController* PositionController(const HostController* c) const override;
  const HostController* RotationController(const HostController* c) const override;
  const HostController* ScaleController(const HostController* c) const override;
  int SubControllerCount(const HostController* c) const override;
  const HostController* SubController(const HostController* c, int i) const override;
  bool HasUsableKeys(const HostController* c) const override;
  bool HasKeyInterface(const HostController* c) const override;
  int KeyCount(const HostController* c) const override;
  TimeValue KeyTime(const HostController* c, int i) const override;

  ClassID MaterialClassID(const HostMaterial* m) const override;
  std::string MaterialName(const HostMaterial* m) const override;
  bool HasInterface(const HostMaterial* m, ClassID id) const override;
  int SubMtlCount(const HostMaterial* m) const override;
  const HostMaterial* SubMtl(const HostMaterial* m, int i) const override;
  int SubTexmapCount(const HostMaterial* m) const override;
  const HostTexmap* SubTexmap(const HostMaterial* m, int i) const override;
  bool SubTexmapOn(const HostMaterial* m, int i) const override;
  Color Ambient(const HostMaterial* m, TimeValue t) const override;
  Color Diffuse(const HostMaterial* m, TimeValue t) const override;
  Color Specular(const HostMaterial* m, TimeValue t) const override;
  float Shininess(const HostMaterial* m, TimeValue t) const override;
  float ShinStr(const HostMaterial* m, TimeValue t) const override;
  float Xparency(const HostMaterial* m, TimeValue t) const override;
  float SelfIllum(const HostMaterial* m, TimeValue t) const override;
  Color SelfIllumColor(const HostMaterial* m, TimeValue t) const override;
  bool SelfIllumColorOn(const HostMaterial* m) const override;
  int ParamBlockCount(const HostMaterial* m) const override;
  const HostParamBlock* ParamBlock(const HostMaterial* m, int i) const override;
  int EffectBitmapCount(const HostMaterial* m) const override;
  bool EffectBitmapPresent(const HostMaterial* m, int i) const override;
  std::string EffectBitmapPath(const HostMaterial* m, int i) const override;
  int EffectBitmapChannel(const HostMaterial* m, int i) const override;
  bool EffectUsesChannels(const HostMaterial* m) const override;

  int ParamCount(const HostParamBlock* b) const override;
  std::string ParamName(const HostParamBlock* b, int i) const override;
  ParamValue ParamAt(const HostParamBlock* b, int i, TimeValue t) const override;

  ClassID TexmapClassID(const HostTexmap* m) const override;
  std::string TexmapName(const HostTexmap* m) const override;
  int TexmapSubCount(const HostTexmap* m) const override;
  const HostTexmap* TexmapSub(const HostTexmap* m, int i) const override;
  int MapChannel(const HostTexmap* m) const override;
  int TextureTiling(const HostTexmap* m) const override;
  Matrix3 UVTransform(const HostTexmap* m) const override;
  std::string BitmapFileName(const HostTexmap* m) const override;
  int TexmapParamBlockCount(const HostTexmap* m) const override;
  const HostParamBlock* TexmapParamBlock(const HostTexmap* m, int i) const override;
  AColor EvalColor(const HostTexmap* m, ShadeContext& sc) const override;

  HostBitmap* CreateBitmap(const std::string& path, int width, int height) override;
  bool PutPixels(HostBitmap* bm, int x, int y, int count, const AColor* pixels) override;
  bool WriteBitmap(HostBitmap* bm) override;
  void CloseBitmap(HostBitmap* bm) override;

 private:
  std::unique_ptr<scene_doc::Data> d_;
  MessageSink messageSink_;
  DialogRunner dialogRunner_;
  ProgressSink progressSink_;
  std::vector<RecordedMessage> messages_;
  std::optional<ExportResult> lastExportResult_;
  int exportStartCode_ = -1;
};

// Loads a scene document; throws SceneError naming the file and the place in it.
std::unique_ptr<SceneDocument> LoadSceneDocument(const std::string& path);
// The same from text; sidecar buffers are looked up relative to baseDir.
std::unique_ptr<SceneDocument> LoadSceneDocumentFromString(const std::string& text,
                                                           const std::string& baseDir = ".");

}  // namespace vorn
