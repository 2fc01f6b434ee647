// The members of a zip archive (as .zae COLLADA files are), read from bytes in memory: names
// from the central directory, contents stored or deflated. Used to pull one scene file and the
// images beside it out of an archive without unpacking it to disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class ZipArchive {
 public:
  struct Entry {
    std::string name;  // as stored, '/' between folders
    uint32_t method = 0, crc = 0;
    uint64_t packedSize = 0, size = 0, localHeader = 0;
  };

  // Reads the central directory; throws std::runtime_error prefixed with `label` when the bytes
  // are not a zip archive or the directory is cut short. The bytes must outlive the archive.
  ZipArchive(std::string_view bytes, const std::string& label);

  const std::vector<Entry>& Entries() const { return entries_; }
  // The entry of that name: exact, or with "." and ".." resolved and case ignored; null when none.
  const Entry* Find(std::string_view name) const;
  // The entry's contents, inflated and checked against its CRC; throws for an unknown method,
  // a member running past the end of the archive, or data that does not inflate to its size.
  std::string Read(const Entry& entry) const;
  // The same into `out`, which must hold entry.size bytes.
  void ReadInto(const Entry& entry, char* out) const;

 private:
  [[noreturn]] void Fail(const std::string& what) const;

  std::string_view bytes_;
  std::string label_;
  std::vector<Entry> entries_;
};

// True when the bytes start as a zip archive does.
bool LooksLikeZip(std::string_view bytes);

}  // namespace vorn
