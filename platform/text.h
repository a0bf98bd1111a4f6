// Text in the system's ANSI code page and its conversions to and from the
// UTF-16 names of structured storage.
//
// The code page is GetACP() on Windows; on POSIX 1252 unless $TORVI32_ACP
// names another Windows code page (1250, 1251, 932, ...).
#pragma once

#include <string>

#include "platform/upper_case.h"  // UpperCaseChar: the fold of EqualNoCaseAnsi

namespace platform {

// MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_USEGLYPHCHARS, ...).
// Never fails: in a single-byte code page a byte without a character of its
// own becomes the control character of the same number (as Windows does for
// 0x81 in 1252); an invalid double-byte sequence becomes U+FFFD.
std::u16string AnsiToWide(const std::string& text);

// WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_SEPCHARS, ...); a
// character without a mapping becomes '?'.
std::string WideToAnsi(const std::u16string& text);

// lstrcmpiA(a, b) == 0: equal after conversion to UTF-16 and simple
// upper-case folding.
bool EqualNoCaseAnsi(const std::string& a, const std::string& b);

// `text` converted with AnsiToWide and folded with UpperCaseChar: a key
// under which names equal by EqualNoCaseAnsi's rule meet.
std::u16string FoldedWide(const std::string& text);

// The text of a file that begins with the UTF-16LE byte-order mark, decoded
// and converted with WideToAnsi (an odd last byte is dropped). Returns
// false, *ansi untouched, when `bytes` does not begin with the mark.
bool DecodeMarkedUtf16Le(const std::string& bytes, std::string* ansi);

// Whether `byte` starts a two-byte character in the ANSI code page
// (IsDBCSLeadByte); always false in single-byte code pages.
bool IsAnsiLeadByte(unsigned char byte);

}  // namespace platform
