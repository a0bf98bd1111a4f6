#include "tests/windows/wine/wine_support.h"

#include <cstdlib>
#include <filesystem>

namespace wine_support {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string WinPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string WineProgram() { return Env("CNF_WINE").empty() ? "/usr/bin/wine" : Env("CNF_WINE"); }

std::string WineTempFolder() {
  std::error_code error;
  const std::filesystem::path users = std::filesystem::path(Env("WINEPREFIX")) / "drive_c/users";
  for (const auto& user : std::filesystem::directory_iterator(users, error)) {
    if (user.path().filename() == "Public") continue;
    for (const char* below : {"Temp", "AppData/Local/Temp"}) {  // Wine 8, later ones
      std::filesystem::path temp = user.path() / below;
      if (std::filesystem::is_directory(temp, error)) return temp.string();
    }
  }
  return "";
}

int CountTempIniFiles(const std::string& folder) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("INI", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp") {
      ++count;
    }
  }
  return count;
}

}  // namespace wine_support
