#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/mapped_file.h"
#include "tests/support/temp_dir.h"

namespace vorn::platform {
namespace {

using testing::ReadText;
using testing::TempDir;
using testing::WriteText;

TEST(FileSystem, AttributesAndFolderCreation) {
  TempDir dir;
  WriteText(dir / "f", "x");
  EXPECT_TRUE(PathExists(dir / "f"));
  EXPECT_TRUE(FileExists(dir / "f"));
  EXPECT_FALSE(DirectoryExists(dir / "f"));
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(PathExists(dir / "none"));
  EXPECT_FALSE(PathExists(""));

  EXPECT_TRUE(CreateDirectories(dir / "a/b/c/"));
  EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
  EXPECT_TRUE(CreateDirectories(dir / "a/b"));
  EXPECT_FALSE(CreateDirectories(dir / "f/sub"));

  ASSERT_TRUE(TruncateFile(dir / "f"));
  EXPECT_EQ(ReadText(dir / "f"), "");
  EXPECT_FALSE(TruncateFile(dir / "none/f"));

  // A scratch file is new and whole, or not there at all.
  ASSERT_TRUE(WriteScratchFile(dir / "s", "[Option]\nXFileType=0\n"));
  EXPECT_EQ(ReadText(dir / "s"), "[Option]\nXFileType=0\n");
  EXPECT_FALSE(WriteScratchFile(dir / "s", "other"));
  EXPECT_EQ(ReadText(dir / "s"), "[Option]\nXFileType=0\n");
  EXPECT_FALSE(WriteScratchFile(dir / "none/s", "x"));
  EXPECT_FALSE(PathExists(dir / "none/s"));
}

TEST(FileSystem, ListingIsSortedAndMarksFolders) {
  TempDir dir;
  WriteText(dir / "b.jpg", "");
  WriteText(dir / "B.jpg", "");
  WriteText(dir / ".hidden", "");
  ASSERT_TRUE(CreateDirectories(dir / "a"));
  ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "broken").c_str()), 0);
  std::vector<DirEntry> entries{{"stale", false, false}};
  ASSERT_TRUE(ListDirectory(dir.path(), entries));
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "B.jpg", "a", "b.jpg", "broken", "link"}));
  EXPECT_TRUE(entries[2].isDirectory);
  EXPECT_FALSE(entries[2].isLink);
  EXPECT_FALSE(entries[3].isDirectory);
  EXPECT_FALSE(entries[4].isDirectory);
  EXPECT_TRUE(entries[4].isLink);
  EXPECT_TRUE(entries[5].isDirectory);
  EXPECT_TRUE(entries[5].isLink);

  EXPECT_FALSE(ListDirectory(dir / "none", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(ListDirectory(dir / "b.jpg", entries));

  char here[4096];
  ASSERT_TRUE(getcwd(here, sizeof here));
  ASSERT_EQ(chdir((dir / "a").c_str()), 0);
  WriteText("inside", "");
  const bool listed = ListDirectory("", entries);
  ASSERT_EQ(chdir(here), 0);
  ASSERT_TRUE(listed);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "inside");
}

