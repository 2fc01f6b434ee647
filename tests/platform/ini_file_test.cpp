#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "tests/support/temp_dir.h"

namespace vorn::platform {
namespace {

using testing::ReadText;
using testing::TempDir;
using testing::WriteText;

IniFile Parsed(const TempDir& dir, const std::string& text) {
  WriteText(dir / "t.ini", text);
  IniFile ini;
  EXPECT_TRUE(ini.Load(dir / "t.ini"));
  return ini;
}

TEST(IniRead, LookupIgnoresCaseAndWhitespace) {
  TempDir dir;
  IniFile ini = Parsed(dir, "  [ Option ]  \r\n  Meshs =  7  \r\nSceneRootName=  my root  \r\n;Bones=4\r\n");
  EXPECT_EQ(ini.GetInt("option", "MESHS", -1), 7);
  EXPECT_EQ(ini.GetString("OPTION", "scenerootname", "x"), "my root");
  EXPECT_EQ(ini.GetInt("Option", "Bones", 1), 1) << "a ';' line is a comment";
  EXPECT_EQ(ini.GetInt("Other", "Meshs", 3), 3);
}

TEST(IniRead, MissingFileSectionOrKeyGivesDefault) {
  TempDir dir;
  IniFile missing;
  EXPECT_FALSE(missing.Load(dir / "none.ini"));
  EXPECT_EQ(missing.GetInt("Option", "Mtl", 1), 1);
  EXPECT_EQ(missing.GetString("Option", "Name", "Anim1"), "Anim1");
  EXPECT_EQ(GetPrivateProfileInt("Option", "Mtl", 5, dir / "none.ini"), 5);

  IniFile ini = Parsed(dir, "Top=1\n[A]\nNoValue\nEmpty=\n[B]\nKey=2\n");
  EXPECT_EQ(ini.GetInt("", "Top", 9), 9) << "keys before any section belong to none";
  EXPECT_EQ(ini.GetString("A", "NoValue", "d"), "d") << "a line without '=' has no value";
  EXPECT_EQ(ini.GetString("A", "Empty", "d"), "") << "an empty value is a value for text";
  EXPECT_EQ(ini.GetInt("A", "Empty", 9), 9) << "but not for an integer";
  EXPECT_EQ(ini.GetInt("A", "Key", 9), 9) << "keys do not leak across sections";
}

TEST(IniRead, FirstSectionAndFirstKeyWin) {
  TempDir dir;
  IniFile ini = Parsed(dir, "[S]\nk=1\nK=2\n[s]\nk=3\nonly=4\n");
  EXPECT_EQ(ini.GetInt("S", "k", 0), 1);
  EXPECT_EQ(ini.GetInt("S", "only", 0), 0);
}

TEST(IniRead, MatchingQuotesAreStripped) {
  TempDir dir;
  IniFile ini = Parsed(dir, "[S]\na=\"  padded  \"\nb='single'\nc=\"open\nd=\"\ne=\"x\"y\nf=\"5\"\n");
  EXPECT_EQ(ini.GetString("S", "a", ""), "  padded  ");
  EXPECT_EQ(ini.GetString("S", "b", ""), "single");
  EXPECT_EQ(ini.GetString("S", "c", ""), "\"open");
  EXPECT_EQ(ini.GetString("S", "d", ""), "\"");
  EXPECT_EQ(ini.GetString("S", "e", ""), "\"x\"y");
  EXPECT_EQ(ini.GetInt("S", "f", 0), 5);
}

TEST(IniRead, TextIsCutToTheBuffer) {
  TempDir dir;
  const std::string longValue(300, 'v');
  IniFile ini = Parsed(dir, "[S]\nlong=" + longValue + "\nquoted=\"" + std::string(259, 'q') + "\"\n");
  EXPECT_EQ(ini.GetString("S", "long", ""), std::string(259, 'v'));
  EXPECT_EQ(ini.GetString("S", "quoted", ""), std::string(259, 'q'));
  EXPECT_EQ(ini.GetString("S", "missing", longValue), std::string(259, 'v'));
  EXPECT_EQ(ini.GetString("S", "long", "").size(), kProfileStringSize - 1);
}

TEST(IniRead, IntegersParseLikeThePlatform) {
  EXPECT_EQ(ParseProfileInt("12abc"), 12);
  EXPECT_EQ(ParseProfileInt("abc"), 0);
  EXPECT_EQ(ParseProfileInt("-5"), -5);
  EXPECT_EQ(ParseProfileInt("+7"), 7);
  EXPECT_EQ(ParseProfileInt(" 42 "), 42);
  EXPECT_EQ(ParseProfileInt("- 5"), 0);
  EXPECT_EQ(ParseProfileInt("1.9"), 1);
  EXPECT_EQ(ParseProfileInt("0x10"), 0);
  EXPECT_EQ(ParseProfileInt("4294967297"), 1) << "wraps modulo 2^32";
  EXPECT_EQ(ParseProfileInt("-4294967297"), -1);
  EXPECT_EQ(ParseProfileInt("2147483648"), INT32_MIN);

  TempDir dir;
  IniFile ini = Parsed(dir, "[S]\nword=abc\n");
  EXPECT_EQ(ini.GetInt("S", "word", 9), 0) << "a present value that is not a number reads 0";
}

TEST(IniRead, FloatsAreDecimalNumbers) {
  EXPECT_EQ(ParseProfileFloat("2.5"), 2.5f);
  EXPECT_EQ(ParseProfileFloat(" -0.25 "), -0.25f);
  EXPECT_EQ(ParseProfileFloat("+.5"), 0.5f);
  EXPECT_EQ(ParseProfileFloat("3."), 3.0f);
  EXPECT_EQ(ParseProfileFloat("1e-05"), 1e-05f);
  EXPECT_EQ(ParseProfileFloat("2E+3"), 2000.0f);
  // Read as a decimal conversion reads: the number the text begins with, 0 without one.
  EXPECT_EQ(ParseProfileFloat("1.5abc"), 1.5f);
  EXPECT_EQ(ParseProfileFloat("1e"), 1.0f);
  EXPECT_EQ(ParseProfileFloat("4e+x"), 4.0f);
  EXPECT_EQ(ParseProfileFloat("0x10"), 0.0f) << "hex is no decimal number";
  for (const char* none : {"", "abc", "nan", "NaN", "inf", "-infinity", "-", ".", "+.e5", "- 1"})
    EXPECT_EQ(ParseProfileFloat(none), 0.0f) << none;
  // Beyond a float: no value at all, so that the caller keeps its default.
  for (const char* huge : {"1e39", "-3.5e38", "1e999", "1e-999", "1e99999999999999999999"})
    EXPECT_EQ(ParseProfileFloat(huge), std::nullopt) << huge;
  EXPECT_EQ(ParseProfileFloat("3.4e38"), 3.4e38f);
  EXPECT_EQ(ParseProfileFloat("1e-50"), 0.0f) << "below a float's least value but within a double's";
}

TEST(IniWrite, ReplacesInPlaceAndAppendsToItsSection) {
  TempDir dir;
  IniFile ini = Parsed(dir, "; settings\r\n[Option]\r\nMESHS = 1\r\nBones=1\r\n\r\n[Other]\r\nX=1\r\n");
  ini.Set("option", "Meshs", "0");
  ini.Set("Option", "Skin", "1");
  ini.Set("Other", "Y", "2");
  ini.Set("New", "Z", "3");
  EXPECT_EQ(ini.Text(),
            "; settings\r\n[Option]\r\nMESHS=0\r\nBones=1\r\nSkin=1\r\n\r\n[Other]\r\nX=1\r\nY=2\r\n"
            "\r\n[New]\r\nZ=3\r\n");
  EXPECT_TRUE(ini.Erase("OPTION", "bones"));
  EXPECT_FALSE(ini.Erase("Option", "Bones"));
  EXPECT_FALSE(ini.Has("Option", "Bones"));
  ASSERT_TRUE(ini.Save());
  IniFile back;
  ASSERT_TRUE(back.Load(dir / "t.ini"));
  EXPECT_EQ(back.GetInt("Option", "Meshs", 9), 0);
  EXPECT_EQ(back.GetInt("New", "Z", 9), 3);
  EXPECT_EQ(back.Text(), ini.Text());
}

TEST(IniWrite, FreshFileHoldsExactlyWhatWasSet) {
  TempDir dir;
  IniFile ini;
  ini.Set("Option", "SceneRoot", "0");
  ini.Set("Option", "Animation0_Name", "walk\ncycle");
  ini.Set("Option", "SpaceScale", "1");
  ini.Set("Option", "SceneRoot", "1");
  ASSERT_TRUE(ini.Save(dir / "cfg.ini"));
  EXPECT_EQ(ReadText(dir / "cfg.ini"), "[Option]\nSceneRoot=1\nAnimation0_Name=walk cycle\nSpaceScale=1\n");
  EXPECT_EQ(dir.EntryCount(), 1u) << "no temporary left behind";
}

TEST(IniWrite, OneCallWriteCreatesAndKeepsOtherKeys) {
  TempDir dir;
  const std::string path = dir / "sub.ini";
  ASSERT_TRUE(WritePrivateProfileString("Option", "A", "1", path));
  ASSERT_TRUE(WritePrivateProfileString("Option", "B", "two", path));
  ASSERT_TRUE(WritePrivateProfileString("option", "a", "3", path));
  EXPECT_EQ(ReadText(path), "[Option]\nA=3\nB=two\n");
  EXPECT_EQ(GetPrivateProfileString("Option", "b", "", path), "two");
  EXPECT_FALSE(WritePrivateProfileString("Option", "A", "1", dir.path())) << "a folder is not replaced";
}

TEST(IniSave, FailedSaveLeavesTheFileAsItWas) {
  TempDir dir;
  WriteText(dir / "file", "not a folder");
  IniFile ini;
  ini.Set("Option", "A", "1");
  EXPECT_FALSE(ini.Save(dir / "file/cfg.ini")) << "parent is a regular file";
  EXPECT_EQ(ReadText(dir / "file"), "not a folder");

  // A write that fails half way (file size limit, which holds for root too).
  const std::string path = dir / "cfg.ini";
  WriteText(path, "[Option]\nA=0\n");
  for (int i = 0; i < 2000; ++i) ini.Set("Option", "Key" + std::to_string(i), std::string(40, 'x'));
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1024;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved_ok = ini.Save(path);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(saved_ok);
  EXPECT_EQ(ReadText(path), "[Option]\nA=0\n");
  EXPECT_EQ(dir.EntryCount(), 2u) << "the temporary is removed";
}

TEST(IniSave, ReadOnlyFolderRefusesTheSave) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  const std::string folder = dir / "ro";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  WriteText(folder + "/cfg.ini", "[Option]\nA=0\n");
  chmod(folder.c_str(), 0555);
  EXPECT_FALSE(WritePrivateProfileString("Option", "A", "1", folder + "/cfg.ini"));
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(ReadText(folder + "/cfg.ini"), "[Option]\nA=0\n");
}

}  // namespace
}  // namespace vorn::platform
