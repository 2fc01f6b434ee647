// What an assimp scene looks like through the host interface: nodes turned Z-up, meshes with
// their normals, map channels and colours, standard and multi materials with their maps, clips
// and the app's choice of importer.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "importers/assimp_scene.h"
#include "tests/support/temp_dir.h"
#include "xformat/inspect.h"
#include "xformat/xfile_reader.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the app; its exit status.
int RunVorn(const std::string& args) {
  const std::string cmd = std::string("'") + VORN_EXE + "' " + args + " </dev/null >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void ExpectNear(Point3 a, Point3 b, float eps = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

// One object, two materials, vertex colours and a textured, normal-mapped first material.
class ObjScene : public ::testing::Test {
 protected:
  void SetUp() override {
    Write(dir_ / "two.mtl",
          "newmtl Red\nKd 0.5 0.25 0.125\nKs 0.2 0.3 0.4\nNs 50\nd 0.75\nKe 0.1 0.2 0.3\nmap_Kd tex.png\n"
          "norm bumps.png\nnewmtl Blue\nKd 0 0 1\n");
    Write(dir_ / "two.obj",
          "mtllib two.mtl\no Thing\n"
          "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 0 1 0 0 0 1\nv 0 0 1 1 1 1\n"
          "vt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\n"
          "usemtl Red\nf 1/1/1 2/2/1 3/3/1\nusemtl Blue\nf 1/1/1 3/3/1 4/2/1\n");
    scene_ = LoadAssimpScene(dir_ / "two.obj");
  }

  // The first node carrying a mesh, depth first.
  const HostNode* MeshNode(const HostNode* n) const {
    if (n != scene_->RootNode() && scene_->ObjectRef(n) && scene_->ObjectMesh(scene_->ObjectRef(n))) return n;
    for (int i = 0; i < scene_->ChildCount(n); ++i)
      if (const HostNode* found = MeshNode(scene_->Child(n, i))) return found;
    return nullptr;
  }

  testing::TempDir dir_;
  std::unique_ptr<SceneDocument> scene_;
};

TEST_F(ObjScene, MeshesOfOneNodeBecomeOneTriangleMeshWithMaterialIds) {
  const HostNode* node = MeshNode(scene_->RootNode());
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(scene_->NodeName(node), "Thing");
  const TriMesh* mesh = scene_->ObjectMesh(scene_->ObjectRef(node));
  ASSERT_EQ(mesh->FaceCount(), 2);
  EXPECT_EQ(mesh->faces[0].matID, 0);
  EXPECT_EQ(mesh->faces[1].matID, 1);
  // Normals as given, per corner, turned Z-up with the points.
  ASSERT_TRUE(mesh->hasSpecifiedNormals);
  ASSERT_TRUE(mesh->CheckSpecifiedNormals());
  for (const MapFace& f : mesh->specified.faces)
    for (uint32_t k : f.t) ExpectNear(mesh->specified.normals[k], {0, -1, 0});
  // Texture coordinates on channel 1, colours on 0 and their alpha on -2.
  ASSERT_TRUE(mesh->MapSupport(1));
  EXPECT_FALSE(mesh->MapSupport(2));
  ASSERT_TRUE(mesh->MapSupport(0));
  ASSERT_TRUE(mesh->MapSupport(-2));
  // Every channel indexes the points: one face array for all, held once.
  EXPECT_TRUE(mesh->Map(1).faces.SharesWith(mesh->specified.faces));
  EXPECT_TRUE(mesh->Map(0).faces.SharesWith(mesh->Map(-2).faces));
  EXPECT_TRUE(mesh->Map(0).faces.SharesWith(mesh->Map(1).faces));
  for (int f = 0; f < 2; ++f)
    for (int k = 0; k < 3; ++k) {
      const uint32_t v = mesh->faces[size_t(f)].v[k];
      const Point3 p = mesh->verts[v];
      const Point3 uv = mesh->Map(1).verts[mesh->Map(1).faces[size_t(f)].t[k]];
      const Point3 color = mesh->Map(0).verts[mesh->Map(0).faces[size_t(f)].t[k]];
      // The source's vertices sit on the axes with matching colours and coordinates.
      if (p == Point3{1, 0, 0}) {
        ExpectNear(uv, {1, 0, 0});
        ExpectNear(color, {0, 1, 0});
      }
      if (p == Point3{0, 0, 1}) ExpectNear(color, {0, 0, 1});  // source (0, 1, 0), turned up
      EXPECT_FLOAT_EQ(mesh->Map(-2).verts[mesh->Map(-2).faces[size_t(f)].t[k]].x, 1.0f);
    }
}

TEST_F(ObjScene, SceneIsPresentedZUp) {
  const HostNode* node = MeshNode(scene_->RootNode());
  const TriMesh* mesh = scene_->ObjectMesh(scene_->ObjectRef(node));
  const Matrix3 world = scene_->ObjectTM(node, 0);
  bool up = false, forward = false;
  for (const Point3& v : mesh->verts) {
    const Point3 p = v * world;
    up = up || Equals(p, {0, 0, 1}, 1e-5f);             // source +Y
    forward = forward || Equals(p, {0, -1, 0}, 1e-5f);  // source +Z
  }
  EXPECT_TRUE(up);
  EXPECT_TRUE(forward);
}

TEST_F(ObjScene, MaterialsAreStandardWithTheirColoursAndMaps) {
  const HostNode* node = MeshNode(scene_->RootNode());
  const HostMaterial* multi = scene_->NodeMaterial(node);
  ASSERT_EQ(scene_->SubMtlCount(multi), 2);
  const HostMaterial* red = scene_->SubMtl(multi, 0);
  const HostMaterial* blue = scene_->SubMtl(multi, 1);
  EXPECT_EQ(scene_->MaterialName(red), "Red");
  EXPECT_EQ(scene_->MaterialName(blue), "Blue");
  EXPECT_EQ(scene_->MaterialClassID(red), (ClassID{2, 0}));
  EXPECT_EQ(scene_->Diffuse(red, 0), (Color{0.5f, 0.25f, 0.125f}));
  // What the exporter makes of them: specular x strength / 10, shininess x 100, 1 - opacity.
  const Color spec = scene_->Specular(red, 0);
  EXPECT_NEAR(spec.g * scene_->ShinStr(red, 0) * 0.1f, 0.3f, 1e-6f);
  EXPECT_NEAR(scene_->Shininess(red, 0) * 100.0f, 50.0f, 1e-4f);
  EXPECT_NEAR(scene_->Xparency(red, 0), 0.25f, 1e-6f);
  EXPECT_TRUE(scene_->SelfIllumColorOn(red));
  EXPECT_EQ(scene_->SelfIllumColor(red, 0), (Color{0.1f, 0.2f, 0.3f}));

  ASSERT_TRUE(scene_->SubTexmapOn(red, 1));
  const HostTexmap* diffuse = scene_->SubTexmap(red, 1);
  EXPECT_EQ(scene_->TexmapClassID(diffuse), (ClassID{0x240, 0}));
  EXPECT_EQ(fs::path(scene_->BitmapFileName(diffuse)), fs::path(dir_ / "tex.png"));
  EXPECT_EQ(scene_->MapChannel(diffuse), 1);
  EXPECT_EQ(scene_->TextureTiling(diffuse), 3);  // wrap in U and V
  ASSERT_TRUE(scene_->SubTexmapOn(red, 8));
  const HostTexmap* bump = scene_->SubTexmap(red, 8);
  EXPECT_EQ(scene_->TexmapClassID(bump), (ClassID{0x243e22c6, 0x63f6a014}));
  ASSERT_EQ(scene_->TexmapSubCount(bump), 1);
  EXPECT_EQ(fs::path(scene_->BitmapFileName(scene_->TexmapSub(bump, 0))).filename(), "bumps.png");
  EXPECT_FALSE(scene_->SubTexmapOn(blue, 1));
}

TEST(AssimpScene, ExtensionChoosesTheImporterAndUnreadableFilesGiveAssimpsMessage) {
  EXPECT_TRUE(IsSceneDocumentPath("a/b/scene.json"));
  EXPECT_TRUE(IsSceneDocumentPath("SCENE.JSON"));
  EXPECT_FALSE(IsSceneDocumentPath("model.fbx"));
  EXPECT_FALSE(IsSceneDocumentPath("model.json.glb"));

  testing::TempDir dir;
  Write(dir / "broken.gltf", "{ this is not glTF");
  try {
    LoadScene(dir / "broken.gltf");
    ADD_FAILURE() << "a broken file loaded";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(dir / "broken.gltf" + ": ", 0), 0u) << what;
    EXPECT_GT(what.size(), (dir / "broken.gltf: ").size()) << "assimp's message is missing";
  }

  // The app: status 2 and the message on stderr; no file written.
  const std::string err = dir / "err.txt", out = dir / "out.x";
  const std::string cmd = std::string("'") + VORN_EXE + "' export '" + (dir / "broken.gltf") + "' '" + out +
                          "' --silent --config-dir '" + (dir / "cfg") + "' </dev/null 2>'" + err + "'";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  std::ifstream in(err);
  const std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(message.find("broken.gltf: "), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(out));
}

