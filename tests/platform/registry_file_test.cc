// The .reg reader: header, key matching, escapes, import order, encodings
// and malformed lines.

#include "platform/registry_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using platform::FindRegistryString;
using platform::RegistryLookup;

const char kKey[] = "Software\\ORMEK Software\\Torvi32";

std::string V5(const std::string& body) {
  return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

struct Case {
  const char* label;
  std::string file;
  const char* value_name;
  RegistryLookup expected;
  std::string expected_value;
};

TEST(RegistryFileTest, FindsStringValues) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\r\n";
  const Case cases[] = {
      {"version 5", V5(key + "\"CFG\"=\"C:\\\\a\\\\b.CNF\"\r\n"), "CFG", RegistryLookup::kFound,
       "C:\\a\\b.CNF"},
      {"REGEDIT4, LF lines", "REGEDIT4\n\n" + key + "\"CFG\"=\"/srv/t.CNF\"\n", "CFG",
       RegistryLookup::kFound, "/srv/t.CNF"},
      {"key without hive", V5("[Software\\ORMEK Software\\Torvi32]\n\"CFG\"=\"x\""), "CFG",
       RegistryLookup::kFound, "x"},
      {"HKLM short hive", V5("[HKLM\\Software\\ORMEK Software\\Torvi32]\n\"CFG\"=\"x\""), "CFG",
       RegistryLookup::kFound, "x"},
      {"key and name case", V5("[hkey_local_machine\\SOFTWARE\\ormek software\\TORVI32]\n"
                               "\"cfg\"=\"x\""),
       "CFG", RegistryLookup::kFound, "x"},
      {"escaped quote", V5(key + "\"CFG\"=\"a\\\"b\""), "CFG", RegistryLookup::kFound, "a\"b"},
      {"other backslash kept", V5(key + "\"CFG\"=\"a\\nb\""), "CFG", RegistryLookup::kFound,
       "a\\nb"},
      {"escaped name", V5(key + "\"C\\\"G\"=\"x\""), "C\"G", RegistryLookup::kFound, "x"},
      {"blanks around =", V5(key + "\"CFG\" = \"x\" "), "CFG", RegistryLookup::kFound, "x"},
      {"default value", V5(key + "@=\"d\""), "", RegistryLookup::kFound, "d"},
      {"empty value", V5(key + "\"CFG\"=\"\""), "CFG", RegistryLookup::kFound, ""},
      {"NUL ends value", V5(key + std::string("\"CFG\"=\"a\0b\"", 11)), "CFG",
       RegistryLookup::kFound, "a"},
      {"later line wins", V5(key + "\"CFG\"=\"1\"\n" + key + "\"CFG\"=\"2\""), "CFG",
       RegistryLookup::kFound, "2"},
      {"UTF-8 mark skipped", "\xEF\xBB\xBFREGEDIT4\n" + key + "\"CFG\"=\"x\"", "CFG",
       RegistryLookup::kFound, "x"},
      {"comment", V5(key + ";\"CFG\"=\"no\"\n\"CFG\"=\"yes\""), "CFG", RegistryLookup::kFound,
       "yes"},
      {"hex continuation", V5(key + "\"B\"=hex:00,\\\n  \"CFG\"=\"no\"\n\"CFG\"=\"yes\""), "CFG",
       RegistryLookup::kFound, "yes"},
      // Absent.
      {"other key", V5("[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"CFG\"=\"x\""), "CFG",
       RegistryLookup::kAbsent, ""},
      {"other hive", V5("[HKEY_CURRENT_USER\\Software\\ORMEK Software\\Torvi32]\n\"CFG\"=\"x\""),
       "CFG", RegistryLookup::kAbsent, ""},
      {"subkey", V5("[HKLM\\Software\\ORMEK Software\\Torvi32\\Sub]\n\"CFG\"=\"x\""), "CFG",
       RegistryLookup::kAbsent, ""},
      {"before any key", V5("\"CFG\"=\"x\"\n" + key), "CFG", RegistryLookup::kAbsent, ""},
      {"other value", V5(key + "\"CFG2\"=\"x\""), "CFG", RegistryLookup::kAbsent, ""},
      {"removed value", V5(key + "\"CFG\"=\"x\"\n\"CFG\"=-"), "CFG", RegistryLookup::kAbsent,
       ""},
      {"removed key", V5(key + "\"CFG\"=\"x\"\n[-HKLM\\Software\\ORMEK Software\\Torvi32]"),
       "CFG", RegistryLookup::kAbsent, ""},
      {"removed parent key", V5(key + "\"CFG\"=\"x\"\n[-HKEY_LOCAL_MACHINE\\Software]"), "CFG",
       RegistryLookup::kAbsent, ""},
      {"removed sibling key", V5(key + "\"CFG\"=\"x\"\n[-HKLM\\Software\\ORMEK]"), "CFG",
       RegistryLookup::kFound, "x"},
      {"broken key line ends the key", V5(key + "[Software\n\"CFG\"=\"x\""), "CFG",
       RegistryLookup::kAbsent, ""},
      {"removal line ends the key", V5(key + "[-HKLM\\Other]\n\"CFG\"=\"x\""), "CFG",
       RegistryLookup::kAbsent, ""},
      {"dword value", V5(key + "\"CFG\"=dword:00000001"), "CFG", RegistryLookup::kAbsent, ""},
      {"nothing after =", V5(key + "\"CFG\"=\"x\"\n\"CFG\"="), "CFG", RegistryLookup::kAbsent,
       ""},
      {"unterminated", V5(key + "\"CFG\"=\"x"), "CFG", RegistryLookup::kAbsent, ""},
      {"text after value", V5(key + "\"CFG\"=\"x\" y"), "CFG", RegistryLookup::kAbsent, ""},
      {"unterminated name", V5(key + "\"CFG=\"x\""), "CFG", RegistryLookup::kAbsent, ""},
      {"empty after header", "REGEDIT4", "CFG", RegistryLookup::kAbsent, ""},
      // Not a registry file.
      {"no header", key + "\"CFG\"=\"x\"", "CFG", RegistryLookup::kNotRegistryFile, ""},
      {"empty file", "", "CFG", RegistryLookup::kNotRegistryFile, ""},
      {"version 4 spelled", "Windows Registry Editor Version 4.00\n" + key + "\"CFG\"=\"x\"",
       "CFG", RegistryLookup::kNotRegistryFile, ""},
  };
  for (const Case& c : cases) {
    std::string value = "untouched";
    EXPECT_EQ(c.expected, FindRegistryString(c.file, kKey, c.value_name, &value)) << c.label;
    if (c.expected == RegistryLookup::kFound) {
      EXPECT_EQ(c.expected_value, value) << c.label;
    } else {
      EXPECT_EQ("untouched", value) << c.label;
    }
  }
}

