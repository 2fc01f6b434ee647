// The shared models exported whole: each file, in every encoding, holds what assimp reads from
// the source (vertices, faces, bones, texture names, animation keys), reads back the same in
// assimp, loads in the DirectX loader, and plays its bones as the source does.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <array>
#include <assimp/Importer.hpp>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "export/driver.h"
#include "importers/assimp_scene.h"
#include "scene/node_tree.h"
#include "tests/support/dx_loader.h"
#include "tests/support/temp_dir.h"
#include "xformat/inspect.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::vector<fs::path> Models() {
  std::vector<fs::path> found;
  const fs::path root = VORN_MODELS_DIR;
  if (!fs::exists(root)) return found;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".fbx" || ext == ".gltf" || ext == ".glb" || ext == ".dae") found.push_back(e.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// What a reader sees of a scene: totals over all meshes.
struct Counts {
  size_t vertices = 0, faces = 0, bones = 0;
  std::set<std::string> textures;
  friend bool operator==(const Counts&, const Counts&) = default;
};
std::ostream& operator<<(std::ostream& os, const Counts& c) {
  os << c.vertices << " vertices, " << c.faces << " faces, " << c.bones << " bones, textures";
  for (const auto& t : c.textures) os << " " << t;
  return os;
}

Counts AssimpCounts(const aiScene& s) {
  Counts c;
  for (unsigned m = 0; m < s.mNumMeshes; ++m) {
    const aiMesh& mesh = *s.mMeshes[m];
    if (!(mesh.mPrimitiveTypes & aiPrimitiveType_TRIANGLE)) continue;
    c.vertices += mesh.mNumVertices;
    c.faces += mesh.mNumFaces;
    for (unsigned b = 0; b < mesh.mNumBones; ++b)
      if (mesh.mBones[b]->mNumWeights > 0) ++c.bones;
    const aiMaterial& mat = *s.mMaterials[mesh.mMaterialIndex];
    for (aiTextureType type : {aiTextureType_DIFFUSE, aiTextureType_BASE_COLOR}) {
      aiString file;
      if (mat.GetTexture(type, 0, &file) == AI_SUCCESS && file.C_Str()[0] != '*') {
        c.textures.insert(fs::path(file.C_Str()).filename().string());
        break;
      }
    }
  }
  return c;
}

void Walk(const json& o, const std::function<void(const json&)>& f) {
  f(o);
  if (o.contains("children"))
    for (const auto& c : o.at("children")) Walk(c, f);
}

json ReadOurs(const std::string& path) {
  XFileTree tree;
  std::string error;
  EXPECT_TRUE(ReadXFileFromPath(path, {}, &tree, &error)) << error;
  return json::parse(InspectJson(tree));
}

Counts OurCounts(const json& file) {
  Counts c;
  for (const auto& top : file.at("objects"))
    Walk(top, [&](const json& o) {
      const std::string t = o.value("template", "");
      if (t == "Mesh") {
        c.vertices += o.at("data").at("nVertices").get<size_t>();
        c.faces += o.at("data").at("nFaces").get<size_t>();
      } else if (t == "SkinWeights") {
        ++c.bones;
      } else if (t == "TextureFilename") {
        c.textures.insert(fs::path(o.at("data").at("filename").get<std::string>()).filename().string());
      }
    });
  return c;
}

// Per bone, its weights in order of size (to 1e-4): vertex numbering may differ between files.
using Weights = std::map<std::string, std::multiset<long>>;
Weights SourceWeights(const aiScene& s) {
  Weights w;
  for (unsigned m = 0; m < s.mNumMeshes; ++m)
    for (unsigned b = 0; b < s.mMeshes[m]->mNumBones; ++b) {
      const aiBone& bone = *s.mMeshes[m]->mBones[b];
      for (unsigned k = 0; k < bone.mNumWeights; ++k)
        if (bone.mWeights[k].mWeight > 0)
          w[CleanName(bone.mName.C_Str())].insert(std::lround(bone.mWeights[k].mWeight * 1e4));
    }
  return w;
}
Weights OurWeights(const json& file) {
  Weights w;
  for (const auto& top : file.at("objects"))
    Walk(top, [&](const json& o) {
      if (o.value("template", "") != "SkinWeights") return;
      auto& list = w[o.at("data").at("transformNodeName").get<std::string>()];
      for (const auto& v : o.at("data").at("weights")) list.insert(std::lround(v.get<double>() * 1e4));
    });
  return w;
}

class ModelExport : public ::testing::TestWithParam<fs::path> {
 protected:
  void SetUp() override {
    if (!fs::exists(GetParam())) GTEST_SKIP() << GetParam() << " is missing";
  }

  // Exports the model silently with the given settings, its clips in the clip list as the app
  // puts them there; the .X file's path.
  std::string Export(const std::string& name, const std::string& settings) {
    std::vector<ImportedClip> clips;
    auto scene = LoadScene(GetParam().string(), &clips);
    const fs::path cfg = dir_ / ("cfg-" + name);
    fs::create_directories(cfg);
    std::ofstream ini(cfg / "vorn_max_config.ini");
    ini << "[Option]\n" << settings;
    for (const std::string& s : ClipSettings(clips, (cfg / "none.ini").string())) ini << s << "\n";
    ini.close();
    scene->SetDirectory(kHostPluginConfigDir, cfg.string());
    const std::string out = (dir_ / (name + ".x")).string();
    XDoExport(out.c_str(), nullptr, scene.get(), true, 0);
    return out;
  }

  testing::TempDir tmp_;
  const fs::path dir_ = tmp_.path();
};

TEST_P(ModelExport, EveryEncodingHoldsWhatAssimpReadsFromTheSource) {
  Assimp::Importer source;
  const aiScene* src = ReadAssimpFile(source, GetParam().string());
  ASSERT_NE(src, nullptr) << source.GetErrorString();
  const Counts expected = AssimpCounts(*src);
  ASSERT_GT(expected.faces, 0u);
  std::map<std::string, std::string> sourceParent;
  const std::string rootName = CleanName(src->mRootNode->mName.C_Str());
  std::function<void(const aiNode&, const std::string&)> collect = [&](const aiNode& n, const std::string& parent) {
    const std::string name = CleanName(n.mName.C_Str());
    sourceParent[name] = parent;
    for (unsigned i = 0; i < n.mNumChildren; ++i) collect(*n.mChildren[i], name);
  };
  collect(*src->mRootNode, "");
  const std::string prefix = testing::SharedWinePrefix();
  const bool loader = !prefix.empty();

  for (int type = 0; type < 3; ++type) {
    SCOPED_TRACE("XFileType " + std::to_string(type));
    const std::string x = Export("model" + std::to_string(type), "XFileType=" + std::to_string(type) + "\n");
    ASSERT_TRUE(fs::exists(x));
    const json ours = ReadOurs(x);
    EXPECT_EQ(OurCounts(ours), expected) << "our reader";
    EXPECT_EQ(OurWeights(ours), SourceWeights(*src));
    // Frames keep the source's names and parents; only a bare root may go.
    size_t frames = 0;
    std::function<void(const json&, const std::string&)> check = [&](const json& o, const std::string& parent) {
      if (o.value("template", "") != "Frame") return;
      const std::string name = o.at("name").get<std::string>();
      auto it = sourceParent.find(name);
      if (it == sourceParent.end()) {
        ADD_FAILURE() << "frame " << name << " is not a source node";
      } else {
        EXPECT_TRUE(it->second == parent || (parent.empty() && it->second == rootName)) << name << " under " << parent;
      }
      ++frames;
      for (const auto& c : o.at("children")) check(c, name);
    };
    for (const auto& top : ours.at("objects")) check(top, "");
    EXPECT_GT(frames, 0u);

    Assimp::Importer back;
    const aiScene* read = ReadAssimpFile(back, x);
    ASSERT_NE(read, nullptr) << back.GetErrorString();
    EXPECT_EQ(AssimpCounts(*read), expected) << "assimp";

    if (loader) {
      std::string failure;
      EXPECT_FALSE(testing::DxcheckDump(prefix, dir_.string(), x, "standard", &failure).empty())
          << "DirectX loader: " << failure;
    }
  }
  if (!loader) std::printf("DirectX loader not available: wine or dxcheck.exe missing\n");
}

// Host ticks of the source's key times for one channel: position, rotation and scale keys
// together with the clip's ends, as key-frame export merges them.
std::set<long> KeyTicks(const aiAnimation& a, const aiNodeAnim& ch, long clipEnd) {
  const double tps = a.mTicksPerSecond > 0 ? a.mTicksPerSecond : 25.0;
  std::set<long> ticks = {0, clipEnd};
  auto add = [&](double t) { ticks.insert(std::clamp(std::lround(t / tps * 4800), 0L, clipEnd)); };
  for (unsigned k = 0; k < ch.mNumPositionKeys; ++k) add(ch.mPositionKeys[k].mTime);
  for (unsigned k = 0; k < ch.mNumRotationKeys; ++k) add(ch.mRotationKeys[k].mTime);
  for (unsigned k = 0; k < ch.mNumScalingKeys; ++k) add(ch.mScalingKeys[k].mTime);
  return ticks;
}

TEST_P(ModelExport, KeyFramedAnimationKeepsTheSourcesKeys) {
  Assimp::Importer source;
  const aiScene* src = ReadAssimpFile(source, GetParam().string());
  ASSERT_NE(src, nullptr);
  if (src->mNumAnimations == 0) GTEST_SKIP() << "no animation";
  std::vector<ImportedClip> clips;
  const auto scene = LoadScene(GetParam().string(), &clips);
  ASSERT_EQ(clips.size(), src->mNumAnimations);

  const std::string x = Export("keys", "XFileType=0\nKeyFrames=1\nKeyOptimizeLevel=0\nKeyType=1\n");
  const json file = ReadOurs(x);
  // Key counts per animation set and frame, S R T lists alike.
  std::map<std::pair<std::string, std::string>, std::vector<size_t>> keys;
  for (const auto& top : file.at("objects")) {
    if (top.value("template", "") != "AnimationSet") continue;
    for (const auto& anim : top.at("children")) {
      std::string frame;
      std::vector<size_t> counts;
      for (const auto& c : anim.at("children")) {
        if (c.contains("reference")) frame = c.at("reference").get<std::string>();
        if (c.value("template", "") == "AnimationKey") counts.push_back(c.at("data").at("nKeys").get<size_t>());
      }
      keys[{top.at("name").get<std::string>(), frame}] = counts;
    }
  }
  Assimp::Importer back;
  const aiScene* read = ReadAssimpFile(back, x);
  ASSERT_NE(read, nullptr) << back.GetErrorString();

  for (unsigned a = 0; a < src->mNumAnimations; ++a) {
    const aiAnimation& anim = *src->mAnimations[a];
    const long clipEnd = long(clips[a].endFrame - clips[a].startFrame) * scene->TicksPerFrame();
    for (unsigned c = 0; c < anim.mNumChannels; ++c) {
      const aiNodeAnim& ch = *anim.mChannels[c];
      const std::string frame = CleanName(ch.mNodeName.C_Str());
      const size_t expected = KeyTicks(anim, ch, clipEnd).size();
      auto it = keys.find({CleanName(clips[a].name), frame});
      ASSERT_NE(it, keys.end()) << clips[a].name << " / " << frame;
      EXPECT_EQ(it->second, std::vector<size_t>(3, expected)) << frame;
      // assimp reads the same keys back.
      const aiNodeAnim* got = nullptr;
      for (unsigned r = 0; r < read->mNumAnimations; ++r)
        for (unsigned k = 0; k < read->mAnimations[r]->mNumChannels; ++k)
          if (read->mAnimations[r]->mChannels[k]->mNodeName.C_Str() == frame) got = read->mAnimations[r]->mChannels[k];
      ASSERT_NE(got, nullptr) << frame;
      EXPECT_EQ(got->mNumPositionKeys, expected);
      EXPECT_EQ(got->mNumRotationKeys, expected);
      EXPECT_EQ(got->mNumScalingKeys, expected);
    }
  }
}

// ---- Playback ---------------------------------------------------------------------------

using Mat = std::array<double, 16>;  // row vectors, as the .X file holds them

Mat Mul(const Mat& a, const Mat& b) {
  Mat m{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      for (int k = 0; k < 4; ++k) m[size_t(4 * r + c)] += a[size_t(4 * r + k)] * b[size_t(4 * k + c)];
  return m;
}
Mat FromJson(const json& values) {
  Mat m{};
  for (size_t i = 0; i < 16; ++i) m[i] = values.at(i).get<double>();
  return m;
}
// An assimp transform (column vectors) as the file presents it: transposed, and z negated for
// the left-handed file.
Mat FromAssimp(const aiMatrix4x4& a) {
  Mat m{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[size_t(4 * r + c)] = a[c][r] * ((r == 2) != (c == 2) ? -1.0 : 1.0);
  return m;
}

template <class Key, class Value>
Value Sample(const Key* keys, unsigned n, double t, Value rest) {
  if (n == 0) return rest;
  auto unit = [](Value v) {
    if constexpr (std::is_same_v<Value, aiQuaternion>) v.Normalize();
    return v;
  };
  if (t <= keys[0].mTime) return unit(keys[0].mValue);
  if (t >= keys[n - 1].mTime) return unit(keys[n - 1].mValue);
  unsigned i = 1;
  while (keys[i].mTime < t) ++i;
  const double s = (t - keys[i - 1].mTime) / (keys[i].mTime - keys[i - 1].mTime);
  if constexpr (std::is_same_v<Value, aiQuaternion>) {
    // Rotations are meant as unit quaternions whatever the file's rounding.
    aiQuaternion q, a = keys[i - 1].mValue, b = keys[i].mValue;
    aiQuaternion::Interpolate(q, a.Normalize(), b.Normalize(), ai_real(s));
    return q.Normalize();
  } else {
    return keys[i - 1].mValue + (keys[i].mValue - keys[i - 1].mValue) * ai_real(s);
  }
}

// The source's world transforms by cleaned node name at anim ticks t.
void SourceWorld(const aiNode& n, const aiAnimation& a, double t, const aiMatrix4x4& parent,
                 std::map<std::string, aiMatrix4x4>& out) {
  aiMatrix4x4 local = n.mTransformation;
  for (unsigned c = 0; c < a.mNumChannels; ++c) {
    const aiNodeAnim& ch = *a.mChannels[c];
    if (ch.mNodeName != n.mName) continue;
    aiVector3D s0, p0;
    aiQuaternion r0;
    local.Decompose(s0, r0, p0);
    const aiVector3D p = Sample(ch.mPositionKeys, ch.mNumPositionKeys, t, p0);
    const aiQuaternion r = Sample(ch.mRotationKeys, ch.mNumRotationKeys, t, r0);
    const aiVector3D s = Sample(ch.mScalingKeys, ch.mNumScalingKeys, t, s0);
    aiMatrix4x4 sm, tm;
    aiMatrix4x4::Scaling(s, sm);
    aiMatrix4x4::Translation(p, tm);
    local = tm * aiMatrix4x4(r.GetMatrix()) * sm;
  }
  const aiMatrix4x4 world = parent * local;
  out[CleanName(n.mName.C_Str())] = world;
  for (unsigned i = 0; i < n.mNumChildren; ++i) SourceWorld(*n.mChildren[i], a, t, world, out);
}

TEST_P(ModelExport, BonesPlayBackAsInTheSource) {
  Assimp::Importer source;
  const aiScene* src = ReadAssimpFile(source, GetParam().string());
  ASSERT_NE(src, nullptr);
  if (src->mNumAnimations == 0 || src->mNumMeshes == 0 || !src->mMeshes[0]->HasBones())
    GTEST_SKIP() << "no skinned animation";
  std::vector<ImportedClip> clips;
  LoadScene(GetParam().string(), &clips);

  // Without reduction every frame has a key at every sample.
  const std::string x = Export("play", "XFileType=0\nKeyType=0\nKeyOptimizeLevel=0\n");
  const json file = ReadOurs(x);
  // Frames: parent and rest transform; the first clip's matrix keys per frame.
  std::map<std::string, std::string> parentOf;
  std::map<std::string, Mat> rest;
  std::map<std::string, std::vector<std::pair<long, Mat>>> keys;
  std::function<void(const json&, const std::string&)> frames = [&](const json& o, const std::string& parent) {
    if (o.value("template", "") != "Frame") return;
    const std::string name = o.at("name").get<std::string>();
    parentOf[name] = parent;
    for (const auto& c : o.at("children")) {
      if (c.value("template", "") == "FrameTransformMatrix")
        rest[name] = FromJson(c.at("data").at("frameMatrix").at("matrix"));
      frames(c, name);
    }
  };
  bool firstSet = true;
  for (const auto& top : file.at("objects")) {
    frames(top, "");
    if (top.value("template", "") != "AnimationSet" || !firstSet) continue;
    firstSet = false;
    for (const auto& anim : top.at("children")) {
      std::string frame;
      for (const auto& c : anim.at("children"))
        if (c.contains("reference")) frame = c.at("reference").get<std::string>();
      for (const auto& c : anim.at("children"))
        if (c.value("template", "") == "AnimationKey" && c.at("data").at("keyType") == 4)
          for (const auto& k : c.at("data").at("keys"))
            keys[frame].push_back({k.at("time").get<long>(), FromJson(k.at("tfkeys").at("values"))});
    }
  }
  auto localAt = [&](const std::string& f, long t) {
    auto it = keys.find(f);
    if (it == keys.end()) return rest.at(f);
    for (const auto& [time, m] : it->second)
      if (time == t) return m;
    ADD_FAILURE() << f << " has no key at " << t;
    return rest.at(f);
  };
  auto worldAt = [&](const std::string& f, long t) {
    Mat w = localAt(f, t);
    for (std::string p = parentOf.at(f); !p.empty(); p = parentOf.at(p)) w = Mul(w, localAt(p, t));
    return w;
  };

  const aiAnimation& anim = *src->mAnimations[0];
  const double tps = anim.mTicksPerSecond > 0 ? anim.mTicksPerSecond : 25.0;
  const aiMesh& mesh = *src->mMeshes[0];
  ASSERT_FALSE(keys.empty());
  const auto& times = std::max_element(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
                        return a.second.size() < b.second.size();
                      })->second;
  int compared = 0;
  for (size_t i = 0; i < times.size(); i += std::max<size_t>(1, times.size() / 7)) {
    const long t = times[i].first;
    std::map<std::string, aiMatrix4x4> world;
    SourceWorld(*src->mRootNode, anim, double(t) / 4800.0 * tps, aiMatrix4x4(), world);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
      const std::string name = CleanName(mesh.mBones[b]->mName.C_Str());
      ASSERT_TRUE(parentOf.count(name)) << name;
      const Mat got = worldAt(name, t), want = FromAssimp(world.at(name));
      for (size_t k = 0; k < 16; ++k) EXPECT_NEAR(got[k], want[k], 1e-4) << name << " at tick " << t << " entry " << k;
      ++compared;
    }
  }
  EXPECT_GE(compared, 4);

  // The default keys (scale, rotation, position), read back by assimp, play as the source: a
  // rotation key turns the way DirectX and other exporters' files have it.
  Assimp::Importer back;
  const aiScene* ours = ReadAssimpFile(back, Export("srt", "XFileType=0\nKeyType=1\nKeyOptimizeLevel=0\n"));
  ASSERT_NE(ours, nullptr) << back.GetErrorString();
  ASSERT_GE(ours->mNumAnimations, 1u);
  compared = 0;
  for (size_t i = 0; i < times.size(); i += std::max<size_t>(1, times.size() / 7)) {
    const long t = times[i].first;
    std::map<std::string, aiMatrix4x4> want, got;
    SourceWorld(*src->mRootNode, anim, double(t) / 4800.0 * tps, aiMatrix4x4(), want);
    SourceWorld(*ours->mRootNode, *ours->mAnimations[0], double(t), aiMatrix4x4(), got);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
      const std::string name = CleanName(mesh.mBones[b]->mName.C_Str());
      ASSERT_TRUE(got.count(name)) << name;
      for (unsigned r = 0; r < 4; ++r)
        for (unsigned c = 0; c < 4; ++c)
          EXPECT_NEAR(got.at(name)[r][c], want.at(name)[r][c], 1e-3) << name << " at tick " << t << " entry " << r << c;
      ++compared;
    }
  }
  EXPECT_GE(compared, 4);

  // The offsets are the source's, in the file's axes.
  std::map<std::string, Mat> offsets;
  for (const auto& top : file.at("objects"))
    Walk(top, [&](const json& o) {
      if (o.value("template", "") == "SkinWeights")
        offsets[o.at("data").at("transformNodeName").get<std::string>()] =
            FromJson(o.at("data").at("matrixOffset").at("matrix"));
    });
  for (unsigned b = 0; b < mesh.mNumBones; ++b) {
    const std::string name = CleanName(mesh.mBones[b]->mName.C_Str());
    ASSERT_TRUE(offsets.count(name)) << name;
    const Mat want = FromAssimp(mesh.mBones[b]->mOffsetMatrix);
    for (size_t k = 0; k < 16; ++k) EXPECT_NEAR(offsets[name][k], want[k], 1e-4) << name << " offset entry " << k;
  }
}

