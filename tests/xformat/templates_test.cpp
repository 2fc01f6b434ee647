#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "xformat/guid.h"
#include "xformat/standard_templates.h"
#include "xformat/template_ids.h"
#include "xformat/template_registry.h"
#include "xformat/template_serialisers.h"

namespace vorn {
namespace {

std::string AsText(std::span<const uint8_t> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(TemplateBlocks, HaveTheirExactSizesAndHeaders) {
  EXPECT_EQ(StandardTemplatesBinary().size(), 3278u);
  EXPECT_EQ(ExtensionTemplatesText().size(), 3224u);
  EXPECT_EQ(DeclDataTemplatesText().size(), 1627u);
  EXPECT_EQ(AsText(StandardTemplatesBinary()).substr(0, 16), "xof 0302bin 0064");
  EXPECT_EQ(AsText(ExtensionTemplatesText()).substr(0, 16), "xof 0303txt 0032");
  EXPECT_EQ(AsText(DeclDataTemplatesText()).substr(0, 16), "xof 0303txt 0032");
  // identifiers stand as written, lowercase hex parts included
  EXPECT_NE(AsText(ExtensionTemplatesText()).find("<3CF169CE-FF7C-44ab-93C0-F78F62D172E2>"),
            std::string::npos);
  EXPECT_NE(AsText(DeclDataTemplatesText()).find("<B6C3E656-EC8B-4b92-9B62-681659522947>"),
            std::string::npos);
}

TEST(TemplateBlocks, EveryBlockParsesInOrder) {
  const char* standard[] = {"Header", "Vector", "Coords2d", "Matrix4x4", "ColorRGBA", "ColorRGB",
                            "IndexedColor", "Boolean", "Boolean2d", "MaterialWrap",
                            "TextureFilename", "Material", "MeshFace", "MeshFaceWraps",
                            "MeshTextureCoords", "MeshMaterialList", "MeshNormals",
                            "MeshVertexColors", "Mesh", "FrameTransformMatrix", "Frame",
                            "FloatKeys", "TimedFloatKeys", "AnimationKey", "AnimationOptions",
                            "Animation", "AnimationSet", "InlineData", "Url", "ProgressiveMesh",
                            "Guid", "StringProperty", "PropertyBag", "ExternalVisual",
                            "RightHanded"};
  const char* extension[] = {"XSkinMeshHeader", "VertexDuplicationIndices", "FaceAdjacency",
                             "SkinWeights", "Patch", "PatchMesh", "PatchMesh9", "EffectFloats",
                             "EffectString", "EffectDWord", "EffectParamFloats",
                             "EffectParamString", "EffectParamDWord", "EffectInstance",
                             "AnimTicksPerSecond", "CompressedAnimationSet"};
  const char* decl[] = {"FVFData", "VertexElement", "DeclData", "PMAttributeRange",
                        "PMVSplitRecord", "PMInfo"};
  TemplateRegistry registry;
  std::string error;
  auto blocks = TemplateBlocks();
  ASSERT_TRUE(registry.Add(blocks[0].data(), blocks[0].size(), &error)) << error;
  ASSERT_EQ(registry.Count(), std::size(standard));
  ASSERT_TRUE(registry.Add(blocks[1].data(), blocks[1].size(), &error)) << error;
  ASSERT_EQ(registry.Count(), std::size(standard) + std::size(extension));
  ASSERT_TRUE(registry.Add(blocks[2].data(), blocks[2].size(), &error)) << error;
  ASSERT_EQ(registry.Count(), std::size(standard) + std::size(extension) + std::size(decl));
  size_t i = 0;
  for (const char* name : standard) EXPECT_EQ(registry.At(i++).name, name);
  for (const char* name : extension) EXPECT_EQ(registry.At(i++).name, name);
  for (const char* name : decl) EXPECT_EQ(registry.At(i++).name, name);
}

TEST(TemplateBlocks, BinaryAndTextStandardSetsAgree) {
  TemplateRegistry fromBinary, fromText;
  std::string error;
  auto binary = StandardTemplatesBinary();
  auto text = StandardTemplatesText();
  ASSERT_TRUE(fromBinary.Add(binary.data(), binary.size(), &error)) << error;
  ASSERT_TRUE(fromText.Add(text.data(), text.size(), &error)) << error;
  ASSERT_EQ(fromBinary.Count(), fromText.Count());
  for (size_t i = 0; i < fromText.Count(); ++i) {
    const XTemplate& a = fromBinary.At(i);
    const XTemplate& b = fromText.At(i);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.guid, b.guid);
    EXPECT_EQ(a.restriction, b.restriction);
    EXPECT_EQ(a.allowedNames, b.allowedNames);
    ASSERT_EQ(a.members.size(), b.members.size()) << a.name;
    for (size_t m = 0; m < a.members.size(); ++m)
      EXPECT_EQ(MemberText(fromBinary, a, a.members[m]), MemberText(fromText, b, b.members[m]));
  }
}

TEST(TemplateBlocks, MembersAndLayoutsOfWrittenTemplates) {
  const TemplateRegistry& registry = StandardRegistry();
  struct Expect {
    Guid id;
    const char* name;
    int64_t fixedSize;
    XRestriction restriction;
  } expected[] = {
      {kMeshGuid, "Mesh", -1, XRestriction::Open},
      {kMaterialGuid, "Material", 44, XRestriction::Open},
      {kFrameGuid, "Frame", 0, XRestriction::Open},
      {kFrameTransformMatrixGuid, "FrameTransformMatrix", 64, XRestriction::Closed},
      {kMeshMaterialListGuid, "MeshMaterialList", -1, XRestriction::Restricted},
      {kMeshTextureCoordsGuid, "MeshTextureCoords", -1, XRestriction::Closed},
      {kMeshNormalsGuid, "MeshNormals", -1, XRestriction::Closed},
      {kAnimationGuid, "Animation", 0, XRestriction::Open},
      {kAnimationSetGuid, "AnimationSet", 0, XRestriction::Restricted},
      {kAnimationKeyGuid, "AnimationKey", -1, XRestriction::Closed},
      {kTextureFilenameGuid, "TextureFilename", -1, XRestriction::Closed},
      {kMeshVertexColorsGuid, "MeshVertexColors", -1, XRestriction::Closed},
      {kAnimationOptionsGuid, "AnimationOptions", 8, XRestriction::Closed},
      {kXSkinMeshHeaderGuid, "XSkinMeshHeader", 6, XRestriction::Closed},
      {kSkinWeightsGuid, "SkinWeights", -1, XRestriction::Closed},
      {kDeclDataGuid, "DeclData", -1, XRestriction::Closed},
      {kEffectParamFloatsGuid, "EffectParamFloats", -1, XRestriction::Closed},
      {kEffectParamStringGuid, "EffectParamString", -1, XRestriction::Closed},
      {kEffectParamDWordGuid, "EffectParamDWord", -1, XRestriction::Closed},
      {kEffectInstanceGuid, "EffectInstance", -1, XRestriction::Open},
      {kAnimTicksPerSecondGuid, "AnimTicksPerSecond", 4, XRestriction::Closed},
      {kVertexDuplicationIndicesGuid, "VertexDuplicationIndices", -1, XRestriction::Closed},
  };
  for (const Expect& e : expected) {
    const XTemplate* t = registry.Find(e.id);
    ASSERT_NE(t, nullptr) << e.name;
    EXPECT_EQ(t->name, e.name);
    EXPECT_EQ(t->fixedSize, e.fixedSize) << e.name;
    EXPECT_EQ(t->restriction, e.restriction) << e.name;
  }
  const XTemplate* skin = registry.Find(kSkinWeightsGuid);
  ASSERT_EQ(skin->members.size(), 5u);
  EXPECT_EQ(MemberText(registry, *skin, skin->members[3]), "array FLOAT weights[nWeights];");
  EXPECT_EQ(skin->members[4].type, XMemberType::Template);
  EXPECT_EQ(registry.At(skin->members[4].templateIndex).name, "Matrix4x4");
  const XTemplate* list = registry.Find(kMeshMaterialListGuid);
  ASSERT_EQ(list->allowedNames.size(), 1u);
  EXPECT_TRUE(registry.AllowsChild(*list, *registry.Find(kMaterialGuid)));
  EXPECT_FALSE(registry.AllowsChild(*list, *registry.Find(kFrameGuid)));
  EXPECT_FALSE(registry.AllowsChild(*registry.Find(kMeshNormalsGuid), *registry.Find(kFrameGuid)));
}

TEST(TemplateRegistry, ParsesDimensionsRestrictionsAndGuidForms) {
  const char text[] =
      "xof 0303txt 0032\n"
      "# a comment\n"
      "template Grid { <01234567-89ab-CDEF-0123-456789ABCDEF>\n"
      "  DWORD w; WORD h; array FLOAT cells[w][h]; array UCHAR tag[4]; BYTE flag; STRING label;\n"
      "  [ Grid <01234567-89AB-CDEF-0123-456789ABCDEF>, Other ] }\n";
  TemplateRegistry registry;
  std::string error;
  ASSERT_TRUE(registry.Add(text, sizeof text - 1, &error)) << error;
  const XTemplate& t = registry.At(0);
  ASSERT_EQ(t.members.size(), 6u);
  EXPECT_EQ(t.members[2].dimCount, 2u);
  EXPECT_EQ(t.dims[t.members[2].firstDim].member, 0);
  EXPECT_EQ(t.dims[t.members[2].firstDim + 1].member, 1);
  EXPECT_EQ(t.dims[t.members[3].firstDim].size, 4u);
  EXPECT_EQ(t.members[4].type, XMemberType::Byte);
  EXPECT_EQ(t.fixedSize, -1);
  EXPECT_EQ(t.restriction, XRestriction::Restricted);
  ASSERT_EQ(t.allowedNames.size(), 2u);
  EXPECT_EQ(FormatGuid(t.allowedGuids[0]), "01234567-89AB-CDEF-0123-456789ABCDEF");
  EXPECT_TRUE(t.allowedGuids[1].IsZero());
  // the binary encoding of it parses back to the same members
  std::vector<uint8_t> binary = EncodeTemplatesBinary(registry, {0});
  TemplateRegistry again;
  ASSERT_TRUE(again.Add(binary.data(), binary.size(), &error)) << error;
  for (size_t m = 0; m < t.members.size(); ++m) {
    // BYTE has no binary token of its own: it comes back as UCHAR, the same one byte
    if (t.members[m].type == XMemberType::Byte) {
      EXPECT_EQ(again.At(0).members[m].type, XMemberType::Uchar);
      continue;
    }
    EXPECT_EQ(MemberText(again, again.At(0), again.At(0).members[m]),
              MemberText(registry, t, t.members[m]));
  }

  Guid g;
  EXPECT_TRUE(ParseGuid("{3D82AB44-62DA-11CF-AB39-0020AF71E433}", &g));
  EXPECT_EQ(g, kMeshGuid);
  EXPECT_TRUE(ParseGuid("<3d82ab44-62da-11cf-ab39-0020af71e433>", &g));
  EXPECT_EQ(g, kMeshGuid);
  EXPECT_FALSE(ParseGuid("{3D82AB44-62DA-11CF-AB39-0020AF71E43}", &g));
  EXPECT_FALSE(ParseGuid("<3D82AB44-62DA-11CF-AB39-0020AF71E433}", &g));
  EXPECT_FALSE(ParseGuid("3D82AB44x62DA-11CF-AB39-0020AF71E433", &g));
}

TEST(TemplateRegistry, RejectsMalformedDefinitionsWithAMessage) {
  const char* bad[] = {
      "xof 0303txt 0032 template A { <01234567-89AB-CDEF-0123-456789ABCDEF> Unknown u; }",
      "xof 0303txt 0032 template A { <01234567-89AB-CDEF-0123-456789ABCDEF> array DWORD d[n]; }",
      "xof 0303txt 0032 template A { <01234567-89AB-CDEF-0123-456789ABCDEF> FLOAT n; array DWORD d[n]; }",
      "xof 0303txt 0032 template A { <01234567-89AB-CDEF-0123-456789ABCDEF> DWORD x }",
      "xof 0303txt 0032 template A { <0123-89AB> DWORD x; }",
      "xof 0303txt 0032 template A { <01234567-89AB-CDEF-0123-456789ABCDEF> DWORD x;",
      "xof 0303txt 0032 Frame A { }",
      "xof 0303xyz 0032",
      "xof 0303txt 0016",
      "xo",
  };
  for (const char* text : bad) {
    TemplateRegistry registry;
    std::string error;
    EXPECT_FALSE(registry.Add(text, std::strlen(text), &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  // a truncated binary block fails cleanly at every cut
  auto binary = StandardTemplatesBinary();
  for (size_t cut = 16; cut < binary.size(); cut += 7) {
    TemplateRegistry registry;
    std::string error;
    if (!registry.Add(binary.data(), cut, &error)) {
      EXPECT_FALSE(error.empty());
    }
  }
}

}  // namespace
}  // namespace vorn
