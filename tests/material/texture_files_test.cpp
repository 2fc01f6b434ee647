#include "material/texture_files.h"

#include "material_fixture.h"

namespace vorn {
namespace {

using testing::MaterialTest;

class TextureFiles : public MaterialTest {};

TEST_F(TextureFiles, AnExistingPathIsKeptAndAMissingOneIsFoundByBareName) {
  Touch(dir_ / "brick.jpg");
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, Dir() + "/brick.jpg"), Dir() + "/brick.jpg");
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, ""), "");

  std::filesystem::remove(dir_ / "brick.jpg");
  Touch(dir_ / "textures" / "old" / "brick.jpg");
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, "C:\\old\\maps\\brick.jpg"), Dir() + "/textures/old/brick.jpg");
}

TEST_F(TextureFiles, SearchIsDepthFirstInNameOrderAndCaseSensitive) {
  Touch(dir_ / "a" / "deep" / "er" / "brick.jpg");
  Touch(dir_ / "b" / "brick.jpg");
  Touch(dir_ / "c" / "Brick.jpg");
  Touch(dir_ / ".hidden" / "stone.jpg");
  EXPECT_EQ(FindFileInTree(Dir(), "brick.jpg"), Dir() + "/a/deep/er/brick.jpg");
  EXPECT_EQ(FindFileInTree(Dir() + "/c", "brick.jpg"), "");
  EXPECT_EQ(FindFileInTree(Dir() + "/c/", "Brick.jpg"), Dir() + "/c/Brick.jpg");
  EXPECT_EQ(FindFileInTree(Dir(), "stone.jpg"), "") << "folders starting with a dot are not searched";
  EXPECT_EQ(FindFileInTree(Dir() + "/missing", "brick.jpg"), "");
  EXPECT_EQ(FindFileInTree(Dir(), "b"), "") << "a folder is not a file";
}

TEST_F(TextureFiles, SearchFoldersInOrderThenTheGuess) {
  Touch(dir_ / "host7" / "x" / "both.png");
  Touch(dir_ / "host32" / "both.png");
  Touch(dir_ / "host32" / "only32.png");
  SearchFolders& f = ctx_.searchFolders;
  f.sceneDir = Dir() + "/scene/";
  f.hostDir7 = Dir() + "/host7/";
  f.hostDir32 = Dir() + "/host32/";
  std::filesystem::create_directories(dir_ / "scene");
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, "C:\\both.png"), Dir() + "/host7/x/both.png");
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, "C:\\only32.png"), Dir() + "/host32/only32.png");
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, "C:\\Only32.png"), Dir() + "/scene/Only32.png") << "no match: the guess";
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, "C:\\maps\\"), "") << "no file name, no guess";
}

TEST_F(TextureFiles, ForwardSlashesAreNotFolderSeparatorsForTheSearch) {
  Touch(dir_ / "deep" / "brick.jpg");
  // The whole text is the name searched for, and nothing is called that.
  EXPECT_EQ(ResolveTexturePath(ctx_.searchFolders, "maps/brick.jpg"), Dir() + "/maps/brick.jpg");
}

TEST_F(TextureFiles, LinkCyclesEndTheSearch) {
  Touch(dir_ / "a" / "b" / "x.txt");
  std::filesystem::create_directory_symlink(dir_ / "a", dir_ / "a" / "b" / "loop");
  std::filesystem::create_directory_symlink(dir_ / "a" / "b", dir_ / "z_link");
  EXPECT_EQ(FindFileInTree(Dir(), "nothing.png"), "");
  EXPECT_EQ(FindFileInTree(Dir() + "/z_link", "x.txt"), Dir() + "/z_link/x.txt");
}

TEST_F(TextureFiles, SafeTargetNamesStayInTheOutputFolder) {
  EXPECT_TRUE(IsSafeTargetName("brick.jpg"));
  EXPECT_TRUE(IsSafeTargetName("..brick"));
  for (const char* bad : {"", ".", "..", "a/b.png", "a\\b.png", "/etc"}) EXPECT_FALSE(IsSafeTargetName(bad)) << bad;
}

