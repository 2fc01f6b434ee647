#include "material/effect_file.h"

#include <cstdarg>
#include <cstdio>

#include "mesh/texcoord_sets.h"
#include "model/export_settings.h"
#include "model/mesh_data.h"
#include "platform/atomic_file.h"

namespace vorn {

namespace {

void Appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string& out, const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  big.pop_back();
  out += big;
}

const char* AddressWord(TextureAddress a) {
  switch (a) {
    case TextureAddress::Wrap: return "Wrap";
    case TextureAddress::Mirror: return "Mirror";
    default: return "Clamp";
  }
}

}  // namespace

EffectFileBuilder MakeEffectFileBuilder(const ExportOptions& o, const XMaterial& record) {
  EffectFileBuilder b;
  for (int i = 0; i < 4; ++i) b.diffuseColor[i] = record.faceColor[i];
  b.specularPower = record.power;
  for (int i = 0; i < 3; ++i) {
    b.specularColor[i] = record.specularColor[i];
    b.emissiveColor[i] = record.emissiveColor[i];
  }
  b.hasNormal = o.Normal;
  b.hasTangent = o.Tangent;
  b.hasBinormal = o.BiTangent;
  b.hasVertexColor = o.VertexColor;
  b.diffuseMapColor = o.DiffuseMapColor;
  b.normalMapCode = o.NormalMapCode;
  b.rightHand = o.RightHand;
  return b;
}

void AddEffectTexture(EffectFileBuilder& b, const std::string& name, TextureSlotRole role, int32_t texCoordSet,
                      TextureAddress addressU, TextureAddress addressV) {
  if (name.empty()) return;
  b.textures.push_back({name, role, texCoordSet, addressU, addressV});
  b.texCoordSets.insert(texCoordSet);
}

int32_t EffectTexCoordSet(const XMeshData& data, int32_t channel) {
  const int32_t i = TexCoordSetOfChannel(data, channel);
  if (i < 0 || static_cast<size_t>(i) >= data.texCoordSetMap.size()) return -1;
  uint32_t d = data.texCoordSetMap[static_cast<size_t>(i)];
  if (d >= data.texCoordSetMap.size()) d = static_cast<uint32_t>(data.texCoordSetMap.size() - 1);
  int32_t written = 0;
  for (uint32_t j = 0; j <= d; ++j)
    if (data.texCoordSetMap[j] == j) ++written;
  return written - 1;
}