// A triangle whose texture lives inside the file: a red 2x2 PNG, mirrored in U, clamped in V.
constexpr const char* kEmbeddedGltf =
    "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"name\":\"Tri\",\"mesh\":0}"
    "],\"mes"
    "hes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0,\"TEXCOORD_0\":1},\"material\":0}]}],\"materials\":[{\"nam"
    "e\":\"Painted\",\"pbrMetallicRoughness\":{\"baseColorTexture\":{\"index\":0}}}],\"textures\":[{\"source\":0,\"samp"
    "ler\":0}],\"samplers\":[{\"wrapS\":33648,\"wrapT\":33071}],\"images\":[{\"name\":\"red\",\"uri\":\"data:image/"
    "png;ba"
    "se64,iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAYAAABytg0kAAAAEUlEQVR4nGP4z8DwH4QZYAwAR8oH+WdZbrcAAAAASUVORK5"
    "CYII=\"}],\"buffers\":[{\"byteLength\":60,\"uri\":\"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAAC"
    "APwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/\"}],\"bufferViews\":[{\"buffer\":0,\"byteOff"
    "set\":0,\"byteLength\":36},{\"buffer\":0,\"byteOffset\":36,\"byteLength\":24}],\"accessors\":[{\"bufferView\":0,\""
    "componentType\":5126,\"count\":3,\"type\":\"VEC3\",\"min\":[0,0,0],\"max\":[1,1,0]},{\"bufferView\":1,\"componentT"
    "ype\":5126,\"count\":3,\"type\":\"VEC2\"}]}";

