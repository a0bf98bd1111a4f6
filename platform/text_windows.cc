// Text conversions of the Windows build: the system's ANSI code page
// (GetACP) through MultiByteToWideChar and WideCharToMultiByte.
#include "platform/text.h"

#include "platform/hresult.h"  // windows.h

namespace platform {

std::u16string AnsiToWide(const std::string& text) {
  if (text.empty()) return std::u16string();
  const DWORD flags = MB_PRECOMPOSED | MB_USEGLYPHCHARS;  // 5
  const int length = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(CP_ACP, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::u16string();
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  needed = MultiByteToWideChar(CP_ACP, flags, text.data(), length,
                               reinterpret_cast<wchar_t*>(&wide[0]), needed);
  wide.resize(needed > 0 ? static_cast<size_t>(needed) : 0);
  return wide;
}

std::string WideToAnsi(const std::u16string& text) {
  if (text.empty()) return std::string();
  const DWORD flags = WC_COMPOSITECHECK | WC_SEPCHARS;  // 0x220
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  int needed = WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string narrow(static_cast<size_t>(needed), '\0');
  needed = WideCharToMultiByte(CP_ACP, flags, wide, length, &narrow[0], needed, nullptr,
                               nullptr);
  narrow.resize(needed > 0 ? static_cast<size_t>(needed) : 0);
  return narrow;
}

bool EqualNoCaseAnsi(const std::string& a, const std::string& b) {
  return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

unsigned AnsiCodePage() { return GetACP(); }

bool AnsiCodePageIsDoubleByte() {
  CPINFO info;
  return GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1;
}

std::string PathToUtf8(const std::string& path) { return WideToUtf8(AnsiToWide(path)); }

}  // namespace platform
