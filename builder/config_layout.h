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
#include <functional>
#include <memory>
#include <string>

#include "builder/task_record.h"
#include "platform/hresult.h"
#include "platform/storage.h"

namespace builder {

constexpr uint32_t kFormatVersion = 616;
constexpr char kVersionStreamName[] = "_Version_";
constexpr char kPasswordStorageName[] = "_Zarin_";
constexpr char kCommonStorageName[] = "_Common_";
constexpr char kReadOnlyStorageName[] = "_ReadOnly_";
constexpr char kDefaultDomainName[] = "VELOX";
// The password streams in "_Zarin_": the main password (a count and the
// scrambled bytes) and the second password.
constexpr char kMainPasswordStreamName[] = "cc012";
constexpr char kSecondPasswordStreamName[] = "ro012";


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

// Reads the number that "_Version_" of `root` holds (its first 4 bytes,
// little-endian). Returns S_OK with *number set; S_FALSE when the stream
// holds fewer than 4 bytes; STG_E_FILENOTFOUND when there is no such
// stream; or the failed open or read.
HRESULT ReadVersionNumber(platform::Storage* root, uint32_t* number);

// The place of a task area in messages: "_Common_/_ReadOnly_", "_Common_"
// or "domain/user".
std::string AreaPlace(uint32_t area_bits, const std::string& domain, const std::string& user);

// A task area in words: "common area", "read-only area", "user area ALPHA/ann".
std::string AreaWords(uint32_t area_bits, const std::string& domain, const std::string& user);

// The place of the second password in messages: "_Zarin_/ro012".
std::string SecondPasswordPlace();

// One step down a task area: opens (or creates) the storage `name` (ANSI
// text) in `parent`; `user_area` tells a domain or user storage from a
// common one.
using AreaStep = std::function<HRESULT(platform::Storage* parent, const std::string& name,
                                       bool user_area, std::unique_ptr<platform::Storage>* out)>;

// Takes `step` down from `root` to the area of `area_bits`: "_ReadOnly_" in
// "_Common_" when IsReadOnly is set, else "_Common_" when IsShared is set,
// else the storage `user` in the storage `domain`. *outer gets "_Common_" or the domain (none for the
// shared area), *target the storage that holds the task streams. Returns
// S_OK or the first failed step's HRESULT.
HRESULT OpenAreaStorages(platform::Storage* root, uint32_t area_bits, const std::string& domain,
                         const std::string& user, const AreaStep& step,
                         std::unique_ptr<platform::Storage>* outer,
                         std::unique_ptr<platform::Storage>* target);

// A step that only opens: an area that is not there is STG_E_FILENOTFOUND.
HRESULT OpenAreaStep(platform::Storage* parent, const std::string& name, bool user_area,
                     std::unique_ptr<platform::Storage>* out);

// A step that creates what it cannot open: a domain or user storage only
// when it is missing (STG_E_FILENOTFOUND), a common storage after any
// failed open.
HRESULT OpenOrCreateAreaStep(platform::Storage* parent, const std::string& name, bool user_area,
                             std::unique_ptr<platform::Storage>* out);

// A password stream and the storages above it; destroyed stream first.
struct PasswordStream {
  std::unique_ptr<platform::Storage> root;       // set only when opened by path
  std::unique_ptr<platform::Storage> passwords;  // "_Zarin_"
  std::unique_ptr<platform::Stream> stream;
};

// Opens "_Zarin_" in `root` and the stream `stream_name` in it. Returns
// S_OK or the failed open's HRESULT; when only the stream failed,
// out->passwords is set (a writer may create the stream there).
HRESULT OpenPasswordStream(platform::Storage* root, const char* stream_name, PasswordStream* out);

// The same, opening the configuration file at `path` first.
HRESULT OpenPasswordStream(const std::string& path, const char* stream_name, PasswordStream* out);

}  // namespace builder
