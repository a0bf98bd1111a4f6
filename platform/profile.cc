// The profile (INI) reader: the file is parsed once into a hash index of
// its sections and keys, so that each lookup costs one hash probe whatever
// the size of the file.

#include "platform/profile.h"

#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

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

// The form under which names meet: ASCII letters upper-cased; a name
// holding other bytes is converted to UTF-16, folded with UpperCaseChar and
// written as UTF-8 (which gives the same bytes for an ASCII-only name, so a
// dotless i still meets an I).
void Normalize(const char* name, size_t length, std::string* out) {
  out->clear();
  bool ascii = true;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80) {
      ascii = false;
      break;
    }
    out->push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
  }
  if (ascii) return;
  out->clear();
  for (char16_t c : FoldedWide(std::string(name, length))) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | c >> 6));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xE0 | c >> 12));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

uint32_t HashName(uint32_t scope, const std::string& normalized) {
  uint32_t hash = 2166136261u ^ scope;  // FNV-1a
  for (unsigned char c : normalized) hash = (hash ^ c) * 16777619u;
  // Mixed so that the low bits, which pick the slot, depend on every bit.
  hash ^= hash >> 16;
  hash *= 0x85EBCA6Bu;
  hash ^= hash >> 13;
  hash *= 0xC2B2AE35u;
  hash ^= hash >> 16;
  return hash;
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
  static constexpr uint32_t kSectionScope = 0xFFFFFFFF;  // scope of section names
  static constexpr uint32_t kNoValue = 0xFFFFFFFF;       // a key line without '='
  static constexpr uint64_t kEmptySlot = ~uint64_t{0};

  // A section (scope kSectionScope, value_offset its number) or a key
  // (scope its section's number). Names and values point into text_, which
  // is at most 256 MiB, so 32-bit offsets do.
  struct Entry {
    uint32_t hash;
    uint32_t scope;
    uint32_t name_offset;
    uint32_t name_length;
    uint32_t value_offset;
    uint32_t value_length;
  };

  void Parse();
  void ParseLine(size_t begin, size_t end);
  // The entry of `normalized` in `scope`, or nullptr.
  const Entry* Find(uint32_t scope, const std::string& normalized, uint32_t hash) const;
  // Adds `entry` unless its name is in its scope already; returns the entry
  // that holds the name and whether it is the new one.
  const Entry& Insert(const Entry& entry, const std::string& normalized, bool* inserted);
  void Grow();
  const Entry* FindByName(uint32_t scope, const std::string& raw_name) const;

  std::string text_;
  std::vector<Entry> entries_;
  // Open addressing with linear probing, a power of 2 in size; a slot holds
  // an entry's hash (high half) and index (low half), so that probing past
  // other names touches no entry.
  std::vector<uint64_t> slots_;
  mutable std::string scratch_;  // the normalized name of an entry compared
  std::string normalized_;       // the name of the line being parsed
  uint32_t section_count_ = 0;
  // The section that key lines go to; none before the first header and in
  // a repeated section, whose keys are never found.
  bool in_section_ = false;
  uint32_t current_section_ = 0;
};

void ParsedProfile::Parse() {
  slots_.assign(64, kEmptySlot);
  // A line ends at any CR or LF; a run of them yields only empty lines,
  // which are skipped.
  size_t line_start = 0;
  for (size_t i = 0; i <= text_.size(); ++i) {
    if (i == text_.size() || text_[i] == '\r' || text_[i] == '\n') {
      ParseLine(line_start, i);
      line_start = i + 1;
    }
  }
  scratch_.shrink_to_fit();
  normalized_ = std::string();
}