std::string EffectFileText(const EffectFileBuilder& b) {
  const EffectTexture* diffuse = nullptr;
  const EffectTexture* normal = nullptr;
  for (const EffectTexture& t : b.textures) {
    if (!diffuse && t.role == TextureSlotRole::Diffuse) diffuse = &t;
    if (!normal && t.role == TextureSlotRole::NormalMap && b.normalMapCode) normal = &t;
  }
  const float alpha = b.diffuseColor[3];
  std::string s;
  s.reserve(4096);

  s += "//TODO: Modify the folowing code: \n";
  s += "\nint GlobalParameter : SasGlobal \n< \n   int3 SasVersion = {1, 1, 0}; \n"
       "   string SasEffectDescription = \"This is a sample effect\"; \n   string SasEffectCompany = "
       "\"Vorn\"; \n>; \n";
  s += "\nfloat4x4 World      : WORLD <string SasBindAddress = \"Sas.Skeleton.MeshToJointToWorld[0]\";>; \n"
       "float4x4 View       : VIEW <string SasBindAddress = \"Sas.Camera.WorldToView\";>; \n"
       "float4x4 Projection : PROJECTION <string SasBindAddress = \"Sas.Camera.Projection\";>; \n";
  const bool noEmissive = b.emissiveColor[0] == 0 && b.emissiveColor[1] == 0 && b.emissiveColor[2] == 0;
  s += noEmissive ? "\nbool bEmissiveColor = false; \n" : "\nbool bEmissiveColor = true; \n";
  s += "bool bLight = true; \n";
  Appendf(s, "float3 lightDirection = %s; \n\n", b.rightHand ? "{ 0, 0, 1 }" : "{ 0, 0, -1 }");
  Appendf(s, "float4 DiffuseColor  = { %ff, %ff, %ff, %ff }; \n", double(b.diffuseColor[0]), double(b.diffuseColor[1]),
          double(b.diffuseColor[2]), double(alpha));
  Appendf(s, "float  SpecularPower = %ff; \n", double(b.specularPower));
  Appendf(s, "float4 SpecularColor = { %ff, %ff, %ff, %ff }; \n", double(b.specularColor[0]),
          double(b.specularColor[1]), double(b.specularColor[2]), double(alpha));
  Appendf(s, "float4 EmissiveColor = { %ff, %ff, %ff, %ff }; \n\n", double(b.emissiveColor[0]),
          double(b.emissiveColor[1]), double(b.emissiveColor[2]), double(alpha));
  for (const EffectTexture& t : b.textures) Appendf(s, "texture %s; \n", t.name.c_str());
  for (const EffectTexture& t : b.textures) {
    const std::string sampler = t.name + "Sampler";
    const std::string comment = "// TexCoord" + std::to_string(t.texCoordSet);
    Appendf(s,
            "\nsampler2D %s = sampler_state  %s \n{ \n   Texture = <%s>; \n   MinFilter = Linear; \n"
            "   MagFilter = Linear; \n   MipFilter = Linear; \n   AddressU  = %s;     \n   AddressV  = %s;     \n}; \n",
            sampler.c_str(), comment.c_str(), t.name.c_str(), AddressWord(t.addressU), AddressWord(t.addressV));
  }

  std::string texCoords;
  for (int32_t k : b.texCoordSets) {
    const std::string n = std::to_string(k);
    texCoords += "   float2 TexCoord" + n + " : TEXCOORD" + n + ";\n";
  }
  std::string input;
  if (b.hasNormal) input += "   float3 N         : NORMAL;\n";
  if (b.hasTangent) input += "   float3 T         : TANGENT;\n";
  if (b.hasBinormal) input += "   float3 B         : BINORMAL;\n";
  if (b.hasVertexColor) input += "   float4 VertexColor : COLOR0;\n";
  Appendf(s, "\nstruct VS_INPUT \n{ \n   float4 Position  : POSITION; \n%s%s}; \n", texCoords.c_str(), input.c_str());
  std::string output = texCoords;
  if (b.hasVertexColor) output += "   float4 VertexColor : COLOR0;\n";
  output += normal ? "   float3 LightTangentSpace : COLOR1;\n" : "   float LightStrength     : COLOR1;\n";
  Appendf(s, "\nstruct VS_OUTPUT \n{ \n   float4 Position  : POSITION; \n%s}; \n", output.c_str());

  std::string vs;
  if (b.hasVertexColor) vs += "   OUT.VertexColor = IN.VertexColor; \n";
  for (int32_t k : b.texCoordSets) {
    const std::string n = std::to_string(k);
    vs += "   OUT.TexCoord" + n + ".xy = IN.TexCoord" + n + ".xy; \n";
  }
  if (normal) {
    vs += "   float3x3 TBN = { IN.T, IN.B, IN.N };\n";
    vs += "   OUT.LightTangentSpace = mul( mul( TBN, (float3x3)World ), lightDirection );\n";
  } else {
    vs += "   float3 WorldNormal = normalize( mul( IN.N, (float3x3)World ) );\n";
    vs += "   OUT.LightStrength =  max(0, dot( WorldNormal, lightDirection ));\n";
  }
  vs += "   return OUT;\n";
  Appendf(s,
          "\nVS_OUTPUT VS( VS_INPUT IN ) \n{ \n   //TODO: Modify the folowing code: \n   VS_OUTPUT OUT;\t \n"
          "   float4 oPos = mul( mul( IN.Position, World ), View ); \n   OUT.Position = mul( oPos, Projection ); \n%s}; \n",
          vs.c_str());

  std::string ps;
  if (diffuse) {
    ps += "   float4 color = tex2D( " + diffuse->name + "Sampler" + ", vout.TexCoord" +
          std::to_string(diffuse->texCoordSet) + " ); \n";
    if (!normal) ps += "   color.rgb = color.rgb * vout.LightStrength; \n";
    if (b.diffuseMapColor) ps += "   color = color * DiffuseColor; \n";
  } else {
    ps += "   float4 color = DiffuseColor; \n";
    if (!normal) ps += "   color.rgb = DiffuseColor.rgb * vout.LightStrength; \n";
  }
  if (normal) {
    ps += "   if(bLight) \n";
    ps += "   { \n";
    ps += "     float3 bumpNormal =  2 * tex2D( " + normal->name + "Sampler" + ", vout.TexCoord" +
          std::to_string(normal->texCoordSet) + " ) - 1 ;\n";
    if (b.rightHand) ps += "     bumpNormal.y = -bumpNormal.y;\n";
    ps += "     float3 LightVector1 = normalize(vout.LightTangentSpace);\n";
    ps += "     float bump = max(0, dot( bumpNormal, LightVector1 ));\n";
    ps += "     color.rgb = color.rgb * bump;\n";
    ps += "   } \n";
  }
  ps += "   if(bEmissiveColor)\n     color.rgb += EmissiveColor.rgb;\n";
  if (b.hasVertexColor)
    ps += "   color.rgb = vout.VertexColor.rgb * vout.VertexColor.a + color.rgb * ( 1.0f - vout.VertexColor.a );\n";
  ps += "   return  color; \n";
  Appendf(s, "\nfloat4  PS( VS_OUTPUT vout ) : COLOR \n{ \n   //TODO: Modify the folowing code: \n%s}; \n", ps.c_str());

  s += "\ntechnique DefaultTechnique \n{ \n   pass p0 \n   { \n      VertexShader = compile vs_3_0  VS(); \n"
       "      PixelShader  = compile ps_3_0  PS(); \n   } \n} \n";
  return s;
}

bool WriteEffectFile(const EffectFileBuilder& b) {
  platform::AtomicFileWriter out(b.path);
  if (!out.Ok()) return false;
  out.Write(EffectFileText(b));
  return out.Commit(true);
}

}  // namespace vorn
