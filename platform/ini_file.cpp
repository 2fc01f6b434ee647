#include "platform/ini_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/atomic_file.h"
#include "platform/file_system.h"

namespace vorn::platform {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }


std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\n' || c == '\r') c = ' ';
  return out;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[16 * 1024];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    out.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace

std::string_view TrimProfileText(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool SameProfileName(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

int32_t ParseProfileInt(std::string_view text) {
  text = TrimProfileText(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10u + static_cast<uint32_t>(c - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

std::optional<float> ParseProfileFloat(std::string_view text) {
  text = TrimProfileText(text);
  size_t end = 0;
  auto digits = [&] {
    const size_t from = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return end > from;
  };
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) ++end;
  const size_t mantissa = end;
  bool any = digits();
  if (end < text.size() && text[end] == '.') {
    ++end;
    any = digits() || any;
  }
  if (!any) return 0.0f;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    const size_t mark = end++;
    if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
    if (!digits()) end = mark;  // "1e" and "1e+" are the number 1 followed by other text
  }
  // from_chars takes no leading '+' and ignores the locale's decimal point.
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data() + mantissa, text.data() + end, value);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) return std::nullopt;
  if (ec != std::errc()) return 0.0f;
  if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max())) return std::nullopt;
  return static_cast<float>(negative ? -value : value);
}

void IniFile::Parse(std::string_view text) {
  lines_.clear();
  crlf_ = false;
  size_t firstBreak = text.find('\n');
  crlf_ = firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r';
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty()) return;
  bool first = true;
  for (;;) {
    const size_t cut = text.find('\n');
    std::string_view raw = text.substr(0, cut);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    Line line;
    line.text = std::string(raw);
    std::string_view body = TrimProfileText(raw);
    if (first && body.substr(0, 3) == "\xEF\xBB\xBF") body = TrimProfileText(body.substr(3));
    first = false;
    const size_t close = body.rfind(']');
    if (!body.empty() && body.front() == '[' && close != std::string_view::npos) {
      line.kind = Kind::kSection;
      line.name = std::string(TrimProfileText(body.substr(1, close - 1)));
    } else if (!body.empty() && body.front() != ';') {
      line.kind = Kind::kKey;
      const size_t eq = body.find('=');
      line.name = std::string(TrimProfileText(body.substr(0, eq)));
      if (eq != std::string_view::npos) {
        line.hasValue = true;
        line.value = std::string(TrimProfileText(body.substr(eq + 1)));
      }
    }
    lines_.push_back(std::move(line));
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + 1);
  }
}

bool IniFile::Load(const std::string& path) {
  path_ = path;
  std::string text;
  const bool ok = ReadWholeFile(path, text);
  Parse(ok ? std::string_view(text) : std::string_view());
  return ok;
}

bool IniFile::FindSection(std::string_view section, Range& range) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Kind::kSection || !SameProfileName(lines_[i].name, section)) continue;
    size_t end = i + 1;
    while (end < lines_.size() && lines_[end].kind != Kind::kSection) ++end;
    range = {i + 1, end};
    return true;
  }
  return false;
}

const IniFile::Line* IniFile::FindKey(std::string_view section, std::string_view key) const {
  Range r;
  if (!FindSection(section, r)) return nullptr;
  for (size_t i = r.begin; i < r.end; ++i)
    if (lines_[i].kind == Kind::kKey && SameProfileName(lines_[i].name, key)) return &lines_[i];
  return nullptr;
}

bool IniFile::Has(std::string_view section, std::string_view key) const {
  const Line* line = FindKey(section, key);
  return line && line->hasValue;
}

std::string IniFile::GetString(std::string_view section, std::string_view key, std::string_view fallback) const {
  const Line* line = FindKey(section, key);
  std::string_view value = fallback;
  if (line && line->hasValue) {
    value = line->value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kProfileStringSize - 1));
}

int32_t IniFile::GetInt(std::string_view section, std::string_view key, int32_t fallback) const {
  if (!Has(section, key)) return fallback;
  const std::string text = GetString(section, key, "");
  return text.empty() ? fallback : ParseProfileInt(text);
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  Line entry;
  entry.kind = Kind::kKey;
  entry.name = std::string(TrimProfileText(OneLine(key)));
  entry.value = std::string(TrimProfileText(OneLine(value)));
  entry.hasValue = true;
  entry.text = entry.name + "=" + OneLine(value);

  Range r;
  if (!FindSection(section, r)) {
    if (!lines_.empty() && !TrimProfileText(lines_.back().text).empty()) lines_.push_back(Line{});
    Line header;
    header.kind = Kind::kSection;
    header.name = std::string(TrimProfileText(OneLine(section)));
    header.text = "[" + header.name + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(entry));
    return;
  }
  for (size_t i = r.begin; i < r.end; ++i) {
    Line& line = lines_[i];
    if (line.kind != Kind::kKey || !SameProfileName(line.name, entry.name)) continue;
    entry.name = line.name;  // the file's spelling of the key stays
    entry.text = entry.name + "=" + OneLine(value);
    line = std::move(entry);
    return;
  }
  // After the section's last non-blank line, so blank lines before the next section stay there.
  size_t at = r.end;
  while (at > r.begin && TrimProfileText(lines_[at - 1].text).empty()) --at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
}

bool IniFile::Erase(std::string_view section, std::string_view key) {
  const Line* line = FindKey(section, key);
  if (!line) return false;
  lines_.erase(lines_.begin() + (line - lines_.data()));
  return true;
}

std::string IniFile::Text() const {
  const std::string_view eol = crlf_ ? "\r\n" : "\n";
  size_t size = 0;
  for (const Line& line : lines_) size += line.text.size() + eol.size();
  std::string out;
  out.reserve(size);
  for (const Line& line : lines_) {
    out += line.text;
    out += eol;
  }
  return out;
}

bool IniFile::Save(const std::string& path) const { return WriteFileAtomic(path, Text(), LinkPolicy::kFollowLink); }

int32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t fallback,
                             const std::string& path) {
  IniFile ini;
  ini.Load(path);
  return ini.GetInt(section, key, fallback);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                                    const std::string& path) {
  IniFile ini;
  ini.Load(path);
  return ini.GetString(section, key, fallback);
}

bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& path) {
  IniFile ini;
  // An existing file that cannot be read must not be replaced by one holding only this key.
  if (!ini.Load(path) && PathExists(path)) return false;
  ini.Set(section, key, value);
  return ini.Save(path);
}

}  // namespace vorn::platform