TEST(AssimpScene, EmbeddedTexturesAreWrittenOutAndExportedLikeFiles) {
  testing::TempDir dir;
  Write(dir / "emb.gltf", kEmbeddedGltf);
  {
    auto scene = LoadScene(dir / "emb.gltf");
    const HostNode* node = scene->FindNode("Tri");
    ASSERT_NE(node, nullptr);
    const HostMaterial* m = scene->NodeMaterial(node);
    EXPECT_EQ(scene->MaterialName(m), "Painted");
    ASSERT_TRUE(scene->SubTexmapOn(m, 1));
    const HostTexmap* map = scene->SubTexmap(m, 1);
    EXPECT_EQ(scene->TextureTiling(map), 1) << "a mirrored repeat tiles as a repeat";
    const std::string file = scene->BitmapFileName(map);
    EXPECT_EQ(fs::path(file).filename(), "red.png");
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(Read(file).substr(1, 3), "PNG");
  }
  // Through the app the image lands beside the .X file under its own name.
  fs::create_directories(dir / "out");
  ASSERT_EQ(RunVorn("export '" + (dir / "emb.gltf") + "' '" + (dir / "out/emb.x") + "' --silent --config-dir '" +
                    (dir / "cfg") + "'"),
            0);
  EXPECT_TRUE(fs::exists(dir / "out/red.png"));
  XFileTree tree;
  std::string error;
  ASSERT_TRUE(ReadXFileFromPath(dir / "out/emb.x", {}, &tree, &error)) << error;
  EXPECT_NE(InspectText(tree).find("filename = \"red.png\""), std::string::npos);
}

