// The SDK names of the result codes that the programs pass up, for
// messages ("0x80030002 STG_E_FILENOTFOUND").
#pragma once

#include <string>

#include "platform/hresult.h"

namespace platform {

// The SDK name of `result` ("S_OK", "STG_E_FILENOTFOUND"), or "" when it is
// not one of the codes of hresult.h.
const char* HResultName(HRESULT result);

// "0x80030002": the code alone, as Rebolan's messages give it.
std::string HResultHex(HRESULT result);

// "0x80030002 (STG_E_FILENOTFOUND)", or "0x80031234" for an unnamed code:
// HResultHex with the SDK name, as Quarlen's and cfbtool's messages give it.
std::string DescribeHResult(HRESULT result);

}  // namespace platform
