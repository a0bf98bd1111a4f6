// The profile (INI) reader: the file is parsed once into a hash index of
// its sections and keys, so that each lookup costs one hash probe whatever
// the size of the file.

#include "platform/profile.h"

#include <unordered_map>
#include <utility>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"

namespace platform {

namespace {

// Larger files are refused as unreadable rather than read without end
// (a device or a pipe given as the INI file).
constexpr size_t kMaxProfileBytes = size_t{256} << 20;

// White space of profile files: 0x09..0x0D, 0x1A (DOS end of file), blank.
bool IsProfileSpace(char c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == ' ';
}

std::pair<size_t, size_t> Trim(const std::string& text, size_t begin, size_t end) {
  while (begin < end && IsProfileSpace(text[begin])) ++begin;
  while (end > begin && IsProfileSpace(text[end - 1])) --end;
  return {begin, end};
}

std::string TrimCopy(const std::string& text) {
  auto [begin, end] = Trim(text, 0, text.size());
  return text.substr(begin, end - begin);
}

// Reads a whole file through the file layer; false when it cannot be
// opened or read, or is larger than `max_bytes`.
bool ReadFileBytes(const std::string& path, size_t max_bytes, std::string* bytes) {
  std::unique_ptr<File> file;
  if (FileSystem::Default()->Open(path, OpenMode::kReadOnly, &file) != 0) return false;
  bytes->clear();
  char buffer[65536];
  for (;;) {
    size_t n = 0;
    if (file->ReadAt(bytes->size(), buffer, sizeof buffer, &n) != 0) return false;
    if (bytes->size() + n > max_bytes) return false;
    bytes->append(buffer, n);
    if (n < sizeof buffer) return true;
  }
}

// A file that starts with the UTF-16LE byte-order mark is read as UTF-16
// and converted to the ANSI code page; any other file is ANSI text already
// (a UTF-8 mark is not recognised and stays on the first line, as on
// Windows).
std::string ToAnsiText(std::string bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return bytes;
  }
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return WideToAnsi(wide);
}

class ParsedProfile : public ProfileFile {
 public:
  explicit ParsedProfile(std::string text) : text_(std::move(text)) { Parse(); }

  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, uint32_t size,
                        bool keep_quotes) const override;
  uint32_t GetInt(const std::string& section, const std::string& key,
                  int32_t default_value) const override;

 private:
  struct Value {
    size_t offset = 0;
    size_t length = 0;
    bool present = false;  // false for a key line without '='
  };

  void Parse();
  void ParseLine(size_t begin, size_t end);
  // The index key of `key_name` in section number `section`: the number in
  // two UTF-16 units, then the folded name.
  static std::u16string IndexKey(uint32_t section, const std::u16string& folded_name);
  const Value* Find(const std::string& section, const std::string& key) const;

  std::string text_;
  std::unordered_map<std::u16string, uint32_t> sections_;
  std::unordered_map<std::u16string, Value> keys_;
  // The section that key lines go to; none before the first header and in
  // a repeated section, whose keys are never found.
  bool in_section_ = false;
  uint32_t current_section_ = 0;
};

void ParsedProfile::Parse() {
  // A line ends at any CR or LF; a run of them yields only empty lines,
  // which are skipped.
  size_t line_start = 0;
  for (size_t i = 0; i <= text_.size(); ++i) {
    if (i == text_.size() || text_[i] == '\r' || text_[i] == '\n') {
      ParseLine(line_start, i);
      line_start = i + 1;
    }
  }
}

