// Files that appear complete or not at all: written to a temporary beside the target, then renamed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vorn::platform {

// What a symbolic link at the target's name means: an export replaces the link itself, so nothing is
// written outside its folder; a settings file is written through the link to where it really lives.
enum class LinkPolicy { kReplaceLink, kFollowLink };

// Buffered output to a temporary file in the target's folder. Commit() flushes it and renames it over
// the target; destroying the writer without a successful Commit() removes the temporary, so an
// existing target is only ever replaced by a complete file. Where the file system allows, the
// temporary has no name until Commit(), so a killed process leaves nothing behind.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::string path, LinkPolicy links = LinkPolicy::kReplaceLink);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // False when the temporary could not be created or a write has failed.
  bool Ok() const { return fd_ >= 0 && !failed_; }
  // errno of the first failure, 0 when none was recorded.
  int Error() const { return error_; }
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
  // Commit fails. False on any error, with errno telling why; the temporary is then gone and the
  // target unchanged.
  bool Commit(bool replace = true);
  // Drops the temporary without touching the target.
  void Discard();

 private:
  static constexpr size_t kBufferSize = 64 * 1024;
  static constexpr uint64_t kWritebackStep = 4 << 20;
  void Flush();
  bool WriteOut(const char* data, size_t size);
  std::string TemporaryName() const;
  int OpenNamedTemporary();
  bool NameUnnamed(const std::string& name) const;

  std::string path_;
  std::string tempPath_;  // empty while the temporary is unnamed
  int fd_ = -1;
  bool unnamed_ = false;
  bool failed_ = false;
  int error_ = 0;  // errno of the first failure
  size_t used_ = 0;
  uint64_t written_ = 0;  // bytes in the file so far
  uint64_t kicked_ = 0;   // of them, handed to the disk without waiting
  std::unique_ptr<char[]> buffer_;
};

// The whole file in one atomic write. On failure errno tells why.
bool WriteFileAtomic(const std::string& path, std::string_view bytes, LinkPolicy links = LinkPolicy::kReplaceLink);

}  // namespace vorn::platform
