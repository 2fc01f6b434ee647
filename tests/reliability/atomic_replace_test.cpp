// Replacing files: a write that fails, is abandoned or is killed leaves the previous file as it was,
// for the writer itself and for every kind of file an export produces.
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/atomic_file.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "reliability_fixture.h"

namespace vorn_reliability {
namespace {

namespace platform = vorn::platform;

size_t Entries(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}));
}

TEST_F(VornRun, AbandonedWriterLeavesTheTargetAndNoTemporary) {
  WriteText(Out(), kPrevious);
  {
    platform::AtomicFileWriter w(Out().string());
    ASSERT_TRUE(w.Ok());
    w.Write(std::string(200000, 'x'));  // past the buffer, so bytes reached the temporary
  }
  EXPECT_TRUE(Read(Out()) == kPrevious);
  EXPECT_EQ(Entries(dir_ / "out"), 1u);
  platform::AtomicFileWriter w(Out().string());
  w.Write("new");
  w.Discard();
  EXPECT_FALSE(w.Commit());
  EXPECT_TRUE(Read(Out()) == kPrevious);
  // Without replace an existing target wins.
  platform::AtomicFileWriter keep(Out().string());
  keep.Write("new");
  EXPECT_FALSE(keep.Commit(false));
  EXPECT_TRUE(Read(Out()) == kPrevious);
  EXPECT_EQ(Entries(dir_ / "out"), 1u);
}

