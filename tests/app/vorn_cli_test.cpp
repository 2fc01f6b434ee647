// The command-line host as a user runs it: exit statuses, settings and the written file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"
#include "xformat/xfile_reader.h"

namespace {

namespace fs = std::filesystem;

class VornCli : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "cfg");
  }

  // Runs vorn with stdin from /dev/null; returns its exit status and keeps stderr.
  int Run(const std::string& args) {
    const std::string err = (dir_ / "stderr.txt").string();
    const std::string cmd = std::string(VORN_EXE) + " " + args + " </dev/null 2>" + err + " >" +
                            (dir_ / "stdout.txt").string();
    int rc = std::system(cmd.c_str());
    stderr_ = Read(err);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Example() const { return std::string(VORN_SOURCE_DIR) + "/examples/box.json"; }
  std::string Out() const { return (dir_ / "box.x").string(); }
  std::string Cfg() const { return "--config-dir " + (dir_ / "cfg").string(); }

  vorn::testing::TempDir temp_;
  fs::path dir_{temp_.path()};
  std::string stderr_;
};

TEST_F(VornCli, ExportWritesTheFileAndSavesSettingsWithYes) {
  ASSERT_EQ(Run("export " + Example() + " " + Out() + " --yes " + Cfg()), 0) << stderr_;
  vorn::XFileTree tree;
  std::string error;
  ASSERT_TRUE(vorn::ReadXFileFromPath(Out(), vorn::XReadOptions{}, &tree, &error)) << error;
  EXPECT_EQ(Read(Out()).substr(0, 16), "xof 0303bin 0032");
  EXPECT_TRUE(fs::exists(dir_ / "cfg" / "vorn_max_config.ini"));
}

TEST_F(VornCli, SetOverridesAsIfTheFileHeldIt) {
  ASSERT_EQ(Run("export " + Example() + " " + Out() + " --silent --set XFileType=0 " + Cfg()), 0) << stderr_;
  EXPECT_EQ(Read(Out()).substr(0, 16), "xof 0303txt 0032");
  // Each --set takes one value: the scene and the output may follow.
  ASSERT_EQ(Run("export --set XFileType=1 --set Normal=0 " + Example() + " " + Out() + " --silent " + Cfg()), 0)
      << stderr_;
  EXPECT_EQ(Read(Out()).substr(0, 16), "xof 0303bin 0032");
  EXPECT_FALSE(fs::exists(dir_ / "cfg" / "vorn_max_config.ini")) << "a silent export saves nothing";
  ASSERT_EQ(Run("export " + Example() + " " + Out() + " --yes --set XFileType=2 " + Cfg()), 0) << stderr_;
  EXPECT_EQ(Read(Out()).substr(0, 16), "xof 0303bzip0032");
  EXPECT_NE(Read(dir_ / "cfg" / "vorn_max_config.ini").find("XFileType=2"), std::string::npos);
}