void ParsedProfile::ParseLine(size_t begin, size_t end) {
  std::tie(begin, end) = Trim(text_, begin, end);
  if (begin == end) return;
  if (text_[begin] == '[') {
    size_t close = text_.rfind(']', end - 1);
    if (close != std::string::npos && close > begin) {
      auto [name_begin, name_end] = Trim(text_, begin + 1, close);
      std::u16string name = FoldedWide(text_.substr(name_begin, name_end - name_begin));
      auto [it, inserted] = sections_.emplace(std::move(name), static_cast<uint32_t>(sections_.size()));
      in_section_ = inserted;  // only the first section of a name is searched
      current_section_ = it->second;
      return;
    }
    // A '[' line without ']' is a key line of the current section.
  }
  if (!in_section_) return;  // lines before the first header are unreachable
  Value value;
  size_t name_end = end;
  size_t equals = text_.find('=', begin);
  if (equals != std::string::npos && equals < end) {
    name_end = equals;
    auto [value_begin, value_end] = Trim(text_, equals + 1, end);
    value.offset = value_begin;
    value.length = value_end - value_begin;
    value.present = true;
  }
  auto [key_begin, key_end] = Trim(text_, begin, name_end);
  std::u16string name = FoldedWide(text_.substr(key_begin, key_end - key_begin));
  keys_.emplace(IndexKey(current_section_, name), value);  // the first one wins
}

std::u16string ParsedProfile::IndexKey(uint32_t section, const std::u16string& folded_name) {
  std::u16string key;
  key.reserve(2 + folded_name.size());
  key.push_back(static_cast<char16_t>(section >> 16));
  key.push_back(static_cast<char16_t>(section & 0xFFFF));
  key += folded_name;
  return key;
}

const ParsedProfile::Value* ParsedProfile::Find(const std::string& section,
                                                const std::string& key) const {
  auto found_section = sections_.find(FoldedWide(TrimCopy(section)));
  if (found_section == sections_.end()) return nullptr;
  auto found_key = keys_.find(IndexKey(found_section->second, FoldedWide(TrimCopy(key))));
  if (found_key == keys_.end() || !found_key->second.present) return nullptr;
  return &found_key->second;
}

std::string ParsedProfile::GetString(const std::string& section, const std::string& key,
                                     const std::string& default_value, uint32_t size,
                                     bool keep_quotes) const {
  if (size == 0) return std::string();
  std::string result;
  const Value* value = Find(section, key);
  if (value == nullptr) {
    // The default loses its trailing blanks (its leading ones stay).
    size_t end = default_value.size();
    while (end > 0 && default_value[end - 1] == ' ') --end;
    result = default_value.substr(0, end);
  } else {
    size_t offset = value->offset;
    size_t length = value->length;
    char first = length > 0 ? text_[offset] : '\0';
    if (!keep_quotes && length >= 2 && (first == '"' || first == '\'') &&
        text_[offset + length - 1] == first) {
      ++offset;
      length -= 2;
    }
    result = text_.substr(offset, length);
  }
  // The caller sees a NUL-terminated text: it ends at the first NUL.
  size_t nul = result.find('\0');
  if (nul != std::string::npos) result.resize(nul);
  if (result.size() > size - 1) result.resize(size - 1);
  return result;
}

uint32_t ParsedProfile::GetInt(const std::string& section, const std::string& key,
                               int32_t default_value) const {
  // As GetPrivateProfileIntA: the text read into a 30-character buffer,
  // then RtlUnicodeStringToInteger with base 0 (no overflow check).
  std::string text = GetString(section, key, "", 30, false);
  if (text.empty()) return static_cast<uint32_t>(default_value);
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint32_t base = 10;
  if (i + 1 < text.size() && text[i] == '0') {
    char marker = text[i + 1];
    if (marker == 'x' || marker == 'o' || marker == 'b') {
      base = marker == 'x' ? 16 : marker == 'o' ? 8 : 2;
      i += 2;
    }
  }
  uint32_t total = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'Z') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    total = total * base + digit;  // wraps modulo 2^32
  }
  return negative ? 0u - total : total;
}

}  // namespace

std::unique_ptr<ProfileFile> ProfileFile::Load(const std::string& path, bool* found) {
  std::string bytes;
  bool read = false;
  if (!path.empty()) {
    std::string full_path = HasFolderPart(path) ? path : JoinPath(WindowsDirectory(), path);
    read = ReadFileBytes(full_path, kMaxProfileBytes, &bytes);
  }
  if (found != nullptr) *found = read;
  if (!read) bytes.clear();
  return std::make_unique<ParsedProfile>(ToAnsiText(std::move(bytes)));
}

std::unique_ptr<ProfileFile> ProfileFile::FromText(const std::string& bytes) {
  return std::make_unique<ParsedProfile>(ToAnsiText(bytes));
}

}  // namespace platform
