// The profile (INI) reader: the file is parsed once into a compact index
// of its sections and keys (offsets into the file's bytes, sorted by name
// hash), so that a lookup costs two binary searches whatever the size of
// the file, and the index costs less memory than the text it indexes.

#include "platform/profile.h"

#include <algorithm>
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
  std::string ansi;
  if (DecodeMarkedUtf16Le(bytes, &ansi)) return ansi;
  return bytes;
}

char FoldAscii(unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); }

bool IsAscii(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

// The form under which names meet: ASCII letters upper-cased; a name
// holding other bytes is converted to UTF-16, folded with UpperCaseChar and
// written as UTF-8 (which gives the same bytes for an ASCII-only name, so a
// dotless i still meets an I).
void Normalize(const char* name, size_t length, std::string* out) {
  if (IsAscii(name, length)) {
    out->assign(name, length);
    for (char& c : *out) c = FoldAscii(static_cast<unsigned char>(c));
    return;
  }
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

constexpr uint32_t kHashSeed = 2166136261u;  // FNV-1a

uint32_t HashStep(uint32_t hash, unsigned char c) { return (hash ^ c) * 16777619u; }

// Mixed so that every bit of the name reaches every bit of the hash.
uint32_t HashFinish(uint32_t hash) {
  hash ^= hash >> 16;
  hash *= 0x85EBCA6Bu;
  hash ^= hash >> 13;
  hash *= 0xC2B2AE35u;
  hash ^= hash >> 16;
  return hash;
}

uint32_t HashNormalized(const std::string& normalized) {
  uint32_t hash = kHashSeed;
  for (unsigned char c : normalized) hash = HashStep(hash, c);
  return HashFinish(hash);
}

// HashNormalized of the name's normalized form; an ASCII name is hashed as
// it is folded, without a copy. `scratch` holds the form of other names.
uint32_t HashName(const char* name, size_t length, std::string* scratch) {
  uint32_t hash = kHashSeed;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80) {
      Normalize(name, length, scratch);
      return HashNormalized(*scratch);
    }
    hash = HashStep(hash, static_cast<unsigned char>(FoldAscii(c)));
  }
  return HashFinish(hash);
}

// The number of lines that hold something other than blanks: an upper
// bound of the key lines, so that the key index is allocated once.
size_t CountFilledLines(const std::string& text) {
  size_t count = 0;
  bool at_line_start = true;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      at_line_start = true;
    } else if (!IsProfileSpace(c)) {
      count += at_line_start;
      at_line_start = false;
    }
  }
  return count;
}

// The file's bytes are kept once; the index holds only offsets into them.
// Sections are kept in one array sorted by name hash. Each section's key
// lines are one run of the key array (a section's lines follow its header),
// sorted by name hash, so that a lookup is two binary searches. Costs per
// line: 12 bytes per key line, 20 per header.
class ParsedProfile : public ProfileFile {
 public:
  ParsedProfile(std::string text, uint64_t source_size)
      : text_(std::move(text)), source_size_(source_size) {
    Parse();
  }

  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, uint32_t size,
                        bool keep_quotes) const override;
  uint32_t GetInt(const std::string& section, const std::string& key,
                  int32_t default_value) const override;
  const std::string& Text() const override { return text_; }
  uint64_t SourceSize() const override { return source_size_; }
  std::vector<std::string> SectionNames() const override;
  std::vector<std::string> KeyNames(const std::string& section) const override;
  void Locate(size_t offset, std::string* section, std::string* key) const override;

 private:
  // Offsets into text_, which is at most 256 MiB, so 32 bits do.
  struct Section {
    uint32_t hash;         // of the normalized name
    uint32_t name_offset;  // trimmed name inside the brackets
    uint32_t name_length;
    uint32_t first_key;    // its run of keys_
    uint32_t key_count;
  };
  // A key line, trimmed at both ends; it starts with the key's name. The
  // name and the value are found again in the line when the key is asked
  // for, which keeps the index small.
  struct Key {
    uint32_t hash;  // of the normalized name
    uint32_t line_offset;
    uint32_t line_length;
  };
  // Where a found key's value lies in text_.
  struct Value {
    bool present;  // false for a key line without '='
    size_t offset;
    size_t length;
  };

  void Parse();
  void ParseLine(size_t begin, size_t end);
  // Sorts the keys of the last section read, the first of equal hashes first.
  void CloseSection();
  // The sections in file order.
  std::vector<const Section*> SectionsInFileOrder() const;
  // The trimmed name of the key line `key`.
  std::string KeyName(const Key& key) const;
  // Whether the normalized name at text_[offset, offset + length) is
  // `normalized`.
  bool NameIs(size_t offset, size_t length, const std::string& normalized) const;
  // Trims `name` and puts its normalized form into query_; returns its hash.
  uint32_t NormalizeQuery(const std::string& name) const;
  // The first section named `name` in the file, or nullptr.
  const Section* FindSection(const std::string& name) const;
  // The value of the first key line named `name` in `section`; false when
  // there is none.
  bool FindKey(const Section& section, const std::string& name, Value* value) const;

  std::string text_;
  uint64_t source_size_;
  std::vector<Section> sections_;
  std::vector<Key> keys_;
  mutable std::string scratch_;  // the normalized name of a line compared
  mutable std::string query_;    // the normalized name asked for
  // The section asked for last, as asked for, and what was found.
  mutable bool has_last_section_ = false;
  mutable std::string last_section_name_;
  mutable const Section* last_section_ = nullptr;
  std::string normalized_;       // the name of the line being parsed
  // Key lines are kept only after a header: lines before the first one are
  // unreachable.
  bool in_section_ = false;
};

