#include <cstddef>
#include <cstdint>
#include <string>

#include "xformat/template_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorn::TemplateRegistry registry;
  std::string error;
  (void)registry.Add(data, size, &error);
  return 0;
}
