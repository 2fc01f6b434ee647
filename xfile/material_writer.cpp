#include "xfile/material_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "material/effect_file.h"
#include "material/texture_files.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/mesh_data.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "xformat/template_ids.h"

namespace vorn {

namespace {

XObjectHandle AddMaterialObject(ExportContext& ctx, XObjectHandle parent, const char* name, const float (&bytes)[11]) {
  return ctx.xfileSink->AddObject(parent, kMaterialGuid, name, bytes, sizeof bytes);
}

void AppendText(std::vector<uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

void AppendWord(std::vector<uint8_t>& out, const void* word) {
  const auto* p = static_cast<const uint8_t*>(word);
  out.insert(out.end(), p, p + 4);
}

void AddBytes(ExportContext& ctx, XObjectHandle parent, const Guid& id, const std::vector<uint8_t>& bytes) {
  ctx.xfileSink->Release(ctx.xfileSink->AddObject(parent, id, nullptr, bytes.data(), bytes.size()));
}

// The name the .X gives a shader material's own effect file: its bare name, unless a copy of that
// name would replace another source of the export.
std::string OwnEffectName(ExportContext& ctx, const XEffectMaterial& record) {
  const std::string name = platform::HostFileNameOf(record.effect.effectFile);
  if (!ctx.options.DxFx || !IsSafeTargetName(name) || !platform::FileExists(record.effect.effectFile)) return name;
  if (platform::SameFile(record.effect.effectFile, ctx.outputDirectory + name)) {
    ctx.namesGiven.emplace(name, SourceContent(record.effect.effectFile));
    return name;
  }
  return FreeTargetName(ctx, name, SourceContent(record.effect.effectFile),
                        "effect file '" + record.effect.effectFile + "'");
}

void CopyOwnEffectFile(ExportContext& ctx, const XEffectMaterial& record, const std::string& name) {
  const ExportOptions& o = ctx.options;
  if (!o.DxFx) return;
  const std::string& told = record.effect.effectHostPath;
  if (!SourceIsFile(ctx, told.empty() ? record.effect.effectFile : told, record.effect.effectFile, "effect file")) return;
  if (!IsSafeTargetName(name)) return;
  const std::string target = ctx.outputDirectory + name;
  // Exported into its own folder the effect file is there already; it is never written over itself.
  if (platform::SameFile(record.effect.effectFile, target)) return;
  if ((o.OverwriteFX || !platform::PathExists(target)) && !platform::CopyFileAtomic(record.effect.effectFile, target, o.OverwriteFX != 0))
    ReportNotWritten(ctx, target, errno);
}

void WriteGeneratedEffect(ExportContext& ctx, XObjectHandle material, XRenderableNode* node, XEffectMaterial& record) {
  const ExportOptions& o = ctx.options;
  EffectFileBuilder b = MakeEffectFileBuilder(ctx.options, record);
  size_t effects = 0;
  if (node)
    for (const XMaterialEntry& e : node->nodeMaterials)
      if (e.kind == MaterialKind::Effect) ++effects;
  const std::string nodeName = node ? node->nodeName : std::string();
  std::string fileName = effects < 2 ? nodeName + ".fx" : nodeName + "_" + record.name + ".fx";
  if (IsSafeTargetName(fileName)) {
    char content[32];
    std::snprintf(content, sizeof content, "effect %p", static_cast<const void*>(&record));
    fileName = FreeTargetName(ctx, fileName, content, "generated effect '" + fileName + "'");
  }
  record.effect.effectFile = fileName;
  b.path = ctx.outputDirectory + fileName;
  const XMeshData* mesh = node ? node->meshData.get() : nullptr;
  for (const XTextureSlot& slot : record.slots) {
    const int32_t set = mesh ? EffectTexCoordSet(*mesh, slot.mapChannel) : -1;
    if (set < 0 || slot.mapChannel < 1) continue;
    AddEffectTexture(b, slot.name, slot.role, set, slot.addressU, slot.addressV);
    record.effect.stringParams.push_back({slot.name, slot.fileName});
  }
  WriteEffectInstance(ctx, material, record.effect, true);
  if (o.TextureFiles && IsSafeTargetName(fileName) && (o.OverwriteTexture || !platform::PathExists(b.path)) &&
      !WriteEffectFile(b))
    ReportNotWritten(ctx, b.path, errno);
}

}  // namespace

XObjectHandle WriteMaterialList(ExportContext& ctx, XObjectHandle mesh, XRenderableNode& node) {
  const XMeshData& d = *node.meshData;
  const uint32_t m = static_cast<uint32_t>(node.nodeMaterials.size());
  const uint32_t f = static_cast<uint32_t>(d.faces.size());
  std::vector<uint32_t> bytes(size_t{f} + 2);
  bytes[0] = m > 1 ? m : 1;
  bytes[1] = f;
  if (m > 0)
    for (uint32_t i = 0; i < f; ++i) bytes[i + 2] = d.faces[i].material;
  XObjectHandle list = ctx.xfileSink->AddObject(mesh, kMeshMaterialListGuid, nullptr, bytes.data(), bytes.size() * 4);
  if (m == 0) {
    const uint32_t c = d.wireColor;
    const float wire[11] = {static_cast<float>(c & 0xff) / 255.0f, static_cast<float>((c >> 8) & 0xff) / 255.0f,
                            static_cast<float>((c >> 16) & 0xff) / 255.0f, 1.0f, 0, 0, 0, 0, 0, 0, 0};
    ctx.xfileSink->Release(AddMaterialObject(ctx, list, "", wire));
  } else {
    for (XMaterialEntry& entry : node.nodeMaterials) WriteMaterialEntry(ctx, list, &node, entry);
  }
  AdvanceProgress(ctx);
  return list;
}

void WriteMaterialEntry(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, XMaterialEntry& entry) {
  switch (entry.kind) {
    case MaterialKind::Reference:
      if (parent && entry.ref.index < ctx.materials.size())
        ctx.xfileSink->AddReference(parent, ctx.materials[entry.ref.index]->name.c_str());
      return;
    case MaterialKind::Plain:
      if (entry.plain) WriteMaterial(ctx, parent, node, *entry.plain);
      return;
    case MaterialKind::Effect:
      if (entry.effect) WriteMaterial(ctx, parent, node, *entry.effect);
      return;
  }
}

void WriteMaterial(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, XMaterial& material) {
  if (material.kind == MaterialKind::Reference) return;
  // The eleven colour floats in the order of the Material template.
  float bytes[11];
  std::memcpy(bytes, material.faceColor, sizeof material.faceColor);
  bytes[4] = material.power;
  std::memcpy(bytes + 5, material.specularColor, sizeof material.specularColor);
  std::memcpy(bytes + 8, material.emissiveColor, sizeof material.emissiveColor);
  const XObjectHandle handle = AddMaterialObject(ctx, parent, material.name.c_str(), bytes);
  if (CopyTextureFiles(ctx, material) == 0) {
    ctx.xfileSink->Release(handle);
    return;
  }
  const ExportOptions& o = ctx.options;
  if (material.kind == MaterialKind::Effect) {
    auto& effect = static_cast<XEffectMaterial&>(material);
    if (effect.hasOwnEffectFile) {
      const std::string name = OwnEffectName(ctx, effect);
      if (name == platform::HostFileNameOf(effect.effect.effectFile)) {
        WriteEffectInstance(ctx, handle, effect.effect, o.EffectParam != 0);
      } else {
        XEffectParams renamed = effect.effect;
        renamed.effectFile = name;
        WriteEffectInstance(ctx, handle, renamed, o.EffectParam != 0);
      }
      CopyOwnEffectFile(ctx, effect, name);
    } else {
      WriteGeneratedEffect(ctx, handle, node, effect);
    }
  } else {
    int mainSlot = -1;
    for (int k = 0; k < kTextureSlotCount && mainSlot < 0; ++k)
      if (material.slots[k].mapChannel >= 1 && material.slots[k].role == TextureSlotRole::Diffuse) mainSlot = k;
    for (int k = 0; k < kTextureSlotCount; ++k) {
      const XTextureSlot& slot = material.slots[k];
      if (slot.mapChannel < 1 || slot.fileName.empty() || !(o.MultiTextures || k == mainSlot)) continue;
      std::vector<uint8_t> name;
      AppendText(name, slot.fileName);
      AddBytes(ctx, handle, kTextureFilenameGuid, name);
    }
  }
  ctx.xfileSink->Release(handle);
}

void WriteEffectInstance(ExportContext& ctx, XObjectHandle material, const XEffectParams& params, bool withParams) {
  std::vector<uint8_t> bytes;
  AppendText(bytes, platform::HostFileNameOf(params.effectFile));
  const XObjectHandle instance = ctx.xfileSink->AddObject(material, kEffectInstanceGuid, nullptr, bytes.data(),
                                                          bytes.size());
  if (withParams) {
    for (const XEffectParams::DWordParam& p : params.dwordParams) {
      bytes.clear();
      AppendText(bytes, p.name);
      AppendWord(bytes, &p.value);
      AddBytes(ctx, instance, kEffectParamDWordGuid, bytes);
    }
    for (const XEffectParams::StringParam& p : params.stringParams) {
      bytes.clear();
      AppendText(bytes, p.name);
      AppendText(bytes, p.value);
      AddBytes(ctx, instance, kEffectParamStringGuid, bytes);
    }
    for (const XEffectParams::FloatParam& p : params.floatParams) {
      bytes.clear();
      AppendText(bytes, p.name);
      const uint32_t count = p.floatCount < 4 ? p.floatCount : 4;
      AppendWord(bytes, &count);
      for (uint32_t i = 0; i < count; ++i) AppendWord(bytes, &p.values[i]);
      AddBytes(ctx, instance, kEffectParamFloatsGuid, bytes);
    }
  }
  ctx.xfileSink->Release(instance);
}

}  // namespace vorn
