// Names of the result codes, listed once for every build.

#include "platform/hresult_names.h"

#include <cstdint>
#include <cstdio>

namespace platform {

namespace {

struct NamedResult {
  uint32_t value;
  const char* name;
};

constexpr NamedResult kNames[] = {
    {0x00000000, "S_OK"},
    {0x00000001, "S_FALSE"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x80070057, "E_INVALIDARG"},
    {0x80030001, "STG_E_INVALIDFUNCTION"},
    {0x80030002, "STG_E_FILENOTFOUND"},
    {0x80030003, "STG_E_PATHNOTFOUND"},
    {0x80030004, "STG_E_TOOMANYOPENFILES"},
    {0x80030005, "STG_E_ACCESSDENIED"},
    {0x80030006, "STG_E_INVALIDHANDLE"},
    {0x80030008, "STG_E_INSUFFICIENTMEMORY"},
    {0x80030009, "STG_E_INVALIDPOINTER"},
    {0x8003001D, "STG_E_WRITEFAULT"},
    {0x8003001E, "STG_E_READFAULT"},
    {0x80030020, "STG_E_SHAREVIOLATION"},
    {0x80030021, "STG_E_LOCKVIOLATION"},
    {0x80030050, "STG_E_FILEALREADYEXISTS"},
    {0x80030057, "STG_E_INVALIDPARAMETER"},
    {0x80030070, "STG_E_MEDIUMFULL"},
    {0x800300FB, "STG_E_INVALIDHEADER"},
    {0x800300FC, "STG_E_INVALIDNAME"},
    {0x800300FD, "STG_E_UNKNOWN"},
    {0x800300FF, "STG_E_INVALIDFLAG"},
    {0x80030102, "STG_E_REVERTED"},
    {0x80030104, "STG_E_OLDFORMAT"},
    {0x80030109, "STG_E_DOCFILECORRUPT"},
};

}  // namespace

const char* HResultName(HRESULT result) {
  for (const NamedResult& named : kNames) {
    if (named.value == static_cast<uint32_t>(result)) return named.name;
  }
  return "";
}

std::string HResultHex(HRESULT result) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(result)));
  return hex;
}

std::string DescribeHResult(HRESULT result) {
  std::string text = HResultHex(result);
  const char* name = HResultName(result);
  if (*name != '\0') text += std::string(" (") + name + ")";
  return text;
}

}  // namespace platform
