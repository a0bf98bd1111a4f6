// A console program on Windows (cfbtool.exe). In a file of its own, so that
// only the program that calls it imports SHELL32.dll (CommandLineToArgvW).
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "platform/hresult.h"  // windows.h
#include "platform/system.h"

#include <shellapi.h>

namespace platform {
namespace {

UINT code_page_before = 0;

void RestoreConsoleCodePage() { SetConsoleOutputCP(code_page_before); }

std::string Utf8Of(const wchar_t* wide) {
  const int length = static_cast<int>(wcslen(wide));
  if (length == 0) return std::string();
  int needed = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  needed = WideCharToMultiByte(CP_UTF8, 0, wide, length, &text[0], needed, nullptr, nullptr);
  text.resize(needed > 0 ? static_cast<size_t>(needed) : 0);
  return text;
}

}  // namespace

void UseConsole() {
  ReportOnStderr();
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);  // messages end with LF, as on POSIX
  // Without a console (output to a pipe or file) there is no code page to
  // change: the bytes go out as they are.
  const UINT now = GetConsoleOutputCP();
  if (now != 0 && now != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    code_page_before = now;
    std::atexit(RestoreConsoleCodePage);
  }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (wide == nullptr) {
    // No memory for the split: the arguments in the ANSI code page, which
    // is UTF-8 for ASCII text.
    for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
    return arguments;
  }
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8Of(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::string PathFromUtf8(const std::string& path) {
  if (path.empty()) return path;
  const int length = static_cast<int>(path.size());
  int needed = MultiByteToWideChar(CP_UTF8, 0, path.data(), length, nullptr, 0);
  if (needed <= 0) return path;
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  needed = MultiByteToWideChar(CP_UTF8, 0, path.data(), length, &wide[0], needed);
  wide.resize(needed > 0 ? static_cast<size_t>(needed) : 0);
  needed = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                               nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string narrow(static_cast<size_t>(needed), '\0');
  needed = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0],
                               needed, nullptr, nullptr);
  narrow.resize(needed > 0 ? static_cast<size_t>(needed) : 0);
  return narrow;
}

}  // namespace platform
