// The registry file of the POSIX build: a text in the syntax that the
// Windows registry editor exports (.reg), read for one string value.
//
// Accepted: a first line "REGEDIT4" or "Windows Registry Editor Version
// 5.00"; the text in the ANSI code page (a UTF-8 byte-order mark is
// skipped) or, as version 5 files are written, in UTF-16LE with its mark,
// converted to the ANSI code page; "[key path]" lines, the path with or
// without a leading "HKEY_LOCAL_MACHINE\" (or "HKLM\"), matched without
// regard to case; "[-key path]" lines, whose values are ignored; "Name"=
// "value" and @="value" lines with the escapes \\ and \"; ';' comments.
// As when the file is imported, a later line for the same value replaces an
// earlier one, "Name"=- removes it, and a value of another type (dword:,
// hex:) is not a string.
#pragma once

#include <string>

namespace platform {

enum class RegistryLookup {
  kFound,
  kAbsent,          // no such key or value
  kNotRegistryFile  // the first line is not a registry file's header
};

// Looks up `value_name` ("" for the key's default value) of key `key_path`
// (below HKEY_LOCAL_MACHINE, e.g. "Software\Maker\Product") in the bytes of
// a registry file. On kFound, *value gets the value up to its first NUL.
// Takes time linear in the size of the file.
RegistryLookup FindRegistryString(const std::string& file_bytes, const std::string& key_path,
                                  const std::string& value_name, std::string* value);

}  // namespace platform
