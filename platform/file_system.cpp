#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/paths.h"

namespace vorn::platform {

namespace {

std::optional<std::string> RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string out(real);
  std::free(real);
  return out;
}

}  // namespace

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return !a.empty() && !b.empty() && ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<FileId> FileIdOf(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool CreateDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  for (size_t cut = path.find('/', 1);; cut = path.find('/', cut + 1)) {
    const std::string prefix = path.substr(0, cut);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (cut == std::string::npos) break;
  }
  return DirectoryExists(path);
}

bool ListDirectory(const std::string& folder, std::vector<DirEntry>& entries) {
  entries.clear();
  const std::string open = folder.empty() ? std::string(".") : folder;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(open.c_str()), ::closedir);
  if (!dir) return false;
  const int dirFd = ::dirfd(dir.get());
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    DirEntry entry{std::string(name), e->d_type == DT_DIR, e->d_type == DT_LNK};
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) entry.isLink = S_ISLNK(st.st_mode);
      if (::fstatat(dirFd, e->d_name, &st, 0) == 0) entry.isDirectory = S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

bool CopyFileAtomic(const std::string& src, const std::string& dst, bool overwrite, LinkPolicy links) {
  if (!overwrite && PathExists(dst)) {
    errno = EEXIST;
    return false;
  }
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  bool ok = ::fstat(in, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    ok = false;
    errno = EISDIR;
  }
  if (ok) {
    AtomicFileWriter out(dst, links);
    ok = out.Ok();
    char chunk[64 * 1024];
    while (ok) {
      ssize_t n = ::read(in, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      out.Write(chunk, static_cast<size_t>(n));
      ok = out.Ok();
    }
    ok = ok && out.Commit(overwrite);
  }
  const int e = errno;
  ::close(in);
  errno = e;
  return ok;
}

bool TruncateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  return ::close(fd) == 0;
}

bool WriteScratchFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = ::close(fd) == 0 && done == bytes.size();
  if (!ok) ::unlink(path.c_str());
  return ok;
}

std::optional<std::string> LongPathName(const std::string& path) {
  if (path.empty()) return std::nullopt;
  // A link as the last part stays a link: the file is written in place of it, not where it points.
  struct stat st;
  const bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  std::optional<std::string> out = link ? std::nullopt : RealPath(path);
  if (!out) {
    const std::string name = FileNameOf(path);
    std::optional<std::string> folder = name.empty() ? std::nullopt : RealPath(DirectoryOf(path));
    if (!folder) return std::nullopt;
    out = WithTrailingSeparator(*folder) + name;
  }
  if (out->size() >= kMaxPath) return std::nullopt;
  return out;
}

std::string UserConfigDirectory() {
  std::string base;
  // Relative values are to be ignored, as the XDG rules say.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !home[0]) {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !home[0]) return {};
    base = WithTrailingSeparator(home) + ".config";
  }
  std::string folder = WithTrailingSeparator(base) + "vorn";
  return CreateDirectories(folder) ? folder : std::string();
}

void ReportNotWritten(const std::string& path, int error) {
  if (error) std::fprintf(stderr, "vorn: could not write '%s': %s\n", path.c_str(), std::strerror(error));
  else std::fprintf(stderr, "vorn: could not write '%s'\n", path.c_str());
}

}  // namespace vorn::platform
