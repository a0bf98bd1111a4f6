// The version-616 configuration file: its fixed element names, the
// builder-wide path and user-area names, and the skeleton of a new file.
//
// Tree: "_Version_" (616 as 4 bytes), "_Zarin_" (password streams),
// "_Common_" (common tasks) holding "_ReadOnly_" (read-only tasks), and one
// storage per domain holding one storage per user (private tasks). Every
// element is opened with platform::kStorageMode (read-write, exclusive,
// direct, fail if there).
#pragma once

#include <cstdint>
#include <string>

namespace builder {

constexpr uint32_t kFormatVersion = 616;
constexpr char kVersionStreamName[] = "_Version_";
constexpr char kPasswordStorageName[] = "_Zarin_";
constexpr char kCommonStorageName[] = "_Common_";
constexpr char kReadOnlyStorageName[] = "_ReadOnly_";
constexpr char kDefaultDomainName[] = "VELOX";

// Builder-wide run state, kept across tasks, languages and INI files of one
// run. The conversion sets them; the storage operations read them. All are
// ANSI text of at most 259 characters; DomainName and UserName stay empty
// until the first private task is read.
extern std::string ConfigPath;
extern std::string DomainName;
extern std::string UserName;

// Creates a new configuration file at `path` with "_Version_" (616),
// "_Zarin_", "_Common_" holding "_ReadOnly_", and "VELOX". Returns true when
// all of it was created; false when any step failed (also when any file of
// that name exists, which is then left untouched). Elements created before
// a failed step stay in the file.
bool CreateSkeleton(const std::string& path);

}  // namespace builder