// The arm example's two kinds of keys, both read back by assimp, play alike at every frame: matrix
// keys hold whole transforms, so rotation keys that turned the other way would show here.
TEST(ExampleAnimation, RotationKeysPlayAsMatrixKeysInAssimp) {
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  const std::string clips = testing::ReadText(std::string(VORN_SOURCE_DIR) + "/examples/arm/vorn_max_config.ini");
  auto exportWith = [&](const std::string& name, const std::string& keys) {
    const fs::path cfg = dir / name;
    fs::create_directories(cfg);
    std::ofstream(cfg / "vorn_max_config.ini") << clips << "XFileType=0\nKeyOptimizeLevel=0\n" << keys;
    auto doc = LoadScene(std::string(VORN_SOURCE_DIR) + "/examples/arm.json");
    doc->SetDirectory(kHostPluginConfigDir, cfg.string());
    const std::string out = (dir / (name + ".x")).string();
    XDoExport(out.c_str(), nullptr, doc.get(), true, 0);
    return out;
  };
  Assimp::Importer srtReader, matrixReader;
  const aiScene* srt = ReadAssimpFile(srtReader, exportWith("srt", "KeyType=1\n"));
  const aiScene* matrix = ReadAssimpFile(matrixReader, exportWith("matrix", "KeyType=0\n"));
  ASSERT_TRUE(srt && matrix) << srtReader.GetErrorString() << matrixReader.GetErrorString();
  ASSERT_EQ(srt->mNumAnimations, 2u);
  ASSERT_EQ(matrix->mNumAnimations, 2u);
  size_t turned = 0;
  for (unsigned a = 0; a < 2; ++a)
    for (double t = 0; t <= 30 * 160; t += 160) {
      std::map<std::string, aiMatrix4x4> got, want;
      SourceWorld(*srt->mRootNode, *srt->mAnimations[a], t, aiMatrix4x4(), got);
      SourceWorld(*matrix->mRootNode, *matrix->mAnimations[a], t, aiMatrix4x4(), want);
      ASSERT_EQ(got.size(), want.size());
      for (const auto& [name, m] : want) {
        for (unsigned r = 0; r < 3; ++r)
          for (unsigned c = 0; c < 4; ++c)
            EXPECT_NEAR(got.at(name)[r][c], m[r][c], 1e-4) << srt->mAnimations[a]->mName.C_Str() << " " << name
                                                           << " at tick " << t << " entry " << r << c;
        if (std::fabs(m[0][1]) > 0.1f || std::fabs(m[1][0]) > 0.1f) ++turned;
      }
    }
  EXPECT_GT(turned, 10u) << "the arm should turn";
}