TEST(AssimpScene, TheAppExportsImportedClipsUnlessTheSettingsHaveTheirOwn) {
  const std::string path = std::string(VORN_MODELS_DIR) + "/collada/box_nested_animation.dae";
  if (!fs::exists(path)) GTEST_SKIP() << path << " is missing";
  testing::TempDir dir;
  auto sets = [&](const std::string& x) {
    XFileTree tree;
    std::string error;
    EXPECT_TRUE(ReadXFileFromPath(x, {}, &tree, &error)) << error;
    const std::string text = InspectText(tree);
    std::vector<std::string> names;
    for (size_t at = text.find("AnimationSet "); at != std::string::npos; at = text.find("AnimationSet ", at + 1))
      names.push_back(text.substr(at + 13, text.find(' ', at + 13) - at - 13));
    return names;
  };
  ASSERT_EQ(RunVorn("export '" + path + "' '" + (dir / "a.x") + "' --yes --config-dir '" + (dir / "cfg") + "'"), 0);
  EXPECT_EQ(sets(dir / "a.x"), std::vector<std::string>{"Armature"});
  // A confirmed export saved the clip list; an edited one is kept on the next export.
  const std::string ini = Read(dir / "cfg/vorn_max_config.ini");
  EXPECT_NE(ini.find("Animation0_Name=Armature"), std::string::npos) << ini;
  Write(dir / "cfg/vorn_max_config.ini",
        "[Option]\nAnimationCount=1\nAnimation0_Name=Mine\nAnimation0_StartKey=0\n"
        "Animation0_EndKey=5\n");
  ASSERT_EQ(RunVorn("export '" + path + "' '" + (dir / "b.x") + "' --silent --config-dir '" + (dir / "cfg") + "'"), 0);
  EXPECT_EQ(sets(dir / "b.x"), std::vector<std::string>{"Mine"});
}

TEST(AssimpScene, ClipsGoIntoASettingsFileWithoutAClipList) {
  const std::vector<ImportedClip> clips = {{"Walk", 0, 30}, {"Run", 31, 50}};
  testing::TempDir dir;
  const std::vector<std::string> expected = {"AnimationCount=2",     "Animation0_Name=Walk", "Animation0_StartKey=0",
                                             "Animation0_EndKey=30", "Animation1_Name=Run",  "Animation1_StartKey=31",
                                             "Animation1_EndKey=50"};
  EXPECT_EQ(ClipSettings(clips, dir / "missing.ini"), expected);
  Write(dir / "other.ini", "[Option]\nXFileType=1\n");
  EXPECT_EQ(ClipSettings(clips, dir / "other.ini"), expected);
  Write(dir / "own.ini", "[Option]\nAnimationCount=1\nAnimation0_Name=Mine\n");
  EXPECT_TRUE(ClipSettings(clips, dir / "own.ini").empty());
  EXPECT_TRUE(ClipSettings({}, dir / "missing.ini").empty());
}

