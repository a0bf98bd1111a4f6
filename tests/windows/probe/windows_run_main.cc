// A console program that the native tests start under Wine, because Wine's
// own exit status keeps only 8 bits: it runs the command line held in
// $CNF_RUN_COMMAND_LINE exactly as written (no quoting added), waits for it
// and prints its full 32-bit exit code as 8 hexadecimal digits. Exit 0 when
// the child ran, 2 when it could not be started.
//
// With $CNF_RUN_HOLD naming a compound file, it holds that file open
// (StgOpenStorage, share-exclusive) while the child runs, as another
// program holding the configuration would.
#include <cstdio>
#include <string>

#include <windows.h>
#include <objbase.h>

int main() {
  char command_line[32768];
  DWORD length = GetEnvironmentVariableA("CNF_RUN_COMMAND_LINE", command_line,
                                         sizeof(command_line));
  if (length == 0 || length >= sizeof(command_line)) {
    std::fprintf(stderr, "windows_run: $CNF_RUN_COMMAND_LINE is not set\n");
    return 2;
  }
  SetEnvironmentVariableA("CNF_RUN_COMMAND_LINE", nullptr);
  IStorage* held = nullptr;
  wchar_t hold[MAX_PATH];
  if (GetEnvironmentVariableW(L"CNF_RUN_HOLD", hold, MAX_PATH) > 0) {
    HRESULT hr = StgOpenStorage(hold, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr,
                                0, &held);
    if (FAILED(hr)) {
      std::fprintf(stderr, "windows_run: cannot hold the file: %08lX\n",
                   static_cast<unsigned long>(hr));
      return 2;
    }
    SetEnvironmentVariableA("CNF_RUN_HOLD", nullptr);
  }
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "windows_run: cannot start: %lu\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (held != nullptr) held->Release();
  std::printf("%08lX\n", static_cast<unsigned long>(code));
  return 0;
}
