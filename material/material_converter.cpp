#include "material/material_converter.h"

#include <algorithm>
#include <cctype>
#include <deque>

#include "material/texture_files.h"
#include "mesh/texcoord_sets.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "platform/paths.h"
#include "scene/node_tree.h"

namespace vorn {

namespace {

bool IsStandardClass(ClassID c) { return c == kStandardMtlClass || c == kStandardMtlClass2; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::unique_ptr<XMaterial> DefaultRecord(std::string name) {
  auto r = std::make_unique<XMaterial>();
  r->name = std::move(name);
  return r;
}

TextureAddress AddressFrom(int tiling, int wrapBit, int mirrorBit) {
  if (tiling & wrapBit) return TextureAddress::Wrap;
  if (tiling & mirrorBit) return TextureAddress::Mirror;
  return TextureAddress::Clamp;
}

void SetAddressing(const HostScene& host, const HostTexmap* map, XTextureSlot& slot) {
  const int tiling = host.TextureTiling(map);
  slot.addressU = AddressFrom(tiling, 1, 4);
  slot.addressV = AddressFrom(tiling, 2, 8);
}

// The bitmap part shared by standard and other materials; the role is the caller's.
void FillBitmapSlot(const ExportContext& ctx, const HostTexmap* map, XMaterial& record, XTextureSlot& slot) {
  const HostScene& host = *ctx.host;
  slot.name = MakeUniqueSlotName(record, host.TexmapName(map));
  slot.uvTransform = TexmapUVTransform(host, map);
  SetAddressing(host, map, slot);
  const std::string path = host.BitmapFileName(map);
  slot.fileName = platform::HostFileNameOf(path);
  slot.sourcePath = ResolveTexturePath(ctx.searchFolders, path);
  slot.hostPath = path;
  slot.mapChannel = host.MapChannel(map);
}

int SupportedChannels(const XRenderableNode& node) {
  if (!node.mesh) return 0;
  int n = 0;
  for (int ch = 1; ch <= 99; ++ch)
    if (node.mesh->MapSupport(ch)) ++n;
  return n;
}

// Keeps the record as an effect material or turns it into a plain copy.
std::unique_ptr<XMaterial> DecideEffect(const ExportOptions& o, const XRenderableNode& node,
                                        std::unique_ptr<XEffectMaterial> record) {
  const int channels = SupportedChannels(node);
  bool plain = !o.FX || channels < 1;
  if (!plain && channels == 1) {
    int used = 0;
    bool diffuse = false;
    for (const XTextureSlot& s : record->slots) {
      if (s.mapChannel >= 1) ++used;
      if (s.role == TextureSlotRole::Diffuse && s.mapChannel >= 1) diffuse = true;
    }
    plain = used == 1 && diffuse;
  }
  if (!plain) return record;
  auto copy = std::make_unique<XMaterial>(static_cast<const XMaterial&>(*record));
  copy->kind = MaterialKind::Plain;
  return copy;
}

void SetSpecularAndEmissive(const HostScene& host, const HostMaterial* m, XMaterial& r) {
  r.power = host.Shininess(m, 0) * 100.0f;
  const Color spec = host.Specular(m, 0);
  const float strength = host.ShinStr(m, 0);
  r.specularColor[0] = spec.r * strength * 0.1f;
  r.specularColor[1] = spec.g * strength * 0.1f;
  r.specularColor[2] = spec.b * strength * 0.1f;
  if (host.SelfIllumColorOn(m)) {
    const Color e = host.SelfIllumColor(m, 0);
    r.emissiveColor[0] = e.r;
    r.emissiveColor[1] = e.g;
    r.emissiveColor[2] = e.b;
  }
}

void SetFaceColor(XMaterial& r, Color diffuse, float alpha) {
  r.faceColor[0] = diffuse.r;
  r.faceColor[1] = diffuse.g;
  r.faceColor[2] = diffuse.b;
  r.faceColor[3] = alpha;
}

std::unique_ptr<XMaterial> ConvertSimple(ExportContext& ctx, const XRenderableNode& node, const HostMaterial* m) {
  std::unique_ptr<XMaterial> r = ConvertStandardMaterial(ctx, node, m);
  return r ? std::move(r) : ConvertOtherMaterial(ctx, node, m);
}

XMaterialEntry MakeEntry(std::unique_ptr<XMaterial> record) {
  XMaterialEntry e;
  e.kind = record->kind;
  if (record->kind == MaterialKind::Effect)
    e.effect.reset(static_cast<XEffectMaterial*>(record.release()));
  else
    e.plain = std::move(record);
  return e;
}

const XMaterial* EntryName(const XMaterialEntry& e) {
  if (e.kind == MaterialKind::Plain) return e.plain.get();
  if (e.kind == MaterialKind::Effect) return e.effect.get();
  return nullptr;
}

}  // namespace

std::string MakeUniqueSlotName(const XMaterial& record, const std::string& hostName) {
  std::string name = CleanName(hostName);
  for (;;) {
    bool taken = false;
    for (const XTextureSlot& s : record.slots)
      if (s.name == name) taken = true;
    if (!taken) return name;
    name.push_back('_');
  }
}

bool ConvertNodeMaterial(ExportContext& ctx, XRenderableNode& node, const HostMaterial* material) {
  if (!material) return false;
  HostScene& host = *ctx.host;
  const int n = host.SubMtlCount(material);
  if (host.HasInterface(material, kDxShaderInterface)) {
    RegisterMaterial(ctx, node, ConvertShaderMaterial(ctx, material));
    return true;
  }
  if (n <= 0) {
    RegisterMaterial(ctx, node, ConvertSimple(ctx, node, material));
    return true;
  }
  for (int i = 0; i < n; ++i) {
    const HostMaterial* sub = host.SubMtl(material, i);
    RegisterMaterial(ctx, node, sub ? ConvertSimple(ctx, node, sub) : DefaultRecord("Material_NULL"));
  }
  return true;
}

std::unique_ptr<XMaterial> ConvertStandardMaterial(const ExportContext& ctx, const XRenderableNode& node,
                                                   const HostMaterial* material) {
  const HostScene& host = *ctx.host;
  const ExportOptions& o = ctx.options;
  const std::string baseName = CleanName(host.MaterialName(material));
  const HostMaterial* found = nullptr;
  const HostMaterial* m = material;
  bool chainBroken = false;
  while (host.SubMtlCount(m) > 0) {
    m = host.SubMtl(m, 0);
    if (!m) {
      chainBroken = true;
      break;
    }
  }
  if (!chainBroken && IsStandardClass(host.MaterialClassID(m))) {
    found = m;
  } else {
    // Breadth-first; `found` follows every material looked at, so an exhausted search ends on
    // the last sub-material seen, empty or not.
    std::deque<const HostMaterial*> queue{material};
    while (!queue.empty()) {
      const HostMaterial* cur = queue.front();
      queue.pop_front();
      found = cur;
      if (IsStandardClass(host.MaterialClassID(cur))) break;
      const int n = host.SubMtlCount(cur);
      for (int i = 0; i < n; ++i) {
        const HostMaterial* sub = host.SubMtl(cur, i);
        found = sub;
        if (sub) queue.push_back(sub);
      }
    }
    if (!found) return DefaultRecord(baseName + "_ErrorSubMtl");  // baseName + ": Hasn't standard sub material !"
    if (!IsStandardClass(host.MaterialClassID(found))) return nullptr;
  }

  auto r = std::make_unique<XEffectMaterial>();
  r->name = CleanName(host.MaterialName(found));
  const bool vertexColor = o.VertexColor != 0;
  for (int k = 0; k < kTextureSlotCount; ++k) {
    XTextureSlot& slot = r->slots[k];
    const HostTexmap* map = host.SubTexmapOn(found, k + 1) ? host.SubTexmap(found, k + 1) : nullptr;
    if (map && host.TexmapClassID(map) == kNormalBumpMapClass) {
      map = host.TexmapSub(map, 0);
      if (map && host.TexmapClassID(map) == kBitmapMapClass) slot.role = TextureSlotRole::NormalMap;
    }
    if (!map) {
      slot = XTextureSlot{};
      continue;
    }
    if (host.TexmapClassID(map) == kBitmapMapClass) {
      if (k == 0) slot.role = TextureSlotRole::Diffuse;
      FillBitmapSlot(ctx, map, *r, slot);
      continue;
    }
    slot.mapChannel = host.MapChannel(map);
    if (slot.mapChannel < 1 || (vertexColor && host.TexmapClassID(map) == kVertexColorMapClass)) {
      slot = XTextureSlot{};
      continue;
    }
    slot.name = MakeUniqueSlotName(*r, host.TexmapName(map));
    slot.fileName = slot.name + ".bmp";
    slot.sourcePath = slot.fileName;
    slot.uvTransform = TexmapUVTransform(host, map);
    SetAddressing(host, map, slot);
    slot.proceduralMap = map;
    if (k == 0) slot.role = TextureSlotRole::Diffuse;
  }

  SetSpecularAndEmissive(host, found, *r);
  const bool keepDiffuse = r->slots[0].mapChannel < 1 || o.DiffuseMapColor;
  SetFaceColor(*r, keepDiffuse ? host.Diffuse(found, 0) : Color{1, 1, 1}, 1.0f - host.Xparency(found, 0));
  return DecideEffect(o, node, std::move(r));
}

std::unique_ptr<XMaterial> ConvertOtherMaterial(const ExportContext& ctx, const XRenderableNode& node,
                                                const HostMaterial* material) {
  const HostScene& host = *ctx.host;
  const ExportOptions& o = ctx.options;
  const std::string baseName = CleanName(host.MaterialName(material));
  const HostMaterial* m = material;
  while (host.SubMtlCount(m) > 0) {
    m = host.SubMtl(m, 0);
    if (!m) return DefaultRecord(baseName + "_ErrorOtherSubMtl");  // baseName + ": Has NULL sub material !"
  }
  const int count = std::min(host.SubTexmapCount(m), kTextureSlotCount);
  auto r = std::make_unique<XEffectMaterial>();
  r->name = CleanName(host.MaterialName(m));
  for (int k = 0; k < count; ++k) {
    XTextureSlot& slot = r->slots[k];
    const HostTexmap* map = host.SubTexmap(m, k);
    if (map && host.TexmapClassID(map) == kNormalBumpMapClass) {
      map = host.TexmapSub(map, 0);
      if (map && host.TexmapClassID(map) == kBitmapMapClass) slot.role = TextureSlotRole::NormalMap;
    }
    if (!map || host.TexmapClassID(map) != kBitmapMapClass) {
      slot = XTextureSlot{};
      continue;
    }
    FillBitmapSlot(ctx, map, *r, slot);
  }
  SetSpecularAndEmissive(host, m, *r);

  bool anyUsed = false;
  for (const XTextureSlot& s : r->slots) anyUsed = anyUsed || s.mapChannel >= 1;
  if (anyUsed) {
    for (XTextureSlot& s : r->slots) {
      if (s.role == TextureSlotRole::None && !s.fileName.empty() && !s.sourcePath.empty()) {
        s.role = TextureSlotRole::Diffuse;
        break;
      }
    }
  }
  bool diffuseMapped = false;
  for (const XTextureSlot& s : r->slots)
    diffuseMapped = diffuseMapped || (s.role == TextureSlotRole::Diffuse && s.mapChannel > 0);
  if (diffuseMapped && !o.DiffuseMapColor)
    SetFaceColor(*r, Color{1, 1, 1}, 1.0f);
  else
    SetFaceColor(*r, host.Diffuse(m, 0), 1.0f - host.Xparency(m, 0));
  return DecideEffect(o, node, std::move(r));
}

std::unique_ptr<XMaterial> ConvertShaderMaterial(const ExportContext& ctx, const HostMaterial* material) {
  HostScene& host = *ctx.host;
  const std::string rawName = host.MaterialName(material);
  const int nb = host.ParamBlockCount(material);
  const HostParamBlock* block0 = nb >= 1 ? host.ParamBlock(material, 0) : nullptr;
  if (block0) {
    auto r = std::make_unique<XEffectMaterial>();
    r->name = CleanName(rawName);
    if (host.HasInterface(material, kDxEffectBitmapsInterface)) {
      bool usesChannels = false;
      const int params = host.ParamCount(block0);
      for (int i = 0; i < params; ++i)
        if (Lower(host.ParamName(block0, i)).find("mapchannel") != std::string::npos) usesChannels = true;
      const int nBitmaps = std::min(host.EffectBitmapCount(material), kTextureSlotCount);
      for (int j = 0; j < nBitmaps; ++j) {
        XTextureSlot& slot = r->slots[j];
        slot.uvTransform = kDefaultUVTransform;
        slot.mapChannel = usesChannels ? std::max(1, host.EffectBitmapChannel(material, j)) : 1;
        if (host.EffectBitmapPresent(material, j)) {
          const std::string path = host.EffectBitmapPath(material, j);
          slot.sourcePath = ResolveTexturePath(ctx.searchFolders, path);
          slot.hostPath = path;
          slot.fileName = platform::HostFileNameOf(path);
        }
      }
    }
    for (int b = 1; b < nb; ++b) {
      const HostParamBlock* block = host.ParamBlock(material, b);
      const int params = host.ParamCount(block);
      for (int i = 0; i < params; ++i) {
        if (Lower(host.ParamName(block, i)) != "effectfile") continue;
        ParamValue v = host.ParamAt(block, i, 0);
        if (v.type == static_cast<int>(ParamType::Filename)) r->effect.effectFile = v.s;
      }
    }
    if (!r->effect.effectFile.empty()) {
      r->effect.effectHostPath = r->effect.effectFile;
      r->effect.effectFile = ResolveTexturePath(ctx.searchFolders, r->effect.effectFile);
      CollectEffectParams(ctx, r->effect, block0);
      r->hasOwnEffectFile = 1;
      return r;
    }
  }
  host.MessageBox(rawName + ": Not valid directx material!", "Error Material", 0, false);
  return DefaultRecord(CleanName(rawName) + "_ErrorDxMaterial");
}

void CollectEffectParams(const ExportContext& ctx, XEffectParams& params, const HostParamBlock* block) {
  const HostScene& host = *ctx.host;
  // A texture is named by its bare file name, and its source is kept for the copy step to copy it
  // and to rename it after a conversion.
  auto texture = [&](std::string name, const std::string& path) {
    params.stringParams.push_back({std::move(name), platform::HostFileNameOf(path), ResolveTexturePath(ctx.searchFolders, path), path});
  };
  const int n = host.ParamCount(block);
  for (int i = 0; i < n; ++i) {
    const ParamValue v = host.ParamAt(block, i, 0);
    std::string name = host.ParamName(block, i);
    auto floats = [&](uint32_t count) {
      XEffectParams::FloatParam p;
      p.name = std::move(name);
      for (uint32_t c = 0; c < count; ++c) p.values[c] = v.f[c];
      p.floatCount = count;
      params.floatParams.push_back(std::move(p));
    };
    switch (v.type) {
      case 0:
      case 6: floats(1); break;
      case 3: floats(3); break;
      case 22:
      case 23: floats(4); break;
      case 4: params.dwordParams.push_back({std::move(name), v.i}); break;
      case 8:
      case 9: params.stringParams.push_back({std::move(name), v.s}); break;
      case 15:
        // A map parameter without a bitmap names no file and is left out.
        if (v.map && host.TexmapClassID(v.map) == kBitmapMapClass) texture(std::move(name), host.BitmapFileName(v.map));
        break;
      case 16:
        if (!v.s.empty()) texture(std::move(name), v.s);
        break;
      default: break;
    }
  }
}

void RegisterMaterial(ExportContext& ctx, XRenderableNode& node, std::unique_ptr<XMaterial> record) {
  if (!record) return;
  if (record->name == node.nodeName) record->name = "Mat_" + record->name;
  if (record->name == "string") record->name = "_" + record->name;
  // A material without a name cannot be referenced, so it is written in place.
  if (ctx.options.InlineMtl || record->kind == MaterialKind::Effect || record->name.empty()) {
    for (size_t i = 0; i < node.nodeMaterials.size();) {
      const XMaterial* other = EntryName(node.nodeMaterials[i]);
      if (other && other->name == record->name) {
        record->name.push_back('_');
        i = 0;
      } else {
        ++i;
      }
    }
    node.nodeMaterials.push_back(MakeEntry(std::move(record)));
    return;
  }
  XMaterialEntry ref;
  ref.kind = MaterialKind::Reference;
  for (size_t p = 0; p < ctx.materials.size(); ++p) {
    if (ctx.materials[p]->name == record->name) {
      ref.ref.index = static_cast<uint32_t>(p);
      node.nodeMaterials.push_back(std::move(ref));
      return;
    }
  }
  ctx.materials.push_back(std::move(record));
  ref.ref.index = static_cast<uint32_t>(ctx.materials.size() - 1);
  node.nodeMaterials.push_back(std::move(ref));
}

}  // namespace vorn
