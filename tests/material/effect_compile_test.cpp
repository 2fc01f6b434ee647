// Generated effects compiled as HLSL. No effect-framework compiler is packaged for this system,
// so the declarations only the effect framework knows (texture objects, sampler_state blocks,
// the technique) are taken out and the VS and PS functions are compiled as shader-model-3 style
// HLSL by glslang, which reads DX9 combined samplers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "material/effect_file.h"
#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

std::string ShaderFunctionsOnly(std::string text) {
  text = std::regex_replace(text, std::regex("\ntexture [A-Za-z0-9_]+; "), "\n");
  text = std::regex_replace(text, std::regex("sampler2D ([A-Za-z0-9_]+) = sampler_state[^}]*\\}; "), "sampler2D $1;");
  const size_t technique = text.find("\ntechnique DefaultTechnique");
  return technique == std::string::npos ? text : text.substr(0, technique);
}

class EffectCompile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(VORN_GLSLANG).empty())
      GTEST_SKIP() << "glslangValidator (Debian package glslang-tools) not found: generated effects not compiled";
  }
  // Compiles VS as a vertex and PS as a pixel shader; the compiler's messages on failure.
  std::string Compile(const EffectFileBuilder& b, const std::string& name) {
    const std::filesystem::path src = dir_ / (name + ".hlsl");
    std::ofstream(src) << ShaderFunctionsOnly(EffectFileText(b));
    std::string errors;
    for (const char* stage : {"VS", "PS"}) {
      const std::filesystem::path log = dir_ / (name + stage + ".log");
      const std::string command = std::string("'") + VORN_GLSLANG + "' -V -D --hlsl-dx9-compatible -e " + stage +
                                  " -S " + (stage[0] == 'V' ? "vert" : "frag") + " -o '" +
                                  (dir_ / (name + stage + ".spv")).string() + "' '" + src.string() + "' >'" +
                                  log.string() + "' 2>&1";
      if (std::system(command.c_str()) != 0) {
        std::ifstream in(log);
        errors += std::string(stage) + ": " + std::string(std::istreambuf_iterator<char>(in), {});
      }
    }
    return errors;
  }
  testing::TempDir tmp_;
  const std::filesystem::path dir_ = tmp_.path();
};

EffectFileBuilder Base() {
  EffectFileBuilder b;
  b.hasNormal = 1;
  b.diffuseColor[0] = 0.5f;
  b.specularPower = 25;
  return b;
}

TEST_F(EffectCompile, OneAndTwoTexturesAndNoTexture) {
  EffectFileBuilder one = Base();
  AddEffectTexture(one, "Wood", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Mirror);
  EXPECT_EQ(Compile(one, "one"), "");
  EffectFileBuilder two = one;
  AddEffectTexture(two, "Detail", TextureSlotRole::None, 1, TextureAddress::Clamp, TextureAddress::Clamp);
  two.diffuseMapColor = 1;
  EXPECT_EQ(Compile(two, "two"), "");
  EffectFileBuilder none = Base();
  AddEffectTexture(none, "Spec", TextureSlotRole::None, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  none.emissiveColor[0] = 1;
  EXPECT_EQ(Compile(none, "none"), "");
}

TEST_F(EffectCompile, NormalMapsVertexColourAndRightHand) {
  for (int rightHand : {0, 1}) {
    EffectFileBuilder b = Base();
    b.hasTangent = 1;
    b.hasBinormal = 1;
    b.hasVertexColor = 1;
    b.normalMapCode = 1;
    b.rightHand = rightHand;
    AddEffectTexture(b, "Wood", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Wrap);
    AddEffectTexture(b, "Bump", TextureSlotRole::NormalMap, 1, TextureAddress::Wrap, TextureAddress::Wrap);
    EXPECT_EQ(Compile(b, "normal" + std::to_string(rightHand)), "");
  }
}

TEST_F(EffectCompile, TheCheckCatchesABrokenShader) {
  // With Normal off the vertex shader still reads IN.N, as the generator is specified to do.
  EffectFileBuilder b = Base();
  b.hasNormal = 0;
  AddEffectTexture(b, "Wood", TextureSlotRole::Diffuse, 0, TextureAddress::Wrap, TextureAddress::Wrap);
  EXPECT_NE(Compile(b, "broken"), "");
}

}  // namespace
}  // namespace vorn
