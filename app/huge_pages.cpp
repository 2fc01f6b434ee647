#include "app/huge_pages.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/input_size.h"

namespace vorn::app {

namespace {

// The heap grows 16 MiB at a time and keeps what is freed: each new 2 MiB page is cleared whole,
// so memory handed back at a free and asked for again by the next mesh is cleared twice
// (engine.glb: 15 huge-page faults and 2,500 small ones against 10 and 1,600; 42.5 to 38.9 ms).
constexpr const char* kTunable =
    "glibc.malloc.hugetlb=1:glibc.malloc.top_pad=16777216:glibc.malloc.trim_threshold=268435456";

[[maybe_unused]] bool HugePagesOnAdvice() {  // unused under the sanitizers
  FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
  if (!f) return false;
  char line[128] = {};
  const bool ok = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  return ok && std::strstr(line, "[madvise]") != nullptr;
}

}  // namespace

// An export of a million faces touches a few hundred megabytes once. With 4 KiB pages the page
// faults cost about a third of it (measured: 0.73 s against 0.50 s for the binary export);
// huge pages make them 512 times fewer. glibc reads its tunables only at start, hence the
// restart. The sanitizers bring their own allocator, for which the tunable means nothing.
void RestartWithHugePages(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)argc;
  (void)argv;
#else
  const char* current = std::getenv("GLIBC_TUNABLES");
  if (current && std::strstr(current, "glibc.malloc.hugetlb")) return;
  // Texture conversion decodes and filters images of tens of megabytes whatever the scene's size
  // (a 4096 x 4096 photograph to DDS: 0.75 s with huge pages, 1.6 s without).
  if (CommandInputBytes(argc, argv) < kHugePagesInputBytes && !CommandConvertsTextures(argc, argv)) return;
  if (!HugePagesOnAdvice()) return;
  const std::string value = current && *current ? std::string(current) + ":" + kTunable : kTunable;
  if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not restarted: go on as we are, and leave the tunable out of what we start.
  if (current)
    setenv("GLIBC_TUNABLES", current, 1);
  else
    unsetenv("GLIBC_TUNABLES");
#endif
}

}  // namespace vorn::app
