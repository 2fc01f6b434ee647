// Converting a node's host material into material records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/host_scene.h"
#include "model/material_record.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;

// Classes and interfaces the conversion compares against.
inline constexpr ClassID kStandardMtlClass{2, 0};
inline constexpr ClassID kStandardMtlClass2{3, 0};
inline constexpr ClassID kBitmapMapClass{0x240, 0};
inline constexpr ClassID kNormalBumpMapClass{0x243e22c6, 0x63f6a014};
inline constexpr ClassID kVertexColorMapClass{0x934851, 0};
inline constexpr ClassID kDxShaderInterface{0x55b3201d, 0x29ab7fc3};
inline constexpr ClassID kDxEffectBitmapsInterface{0x54e4202f, 0x30ab6bc4};

// Appends the node's entries (shared records to ctx.materials); false only without a material.
bool ConvertNodeMaterial(ExportContext& ctx, XRenderableNode& node, const HostMaterial* material);

// Never empty: an error record at worst (after the "Error Material" message box).
std::unique_ptr<XMaterial> ConvertShaderMaterial(const ExportContext& ctx, const HostMaterial* material);
// Empty when the material turns out not to be a standard material.
std::unique_ptr<XMaterial> ConvertStandardMaterial(const ExportContext& ctx, const XRenderableNode& node,
                                                   const HostMaterial* material);
std::unique_ptr<XMaterial> ConvertOtherMaterial(const ExportContext& ctx, const XRenderableNode& node,
                                                const HostMaterial* material);
void RegisterMaterial(ExportContext& ctx, XRenderableNode& node, std::unique_ptr<XMaterial> record);
void CollectEffectParams(const ExportContext& ctx, XEffectParams& params, const HostParamBlock* block);
std::string MakeUniqueSlotName(const XMaterial& record, const std::string& hostName);

}  // namespace vorn