TEST_F(VornCli, SetReachesTheSettingsFileOnlyThroughASave) {
  const fs::path settings = dir_ / "cfg" / "vorn_max_config.ini";
  std::ofstream(dir_ / "empty.json") << R"({"format": "vorn-scene", "nodes": []})";
  const std::string empty = (dir_ / "empty.json").string();
  const char* magic[] = {"xof 0303txt 0032", "xof 0303bin 0032", "xof 0303bzip0032"};
  for (int type = 0; type < 3; ++type) {
    const std::string set = " --set XFileType=" + std::to_string(type);
    // "No node!" saves nothing: no file appears, and an existing one stays byte for byte.
    EXPECT_EQ(Run("export " + empty + " " + Out() + " --yes" + set + " " + Cfg()), 1) << stderr_;
    EXPECT_NE(stderr_.find("No node!"), std::string::npos) << stderr_;
    EXPECT_FALSE(fs::exists(settings)) << type;
    const std::string mine = "; mine\n[Option]\nXFileType=" + std::to_string(type) + "\nSceneRoot=0\n";
    std::ofstream(settings) << mine;
    EXPECT_EQ(Run("export " + empty + " " + Out() + " --yes" + set + " --set SceneRoot=1 " + Cfg()), 1);
    EXPECT_EQ(Read(settings), mine) << type;

    // An export that saves writes what the dialog confirmed, overrides included.
    ASSERT_EQ(Run("export " + Example() + " " + Out() + " --yes" + set + " --set SceneRoot=1 " + Cfg()), 0)
        << stderr_;
    EXPECT_EQ(Read(Out()).substr(0, 16), magic[type]);
    const std::string saved = Read(settings);
    EXPECT_NE(saved.find("\nXFileType=" + std::to_string(type) + "\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nSceneRoot=1\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("; mine"), std::string::npos) << "a save writes the file whole";
    fs::remove(settings);
  }
}

// The overrides' scratch copy goes where TMPDIR says and is gone after the export, a good one
// or one refused for a bad override.
// A file's own animations are the clip list unless --set gives one; a single --set key wins
// over the file's clip of that number.
TEST_F(VornCli, SetClipsWinOverTheFilesOwnAnimations) {
  const std::string take = std::string(VORN_SOURCE_DIR) + "/tests/importers/data/take.bvh";
  auto sets = [&](const std::string& args) {
    EXPECT_EQ(Run("export " + take + " " + Out() + " --silent --set XFileType=0 " + args + " " + Cfg()), 0) << stderr_;
    std::vector<std::string> names;
    std::istringstream text(Read(Out()));
    for (std::string line; std::getline(text, line);)
      if (line.rfind("AnimationSet ", 0) == 0) names.push_back(line.substr(13, line.find(' ', 13) - 13));
    return names;
  };
  EXPECT_EQ(sets("").size(), 1u);
  EXPECT_EQ(sets("--set AnimationCount=2 --set Animation0_Name=A --set Animation0_StartKey=0 --set Animation0_EndKey=1 "
                 "--set Animation1_Name=B --set Animation1_StartKey=1 --set Animation1_EndKey=2"),
            (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(sets("--set Animation0_Name=Renamed"), std::vector<std::string>{"Renamed"});
}

TEST_F(VornCli, SetLeavesNoScratchFolderBehind) {
  const fs::path scratch = dir_ / "scratch";
  fs::create_directories(scratch);
  const std::string env = "env -u XDG_RUNTIME_DIR TMPDIR=" + scratch.string() + " ";
  const std::string run = env + VORN_EXE + " export " + Example() + " " + Out() + " --silent " + Cfg();
  ASSERT_EQ(std::system((run + " --set XFileType=0 >/dev/null 2>&1").c_str()), 0);
  EXPECT_TRUE(fs::exists(Out()));
  EXPECT_TRUE(fs::is_empty(scratch));
  EXPECT_NE(std::system((run + " --set XFileType=0 --set Nonsense >/dev/null 2>&1").c_str()), 0);
  EXPECT_TRUE(fs::is_empty(scratch));
}

TEST_F(VornCli, BadInputGivesStatusTwoAndNoFile) {
  std::ofstream(dir_ / "bad.json") << R"({"format": "vorn-scene", "nodes": [{"name": 5}]})";
  EXPECT_EQ(Run("export " + (dir_ / "bad.json").string() + " " + Out() + " --silent " + Cfg()), 2);
  EXPECT_NE(stderr_.find("/nodes/0/name"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(Out()));
  EXPECT_EQ(Run("export " + Example() + " " + Out() + " " + Cfg()), 2) << "no dialog without a terminal";
  EXPECT_NE(stderr_.find("--silent or --yes"), std::string::npos);
  EXPECT_EQ(Run("export " + Example() + " " + Out() + " --silent --set Nonsense " + Cfg()), 2);
  EXPECT_NE(stderr_.find("KEY=VALUE"), std::string::npos) << stderr_;
  // A mistyped key would otherwise be written and never read; the file's own spelling rules hold.
  EXPECT_EQ(Run("export " + Example() + " " + Out() + " --silent --set Multi-Texture=1 " + Cfg()), 2);
  EXPECT_NE(stderr_.find("'Multi-Texture' is not a setting; did you mean Multi-Textures?"), std::string::npos)
      << stderr_;
  EXPECT_EQ(Run("export " + Example() + " " + Out() + " --silent --set xfiletype=0 " + Cfg()), 0) << stderr_;
  EXPECT_EQ(Read(Out()).substr(0, 16), "xof 0303txt 0032") << "keys compare without regard to case";
  fs::remove(Out());
  const std::string maps = " --maps-dir " + dir_.string();
  EXPECT_EQ(Run("export " + Example() + " " + Out() + " --silent" + maps + maps + maps + " " + Cfg()), 2);
  EXPECT_NE(stderr_.find("--maps-dir names at most two folders"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(Out()));
  EXPECT_EQ(Run("export " + dir_.string() + " " + Out() + " --silent " + Cfg()), 2);
  EXPECT_NE(stderr_.find("a folder, not a scene file"), std::string::npos) << stderr_;
  // A device is refused before it is read, whatever reader its name picks: /dev/zero never ends.
  fs::create_symlink("/dev/zero", dir_ / "zero.x");
  fs::create_symlink("/dev/zero", dir_ / "zero.glb");
  for (const char* name : {"zero.x", "zero.glb"}) {
    EXPECT_EQ(Run("export " + (dir_ / name).string() + " " + Out() + " --silent " + Cfg()), 2) << name;
    EXPECT_NE(stderr_.find("not a regular file"), std::string::npos) << stderr_;
  }
  EXPECT_EQ(Run("inspect " + (dir_ / "zero.x").string()), 2);
  EXPECT_NE(stderr_.find("zero.x: not a regular file"), std::string::npos) << stderr_;
  EXPECT_EQ(Run("inspect " + dir_.string()), 2);
  EXPECT_EQ(stderr_, "vorn: " + dir_.string() + ": a folder\n");
  EXPECT_EQ(Run("frobnicate"), 2);
  EXPECT_NE(stderr_.find("unknown command 'frobnicate'"), std::string::npos) << stderr_;
  EXPECT_EQ(Run("export " + Example() + " '' --silent " + Cfg()), 2);
  EXPECT_NE(stderr_.find("output file name is empty"), std::string::npos) << stderr_;
  EXPECT_EQ(Run("export " + Example() + " " + dir_.string() + "/ --silent " + Cfg()), 2);
  EXPECT_NE(stderr_.find("names a folder"), std::string::npos) << stderr_;
  EXPECT_EQ(Run("export " + Example() + " " + Out() + " --silent --plugin /nonexistent.dle " + Cfg()), 2);
}

// glTF files need no assimp: a vorn without the importer module beside it still exports them,
// and only --importer assimp asks for the module.
TEST_F(VornCli, GltfIsReadWithoutTheAssimpModule) {
  const fs::path bin = dir_ / "bin";
  fs::create_directories(bin);
  const fs::path exe = VORN_EXE;
  fs::copy_file(exe, bin / "vorn");
  fs::copy_file(exe.parent_path() / "vorn.dle", bin / "vorn.dle");
  ASSERT_TRUE(fs::exists(exe.parent_path() / "vorn_assimp.so"));
  const std::string gltf = std::string(VORN_SOURCE_DIR) + "/tests/importers/gltf/BoxTextured-glTF-Binary/BoxTextured.glb";
  auto run = [&](const std::string& args) {
    const std::string err = (dir_ / "stderr.txt").string();
    const int rc = std::system(((bin / "vorn").string() + " " + args + " </dev/null >/dev/null 2>" + err).c_str());
    stderr_ = Read(err);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  };
  ASSERT_EQ(run("export " + gltf + " " + Out() + " --silent --set XFileType=0 " + Cfg()), 0) << stderr_;
  EXPECT_NE(Read(Out()).find("Mesh"), std::string::npos);
  EXPECT_EQ(run("export " + gltf + " " + Out() + " --silent --importer assimp " + Cfg()), 2);
  EXPECT_NE(stderr_.find("cannot load the importer module"), std::string::npos) << stderr_;
  EXPECT_EQ(run("export " + gltf + " " + Out() + " --silent --importer nonsense " + Cfg()), 2);
  // A file the reader refuses: status 2, the file and the fault named.
  const std::string broken = std::string(VORN_SOURCE_DIR) + "/tests/importers/gltf/MissingBin/BoxTextured.gltf";
  EXPECT_EQ(run("export " + broken + " " + (dir_ / "broken.x").string() + " --silent " + Cfg()), 2);
  EXPECT_NE(stderr_.find("vorn: " + broken + ": buffers[0]: cannot read the buffer file"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(dir_ / "broken.x"));
  // glTF 1.0 is assimp's to read: without the module, both reasons are given.
  const std::string v1 = std::string(VORN_SOURCE_DIR) + "/tests/importers/gltf/IncorrectVertexArrays/Cube_v1.gltf";
  EXPECT_EQ(run("export " + v1 + " " + (dir_ / "v1.x").string() + " --silent " + Cfg()), 2);
  EXPECT_NE(stderr_.find("glTF version \"1.0\" is not 2.x; cannot load the importer module"), std::string::npos)
      << stderr_;
}

// What our glTF reader leaves to assimp (glTF 1.0, required extensions it does not read) is
// exported through assimp without being asked.
TEST_F(VornCli, GltfOurReaderDoesNotReadGoesToAssimp) {
  const std::string v1 = std::string(VORN_SOURCE_DIR) + "/tests/importers/gltf/IncorrectVertexArrays/Cube_v1.gltf";
  ASSERT_EQ(Run("export " + v1 + " " + Out() + " --silent --set XFileType=0 " + Cfg()), 0) << stderr_;
  EXPECT_NE(Read(Out()).find("Mesh "), std::string::npos);
  // assimp reads this one as an empty scene: nothing to export (status 1), not our refusal (2).
  const fs::path draco = dir_ / "draco.gltf";
  std::ofstream(draco) << R"({"asset": {"version": "2.0"}, "extensionsRequired": ["KHR_draco_mesh_compression"],
                             "extensionsUsed": ["KHR_draco_mesh_compression"], "scenes": [{"nodes": []}]})";
  EXPECT_EQ(Run("export " + draco.string() + " " + (dir_ / "draco.x").string() + " --silent " + Cfg()), 1) << stderr_;
  EXPECT_EQ(stderr_.find("requires the extension"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(dir_ / "draco.x"));
}

TEST_F(VornCli, ExportWithoutAFileGivesStatusOneAndKeepsTheOldFile) {
  std::ofstream(Out()) << "previous";
  std::ofstream(dir_ / "hidden.json") << R"({"format": "vorn-scene", "nodes": [{"name": "A", "hidden": true,
    "object": {"type": "mesh", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}}}]})";
  EXPECT_EQ(Run("export " + (dir_ / "hidden.json").string() + " " + Out() + " --silent " + Cfg()), 1);
  EXPECT_NE(stderr_.find("Warning: No node will be export."), std::string::npos) << stderr_;
  EXPECT_EQ(Read(Out()), "previous");
}

TEST_F(VornCli, TemplatesAndInspect) {
  ASSERT_EQ(Run("templates --binary"), 0);
  EXPECT_EQ(fs::file_size(dir_ / "stdout.txt"), 3278u);
  ASSERT_EQ(Run("templates"), 0);
  EXPECT_NE(Read(dir_ / "stdout.txt").find("template XSkinMeshHeader"), std::string::npos);
  ASSERT_EQ(Run("export " + Example() + " " + Out() + " --silent " + Cfg()), 0);
  ASSERT_EQ(Run("inspect " + Out()), 0);
  EXPECT_NE(Read(dir_ / "stdout.txt").find("Box01"), std::string::npos);
  ASSERT_EQ(Run("inspect --json " + Out()), 0);
  EXPECT_EQ(Read(dir_ / "stdout.txt").substr(0, 1), "{");
  EXPECT_EQ(Run("inspect " + (dir_ / "nothing.x").string()), 2);
}

}  // namespace