TEST(AssimpScene, AnimationsBecomeClipsOneAfterAnotherWithKeyedControllers) {
  const std::string path = std::string(VORN_MODELS_DIR) + "/collada/box_nested_animation.dae";
  if (!fs::exists(path)) GTEST_SKIP() << path << " is missing";
  std::vector<ImportedClip> clips;
  auto scene = LoadScene(path, &clips);
  ASSERT_EQ(clips.size(), 1u);
  EXPECT_EQ(clips[0].name, "Armature");
  EXPECT_EQ(clips[0].startFrame, 0);
  EXPECT_GT(clips[0].endFrame, 0);
  EXPECT_EQ(scene->AnimRange().start, 0);
  EXPECT_EQ(scene->AnimRange().end, clips[0].endFrame * scene->TicksPerFrame());
  EXPECT_EQ(scene->FrameRate() * scene->TicksPerFrame(), kTicksPerSecond);

  const HostNode* bone = scene->FindNode("Armature_Bone");
  ASSERT_NE(bone, nullptr);
  const HostController* c = scene->TMController(bone);
  ASSERT_NE(c, nullptr);
  for (const HostController* part :
       {scene->PositionController(c), scene->RotationController(c), scene->ScaleController(c)}) {
    ASSERT_NE(part, nullptr);
    EXPECT_TRUE(scene->HasUsableKeys(part));
    ASSERT_GE(scene->KeyCount(part), 2);
    EXPECT_EQ(scene->KeyTime(part, 0), 0);
    EXPECT_EQ(scene->KeyTime(part, scene->KeyCount(part) - 1), scene->AnimRange().end);
  }
  // The bone moves: its transform differs between the clip's ends.
  EXPECT_FALSE(Equals(scene->NodeTM(bone, 0), scene->NodeTM(bone, scene->AnimRange().end / 2), 1e-3f));
  // A node the animation leaves alone has no controller.
  const HostNode* cube = scene->FindNode("Cube");
  ASSERT_NE(cube, nullptr);
  EXPECT_EQ(scene->TMController(cube), nullptr);
}

// Two nodes without meshes. "First" moves A (rest (5, 0, 0)) from (0, 0, 0) at 0 s to (1, 0, 0)
// at 1 s; "Second" moves B (rest (0, 1, 0)) from (0, 2, 0) at 0.5 s to (0, 4, 0) at 1 s.
constexpr const char* kTwoAnimationsGltf =
    "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[{\"name\":\"A\","
    "\"translation\":["
    "5,0,0]},{\"name\":\"B\",\"translation\":[0,1,0]}],\"animations\":[{\"name\":\"First\",\"samplers\":[{\"input\":0,"
    "\"ou"
    "tput\":1}],\"channels\":[{\"sampler\":0,\"target\":{\"node\":0,\"path\":\"translation\"}}]},{\"name\":\"Second\","
    "\"sam"
    "plers\":[{\"input\":2,\"output\":3}],\"channels\":[{\"sampler\":0,\"target\":{\"node\":1,\"path\":\"translation\"}"
    "}]}"
    "],\"buffers\":[{\"byteLength\":64,\"uri\":\"data:application/octet-stream;base64,AAAAAAAAgD8AAAAAAAAAAAAAAA"
    "AAAIA/AAAAAAAAAAAAAAA/AACAPwAAAAAAAABAAAAAAAAAAAAAAIBAAAAAAA==\"}],\"bufferViews\":[{\"buffer\":0,\"byteOf"
    "fset\":0,\"byteLength\":8},{\"buffer\":0,\"byteOffset\":8,\"byteLength\":24},{\"buffer\":0,\"byteOffset\":32,\"byt"
    "eLength\":8},{\"buffer\":0,\"byteOffset\":40,\"byteLength\":24}],\"accessors\":[{\"bufferView\":0,\"componentTyp"
    "e\":5126,\"count\":2,\"type\":\"SCALAR\",\"min\":[0],\"max\":[1]},{\"bufferView\":1,\"componentType\":5126,"
    "\"count\":"
    "2,\"type\":\"VEC3\"},{\"bufferView\":2,\"componentType\":5126,\"count\":2,\"type\":\"SCALAR\",\"min\":[0.5],"
    "\"max\":[1"
    "]},{\"bufferView\":3,\"componentType\":5126,\"count\":2,\"type\":\"VEC3\"}]}";