// A sampler that mirrors its repeats leaves the coordinates as the source has them: the .X holds
// no sampler state, and doubling them would show the texture at half its size.
TEST(ModelTexcoords, AMirroredWrapKeepsTheSourcesCoordinates) {
  const fs::path model = fs::path(VORN_MODELS_DIR) / "gltf/BoxTextured/BoxTextured.gltf";
  if (!fs::exists(model)) GTEST_SKIP() << model << " is missing";
  Assimp::Importer source;
  const aiScene* src = ReadAssimpFile(source, model.string());
  ASSERT_NE(src, nullptr);
  float want = 0;
  for (unsigned m = 0; m < src->mNumMeshes; ++m)
    for (unsigned v = 0; v < src->mMeshes[m]->mNumVertices; ++v)
      want = std::max(want, src->mMeshes[m]->mTextureCoords[0][v].x);
  const testing::TempDir tmp;
  auto scene = LoadScene(model.string());
  const fs::path dir = tmp.path();
  std::ofstream(dir / "vorn_max_config.ini") << "[Option]\nXFileType=0\n";
  scene->SetDirectory(kHostPluginConfigDir, dir.string());
  const std::string x = (dir / "box.x").string();
  XDoExport(x.c_str(), nullptr, scene.get(), true, 0);
  const json file = ReadOurs(x);
  float got = 0;
  for (const auto& top : file.at("objects"))
    Walk(top, [&](const json& o) {
      if (o.value("template", "") == "MeshTextureCoords")
        for (const auto& uv : o.at("data").at("textureCoords")) got = std::max(got, uv.at("u").get<float>());
    });
  EXPECT_GT(want, 1.0f) << "the source repeats its texture";
  EXPECT_FLOAT_EQ(got, want);
}

