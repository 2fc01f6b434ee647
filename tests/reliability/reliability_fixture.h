// Runs the real vorn binary on hostile inputs inside a private folder and watches what it writes.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace vorn_reliability {

namespace fs = std::filesystem;

// AddressSanitizer reserves terabytes of shadow memory at start, which an address-space cap
// forbids; there the cap goes to its allocator instead, so a huge allocation still fails.
#if defined(__SANITIZE_ADDRESS__)
#define VORN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_UNDER_ASAN 1
#endif
#endif
#ifdef VORN_UNDER_ASAN
inline constexpr const char* kMemoryCap = "ASAN_OPTIONS=$ASAN_OPTIONS:malloc_limit_mb=3000:allocator_may_return_null=1 ";
#else
inline constexpr const char* kMemoryCap = "ulimit -v 3000000; ";
#endif

class VornRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "in");
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "cfg");
  }

  // Runs vorn under a timeout and a memory cap; a hang shows as 124, a crash as 128 + signal.
  int Run(const std::string& args, int seconds = 30) {
    const std::string err = (dir_ / "stderr.txt").string();
    const std::string cmd = kMemoryCap + std::string("timeout -k 5 ") + std::to_string(seconds) + " " + VORN_EXE + " " + args +
                            " </dev/null 2>" + err + " >" + (dir_ / "stdout.txt").string();
    const int rc = std::system(cmd.c_str());
    stderr_ = Read(err);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  int Export(const fs::path& doc, const std::string& extra = "") {
    return Run("export " + doc.string() + " " + Out().string() + " --silent --config-dir " + (dir_ / "cfg").string() +
               " " + extra);
  }

  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void WriteText(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  fs::path Doc(const std::string& json) {
    const fs::path p = dir_ / "in" / "scene.json";
    WriteText(p, json);
    return p;
  }
  fs::path Out() const { return dir_ / "out" / "scene.x"; }
  void PlantPrevious() { WriteText(Out(), kPrevious); }

  // Every regular file below the test folder except those in out/ and the run's own logs.
  std::set<std::string> FilesOutsideOut() const {
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) {
      const std::string rel = fs::relative(e.path(), dir_).string();
      if (e.is_directory() || rel.rfind("out/", 0) == 0 || rel == "stderr.txt" || rel == "stdout.txt") continue;
      files.insert(rel);
    }
    return files;
  }

  static constexpr const char* kPrevious = "previous export, to be kept";
  vorn::testing::TempDir temp_;
  fs::path dir_{temp_.path()};
  std::string stderr_;
};

// A one-triangle scene; `node` adds keys to the node, `top` to the document.
inline std::string Triangle(const std::string& node = "", const std::string& top = "") {
  return R"({"nodes": [{"name": "Tri", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]})" +
         (node.empty() ? "" : ", " + node) + "}]" + (top.empty() ? "" : ", " + top) + "}";
}

}  // namespace vorn_reliability