TEST(AssimpScene, ClipsPlayAloneHoldingRestAndEndValues) {
  testing::TempDir dir;
  Write(dir / "two.gltf", kTwoAnimationsGltf);
  std::vector<ImportedClip> clips;
  auto scene = LoadScene(dir / "two.gltf", &clips);
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].name, "First");
  EXPECT_EQ(clips[1].name, "Second");
  // 30 frames a second: one second each, the second clip from the frame after the first.
  ASSERT_EQ(scene->TicksPerFrame(), 160);
  EXPECT_EQ(clips[0].startFrame, 0);
  EXPECT_EQ(clips[0].endFrame, 30);
  EXPECT_EQ(clips[1].startFrame, 31);
  EXPECT_EQ(clips[1].endFrame, 61);
  EXPECT_EQ(scene->AnimRange().end, 61 * 160);

  const HostNode* a = scene->FindNode("A");
  const HostNode* b = scene->FindNode("B");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  const TimeValue second = 31 * 160;
  auto at = [&](const HostNode* n, TimeValue t) { return scene->NodeTM(n, t).Translation(); };
  // Source Y is host Z.
  ExpectNear(at(a, 2400), {0.5f, 0, 0});
  ExpectNear(at(a, 4800), {1, 0, 0});
  ExpectNear(at(b, 2400), {0, 0, 1});           // B rests while the first clip plays
  ExpectNear(at(a, second + 2400), {5, 0, 0});  // and A while the second does
  ExpectNear(at(b, second), {0, 0, 2});         // held at its first key until 0.5 s
  ExpectNear(at(b, second + 2400), {0, 0, 2});
  ExpectNear(at(b, second + 3600), {0, 0, 3});
  ExpectNear(at(b, second + 4800), {0, 0, 4});
  // The keys the exporter's key-frame mode sees: the source's plus each clip's ends.
  const HostController* pos = scene->PositionController(scene->TMController(b));
  ASSERT_EQ(scene->KeyCount(pos), 5);
  const TimeValue times[] = {0, 4800, second, second + 2400, second + 4800};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(scene->KeyTime(pos, k), times[k]) << k;
}

TEST(AssimpScene, BonesBecomeASkinWithWeightsAndInitialTransforms) {
  const std::string path = std::string(VORN_MODELS_DIR) + "/gltf/simple_skin/simple_skin.gltf";
  if (!fs::exists(path)) GTEST_SKIP() << path << " is missing";
  auto scene = LoadScene(path);
  const HostNode* node = scene->FindNode("nodes[0]");
  ASSERT_NE(node, nullptr);
  const HostObject* obj = scene->ObjectRef(node);
  ASSERT_EQ(scene->ModifierCount(obj), 1);
  const HostModifier* mod = scene->Modifier(obj, 0);
  EXPECT_EQ(scene->ModifierClassID(mod), kSkinClass);
  const SkinInterface* skin = scene->GetSkinInterface(mod, kSkinInterfaceId);
  ASSERT_NE(skin, nullptr);
  ASSERT_EQ(skin->BoneCount(), 2);
  const SkinContext* ctx = skin->ContextData(node);
  ASSERT_EQ(ctx->PointCount(), scene->PointCount(obj));
  for (int p = 0; p < ctx->PointCount(); ++p) {
    float sum = 0;
    for (int i = 0; i < ctx->AssignedBoneCount(p); ++i) sum += ctx->BoneWeight(p, i);
    EXPECT_NEAR(sum, 1.0f, 1e-5f) << "point " << p;
  }
  // Every bone has its initial transform; the file's offsets check their values.
  for (int b = 0; b < skin->BoneCount(); ++b) {
    Matrix3 init;
    EXPECT_NE(skin->BoneInitTM(skin->Bone(b), init, false), 0) << scene->NodeName(skin->Bone(b));
    EXPECT_NE(skin->BoneInitTM(skin->Bone(b), init, true), 0) << scene->NodeName(skin->Bone(b));
  }
  Matrix3 nodeInit;
  ASSERT_NE(skin->SkinInitTM(node, nodeInit, false), 0);
  EXPECT_TRUE(Equals(nodeInit, scene->NodeTM(node, 0), 1e-6f));
}

}  // namespace
}  // namespace vorn