void ParsedProfile::Parse() {
  if (text_.size() > kMaxProfileBytes) return;  // offsets would not fit
  keys_.reserve(CountFilledLines(text_));
  // A line ends at any CR or LF; a run of them yields only empty lines,
  // which are skipped.
  size_t line_start = 0;
  for (size_t i = 0; i <= text_.size(); ++i) {
    if (i == text_.size() || text_[i] == '\r' || text_[i] == '\n') {
      ParseLine(line_start, i);
      line_start = i + 1;
    }
  }
  CloseSection();
  // Sections of equal hash stay in file order, so that the first section of
  // a name is the one found.
  std::sort(sections_.begin(), sections_.end(), [](const Section& a, const Section& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.name_offset < b.name_offset;
  });
  normalized_ = std::string();
}

void ParsedProfile::CloseSection() {
  if (sections_.empty()) return;
  Section& last = sections_.back();
  last.key_count = static_cast<uint32_t>(keys_.size() - last.first_key);
  std::sort(keys_.begin() + last.first_key, keys_.end(), [](const Key& a, const Key& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.line_offset < b.line_offset;
  });
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
      CloseSection();
      auto [name_begin, name_end] = Trim(text_, begin + 1, begin + close);
      uint32_t hash = HashName(text_.data() + name_begin, name_end - name_begin, &normalized_);
      sections_.push_back({hash, static_cast<uint32_t>(name_begin),
                           static_cast<uint32_t>(name_end - name_begin),
                           static_cast<uint32_t>(keys_.size()), 0});
      in_section_ = true;
      return;
    }
    // A '[' line without ']' is a key line of the current section.
  }
  if (!in_section_) return;
  const void* equals = std::memchr(line, '=', length);
  size_t name_end = equals == nullptr ? end : static_cast<const char*>(equals) - text_.data();
  name_end = Trim(text_, begin, name_end).second;
  keys_.push_back({HashName(line, name_end - begin, &normalized_), static_cast<uint32_t>(begin),
                   static_cast<uint32_t>(length)});
}

bool ParsedProfile::NameIs(size_t offset, size_t length, const std::string& normalized) const {
  const char* name = text_.data() + offset;
  if (!IsAscii(name, length)) {
    Normalize(name, length, &scratch_);
    return scratch_ == normalized;
  }
  if (length != normalized.size()) return false;
  for (size_t i = 0; i < length; ++i) {
    if (FoldAscii(static_cast<unsigned char>(name[i])) != normalized[i]) return false;
  }
  return true;
}

uint32_t ParsedProfile::NormalizeQuery(const std::string& name) const {
  // The names asked for are trimmed, then compared over their full length.
  auto [begin, end] = Trim(name, 0, name.size());
  Normalize(name.data() + begin, end - begin, &query_);
  return HashNormalized(query_);
}

const ParsedProfile::Section* ParsedProfile::FindSection(const std::string& name) const {
  // The builder asks for many keys of one section in a row.
  if (has_last_section_ && name == last_section_name_) return last_section_;
  uint32_t hash = NormalizeQuery(name);
  const Section* found = nullptr;
  auto it = std::lower_bound(sections_.begin(), sections_.end(), hash,
                             [](const Section& s, uint32_t h) { return s.hash < h; });
  for (; it != sections_.end() && it->hash == hash; ++it) {
    if (NameIs(it->name_offset, it->name_length, query_)) {
      found = &*it;
      break;
    }
  }
  last_section_name_ = name;
  last_section_ = found;
  has_last_section_ = true;
  return found;
}

