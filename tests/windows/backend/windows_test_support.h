// Helpers of the tests that run under Wine: a temporary folder with
// Windows paths, whole-file reads and writes, and UTF-16 names.
#pragma once

#include <string>

namespace windows_testing {

// A fresh folder below GetTempPathA, removed with everything in it when the
// object dies. Paths use backslashes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);  // "" when missing
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The folder of windows_tests.exe (and windows_probe.exe beside it).
std::string TestProgramFolder();

// Whether Wine runs the tests (its ntdll exports wine_get_version): where
// Wine departs from Windows, tests expect Wine's answer under Wine only.
bool RunningUnderWine();

}  // namespace windows_testing