TEST(RegistryFileTest, ReadsUtf16FilesAsRegeditWritesThem) {
  std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\r\n"
      u"\"CFG\"=\"C:\\\\Program files\\\\caf\u00e9\\\\Torvi32.CNF\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  std::string value;
  ASSERT_EQ(RegistryLookup::kFound, FindRegistryString(bytes, kKey, "CFG", &value));
  EXPECT_EQ("C:\\Program files\\caf\xE9\\Torvi32.CNF", value);  // in code page 1252
}

// Hostile files end in time linear in their size: no value is made up from
// them, and a value found in one is never longer than the file.
TEST(RegistryFileTest, HostileInputEndsCleanly) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\n";
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage.push_back(static_cast<char>((i * 131) & 0xFF));
  const std::string huge(1 << 20, 'a');
  const Case cases[] = {
      {"garbage", V5(garbage), "CFG", RegistryLookup::kAbsent, ""},
      {"open brackets", V5(std::string(1 << 20, '[')), "CFG", RegistryLookup::kAbsent, ""},
      {"backslash key", V5("[" + std::string(1 << 20, '\\') + "]"), "CFG",
       RegistryLookup::kAbsent, ""},
      {"quotes", V5(std::string(1 << 20, '"')), "CFG", RegistryLookup::kAbsent, ""},
      {"unclosed escapes", V5("\"" + std::string(1 << 20, '\\')), "CFG", RegistryLookup::kAbsent,
       ""},
      {"line feeds", V5(std::string(1 << 20, '\n')), "CFG", RegistryLookup::kAbsent, ""},
      {"quotes under the key", V5(key + std::string(1 << 20, '"')), "CFG",
       RegistryLookup::kAbsent, ""},
      {"unclosed value", V5(key + "\"CFG\"=\"" + huge), "CFG", RegistryLookup::kAbsent, ""},
      {"huge value", V5(key + "\"CFG\"=\"" + huge + "\""), "CFG", RegistryLookup::kFound, huge},
      {"mark and one byte", "\xFF\xFE\x00", "CFG", RegistryLookup::kNotRegistryFile, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string value = "untouched";
    const auto start = std::chrono::steady_clock::now();
    const RegistryLookup found = FindRegistryString(c.file, kKey, c.value_name, &value);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(found, c.expected);
    if (found == RegistryLookup::kFound) {
      EXPECT_EQ(value, c.expected_value);
      EXPECT_LE(value.size(), c.file.size());
    }
    // Linear work: a megabyte takes milliseconds; a quadratic pass would
    // take minutes.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 10);
  }
}

}  // namespace
