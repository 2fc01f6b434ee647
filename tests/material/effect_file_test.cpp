#include "material/effect_file.h"

#include <gtest/gtest.h>

#include "model/export_settings.h"
#include "model/mesh_data.h"

namespace vorn {
namespace {

// The sample effect for one diffuse texture on set 0, normals in the vertex data, left-handed,
// written out from the templates by hand.
const char* const kOneTexture =
    "//TODO: Modify the folowing code: \n"
    "\nint GlobalParameter : SasGlobal \n< \n   int3 SasVersion = {1, 1, 0}; \n"
    "   string SasEffectDescription = \"This is a sample effect\"; \n   string SasEffectCompany = \"Vorn\"; \n>; \n"
    "\nfloat4x4 World      : WORLD <string SasBindAddress = \"Sas.Skeleton.MeshToJointToWorld[0]\";>; \n"
    "float4x4 View       : VIEW <string SasBindAddress = \"Sas.Camera.WorldToView\";>; \n"
    "float4x4 Projection : PROJECTION <string SasBindAddress = \"Sas.Camera.Projection\";>; \n"
    "\nbool bEmissiveColor = false; \n"
    "bool bLight = true; \n"
    "float3 lightDirection = { 0, 0, -1 }; \n\n"
    "float4 DiffuseColor  = { 1.000000f, 0.500000f, 0.000000f, 1.000000f }; \n"
    "float  SpecularPower = 25.000000f; \n"
    "float4 SpecularColor = { 0.050000f, 0.050000f, 0.050000f, 1.000000f }; \n"
    "float4 EmissiveColor = { 0.000000f, 0.000000f, 0.000000f, 1.000000f }; \n\n"
    "texture Wood; \n"
    "\nsampler2D WoodSampler = sampler_state  // TexCoord0 \n{ \n   Texture = <Wood>; \n   MinFilter = Linear; \n"
    "   MagFilter = Linear; \n   MipFilter = Linear; \n   AddressU  = Wrap;     \n   AddressV  = Mirror;     \n}; \n"
    "\nstruct VS_INPUT \n{ \n   float4 Position  : POSITION; \n"
    "   float2 TexCoord0 : TEXCOORD0;\n"
    "   float3 N         : NORMAL;\n"
    "}; \n"
    "\nstruct VS_OUTPUT \n{ \n   float4 Position  : POSITION; \n"
    "   float2 TexCoord0 : TEXCOORD0;\n"
    "   float LightStrength     : COLOR1;\n"
    "}; \n"
    "\nVS_OUTPUT VS( VS_INPUT IN ) \n{ \n   //TODO: Modify the folowing code: \n   VS_OUTPUT OUT;\t \n"
    "   float4 oPos = mul( mul( IN.Position, World ), View ); \n   OUT.Position = mul( oPos, Projection ); \n"
    "   OUT.TexCoord0.xy = IN.TexCoord0.xy; \n"
    "   float3 WorldNormal = normalize( mul( IN.N, (float3x3)World ) );\n"
    "   OUT.LightStrength =  max(0, dot( WorldNormal, lightDirection ));\n"
    "   return OUT;\n"
    "}; \n"
    "\nfloat4  PS( VS_OUTPUT vout ) : COLOR \n{ \n   //TODO: Modify the folowing code: \n"
    "   float4 color = tex2D( WoodSampler, vout.TexCoord0 ); \n"
    "   color.rgb = color.rgb * vout.LightStrength; \n"
    "   if(bEmissiveColor)\n     color.rgb += EmissiveColor.rgb;\n"
    "   return  color; \n"
    "}; \n"
    "\ntechnique DefaultTechnique \n{ \n   pass p0 \n   { \n      VertexShader = compile vs_3_0  VS(); \n"
    "      PixelShader  = compile ps_3_0  PS(); \n   } \n} \n";

EffectFileBuilder Builder() {
  EffectFileBuilder b;
  b.diffuseColor[0] = 1;
  b.diffuseColor[1] = 0.5f;
  b.diffuseColor[2] = 0;
  b.diffuseColor[3] = 1;
  b.specularPower = 25;
  for (float& s : b.specularColor) s = 0.05f;
  b.hasNormal = 1;
  return b;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(EffectFile, OneDiffuseTextureGivesTheTemplateTextExactly) {
  EffectFileBuilder b = Builder();
  AddEffectTexture(b, "Wood", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Mirror);
  EXPECT_EQ(EffectFileText(b), kOneTexture);
}

TEST(EffectFile, TwoTexturesOnOneSetShareTheirTexCoordLines) {
  EffectFileBuilder b = Builder();
  AddEffectTexture(b, "Wood", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  AddEffectTexture(b, "Spec", TextureSlotRole::None, 0, TextureAddress::Clamp, static_cast<TextureAddress>(7));
  AddEffectTexture(b, "", TextureSlotRole::Diffuse, 3, TextureAddress::Wrap, TextureAddress::Wrap);
  const std::string t = EffectFileText(b);
  EXPECT_EQ(Count(t, "   float2 TexCoord0 : TEXCOORD0;\n"), 2u) << "once in each structure";
  EXPECT_EQ(Count(t, "OUT.TexCoord0.xy = IN.TexCoord0.xy; \n"), 1u);
  EXPECT_EQ(Count(t, "TEXCOORD3"), 0u) << "a texture without a name is not added";
  EXPECT_NE(t.find("texture Wood; \ntexture Spec; \n"), std::string::npos);
  EXPECT_NE(t.find("\nsampler2D SpecSampler = sampler_state  // TexCoord0 \n{ \n   Texture = <Spec>; \n"),
            std::string::npos);
  EXPECT_NE(t.find("   AddressU  = Clamp;     \n   AddressV  = Clamp;     \n"), std::string::npos)
      << "an unknown addressing word is Clamp";
  EXPECT_NE(t.find("tex2D( WoodSampler, vout.TexCoord0 )"), std::string::npos);
}

TEST(EffectFile, SetsAreWrittenInAscendingOrderOnce) {
  EffectFileBuilder b = Builder();
  AddEffectTexture(b, "B", TextureSlotRole::None, 2, TextureAddress::Wrap, TextureAddress::Wrap);
  AddEffectTexture(b, "A", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  AddEffectTexture(b, "C", TextureSlotRole::None, 2, TextureAddress::Wrap, TextureAddress::Wrap);
  const std::string t = EffectFileText(b);
  EXPECT_NE(t.find("   float2 TexCoord0 : TEXCOORD0;\n   float2 TexCoord2 : TEXCOORD2;\n   float3 N"),
            std::string::npos);
  EXPECT_NE(t.find("sampler2D BSampler = sampler_state  // TexCoord2 \n"), std::string::npos);
  EXPECT_NE(t.find("texture B; \ntexture A; \ntexture C; \n"), std::string::npos) << "textures keep slot order";
}

TEST(EffectFile, NormalMapsNeedNormalMapCodeAndRightHandFlipsLightAndBump) {
  EffectFileBuilder b = Builder();
  AddEffectTexture(b, "Bump", TextureSlotRole::NormalMap, 1, TextureAddress::Wrap, TextureAddress::Wrap);
  std::string off = EffectFileText(b);
  EXPECT_NE(off.find("texture Bump; \n"), std::string::npos);
  EXPECT_NE(off.find("sampler2D BumpSampler"), std::string::npos);
  EXPECT_NE(off.find("   float LightStrength     : COLOR1;\n"), std::string::npos);
  EXPECT_EQ(off.find("bumpNormal"), std::string::npos) << "ignored without NormalMapCode";
  EXPECT_NE(off.find("   float4 color = DiffuseColor; \n   color.rgb = DiffuseColor.rgb * vout.LightStrength; \n"),
            std::string::npos);

  b.normalMapCode = 1;
  b.rightHand = 1;
  b.hasTangent = 1;
  b.hasBinormal = 1;
  const std::string on = EffectFileText(b);
  EXPECT_NE(on.find("float3 lightDirection = { 0, 0, 1 }; \n\n"), std::string::npos);
  EXPECT_NE(on.find("   float3 N         : NORMAL;\n   float3 T         : TANGENT;\n   float3 B         : BINORMAL;\n}; \n"),
            std::string::npos);
  EXPECT_NE(on.find("   float2 TexCoord1 : TEXCOORD1;\n   float3 LightTangentSpace : COLOR1;\n}; \n"), std::string::npos);
  EXPECT_NE(on.find("   float3x3 TBN = { IN.T, IN.B, IN.N };\n"
                    "   OUT.LightTangentSpace = mul( mul( TBN, (float3x3)World ), lightDirection );\n   return OUT;\n"),
            std::string::npos);
  EXPECT_NE(on.find("   float4 color = DiffuseColor; \n"
                    "   if(bLight) \n   { \n     float3 bumpNormal =  2 * tex2D( BumpSampler, vout.TexCoord1 ) - 1 ;\n"
                    "     bumpNormal.y = -bumpNormal.y;\n     float3 LightVector1 = normalize(vout.LightTangentSpace);\n"
                    "     float bump = max(0, dot( bumpNormal, LightVector1 ));\n     color.rgb = color.rgb * bump;\n   } \n"),
            std::string::npos);
  b.rightHand = 0;
  EXPECT_EQ(EffectFileText(b).find("bumpNormal.y"), std::string::npos);
}

TEST(EffectFile, DiffuseWithNormalMapAndVertexColourAndEmission) {
  EffectFileBuilder b = Builder();
  b.normalMapCode = 1;
  b.hasVertexColor = 1;
  b.diffuseMapColor = 1;
  b.emissiveColor[1] = 0.25f;
  b.diffuseColor[3] = 0.5f;
  AddEffectTexture(b, "Bump", TextureSlotRole::NormalMap, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  AddEffectTexture(b, "Wood", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  AddEffectTexture(b, "Wood2", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  const std::string t = EffectFileText(b);
  EXPECT_NE(t.find("\nbool bEmissiveColor = true; \n"), std::string::npos);
  EXPECT_NE(t.find("float4 SpecularColor = { 0.050000f, 0.050000f, 0.050000f, 0.500000f }; \n"), std::string::npos);
  EXPECT_NE(t.find("float4 EmissiveColor = { 0.000000f, 0.250000f, 0.000000f, 0.500000f }; \n\n"), std::string::npos);
  EXPECT_NE(t.find("   float3 N         : NORMAL;\n   float4 VertexColor : COLOR0;\n}; \n"), std::string::npos);
  EXPECT_NE(t.find("   float2 TexCoord0 : TEXCOORD0;\n   float4 VertexColor : COLOR0;\n   float3 LightTangentSpace"),
            std::string::npos);
  EXPECT_NE(t.find("   OUT.Position = mul( oPos, Projection ); \n   OUT.VertexColor = IN.VertexColor; \n"),
            std::string::npos);
  EXPECT_NE(t.find("   float4 color = tex2D( WoodSampler, vout.TexCoord0 ); \n   color = color * DiffuseColor; \n"
                   "   if(bLight) \n"),
            std::string::npos)
      << "the first diffuse texture, no light strength with a normal map";
  EXPECT_NE(t.find("     color.rgb += EmissiveColor.rgb;\n"
                   "   color.rgb = vout.VertexColor.rgb * vout.VertexColor.a + color.rgb * ( 1.0f - vout.VertexColor.a );\n"
                   "   return  color; \n"),
            std::string::npos);
}

TEST(EffectFile, BuilderTakesColoursFromTheRecordAndSwitchesFromTheSettings) {
  ExportOptions o = DefaultOptions(30);
  o.Tangent = 1;
  o.VertexColor = 1;
  o.NormalMapCode = 1;
  XMaterial r;
  r.faceColor[0] = 0.25f;
  r.power = 7;
  r.specularColor[2] = 0.5f;
  r.emissiveColor[0] = 0.125f;
  const EffectFileBuilder b = MakeEffectFileBuilder(o, r);
  EXPECT_EQ(b.diffuseColor[0], 0.25f);
  EXPECT_EQ(b.specularPower, 7.0f);
  EXPECT_EQ(b.specularColor[2], 0.5f);
  EXPECT_EQ(b.emissiveColor[0], 0.125f);
  EXPECT_EQ(b.hasNormal, o.Normal);
  EXPECT_EQ(b.hasTangent, 1);
  EXPECT_EQ(b.hasBinormal, 0);
  EXPECT_EQ(b.hasVertexColor, 1);
  EXPECT_EQ(b.normalMapCode, 1);
  EXPECT_TRUE(b.textures.empty());
}

TEST(EffectFile, TexCoordSetCountsOnlyWrittenSets) {
  XMeshData d;
  d.mapChannels = {1, 2, 3, 5};
  d.texCoordSetMap = {0, 0, 2, 1};
  EXPECT_EQ(EffectTexCoordSet(d, 1), 0);
  EXPECT_EQ(EffectTexCoordSet(d, 2), 0) << "a duplicate reads the set it duplicates";
  EXPECT_EQ(EffectTexCoordSet(d, 3), 1) << "the second written set";
  EXPECT_EQ(EffectTexCoordSet(d, 5), 0);
  EXPECT_EQ(EffectTexCoordSet(d, 4), -1);
  EXPECT_EQ(EffectTexCoordSet(d, 0), -1);
  EXPECT_EQ(EffectTexCoordSet(XMeshData{}, 1), -1);
}

}  // namespace
}  // namespace vorn
