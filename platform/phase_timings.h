// Where one export spends its time, for `vorn export --timings`. The app sets VORN_TIMINGS in
// the environment before it loads the exporter module; the export then adds up its phases in
// its own record and prints them on stderr when the file is saved. Without the variable a phase
// costs one branch.
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

// Adds the time until it goes out of scope to one phase of the record; none when null or off.
class PhaseScope {
 public:
  PhaseScope(PhaseTimings* timings, Phase p) : timings_(timings && timings->on ? timings : nullptr), phase_(p) {
    if (timings_) start_ = std::chrono::steady_clock::now();
  }
  ~PhaseScope() {
    if (timings_)
      timings_->seconds[static_cast<int>(phase_)] +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  PhaseScope(const PhaseScope&) = delete;
  PhaseScope& operator=(const PhaseScope&) = delete;

 private:
  PhaseTimings* timings_;
  Phase phase_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace vorn
