// What the tests that run Windows programs under Wine share: the
// environment that scripts/test-windows.sh sets, Windows paths of Unix
// files, and the Wine prefix's temporary folder.
#pragma once

#include <string>

namespace wine_support {

// The value of an environment variable, "" when it is not set.
std::string Env(const char* name);

// The Windows path of a Unix path: Wine maps the Unix root to drive Z:.
std::string WinPath(const std::string& unix_path);

// The absolute path of wine: $CNF_WINE, else /usr/bin/wine.
std::string WineProgram();

// The Temp folder of the Wine prefix's user, as a Unix path; "" if none.
std::string WineTempFolder();

// The INI files (INI*.tmp) that Rebolan left in `folder`.
int CountTempIniFiles(const std::string& folder);

}  // namespace wine_support
