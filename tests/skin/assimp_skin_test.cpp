// The skinned examples as an independent reader sees them: assimp reads each exported file and
// writes its scene as JSON; bones, weights and offsets must give back the bind pose.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "export/driver.h"
#include "host/scene_document.h"
#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

using Mat = std::array<double, 16>;  // assimp's row-major matrices, column vectors

Mat Multiply(const Mat& a, const Mat& b) {
  Mat m{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      for (int k = 0; k < 4; ++k) m[size_t(4 * r + c)] += a[size_t(4 * r + k)] * b[size_t(4 * k + c)];
  return m;
}
Mat ToMat(const nlohmann::json& j) {
  Mat m{};
  for (size_t i = 0; i < 16; ++i) m[i] = j.at(i).get<double>();
  return m;
}
std::array<double, 3> Apply(const Mat& m, const std::array<double, 3>& p) {
  std::array<double, 3> out{};
  for (size_t r = 0; r < 3; ++r) out[r] = m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3];
  return out;
}

// World transforms of all nodes by name.
void Walk(const nlohmann::json& node, const Mat& parent, std::map<std::string, Mat>& world) {
  const Mat w = Multiply(parent, ToMat(node.at("transformation")));
  world[node.at("name").get<std::string>()] = w;
  if (node.contains("children"))
    for (const auto& c : node.at("children")) Walk(c, w, world);
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class AssimpSkin : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (std::string(VORN_ASSIMP).empty()) GTEST_SKIP() << "assimp not available";
  }
  testing::TempDir tmp_;
  const std::filesystem::path dir_ = tmp_.path();
};

TEST_P(AssimpSkin, BonesWeightsAndOffsetsGiveBackTheBindPose) {
  const std::string example = std::string(VORN_SOURCE_DIR) + "/examples/" + GetParam() + ".json";
  for (int type = 0; type < 3; ++type) {
    SCOPED_TRACE("XFileType " + std::to_string(type));
    auto doc = LoadSceneDocument(example);
    doc->SetDirectory(kHostPluginConfigDir, dir_.string());
    std::ofstream(dir_ / "vorn_max_config.ini") << "[Option]\nXFileType=" << type << "\n";
    const std::string x = (dir_ / "skin.x").string(), out = (dir_ / "skin.json").string();
    std::filesystem::remove(x);
    XDoExport(x.c_str(), nullptr, doc.get(), true, 0);
    ASSERT_TRUE(std::filesystem::exists(x));
    const std::string command = "timeout 60 " + Quote(VORN_ASSIMP) + " export " + Quote(x) + " " + Quote(out) +
                                " -fassjson >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const nlohmann::json scene = nlohmann::json::parse(std::ifstream(out));

    std::map<std::string, Mat> world;
    Walk(scene.at("rootnode"), Mat{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, world);
    ASSERT_EQ(scene.at("meshes").size(), 1u);
    const nlohmann::json& mesh = scene.at("meshes")[0];
    const auto& v = mesh.at("vertices");
    const size_t n = v.size() / 3;
    ASSERT_GT(n, 0u);
    const nlohmann::json& bones = mesh.at("bones");
    ASSERT_EQ(bones.size(), 3u);
    EXPECT_EQ(bones[0].at("name"), "Bone01");
    EXPECT_EQ(bones[1].at("name"), "Bone02");
    EXPECT_EQ(bones[2].at("name"), "Bone03");

    // Skinning every vertex in the file's pose must leave it where it is: the frames are the
    // bind pose, so bone world x offset is the mesh's world transform for every bone.
    const Mat meshWorld = world.at("Cylinder01");
    std::vector<double> sum(n, 0.0);
    std::vector<int> count(n, 0);
    std::vector<std::array<double, 3>> skinned(n, {0, 0, 0});
    std::map<double, int> shares;
    for (const auto& b : bones) {
      const Mat offset = ToMat(b.at("offsetmatrix"));
      const Mat m = Multiply(world.at(b.at("name").get<std::string>()), offset);
      for (size_t k = 0; k < 16; ++k) EXPECT_NEAR(m[k], meshWorld[k], 1e-4) << b.at("name") << " entry " << k;
      for (const auto& w : b.at("weights")) {
        const size_t i = w.at(0).get<size_t>();
        const double wt = w.at(1).get<double>();
        ASSERT_LT(i, n);
        sum[i] += wt;
        ++count[i];
        ++shares[wt];
        const auto p = Apply(m, {v[3 * i].get<double>(), v[3 * i + 1].get<double>(), v[3 * i + 2].get<double>()});
        for (size_t c = 0; c < 3; ++c) skinned[i][c] += wt * p[c];
      }
    }
    for (size_t i = 0; i < n; ++i) {
      EXPECT_NEAR(sum[i], 1.0, 1e-5) << "vertex " << i;
      EXPECT_GE(count[i], 1);
      EXPECT_LE(count[i], 2) << "two bones at most per vertex";
      const auto p = Apply(meshWorld, {v[3 * i].get<double>(), v[3 * i + 1].get<double>(), v[3 * i + 2].get<double>()});
      for (size_t c = 0; c < 3; ++c) EXPECT_NEAR(skinned[i][c], p[c], 1e-3) << "vertex " << i;
    }
    // The blend along the cylinder: quarter, half and three-quarter shares, and rigid ends.
    for (double s : {0.25, 0.5, 0.75, 1.0}) EXPECT_GT(shares[s], 0) << s;
    EXPECT_EQ(shares.size(), 4u);
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, AssimpSkin, ::testing::Values("skinned_cylinder", "skinned_cylinder_physique"));

}  // namespace
}  // namespace vorn