bool ParsedProfile::FindKey(const Section& section, const std::string& name,
                            Value* value) const {
  uint32_t hash = NormalizeQuery(name);
  auto first = keys_.begin() + section.first_key;
  auto last = first + section.key_count;
  auto it = std::lower_bound(first, last, hash,
                             [](const Key& k, uint32_t h) { return k.hash < h; });
  for (; it != last && it->hash == hash; ++it) {
    size_t line_begin = it->line_offset;
    size_t line_end = line_begin + it->line_length;
    const void* equals = std::memchr(text_.data() + line_begin, '=', it->line_length);
    size_t name_end = equals == nullptr
                          ? line_end
                          : static_cast<const char*>(equals) - text_.data();
    size_t value_begin = name_end + 1;
    name_end = Trim(text_, line_begin, name_end).second;
    if (!NameIs(line_begin, name_end - line_begin, query_)) continue;
    // The first line of the name wins, with or without a value.
    value->present = equals != nullptr;
    if (value->present) {
      auto [trimmed_begin, trimmed_end] = Trim(text_, value_begin, line_end);
      value->offset = trimmed_begin;
      value->length = trimmed_end - trimmed_begin;
    }
    return true;
  }
  return false;
}

std::string ParsedProfile::GetString(const std::string& section, const std::string& key,
                                     const std::string& default_value, uint32_t size,
                                     bool keep_quotes) const {
  if (size == 0) return std::string();
  std::string result;
  const Section* found_section = FindSection(section);
  Value value = {false, 0, 0};
  if (found_section == nullptr || !FindKey(*found_section, key, &value) || !value.present) {
    // The default loses its trailing blanks (its leading ones stay).
    size_t end = default_value.size();
    while (end > 0 && default_value[end - 1] == ' ') --end;
    result = default_value.substr(0, std::min<size_t>(end, size - 1));
  } else {
    size_t offset = value.offset;
    size_t length = value.length;
    char first = length > 0 ? text_[offset] : '\0';
    if (!keep_quotes && length >= 2 && (first == '"' || first == '\'') &&
        text_[offset + length - 1] == first) {
      ++offset;
      length -= 2;
    }
    // Only what fits the buffer is copied.
    result = text_.substr(offset, std::min<size_t>(length, size - 1));
  }
  // The caller sees a NUL-terminated text: it ends at the first NUL.
  size_t nul = result.find('\0');
  if (nul != std::string::npos) result.resize(nul);
  return result;
}

std::vector<const ParsedProfile::Section*> ParsedProfile::SectionsInFileOrder() const {
  std::vector<const Section*> order;
  order.reserve(sections_.size());
  for (const Section& s : sections_) order.push_back(&s);
  std::sort(order.begin(), order.end(),
            [](const Section* a, const Section* b) { return a->name_offset < b->name_offset; });
  return order;
}

std::string ParsedProfile::KeyName(const Key& key) const {
  const void* equals = std::memchr(text_.data() + key.line_offset, '=', key.line_length);
  size_t name_end = equals == nullptr ? key.line_offset + key.line_length
                                      : static_cast<const char*>(equals) - text_.data();
  name_end = Trim(text_, key.line_offset, name_end).second;
  return text_.substr(key.line_offset, name_end - key.line_offset);
}

std::vector<std::string> ParsedProfile::SectionNames() const {
  std::vector<std::string> names;
  for (const Section* s : SectionsInFileOrder()) {
    names.push_back(text_.substr(s->name_offset, s->name_length));
  }
  return names;
}

std::vector<std::string> ParsedProfile::KeyNames(const std::string& section) const {
  std::vector<std::string> names;
  const Section* found = FindSection(section);
  if (found == nullptr) return names;
  std::vector<Key> lines(keys_.begin() + found->first_key,
                         keys_.begin() + found->first_key + found->key_count);
  std::sort(lines.begin(), lines.end(),
            [](const Key& a, const Key& b) { return a.line_offset < b.line_offset; });
  for (const Key& k : lines) names.push_back(KeyName(k));
  return names;
}

void ParsedProfile::Locate(size_t offset, std::string* section, std::string* key) const {
  section->clear();
  key->clear();
  // The section is the last one whose header begins before `offset`.
  const Section* owner = nullptr;
  for (const Section* s : SectionsInFileOrder()) {
    if (s->name_offset > offset + 1) break;  // the '[' stands before the name
    owner = s;
  }
  if (owner == nullptr) return;
  auto first = keys_.begin() + owner->first_key;
  for (auto it = first; it != first + owner->key_count; ++it) {
    if (offset >= it->line_offset && offset < it->line_offset + it->line_length) {
      *key = KeyName(*it);
      break;
    }
  }
  // Text between the lines (a line before the first key, say) counts as the
  // section's too; a line that is neither a header nor a key holds nothing.
  *section = text_.substr(owner->name_offset, owner->name_length);
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
  const uint64_t size = bytes.size();
  return std::make_unique<ParsedProfile>(ToAnsiText(std::move(bytes)), size);
}

std::unique_ptr<ProfileFile> ProfileFile::FromText(const std::string& bytes) {
  return std::make_unique<ParsedProfile>(ToAnsiText(bytes), bytes.size());
}

}  // namespace platform
