// A whole file's bytes for reading, mapped rather than copied where the system allows: readers
// of big inputs then pay neither the copy nor the fresh pages it would fill.
#pragma once

#include <string>
#include <string_view>

namespace vorn::platform {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // False when the file cannot be opened or read; an empty file is read, with no bytes.
  bool Open(const std::string& path);
  std::string_view Bytes() const { return map_ ? std::string_view(static_cast<const char*>(map_), size_) : copy_; }

 private:
  void Close();

  void* map_ = nullptr;
  size_t size_ = 0;
  std::string copy_;  // where the file could not be mapped (a pipe, an empty file)
};

}  // namespace vorn::platform
