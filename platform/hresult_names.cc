// Names of the result codes, listed once for every build.

#include "platform/hresult_names.h"

#include <cstdint>
#include <cstdio>

namespace platform {

namespace {

struct NamedResult {
  uint32_t value;
  const char* name;
  const char* meaning;  // in plain words, as a user reads it
  const char* advice;   // what to do next; "" when nothing general helps
  // What it means, and what to do, when the open of a file gives it; null
  // when the same as above.
  const char* open_meaning = nullptr;
  const char* open_advice = nullptr;
};

constexpr char kCheckPath[] = "check the path";
constexpr char kNotConfiguration[] =
    "check that the path names a configuration file (a compound file)";
constexpr char kStopHolder[] =
    "stop the suite (or the program that has the file open) and run again";
constexpr char kProgramFault[] = "this is a fault of the program: please report it";

constexpr NamedResult kNames[] = {
    {0x00000000, "S_OK", "success", ""},
    {0x00000001, "S_FALSE", "success", ""},
    {0x8007000E, "E_OUTOFMEMORY", "out of memory", "close other programs and run again"},
    {0x80070057, "E_INVALIDARG", "an invalid argument", kProgramFault},
    {0x80030001, "STG_E_INVALIDFUNCTION", "an invalid call", kProgramFault},
    {0x80030002, "STG_E_FILENOTFOUND", "no such file or element", kCheckPath},
    {0x80030003, "STG_E_PATHNOTFOUND", "no such folder", kCheckPath},
    {0x80030004, "STG_E_TOOMANYOPENFILES", "too many open files", "close other programs and run again"},
    {0x80030005, "STG_E_ACCESSDENIED", "access denied",
     "run as a user who may write the file and its folder (on Windows, as administrator)"},
    {0x80030006, "STG_E_INVALIDHANDLE", "an invalid handle", kProgramFault},
    {0x80030008, "STG_E_INSUFFICIENTMEMORY", "out of memory", "close other programs and run again"},
    {0x80030009, "STG_E_INVALIDPOINTER", "an invalid pointer", kProgramFault},
    {0x8003001D, "STG_E_WRITEFAULT", "the disk could not be written", "check the disk"},
    {0x8003001E, "STG_E_READFAULT", "the disk could not be read", "check the disk"},
    {0x80030020, "STG_E_SHAREVIOLATION", "another program has the file open", kStopHolder},
    {0x80030021, "STG_E_LOCKVIOLATION", "another program has locked the file", kStopHolder},
    {0x80030050, "STG_E_FILEALREADYEXISTS", "a file or element of that name exists already", "",
     "not a compound file", kNotConfiguration},
    {0x80030057, "STG_E_INVALIDPARAMETER", "an invalid parameter", kProgramFault},
    {0x80030070, "STG_E_MEDIUMFULL", "the disk is full", "free space on the disk and run again"},
    {0x800300FB, "STG_E_INVALIDHEADER", "not a compound file (its header is not valid)",
     kNotConfiguration},
    {0x800300FC, "STG_E_INVALIDNAME", "a name the compound file format cannot hold", ""},
    {0x800300FD, "STG_E_UNKNOWN", "an unexpected failure", ""},
    {0x800300FF, "STG_E_INVALIDFLAG", "an invalid open mode", kProgramFault},
    {0x80030102, "STG_E_REVERTED", "the file was closed while in use", ""},
    {0x80030104, "STG_E_OLDFORMAT", "not of the version this program works on",
     kNotConfiguration},
    {0x80030109, "STG_E_DOCFILECORRUPT", "the compound file is damaged",
     "restore it from a copy; cfbtool check FILE lists the damage"},
};

const NamedResult* Find(HRESULT result) {
  for (const NamedResult& named : kNames) {
    if (named.value == static_cast<uint32_t>(result)) return &named;
  }
  return nullptr;
}

}  // namespace

const char* HResultName(HRESULT result) {
  const NamedResult* named = Find(result);
  return named ? named->name : "";
}

std::string HResultHex(HRESULT result) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(result)));
  return hex;
}

std::string DescribeHResult(HRESULT result) {
  std::string text = HResultHex(result);
  if (const NamedResult* named = Find(result)) {
    text += std::string(" (") + named->name + ": " + named->meaning + ")";
  }
  return text;
}

namespace {

std::string Describe(HRESULT result, bool file_open) {
  std::string text = HResultHex(result);
  const NamedResult* named = Find(result);
  if (!named) return text;
  const char* meaning = file_open && named->open_meaning ? named->open_meaning : named->meaning;
  const char* advice = file_open && named->open_advice ? named->open_advice : named->advice;
  text += std::string(" (") + named->name + ": " + meaning + ")";
  if (*advice != '\0') text += std::string("; ") + advice;
  return text;
}

}  // namespace

std::string FailureText(const std::string& what, HRESULT result) {
  return what + ": " + Describe(result, false);
}

std::string CannotOpenFile(const std::string& path, HRESULT result) {
  return "cannot open " + path + ": " + Describe(result, true);
}

}  // namespace platform