// Vertex colours, written on request, are the source's, vertex for vertex.
TEST(ModelColours, VertexColoursReachTheFile) {
  const fs::path model = fs::path(VORN_MODELS_DIR) / "collada/kwxport_test_vcolors.dae";
  if (!fs::exists(model)) GTEST_SKIP() << model << " is missing";
  Assimp::Importer source;
  const aiScene* src = ReadAssimpFile(source, model.string());
  ASSERT_NE(src, nullptr);
  std::multiset<std::array<long, 4>> want, got;
  auto key = [](double r, double g, double b, double a) {
    return std::array<long, 4>{std::lround(r * 1000), std::lround(g * 1000), std::lround(b * 1000),
                               std::lround(a * 1000)};
  };
  for (unsigned m = 0; m < src->mNumMeshes; ++m) {
    ASSERT_TRUE(src->mMeshes[m]->HasVertexColors(0));
    for (unsigned v = 0; v < src->mMeshes[m]->mNumVertices; ++v) {
      const aiColor4D c = src->mMeshes[m]->mColors[0][v];
      want.insert(key(c.r, c.g, c.b, c.a));
    }
  }
  const testing::TempDir tmp;
  const fs::path dir = tmp.path();
  auto scene = LoadScene(model.string());
  std::ofstream(dir / "vorn_max_config.ini") << "[Option]\nVertexColor=1\nXFileType=0\n";
  scene->SetDirectory(kHostPluginConfigDir, dir.string());
  const std::string x = (dir / "colours.x").string();
  XDoExport(x.c_str(), nullptr, scene.get(), true, 0);
  const json file = ReadOurs(x);
  for (const auto& top : file.at("objects"))
    Walk(top, [&](const json& o) {
      if (o.value("template", "") != "MeshVertexColors") return;
      for (const auto& e : o.at("data").at("vertexColors")) {
        const json& c = e.at("indexColor");
        got.insert(key(c.at("red"), c.at("green"), c.at("blue"), c.at("alpha")));
      }
    });
  EXPECT_EQ(got, want);
}

std::string ModelName(const ::testing::TestParamInfo<fs::path>& info) {
  std::string s = info.param.filename().string();
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

INSTANTIATE_TEST_SUITE_P(SharedModels, ModelExport, ::testing::ValuesIn(Models()), ModelName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ModelExport);

}  // namespace
}  // namespace vorn
