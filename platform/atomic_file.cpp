#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"

namespace vorn::platform {

namespace {

std::atomic<unsigned> tempCounter{0};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writing through a symbolic link replaces the file it points at, not the link.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out(real);
  std::free(real);
  return out;
}

void SyncDirectory(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename is already done
  ::close(fd);
}

bool RenameNoReplace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot rename without replacing: a hard link fails on an existing target too.
  if (::link(from, to) == 0) {
    ::unlink(from);
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat st;
  if (::stat(to, &st) == 0) return false;
  return ::rename(from, to) == 0;
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(std::string path)
    : path_(ResolveTarget(path)), buffer_(std::make_unique<char[]>(kBufferSize)) {
  const std::string folder = DirectoryOf(path_);
  const std::string name = FileNameOf(path_);
  if (name.empty()) return;
  // A short temporary name, so a target name near the length limit still leaves room.
  const std::string stem = name.substr(0, 64);
  char suffix[48];
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    std::snprintf(suffix, sizeof suffix, ".tmp%ld.%u", static_cast<long>(::getpid()), tempCounter++);
    tempPath_ = folder + "." + stem + suffix;
    fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    tempPath_.clear();
    return;
  }
  // A replaced file keeps its permissions.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd_, st.st_mode & 07777);
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Flush() {
  if (used_ == 0) return;
  if (fd_ < 0 || failed_ || !WriteAll(fd_, buffer_.get(), used_)) failed_ = true;
  used_ = 0;
}

void AtomicFileWriter::Write(const void* data, size_t size) {
  if (fd_ < 0 || failed_) return;
  const char* bytes = static_cast<const char*>(data);
  if (size <= kBufferSize - used_) {
    std::copy(bytes, bytes + size, buffer_.get() + used_);
    used_ += size;
    return;
  }
  Flush();
  if (size < kBufferSize) {
    std::copy(bytes, bytes + size, buffer_.get());
    used_ = size;
  } else if (!failed_ && !WriteAll(fd_, bytes, size)) {
    failed_ = true;
  }
}

void AtomicFileWriter::Printf(const char* format, ...) {
  if (fd_ < 0 || failed_) return;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer_.get() + used_, kBufferSize - used_, format, args);
  va_end(args);
  if (n < 0) {
    failed_ = true;
    return;
  }
  if (static_cast<size_t>(n) < kBufferSize - used_) {
    used_ += static_cast<size_t>(n);
    return;
  }
  // Did not fit behind what is buffered: format again into room of its own.
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.pop_back();
  Write(text);
}

bool AtomicFileWriter::Commit(bool replace) {
  if (fd_ < 0) return false;
  Flush();
  bool ok = !failed_ && ::fsync(fd_) == 0;
  ok = (::close(fd_) == 0) && ok;
  fd_ = -1;
  if (ok) ok = replace ? ::rename(tempPath_.c_str(), path_.c_str()) == 0
                      : RenameNoReplace(tempPath_.c_str(), path_.c_str());
  if (!ok) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
  }
  tempPath_.clear();
  SyncDirectory(DirectoryOf(path_));
  return true;
}

void AtomicFileWriter::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
  used_ = 0;
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes) {
  AtomicFileWriter out(path);
  if (!out.Ok()) return false;
  out.Write(bytes);
  return out.Commit();
}

}  // namespace vorn::platform
