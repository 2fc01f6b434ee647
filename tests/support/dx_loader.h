// The DirectX loader (d3dx9 under Wine, through dxcheck.exe) for tests that check our files
// with it. One Wine prefix serves every test binary; the first to need it initialises it while
// the others wait. Tests built with vorn_readers_test() get VORN_WINE and VORN_DXCHECK_EXE.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vorn::testing {

inline std::string ShellQuote(const std::string& s) { return "'" + s + "'"; }

// The Wine prefix every test binary of the build shares; the first to need it sets it up while
// the others wait. Empty when wine or dxcheck.exe is missing or the prefix cannot be made.
inline std::string SharedWinePrefix() {
  if (std::string(VORN_WINE).empty() || std::string(VORN_DXCHECK_EXE).empty() ||
      !std::filesystem::exists(VORN_DXCHECK_EXE))
    return {};
  const std::string prefix = std::string(VORN_BINARY_DIR) + "/wineprefix";
  const int lock = ::open((prefix + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock >= 0) ::flock(lock, LOCK_EX);
  const std::string ready = prefix + "/vorn-ready";
  if (!std::filesystem::exists(ready)) {
    // wineboot returns before the server has written the prefix; wineserver -w waits for it
    const std::string server = std::filesystem::path(VORN_WINE).parent_path() / "wineserver";
    const std::string env = "WINEPREFIX=" + ShellQuote(prefix) + " WINEDEBUG=-all ";
    const std::string boot = env + "timeout 300 " + ShellQuote(VORN_WINE) + " wineboot -i >/dev/null 2>&1 && " +
                             env + "timeout 120 " + ShellQuote(server) + " -w && touch " + ShellQuote(ready);
    (void)std::system(boot.c_str());
  }
  if (lock >= 0) ::close(lock);
  return std::filesystem::exists(ready) ? prefix : std::string();
}

// The loader's dump of the file, run from folder dir with the given templates registered
// ("standard", "all"); empty with *failure set when dxcheck fails.
inline std::string DxcheckDump(const std::string& prefix, const std::string& dir, const std::string& file,
                               const char* templates, std::string* failure) {
  const std::string out = file + ".dump", err = file + ".err";
  const std::string command = "cd " + ShellQuote(dir) + " && WINEPREFIX=" + ShellQuote(prefix) +
                              " WINEDEBUG=-all timeout 120 " + ShellQuote(VORN_WINE) + " " +
                              ShellQuote(VORN_DXCHECK_EXE) + " --templates " + templates + " " +
                              ShellQuote("Z:" + file) + " >" + ShellQuote(out) + " 2>" + ShellQuote(err);
  // dxcheck explains every failure of its own on stderr; a silent non-zero exit is Wine's
  // (seen once on a loaded machine), so that alone is tried again
  std::string why;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int rc = std::system(command.c_str());
    if (rc == 0) {
      failure->clear();
      return ReadText(out);
    }
    why = ReadText(err);
    const int code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    *failure = "dxcheck exit " + std::to_string(code) + " (attempt " + std::to_string(attempt + 1) + "): " + why;
    if (!why.empty()) break;
  }
  return {};
}

class DirectXLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { prefix_ = SharedWinePrefix(); }

  void SetUp() override {
    if (prefix_.empty()) GTEST_SKIP() << "wine64 or dxcheck.exe not available";
  }

  // The loader's dump of the file, with the given templates registered ("standard", "all");
  // empty with *failure set when dxcheck fails.
  std::string Load(const std::string& file, const char* templates, std::string* failure) {
    return DxcheckDump(prefix_, dir_.path(), file, templates, failure);
  }

  // What the loader's D3DXGetImageInfoFromFile reads from an image file: "width height depth
  // mipLevels format resourceType fileFormat"; empty with *failure set when it fails.
  std::string ImageInfo(const std::string& file, std::string* failure) {
    const std::string out = file + ".info", err = file + ".err";
    const std::string command = "cd " + ShellQuote(dir_.path()) + " && WINEPREFIX=" + ShellQuote(prefix_) +
                                " WINEDEBUG=-all timeout 120 " + ShellQuote(VORN_WINE) + " " +
                                ShellQuote(VORN_DXCHECK_EXE) + " --image " + ShellQuote("Z:" + file) + " >" +
                                ShellQuote(out) + " 2>" + ShellQuote(err);
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (std::system(command.c_str()) == 0) {
        failure->clear();
        std::string text = ReadText(out);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
      }
      *failure = ReadText(err);
      if (!failure->empty()) break;  // dxcheck's own report; a silent failure is Wine's, tried again
    }
    return {};
  }

  static inline std::string prefix_;
  TempDir dir_;
};

}  // namespace vorn::testing