TEST(FileSystem, CopyHonoursOverwrite) {
  TempDir dir;
  std::string big(200 * 1024 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
  WriteText(dir / "src", big);
  ASSERT_TRUE(CopyFileAtomic(dir / "src", dir / "dst", false));
  EXPECT_EQ(ReadText(dir / "dst"), big);

  WriteText(dir / "dst", "old");
  EXPECT_FALSE(CopyFileAtomic(dir / "src", dir / "dst", false));
  EXPECT_EQ(ReadText(dir / "dst"), "old");
  EXPECT_TRUE(CopyFileAtomic(dir / "src", dir / "dst", true));
  EXPECT_EQ(ReadText(dir / "dst"), big);
  EXPECT_TRUE(CopyFileAtomic(dir / "src", dir / "src", true)) << "onto itself keeps the content";
  EXPECT_EQ(ReadText(dir / "src"), big);

  EXPECT_FALSE(CopyFileAtomic(dir / "none", dir / "new", true));
  EXPECT_FALSE(CopyFileAtomic(dir.path(), dir / "new", true)) << "a folder is not copied";
  EXPECT_FALSE(CopyFileAtomic(dir / "src", dir / "none/new", true));
  EXPECT_FALSE(PathExists(dir / "new"));
  EXPECT_EQ(dir.EntryCount(), 2u) << "no temporaries left";
}

TEST(AtomicFile, TargetChangesOnlyOnCommit) {
  TempDir dir;
  const std::string path = dir / "out.fx";
  WriteText(path, "old");
  chmod(path.c_str(), 0640);
  {
    AtomicFileWriter w(path);
    ASSERT_TRUE(w.Ok());
    w.Write("half");
    EXPECT_EQ(dir.EntryCount(), 1u) << "the temporary has no name before the commit";
  }
  EXPECT_EQ(ReadText(path), "old");
  EXPECT_EQ(dir.EntryCount(), 1u);

  AtomicFileWriter w(path);
  const std::string block(100 * 1024, 'b');
  w.Write(block);
  for (int i = 0; i < 70000; ++i) w.Put(static_cast<char>('a' + i % 26));
  w.Printf("float4 c = {%d, %.1f};\n", 3, 0.5);
  w.Printf("%s|\n", std::string(70 * 1024, 'p').c_str());  // larger than the buffer
  ASSERT_TRUE(w.Commit());
  const std::string text = ReadText(path);
  ASSERT_EQ(text.size(), block.size() + 70000 + 21 + 70 * 1024 + 2);
  EXPECT_EQ(text.substr(block.size(), 3), "abc");
  EXPECT_EQ(text.substr(block.size() + 70000, 21), "float4 c = {3, 0.5};\n");
  EXPECT_EQ(text.substr(text.size() - 3), "p|\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "a replaced file keeps its permissions";

  AtomicFileWriter noReplace(path);
  noReplace.Write("new");
  EXPECT_FALSE(noReplace.Commit(false));
  EXPECT_EQ(ReadText(path).size(), text.size());
  EXPECT_EQ(dir.EntryCount(), 1u);

  EXPECT_FALSE(AtomicFileWriter(dir / "none/x").Ok());
  EXPECT_FALSE(WriteFileAtomic(dir / "none/x", "x"));
}

TEST(AtomicFile, LinksAreFollowedOnlyWhenAsked) {
  TempDir dir;
  WriteText(dir / "real.ini", "old");
  ASSERT_EQ(symlink("real.ini", (dir / "link.ini").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomic(dir / "link.ini", "new", LinkPolicy::kFollowLink));
  struct stat st;
  ASSERT_EQ(lstat((dir / "link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadText(dir / "real.ini"), "new");

  // By default the link itself is replaced and what it points at stays.
  ASSERT_TRUE(WriteFileAtomic(dir / "link.ini", "newer"));
  ASSERT_EQ(lstat((dir / "link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadText(dir / "link.ini"), "newer");
  EXPECT_EQ(ReadText(dir / "real.ini"), "new");
  EXPECT_EQ(dir.EntryCount(), 2u);

  // A copy follows the link only when asked, too.
  ASSERT_EQ(unlink((dir / "link.ini").c_str()), 0);
  ASSERT_EQ(symlink("real.ini", (dir / "link.ini").c_str()), 0);
  WriteText(dir / "src", "copied");
  ASSERT_TRUE(CopyFileAtomic(dir / "src", dir / "link.ini", true, LinkPolicy::kFollowLink));
  ASSERT_EQ(lstat((dir / "link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadText(dir / "real.ini"), "copied");
}

TEST(AtomicFile, FailuresTellWhy) {
  TempDir dir;
  ASSERT_TRUE(CreateDirectories(dir / "sub"));
  errno = 0;
  EXPECT_FALSE(WriteFileAtomic(dir / "sub", "x"));
  EXPECT_EQ(errno, EISDIR) << "renaming a file over a folder";
  EXPECT_FALSE(WriteFileAtomic(dir / "none/x", "x"));
  EXPECT_EQ(errno, ENOENT);
  WriteText(dir / "a", "a");
  EXPECT_FALSE(CopyFileAtomic(dir / "a", dir / "a", false));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(CopyFileAtomic(dir / "missing", dir / "b", true));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(CopyFileAtomic(dir / "sub", dir / "b", true));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(dir.EntryCount(), 2u) << "no temporaries left";
}

TEST(FileSystem, LongPathNameCanonicalisesExistingPlaces) {
  TempDir dir;
  char* realDir = realpath(dir.path().c_str(), nullptr);
  const std::string base = realDir;
  std::free(realDir);
  ASSERT_TRUE(CreateDirectories(dir / "sub"));
  WriteText(dir / "sub/a.x", "");
  EXPECT_EQ(LongPathName(dir / "sub/../sub/./a.x"), base + "/sub/a.x");
  EXPECT_EQ(LongPathName(dir / "sub//new.x"), base + "/sub/new.x") << "a new file in an existing folder";
  EXPECT_EQ(LongPathName(dir / "sub"), base + "/sub");
  EXPECT_FALSE(LongPathName(dir / "none/new.x"));
  EXPECT_FALSE(LongPathName(""));
  EXPECT_FALSE(LongPathName(dir / "sub/" + std::string(kMaxPath, 'n'))) << "does not fit the buffer";

  char here[4096];
  ASSERT_TRUE(getcwd(here, sizeof here));
  ASSERT_EQ(chdir((dir / "sub").c_str()), 0);
  auto relative = LongPathName("b.x");
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(relative, base + "/sub/b.x");
}

TEST(FileSystem, UserConfigFolderFollowsXdgThenHome) {
  TempDir dir;
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const char* oldHome = std::getenv("HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";
  setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
  setenv("HOME", (dir / "home").c_str(), 1);
  const std::string fromXdg = UserConfigDirectory();
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  const std::string fromHome = UserConfigDirectory();
  oldXdg ? setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
  oldHome ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");

  EXPECT_EQ(fromXdg, dir / "xdg/vorn");
  EXPECT_TRUE(DirectoryExists(fromXdg));
  EXPECT_EQ(fromHome, dir / "home/.config/vorn");
  EXPECT_TRUE(DirectoryExists(fromHome));
}

// Readers take whole files through MappedFile: mapped, or read through where mapping fails.
TEST(MappedFile, GivesTheBytesOfFilesPipesAndEmptyFilesAndRefusesWhatItCannotRead) {
  testing::TempDir dir;
  const std::string text = std::string(70000, 'x') + "end";
  WriteText(dir / "big.txt", text);
  WriteText(dir / "empty.txt", "");
  MappedFile file;
  ASSERT_TRUE(file.Open(dir / "big.txt"));
  EXPECT_EQ(file.Bytes(), text);
  ASSERT_TRUE(file.Open(dir / "empty.txt"));
  EXPECT_TRUE(file.Bytes().empty());

  // A pipe cannot be mapped: its bytes are read through, more than one read's worth.
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { WriteText(fifo, text); });
  ASSERT_TRUE(file.Open(fifo));
  writer.join();
  EXPECT_EQ(file.Bytes(), text);

  EXPECT_FALSE(file.Open(dir / "missing.txt"));
  EXPECT_TRUE(file.Bytes().empty());
  EXPECT_FALSE(file.Open(dir.path()));
}

}  // namespace
}  // namespace vorn::platform
