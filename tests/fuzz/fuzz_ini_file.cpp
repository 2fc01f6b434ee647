#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/atomic_file.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/vorn-fuzz-ini-" + std::to_string(getpid()) + ".ini";
  if (!vorn::platform::WriteFileAtomic(path, std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
  vorn::platform::IniFile ini;
  ini.Load(path);
  (void)ini.GetInt("Option", "XFileType", 1);
  std::string s = ini.GetString("option", "SceneRootName", "");
  if (s.size() >= vorn::platform::kProfileStringSize) __builtin_trap();
  ini.Set("Option", "Added", "1");
  (void)ini.Text();
  return 0;
}
