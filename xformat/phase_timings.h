// Where one export spends its time, for `vorn export --timings`. The app sets VORN_TIMINGS in
// the environment before it loads the exporter module; the module then adds up its phases here
// and prints them on stderr when it saves the file. Without the variable a phase costs one
// branch.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace vorn {

enum class Phase { MeshBuild, AddObjects, Encode, Write, kCount };

struct PhaseTimings {
  bool on = std::getenv("VORN_TIMINGS") != nullptr;
  double seconds[static_cast<int>(Phase::kCount)] = {};
  unsigned long long bytes = 0;  // file bytes written
  unsigned long long treeBytes = 0;  // data bytes of all objects, before encoding

  void Print() const {
    static const char* const kNames[] = {"mesh build", "objects to the tree", "encode", "file write"};
    for (int i = 0; i < static_cast<int>(Phase::kCount); ++i)
      std::fprintf(stderr, "timings: %-22s %9.3f s\n", kNames[i], seconds[i]);
    std::fprintf(stderr, "timings: %-22s %9llu bytes\n", "object data", treeBytes);
    std::fprintf(stderr, "timings: %-22s %9llu bytes\n", "file written", bytes);
  }
};

inline PhaseTimings& Timings() {
  static PhaseTimings t;
  return t;
}

// Adds the time until it goes out of scope to one phase.
class PhaseScope {
 public:
  explicit PhaseScope(Phase p) : phase_(p), on_(Timings().on) {
    if (on_) start_ = std::chrono::steady_clock::now();
  }
  ~PhaseScope() {
    if (on_)
      Timings().seconds[static_cast<int>(phase_)] +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  PhaseScope(const PhaseScope&) = delete;
  PhaseScope& operator=(const PhaseScope&) = delete;

 private:
  Phase phase_;
  bool on_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace vorn