class TextureCopy : public MaterialTest {
 protected:
  XMaterial Record() {
    XMaterial r;
    r.slots[0].mapChannel = 1;
    r.slots[0].fileName = "wood.png";
    r.slots[0].sourcePath = Dir() + "/src/wood.png";
    r.slots[3].mapChannel = 2;
    r.slots[3].fileName = "rock.png";
    r.slots[3].sourcePath = Dir() + "/src/missing.png";
    r.slots[5].fileName = "unused.png";
    r.slots[5].sourcePath = Dir() + "/src/unused.png";
    return r;
  }
  void SetUp() override {
    MaterialTest::SetUp();
    Touch(dir_ / "src" / "wood.png", "new wood");
    Touch(dir_ / "src" / "unused.png");
    Load(R"("texmaps": {"chk": {"type": "checker", "name": "Checker #1"}})");
  }
  std::filesystem::path Out(const std::string& name) const { return dir_ / "out" / name; }
};

TEST_F(TextureCopy, UsedBitmapSlotsAreCopiedAndCounted) {
  XMaterial r = Record();
  EXPECT_EQ(CopyTextureFiles(ctx_, r), 2);
  EXPECT_EQ(Read(Out("wood.png")), "new wood");
  EXPECT_FALSE(std::filesystem::exists(Out("rock.png"))) << "a missing source copies nothing";
  EXPECT_FALSE(std::filesystem::exists(Out("unused.png")));
}

TEST_F(TextureCopy, OverwriteTextureDecidesAboutExistingTargets) {
  Touch(Out("wood.png"), "old wood");
  ctx_.options.OverwriteTexture = 0;
  XMaterial r = Record();
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(Read(Out("wood.png")), "old wood");
  ctx_.options.OverwriteTexture = 1;
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(Read(Out("wood.png")), "new wood");
}

TEST_F(TextureCopy, TextureFilesOffCopiesAndRendersNothingButStillCounts) {
  ctx_.options.TextureFiles = 0;
  XMaterial r = Record();
  r.slots[1].mapChannel = 1;
  r.slots[1].name = "Checker__1";
  r.slots[1].proceduralMap = doc_->FindTexmap("chk");
  EXPECT_EQ(CopyTextureFiles(ctx_, r), 3);
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "out"));
}

TEST_F(TextureCopy, ProceduralSlotsAreRenderedOnceWithoutOverwrite) {
  XMaterial r;
  r.slots[2].mapChannel = 1;
  r.slots[2].name = "Checker__1";
  r.slots[2].fileName = "stale.bmp";
  r.slots[2].proceduralMap = doc_->FindTexmap("chk");
  ctx_.options.ProcMapX = 8;
  ctx_.options.ProcMapY = 4;
  EXPECT_EQ(CopyTextureFiles(ctx_, r), 1);
  EXPECT_EQ(r.slots[2].fileName, "Checker__1.bmp");
  const std::string first = Read(Out("Checker__1.bmp"));
  ASSERT_EQ(first.substr(0, 2), "BM");

  Touch(Out("Checker__1.bmp"), "kept");
  ctx_.options.OverwriteTexture = 0;
  r.slots[2].fileName = "stale.bmp";
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(Read(Out("Checker__1.bmp")), "kept");
  EXPECT_EQ(r.slots[2].fileName, "Checker__1.bmp") << "named whether rendered or not";
  ctx_.options.OverwriteTexture = 1;
  CopyTextureFiles(ctx_, r);
  EXPECT_EQ(Read(Out("Checker__1.bmp")), first);
}

TEST_F(TextureCopy, TargetsThatWouldLeaveTheOutputFolderAreNotWritten) {
  XMaterial r;
  r.slots[0].mapChannel = 1;
  r.slots[0].fileName = "..";
  r.slots[0].sourcePath = Dir() + "/src/wood.png";
  EXPECT_EQ(CopyTextureFiles(ctx_, r), 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "out"));
  EXPECT_EQ(Read(dir_ / "src" / "wood.png"), "new wood");
}

}  // namespace
}  // namespace vorn