// A writer killed at any moment: the target is the old file, never a part of the new one.
TEST_F(VornRun, KilledWriterLeavesTheTarget) {
  WriteText(Out(), kPrevious);
  for (int delayMs : {0, 2, 10, 40}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      platform::AtomicFileWriter w(Out().string());
      const std::string chunk(1 << 20, 'y');
      for (;;) w.Write(chunk);  // never commits
    }
    usleep(static_cast<useconds_t>(delayMs * 1000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(Read(Out()) == kPrevious) << delayMs;
    // The temporary had no name yet, so nothing is left behind.
    EXPECT_EQ(Entries(dir_ / "out"), 1u) << delayMs;
  }
}

// The vorn binary killed at random points of a large export: the .X is the old file or a whole
// new one.
TEST_F(VornRun, KilledExportLeavesTheOldFileOrAWholeNewOne) {
  std::string v, f;
  for (int i = 0; i < 200000; ++i) v += (i ? ",[" : "[") + std::to_string(i) + ",0,0]";
  for (int i = 0; i + 2 < 200000; i += 3)
    f += (i ? ",[" : "[") + std::to_string(i) + "," + std::to_string(i + 1) + "," + std::to_string(i + 2) + "]";
  const fs::path doc = Doc(R"({"nodes": [{"name": "Big", "mesh": {"vertices": [)" + v + "], \"faces\": [" + f + "]}}]}");
  ASSERT_EQ(Export(doc, "--set XFileType=0"), 0) << stderr_;
  const std::string whole = Read(Out());
  ASSERT_GT(whole.size(), 1000000u);
  WriteText(Out(), kPrevious);
  int old = 0, complete = 0;
  for (const char* after : {"0.05", "0.2", "0.4", "0.7", "1", "1.5", "2.5", "4"}) {
    const std::string cmd = std::string("timeout -s KILL ") + after + " " + VORN_EXE + " export " + doc.string() +
                            " " + Out().string() + " --silent --set XFileType=0 --config-dir " +
                            (dir_ / "cfg").string() + " >/dev/null 2>&1 </dev/null";
    (void)std::system(cmd.c_str());
    const std::string now = Read(Out());
    if (now == kPrevious) ++old;
    else if (now == whole) ++complete;
    else ADD_FAILURE() << "after " << after << " s the file is " << now.size() << " bytes of neither";
    EXPECT_EQ(Entries(dir_ / "out"), 1u) << "a killed export leaves no temporary";
  }
  EXPECT_GT(old + complete, 0);
}

// Folders on a tiny tmpfs (root only; skipped with a message elsewhere).
class FullDisk : public VornRun {
 protected:
  void SetUp() override {
    VornRun::SetUp();
    if (::mount("tmpfs", (dir_ / "out").c_str(), "tmpfs", 0, "size=1m") != 0) {
      reason_ = std::string("mount -t tmpfs failed: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2((dir_ / "out").c_str(), MNT_DETACH);
    VornRun::TearDown();
  }
  // Takes all the free space but `leave` bytes.
  void Fill(size_t leave = 0) {
    const fs::space_info s = fs::space(dir_ / "out");
    std::ofstream out(dir_ / "out" / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (size_t n = 0; n + leave < s.available; n += block.size()) out.write(block.data(), std::streamsize(block.size()));
    out.flush();
  }
  void Unfill() { fs::remove(dir_ / "out" / "filler"); }
  bool mounted_ = false;
  std::string reason_;
};

TEST_F(FullDisk, PlatformWritersFailAndKeepTheOldFile) {
  if (!mounted_) GTEST_SKIP() << reason_;
  const std::string target = (dir_ / "out" / "t.bin").string();
  const std::string source = (dir_ / "in" / "src.bin").string();
  WriteText(source, std::string(300000, 's'));
  WriteText(target, kPrevious);
  Fill();
  EXPECT_FALSE(platform::WriteFileAtomic(target, std::string(300000, 'n')));
  EXPECT_FALSE(platform::CopyFileAtomic(source, target, true));
  platform::IniFile ini;
  ini.Set("Option", "Padding", std::string(300000, 'p'));
  EXPECT_FALSE(ini.Save(target));
  EXPECT_TRUE(Read(target) == kPrevious);
  EXPECT_EQ(Entries(dir_ / "out"), 2u) << "a temporary was left";
  Unfill();
  EXPECT_TRUE(platform::CopyFileAtomic(source, target, true));
  EXPECT_EQ(Read(target).size(), 300000u);
}

// Every file a textured export writes (the .X, texture copies and conversions, the rendered map,
// the effect files, the saved settings) survives an export into a full folder unchanged.
TEST_F(FullDisk, EveryExportedFileSurvivesAFullDisk) {
  if (!mounted_) GTEST_SKIP() << reason_;
  const fs::path examples = fs::path(VORN_SOURCE_DIR) / "examples";
  fs::create_directories(dir_ / "in" / "textures");
  for (const char* name : {"textured_box.json", "textures/crate_diffuse.png", "textures/crate_normal.bmp",
                           "textures/glow.fx"})
    fs::copy_file(examples / name, dir_ / "in" / name);
  const fs::path doc = dir_ / "in" / "textured_box.json";
  const std::string cfg = (dir_ / "out" / "cfg").string();
  fs::create_directories(cfg);
  // Copied as they are, and converted to TGA.
  const std::string base = "export " + doc.string() + " " + Out().string() + " --yes --config-dir " + cfg +
                           " --set DxFx=1 --set FX=1 --set OverwriteTexture=1 --set OverwriteFX=1";
  const std::string runs[] = {base, base + " --set TextureConvert=1 --set TextureFormat=2"};
  for (const std::string& args : runs) ASSERT_EQ(Run(args), 0) << stderr_;
  std::map<fs::path, std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "out"))
    if (e.is_regular_file()) written[e.path()] = "old " + e.path().filename().string();
  ASSERT_TRUE(written.count(Out()));
  ASSERT_TRUE(written.count(dir_ / "out" / "cfg" / "vorn_max_config.ini"));
  EXPECT_TRUE(written.count(dir_ / "out" / "crate_diffuse.png") && written.count(dir_ / "out" / "crate_diffuse.tga"));
  EXPECT_TRUE(written.count(dir_ / "out" / "glow.fx"));
  EXPECT_TRUE(written.count(dir_ / "out" / "Checker__1.bmp")) << "the rendered map";
  for (const auto& [path, text] : written) WriteText(path, text);

  Fill();
  for (const std::string& args : runs) EXPECT_EQ(Run(args), 1) << stderr_;
  for (const auto& [path, text] : written) EXPECT_TRUE(Read(path) == text) << path;
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "out"))
    if (e.is_regular_file() && e.path().filename() != "filler") {
      EXPECT_TRUE(written.count(e.path())) << e.path();
    }
}

}  // namespace
}  // namespace vorn_reliability
