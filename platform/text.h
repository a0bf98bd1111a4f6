// Text in the system's ANSI code page and its conversions to and from the
// UTF-16 names of structured storage.
//
// The code page is GetACP() on Windows; on POSIX 1252 unless $TORVI32_ACP
// names another Windows code page (1250, 1251, 932, ...).
#pragma once

#include <string>

namespace platform {

// MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_USEGLYPHCHARS, ...).
// Bytes that the code page does not map become U+FFFD... never fails.
std::u16string AnsiToWide(const std::string& text);

// WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_SEPCHARS, ...); a
// character without a mapping becomes '?'.
std::string WideToAnsi(const std::u16string& text);

// lstrcmpiA(a, b) == 0: equal after conversion to UTF-16 and simple
// upper-case folding.
bool EqualNoCaseAnsi(const std::string& a, const std::string& b);

}  // namespace platform
