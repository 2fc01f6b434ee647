// INI files with the platform's private-profile semantics.
//
// Sections are "[name]" lines, entries "key=value" lines; section and key names compare without
// regard to ASCII case; the first section of a name and its first entry of a key count. Whitespace
// around names and values is dropped, a value enclosed in a matching pair of double or single
// quotes loses them, and a text value is cut to kProfileStringSize - 1 characters. Lines starting
// with ';' are comments; lines without '=' are entries without a value and read as missing.
// Everything else in the file is kept as it was when the file is written back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::platform {

// Size of the buffer text values are read into, terminator included.
constexpr size_t kProfileStringSize = 260;

// Integer text as the platform reads it: optional sign, decimal digits up to the first non-digit,
// wrapping modulo 2^32; text that does not begin with a number gives 0.
int32_t ParseProfileInt(std::string_view text);

// Float text as the settings file holds it: the decimal number at the start of the text (optional
// sign, digits with an optional point, optional exponent), read without regard to the locale; 0
// when the text does not begin with one, as a decimal conversion gives. Hex, "inf" and "nan" are
// no decimal numbers. Empty when the number is beyond what a float holds (too large, or too small
// for a double), so that the caller takes its default.
std::optional<float> ParseProfileFloat(std::string_view text);

// Names and values as the file holds them: whitespace around them dropped.
std::string_view TrimProfileText(std::string_view s);
// Section and key names as the file compares them: ASCII case aside.
bool SameProfileName(std::string_view a, std::string_view b);

// An INI file held in memory: loaded once, read and changed in memory, written whole atomically.
class IniFile {
 public:
  IniFile() = default;
  // Replaces the content with the file's; false (and empty) when it cannot be read.
  bool Load(const std::string& path);

  // The value read as text; `fallback` (cut alike) when the section or key is missing.
  std::string GetString(std::string_view section, std::string_view key, std::string_view fallback) const;
  // The value read as an integer; `fallback` when the key is missing or its value is empty.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t fallback) const;
  bool Has(std::string_view section, std::string_view key) const;

  // Replaces the value in place, or adds the key at the end of its section, adding the section at
  // the end of the file when missing. Line breaks in key or value become spaces.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  // Removes the key; false when there was none.
  bool Erase(std::string_view section, std::string_view key);

  // The file's text as it would be written.
  std::string Text() const;
  // Writes the whole file atomically; on failure the file on disk is left as it was.
  bool Save(const std::string& path) const;
  // Saves to the path last loaded.
  bool Save() const { return !path_.empty() && Save(path_); }
  const std::string& LoadedPath() const { return path_; }

 private:
  enum class Kind : uint8_t { kOther, kSection, kKey };
  struct Line {
    std::string text;   // as written
    std::string name;   // section or key name, trimmed
    std::string value;  // trimmed, quotes kept
    Kind kind = Kind::kOther;
    bool hasValue = false;
  };
  struct Range {
    size_t begin, end;  // the lines after the section header up to the next header
  };

  bool FindSection(std::string_view section, Range& range) const;
  const Line* FindKey(std::string_view section, std::string_view key) const;
  void Parse(std::string_view text);

  std::vector<Line> lines_;
  std::string path_;
  bool crlf_ = false;
};

// One-call forms of the platform functions; each reads the file anew.
int32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t fallback,
                             const std::string& path);
std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                                    const std::string& path);
// Sets one key and writes the file back atomically; false when it cannot be written.
bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& path);

}  // namespace vorn::platform
