// The result codes that the programs pass up, as messages give them: the
// code, its SDK name and its meaning in plain words, and what to do next.
#pragma once

#include <string>

#include "platform/hresult.h"

namespace platform {

// The SDK name of `result` ("S_OK", "STG_E_FILENOTFOUND"), or "" when it is
// not one of the codes of hresult.h.
const char* HResultName(HRESULT result);

// "0x80030002": the code alone, for where its name has no place.
std::string HResultHex(HRESULT result);

// "0x80030002 (STG_E_FILENOTFOUND: no such file or element)", or
// "0x80031234" for an unnamed code: how every message gives a result code.
std::string DescribeHResult(HRESULT result);

// "WHAT: " + DescribeHResult(result), then "; " and what to do next when
// something general helps ("check the path", "stop the suite ..."): the
// message of a failed storage call.
std::string FailureText(const std::string& what, HRESULT result);

// FailureText("cannot open PATH", result) for the open of a compound file,
// where some codes mean something narrower: STG_E_FILEALREADYEXISTS is
// "not a compound file" there.
std::string CannotOpenFile(const std::string& path, HRESULT result);

}  // namespace platform
