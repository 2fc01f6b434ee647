// Files that appear complete or not at all: written to a temporary beside the target, then renamed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace vorn::platform {

// Buffered output to a temporary file in the target's folder. Commit() flushes, syncs and renames it
// over the target; destroying the writer without a successful Commit() removes the temporary, so an
// existing target is only ever replaced by a complete file.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::string path);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // False when the temporary could not be created or a write has failed.
  bool Ok() const { return fd_ >= 0 && !failed_; }
  const std::string& Path() const { return path_; }

  void Write(const void* data, size_t size);
  void Write(std::string_view text) { Write(text.data(), text.size()); }
  void Put(char c) {
    if (used_ == kBufferSize) Flush();
    buffer_[used_++] = c;
  }
  // printf-style text straight into the buffer.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Makes the file visible under its name. With replace=false an existing target is left alone and
  // Commit fails. False on any error; the temporary is then gone and the target unchanged.
  bool Commit(bool replace = true);
  // Drops the temporary without touching the target.
  void Discard();

 private:
  static constexpr size_t kBufferSize = 64 * 1024;
  void Flush();

  std::string path_;
  std::string tempPath_;
  int fd_ = -1;
  bool failed_ = false;
  size_t used_ = 0;
  std::unique_ptr<char[]> buffer_;
};

// The whole file in one atomic write.
bool WriteFileAtomic(const std::string& path, std::string_view bytes);

}  // namespace vorn::platform
