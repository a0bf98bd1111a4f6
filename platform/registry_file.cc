// The .reg file reader: one pass over the lines, remembering the last
// setting of the value asked for.

#include "platform/registry_file.h"

#include <cstddef>

#include "platform/text.h"

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimBlanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualNoCaseAnsi(text.substr(0, prefix.size()), prefix);
}

// The text of the file in the ANSI code page.
std::string DecodeFile(const std::string& bytes) {
  std::string ansi;
  if (DecodeMarkedUtf16Le(bytes, &ansi)) return ansi;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  return bytes;
}

// Reads a quoted text starting at text[*pos] == '"', undoing \\ and \"
// (any other backslash stays as written). Returns false when the closing
// quote is missing; else *pos is just past it.
bool ReadQuoted(const std::string& text, size_t* pos, std::string* out) {
  out->clear();
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      c = text[++i];
    }
    out->push_back(c);
  }
  return false;
}

// A key path without its leading "HKEY_LOCAL_MACHINE\" or "HKLM\"; a path
// of another hive stays as written and so never matches a request.
std::string KeyBelowLocalMachine(const std::string& path) {
  for (const char* prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (StartsWithNoCase(path, prefix)) return path.substr(std::string(prefix).size());
  }
  return path;
}

// What one line of a registry file says, its blanks trimmed.
struct RegistryLine {
  enum Kind {
    kOther,       // a comment, or a line that says nothing (also a malformed value line)
    kKey,         // "[path]": the values below are the key's
    kNotAKey,     // begins with "[" but is no key line: the key before it ends
    kRemovedKey,  // "[-path]": the key and its subkeys are removed
    kValue,       // "Name"=data or @=data
  };
  Kind kind = kOther;
  std::string key;         // kKey, kRemovedKey: the path below HKEY_LOCAL_MACHINE
  std::string name;        // kValue: "" for the key's default value
  bool is_string = false;  // kValue: the data is a string, not "-" or another type
  std::string text;        // kValue: the string
  bool continued = false;  // kValue of another type: its data goes on in the next line
};

// Reads one line that is not empty and not a continuation.
RegistryLine ReadLine(const std::string& line) {
  RegistryLine read;
  if (line[0] == ';') return read;
  if (line[0] == '[') {
    if (line.back() != ']' || line.size() < 2) {
      read.kind = RegistryLine::kNotAKey;
    } else if (line[1] == '-') {
      read.kind = RegistryLine::kRemovedKey;
      read.key = KeyBelowLocalMachine(line.substr(2, line.size() - 3));
    } else {
      read.kind = RegistryLine::kKey;
      read.key = KeyBelowLocalMachine(line.substr(1, line.size() - 2));
    }
    return read;
  }
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (line[0] != '"' || !ReadQuoted(line, &pos, &read.name)) {
    return read;
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return read;
  ++pos;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const std::string data = line.substr(pos);
  read.is_string = !data.empty() && data[0] == '"';
  if (read.is_string) {
    size_t end = 0;
    if (!ReadQuoted(data, &end, &read.text) || !TrimBlanks(data.substr(end)).empty()) {
      return RegistryLine();  // malformed: the line is passed over
    }
  } else {
    read.continued = !data.empty() && data.back() == '\\';
  }
  read.kind = RegistryLine::kValue;
  return read;
}

// Whether removing the key `removed` removes the key `wanted`: the same
// key or one of its subkeys.
bool RemovesKey(const std::string& removed, const std::string& wanted) {
  return EqualNoCaseAnsi(removed, wanted) ||
         (wanted.size() > removed.size() && wanted[removed.size()] == '\\' &&
          StartsWithNoCase(wanted, removed));
}

}  // namespace

RegistryLookup FindRegistryString(const std::string& file_bytes, const std::string& key_path,
                                  const std::string& value_name, std::string* value) {
  std::string text = DecodeFile(file_bytes);
  bool header_seen = false;
  bool in_key = false;
  bool continuation = false;  // the previous line of a hex value ended in '\'
  bool found = false;
  std::string found_value;
  std::string wanted_key = KeyBelowLocalMachine(key_path);

  size_t line_start = 0;
  while (line_start <= text.size()) {
    size_t line_end = text.find_first_of("\r\n", line_start);
    if (line_end == std::string::npos) line_end = text.size();
    std::string line = TrimBlanks(text.substr(line_start, line_end - line_start));
    line_start = line_end + 1;

    bool was_continuation = continuation;
    continuation = false;
    if (line.empty()) continue;
    if (!header_seen) {
      if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00") {
        return RegistryLookup::kNotRegistryFile;
      }
      header_seen = true;
      continue;
    }
    if (was_continuation) {
      continuation = line.back() == '\\';
      continue;
    }
    const RegistryLine read = ReadLine(line);
    switch (read.kind) {
      case RegistryLine::kOther:
        break;
      case RegistryLine::kKey:
        in_key = EqualNoCaseAnsi(read.key, wanted_key);
        break;
      case RegistryLine::kNotAKey:
        in_key = false;
        break;
      case RegistryLine::kRemovedKey:
        // Removing a key removes its values and its subkeys.
        in_key = false;
        if (RemovesKey(read.key, wanted_key)) found = false;
        break;
      case RegistryLine::kValue:
        continuation = read.continued;
        if (in_key && EqualNoCaseAnsi(read.name, value_name)) {
          // The last setting counts; "-" and other types leave no string value.
          found = read.is_string;
          found_value = read.text;
        }
        break;
    }
  }
  if (!header_seen) return RegistryLookup::kNotRegistryFile;
  if (!found) return RegistryLookup::kAbsent;
  size_t nul = found_value.find('\0');
  if (nul != std::string::npos) found_value.resize(nul);
  *value = found_value;
  return RegistryLookup::kFound;
}

}  // namespace platform
