#include <cstddef>
#include <cstdint>
#include <string>

#include "xformat/inspect.h"
#include "xformat/xfile_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorn::XFileTree tree;
  std::string error;
  if (vorn::ReadXFile(data, size, vorn::XReadOptions{}, &tree, &error)) {
    (void)vorn::InspectText(tree);
    (void)vorn::InspectJson(tree);
  }
  return 0;
}
