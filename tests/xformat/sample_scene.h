// A small scene that uses every template the exporter writes, handed to a sink the way the
// writers do; shared by the round-trip and loader conformance tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xformat/standard_templates.h"
#include "xformat/template_ids.h"
#include "xformat/xfile_sink.h"

namespace vorn::testing {

struct DataBytes {
  std::vector<uint8_t> bytes;
  DataBytes& Dword(uint32_t v) { return Raw(&v, 4); }
  DataBytes& Word(uint16_t v) { return Raw(&v, 2); }
  DataBytes& Float(float v) { return Raw(&v, 4); }
  DataBytes& Floats(std::initializer_list<float> vs) {
    for (float v : vs) Float(v);
    return *this;
  }
  DataBytes& String(const char* s) { return Raw(s, std::strlen(s) + 1); }
  DataBytes& Raw(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
};

inline bool RegisterTemplateBlocks(XFileSink& sink) {
  for (auto block : TemplateBlocks())
    if (!sink.AddTemplates(block.data(), block.size())) return false;
  return true;
}

inline XObjectHandle Add(XFileSink& sink, XObjectHandle parent, const Guid& id, const char* name,
                         const DataBytes& data) {
  return sink.AddObject(parent, id, name, data.bytes.data(), data.bytes.size());
}

inline void AddIdentity(XFileSink& sink, XObjectHandle frame, float tx) {
  DataBytes m;
  m.Floats({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, tx, 0.5f, -0.0f, 1});
  sink.Release(Add(sink, frame, kFrameTransformMatrixGuid, nullptr, m));
}

// Objects, references and data of every kind the writers produce. Floats include values whose
// shortest text needs care (0.1, 1e-05, denormals, large values, negative zero).
inline void WriteSampleScene(XFileSink& sink) {
  DataBytes material;
  material.Floats({0.8f, 0.1f, 0.2f, 1.0f, 12.5f, 0.0f, 0.0f, 0.0f, 1e-05f, 0.0f, 0.0f});
  XObjectHandle shared = Add(sink, {}, kMaterialGuid, "Shared_Red", material);
  sink.Release(Add(sink, shared, kTextureFilenameGuid, nullptr, DataBytes().String("maps\\red brick.png")));
  sink.Release(shared);

  sink.Release(Add(sink, {}, kAnimTicksPerSecondGuid, "", DataBytes().Dword(4800)));

  XObjectHandle root = Add(sink, {}, kFrameGuid, "Scene_Root", {});
  AddIdentity(sink, root, 0);
  XObjectHandle box = Add(sink, root, kFrameGuid, "Box01", {});
  AddIdentity(sink, box, 3.4028235e38f);

  // a quad of two triangles
  const float points[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 1.17549435e-38f}};
  const uint32_t faces[2][3] = {{0, 1, 2}, {0, 2, 3}};
  DataBytes mesh;
  mesh.Dword(4);
  for (auto& p : points) mesh.Floats({p[0], p[1], p[2]});
  mesh.Dword(2);
  for (auto& f : faces) mesh.Dword(3).Dword(f[0]).Dword(f[1]).Dword(f[2]);
  XObjectHandle meshHandle = Add(sink, box, kMeshGuid, "Box01", mesh);

  DataBytes normals;
  normals.Dword(4);
  for (int i = 0; i < 4; ++i) normals.Floats({0, 0, i == 3 ? -1.0f : 1.0f});
  normals.Dword(2);
  for (auto& f : faces) normals.Dword(3).Dword(f[0]).Dword(f[1]).Dword(f[2]);
  sink.Release(Add(sink, meshHandle, kMeshNormalsGuid, nullptr, normals));

  DataBytes list;
  list.Dword(2).Dword(2).Dword(0).Dword(1);
  XObjectHandle listHandle = Add(sink, meshHandle, kMeshMaterialListGuid, nullptr, list);
  sink.AddReference(listHandle, "Shared_Red");
  DataBytes inlineMaterial;
  inlineMaterial.Floats({0.1f, 0.2f, 0.3f, 0.5f, 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.4e-45f});
  XObjectHandle own = Add(sink, listHandle, kMaterialGuid, "Effect_Mat", inlineMaterial);
  XObjectHandle effect = Add(sink, own, kEffectInstanceGuid, nullptr, DataBytes().String("Box01.fx"));
  sink.Release(Add(sink, effect, kEffectParamDWordGuid, nullptr, DataBytes().String("Alpha").Dword(1)));
  sink.Release(Add(sink, effect, kEffectParamStringGuid, nullptr,
                   DataBytes().String("DiffuseMap").String("red.png")));
  sink.Release(Add(sink, effect, kEffectParamFloatsGuid, nullptr,
                   DataBytes().String("Tint").Dword(4).Floats({0.1f, 0.25f, 1.0f / 3.0f, 100000.0f})));
  sink.Release(effect);
  sink.Release(own);

  DataBytes uv;
  uv.Dword(4).Floats({0, 0, 1, 0, 1, 1, 0, 1});
  sink.Release(Add(sink, meshHandle, kMeshTextureCoordsGuid, "c1", uv));

  DataBytes colors;
  colors.Dword(4);
  for (uint32_t i = 0; i < 4; ++i) colors.Dword(i).Floats({1.0f, 0.5f, 0.25f, 0.125f});
  sink.Release(Add(sink, meshHandle, kMeshVertexColorsGuid, nullptr, colors));

  DataBytes decl;
  decl.Dword(2).Dword(2).Dword(0).Dword(3).Dword(0).Dword(1).Dword(0).Dword(5).Dword(0);
  decl.Dword(4 * 5);
  for (int i = 0; i < 4; ++i) decl.Floats({0, 0, 1, 0.5f, -2.5f});
  sink.Release(Add(sink, meshHandle, kDeclDataGuid, nullptr, decl));

  sink.Release(Add(sink, meshHandle, kXSkinMeshHeaderGuid, nullptr, DataBytes().Word(2).Word(3).Word(1)));
  DataBytes skin;
  skin.String("Bone_1").Dword(2).Dword(1).Dword(3).Floats({0.75f, 0.25f});
  skin.Floats({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -1.5f, 2.0f, 0.0f, 1.0f});
  sink.Release(Add(sink, meshHandle, kSkinWeightsGuid, nullptr, skin));
  sink.Release(listHandle);
  sink.Release(meshHandle);
  sink.Release(box);
  XObjectHandle bone = Add(sink, root, kFrameGuid, "Bone_1", {});
  AddIdentity(sink, bone, 0.1f);
  sink.Release(bone);
  sink.Release(root);

  XObjectHandle set = Add(sink, {}, kAnimationSetGuid, "Walk", {});
  XObjectHandle anim = Add(sink, set, kAnimationGuid, nullptr, {});
  sink.AddReference(anim, "Bone_1");
  sink.Release(Add(sink, anim, kAnimationOptionsGuid, nullptr, DataBytes().Dword(1).Dword(0)));
  DataBytes rotation;
  rotation.Dword(0).Dword(2);
  rotation.Dword(0).Dword(4).Floats({1, 0, 0, 0});
  rotation.Dword(160).Dword(4).Floats({0.70710677f, 0, 0.70710677f, 0});
  sink.Release(Add(sink, anim, kAnimationKeyGuid, "R", rotation));
  DataBytes position;
  position.Dword(2).Dword(1).Dword(0).Dword(3).Floats({0.1f, 0.2f, 0.3f});
  sink.Release(Add(sink, anim, kAnimationKeyGuid, "T", position));
  sink.Release(anim);
  sink.Release(set);
}

}  // namespace vorn::testing
