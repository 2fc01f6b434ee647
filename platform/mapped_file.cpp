#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace vorn::platform {

MappedFile::~MappedFile() { Close(); }

void MappedFile::Close() {
  if (map_) ::munmap(map_, size_);
  map_ = nullptr;
  size_ = 0;
  copy_.clear();
}

bool MappedFile::Open(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_size > 0) {
    void* map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      ::close(fd);
      map_ = map;
      size_ = size_t(st.st_size);
      return true;
    }
  }
  // Not mappable: read it through.
  bool ok = true;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    copy_.append(chunk, size_t(n));
  }
  ::close(fd);
  if (!ok) copy_.clear();
  return ok;
}

}  // namespace vorn::platform
