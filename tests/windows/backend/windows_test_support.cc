// Helpers of the tests that run under Wine.
#include "tests/windows/backend/windows_test_support.h"

#include <cstdio>

#include "platform/hresult.h"  // windows.h

namespace windows_testing {
namespace {

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = folder + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

}  // namespace

TempFolder::TempFolder() {
  char base[MAX_PATH + 1] = {0};
  GetTempPathA(sizeof(base), base);
  std::string folder = base;
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  for (unsigned attempt = 0;; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof(name), "\\cnfwin%lu_%u", GetCurrentProcessId(), attempt);
    if (CreateDirectoryA((folder + name).c_str(), nullptr)) {
      path_ = folder + name;
      return;
    }
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::string ReadWholeFile(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::string();
  std::string bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string TestProgramFolder() {
  char self[MAX_PATH + 1] = {0};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path = self;
  return path.substr(0, path.find_last_of('\\'));
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace windows_testing