void ParsedProfile::ParseLine(size_t begin, size_t end) {
  std::tie(begin, end) = Trim(text_, begin, end);
  if (begin == end) return;
  const char* line = text_.data() + begin;
  size_t length = end - begin;
  if (line[0] == '[') {
    size_t close = length - 1;
    while (close > 0 && line[close] != ']') --close;
    if (close > 0) {
      auto [name_begin, name_end] = Trim(text_, begin + 1, begin + close);
      Normalize(text_.data() + name_begin, name_end - name_begin, &normalized_);
      Entry entry = {HashName(kSectionScope, normalized_), kSectionScope,
                     static_cast<uint32_t>(name_begin), static_cast<uint32_t>(name_end - name_begin),
                     section_count_, 0};
      bool inserted = false;
      const Entry& held = Insert(entry, normalized_, &inserted);
      if (inserted) ++section_count_;
      in_section_ = inserted;  // only the first section of a name is searched
      current_section_ = held.value_offset;
      return;
    }
    // A '[' line without ']' is a key line of the current section.
  }
  if (!in_section_) return;  // lines before the first header are unreachable
  const void* equals = std::memchr(line, '=', length);
  size_t name_end = end;
  uint32_t value_offset = 0;
  uint32_t value_length = kNoValue;
  if (equals != nullptr) {
    name_end = begin + static_cast<size_t>(static_cast<const char*>(equals) - line);
    auto [value_begin, value_end] = Trim(text_, name_end + 1, end);
    value_offset = static_cast<uint32_t>(value_begin);
    value_length = static_cast<uint32_t>(value_end - value_begin);
  }
  auto [key_begin, key_end] = Trim(text_, begin, name_end);
  Normalize(text_.data() + key_begin, key_end - key_begin, &normalized_);
  Entry entry = {HashName(current_section_, normalized_), current_section_,
                 static_cast<uint32_t>(key_begin), static_cast<uint32_t>(key_end - key_begin),
                 value_offset, value_length};
  bool inserted = false;
  Insert(entry, normalized_, &inserted);  // the first one wins
}

const ParsedProfile::Entry* ParsedProfile::Find(uint32_t scope, const std::string& normalized,
                                                uint32_t hash) const {
  size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    uint64_t held = slots_[slot];
    if (held == kEmptySlot) return nullptr;
    if (static_cast<uint32_t>(held >> 32) != hash) continue;
    const Entry& entry = entries_[static_cast<uint32_t>(held)];
    if (entry.scope != scope) continue;
    Normalize(text_.data() + entry.name_offset, entry.name_length, &scratch_);
    if (scratch_ == normalized) return &entry;
  }
}

const ParsedProfile::Entry& ParsedProfile::Insert(const Entry& entry,
                                                  const std::string& normalized,
                                                  bool* inserted) {
  const Entry* held = Find(entry.scope, normalized, entry.hash);
  if (held != nullptr) {
    *inserted = false;
    return *held;
  }
  if ((entries_.size() + 1) * 2 > slots_.size()) Grow();
  size_t mask = slots_.size() - 1;
  size_t slot = entry.hash & mask;
  while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
  slots_[slot] = uint64_t{entry.hash} << 32 | entries_.size();
  entries_.push_back(entry);
  *inserted = true;
  return entries_.back();
}

void ParsedProfile::Grow() {
  slots_.assign(slots_.size() * 2, kEmptySlot);
  size_t mask = slots_.size() - 1;
  for (uint32_t index = 0; index < entries_.size(); ++index) {
    size_t slot = entries_[index].hash & mask;
    while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
    slots_[slot] = uint64_t{entries_[index].hash} << 32 | index;
  }
}

const ParsedProfile::Entry* ParsedProfile::FindByName(uint32_t scope,
                                                      const std::string& raw_name) const {
  // The names asked for are trimmed, then compared over their full length.
  auto [begin, end] = Trim(raw_name, 0, raw_name.size());
  std::string normalized;
  Normalize(raw_name.data() + begin, end - begin, &normalized);
  return Find(scope, normalized, HashName(scope, normalized));
}

std::string ParsedProfile::GetString(const std::string& section, const std::string& key,
                                     const std::string& default_value, uint32_t size,
                                     bool keep_quotes) const {
  if (size == 0) return std::string();
  std::string result;
  const Entry* found_section = FindByName(kSectionScope, section);
  const Entry* value = found_section == nullptr
                           ? nullptr
                           : FindByName(found_section->value_offset, key);
  if (value == nullptr || value->value_length == kNoValue) {
    // The default loses its trailing blanks (its leading ones stay).
    size_t end = default_value.size();
    while (end > 0 && default_value[end - 1] == ' ') --end;
    result = default_value.substr(0, end);
  } else {
    size_t offset = value->value_offset;
    size_t length = value->value_length;
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
    read = ReadWholeFile(full_path, kMaxProfileBytes, &bytes);
  }
  if (found != nullptr) *found = read;
  if (!read) bytes.clear();
  return std::make_unique<ParsedProfile>(ToAnsiText(std::move(bytes)));
}

std::unique_ptr<ProfileFile> ProfileFile::FromText(const std::string& bytes) {
  return std::make_unique<ParsedProfile>(ToAnsiText(bytes));
}

}  // namespace platform
