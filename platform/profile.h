// The profile (INI) reader used by the builder on both builds.
//
// It reads as GetPrivateProfileStringA / GetPrivateProfileIntA do on
// Windows: sections and keys match without regard to letter case, the first
// of duplicate sections and keys wins, blanks around names and values are
// dropped, a value comes back cut to buffer size - 1 characters, one pair of
// enclosing quotes is removed, and a bare file name is read from the Windows
// directory. A file is parsed once when it is loaded, not once per key.
// One reader serves one thread at a time (a lookup uses scratch space).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class ProfileFile {
 public:
  // Loads and parses `path` (a bare file name is taken from
  // WindowsDirectory()). A missing or unreadable file reads as an empty one;
  // *found (may be null) tells whether it was read.
  // A file larger than 256 MiB is refused as unreadable.
  static std::unique_ptr<ProfileFile> Load(const std::string& path, bool* found);

  // Parses the bytes of a profile file held in memory (tests, fuzzing).
  // Text larger than 256 MiB reads as an empty file, as Load refuses it.
  static std::unique_ptr<ProfileFile> FromText(const std::string& bytes);

  virtual ~ProfileFile() = default;

  // GetPrivateProfileStringA(section, key, default, buffer, size): at most
  // size - 1 characters ("" for size 0), ending at the first NUL. A missing
  // section or key, or a key line without '=', gives the default without
  // its trailing blanks. With keep_quotes, enclosing quotes stay on the
  // value (the builder reads its four list keys so).
  virtual std::string GetString(const std::string& section, const std::string& key,
                                const std::string& default_value, uint32_t size = 260,
                                bool keep_quotes = false) const = 0;

  // GetPrivateProfileIntA: the value as RtlUnicodeStringToInteger with base
  // 0 reads it, wrapping modulo 2^32; the default for an empty value.
  virtual uint32_t GetInt(const std::string& section, const std::string& key,
                          int32_t default_value) const = 0;

  // The text that was parsed: the file's bytes, or the text of a UTF-16
  // file in the ANSI code page.
  virtual const std::string& Text() const = 0;

  // The number of bytes read: the file's size (0 for a file that was not
  // read), or the size of the text given to FromText.
  virtual uint64_t SourceSize() const = 0;

  // The names of every section header, trimmed, in file order (a name
  // given twice is listed twice).
  virtual std::vector<std::string> SectionNames() const = 0;

  // The names of the key lines (with or without '=') of the first section
  // called `section`, trimmed, in file order; empty when there is none.
  virtual std::vector<std::string> KeyNames(const std::string& section) const = 0;

  // Where Text()[offset] lies: *section gets the name of the section whose
  // header or key line holds it, *key the key of that line ("" on a header
  // line); both "" for text outside every section.
  virtual void Locate(size_t offset, std::string* section, std::string* key) const = 0;
};

}  // namespace platform
