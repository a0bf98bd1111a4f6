// The hand-off of a conversion run and the recovery of an interrupted one.
// See hand_off.h.

#include "converter/hand_off.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "builder/config_layout.h"
#include "builder/password_store.h"
#include "platform/conversion_record.h"
#include "platform/file.h"
#include "platform/hresult_names.h"
#include "platform/little_endian.h"
#include "platform/storage.h"
#include "platform/stream_io.h"
#include "platform/system.h"
#include "platform/text.h"

namespace converter {

namespace {

using platform::kStorageMode;

// How long recovery waits for a builder that a killed run left working.
constexpr auto kBuilderWait = std::chrono::seconds(30);

std::string ErrnoText(int error) { return std::strerror(error); }

// The first free name beside the old file: path.615, path.615.1, ...
std::string FreeAsideName(const std::string& path) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  std::string aside;
  for (int n = 0; n < 100; ++n) {
    aside = path + ".615" + (n == 0 ? std::string() : "." + std::to_string(n));
    if (fs->Exists(aside) == ENOENT) break;
  }
  return aside;
}

// The identity of the file at `path`, or an errno value.
int IdentityOf(const std::string& path, platform::FileIdentity* identity) {
  std::unique_ptr<platform::File> file;
  int error = platform::FileSystem::Default()->Open(path, platform::OpenMode::kReadOnly, &file);
  return error != 0 ? error : file->Identify(identity);
}

bool IsFile(const std::string& path, const platform::FileIdentity& identity) {
  platform::FileIdentity found;
  return IdentityOf(path, &found) == 0 && found == identity;
}

// Deletes what a conversion left at `path`; a builder still at work on it
// is waited for. 0, ENOENT when nothing was there, or an errno value.
int DeleteNewFile(const std::string& path) {
  const auto give_up = std::chrono::steady_clock::now() + kBuilderWait;
  for (;;) {
    int error = platform::DeleteStorageFile(path);
    if (error != EBUSY || std::chrono::steady_clock::now() > give_up) return error;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Puts the old file back at `path` and drops the record: the conversion is
// undone. False, with a message saying where the old file is, when it
// cannot be.
bool Undo(const platform::ConversionRecord& record) {
  const std::string& path = record.configuration;
  if (IsFile(path, record.old_identity)) {
    // A move killed half way leaves the old file under both names.
    if (IsFile(record.old_path, record.old_identity)) {
      platform::FileSystem::Default()->Delete(record.old_path);
    }
  } else {
    int error = DeleteNewFile(path);
    if (error != 0 && error != ENOENT) {
      platform::Report("cannot remove the new file at " + path + " (" + ErrnoText(error) +
                       "); the old configuration is kept at " + record.old_path);
      return false;
    }
    error = platform::MoveStorageFile(record.old_path, path);
    if (error != 0) {
      platform::Report("cannot put the old configuration back (" + ErrnoText(error) +
                       "): it is kept at " + record.old_path);
      return false;
    }
  }
  platform::DeleteConversionRecord(path);
  platform::Report("the old configuration is back at " + path);
  return true;
}

// The old file and the INI file go, then the record: the conversion is done.
void Finish(const platform::ConversionRecord& record) {
  int error = platform::DeleteStorageFile(record.old_path);
  if (error != 0 && error != ENOENT) {
    platform::Report("converted, but the old configuration " + record.old_path +
                     " could not be deleted: " + ErrnoText(error));
  }
  platform::RemoveTempFile(record.ini_path);
  platform::DeleteConversionRecord(record.configuration);
}

// While the old file is aside, an exception leaving the hand-off (an
// allocation failure on its way to the program's entry) undoes it; should
// the undo itself fail, the record stays for the next run. Disarmed once
// the conversion is marked finishing: from then on it is never undone.
struct UndoOnUnwind {
  const platform::ConversionRecord& record;
  bool armed = true;
  const int exceptions = std::uncaught_exceptions();
  ~UndoOnUnwind() {
    if (!armed || std::uncaught_exceptions() <= exceptions) return;
    try {
      Undo(record);
    } catch (const std::bad_alloc&) {
    }
  }
};

// Ends the program for a stop signal caught during the hand-off, after the
// hand-off was undone.
[[noreturn]] void EndInterrupted(const platform::ConversionRecord& record, int signal) {
  platform::Report("interrupted by signal " + std::to_string(signal) +
                   "; the conversion is undone");
  if (Undo(record)) platform::RemoveTempFile(record.ini_path);
  platform::ClaimConversion("");
  platform::EndAsStopped(signal);
}

HRESULT CountStreams(platform::Storage* storage, uint32_t* count) {
  std::vector<platform::ElementStat> elements;
  HRESULT hr = platform::ListElements(storage, &elements);
  *count = 0;
  for (const platform::ElementStat& stat : elements) {
    if (stat.type == platform::ElementType::kStream) ++*count;
  }
  return hr;
}

// Gives the new file at `path` the owner and mode `owner`, through a
// descriptor of the file itself (no link is followed). "" or what failed.
std::string GiveOwner(const std::string& path, const platform::FileOwner& owner) {
  std::unique_ptr<platform::File> file;
  int error = platform::FileSystem::Default()->Open(path, platform::OpenMode::kReadWrite, &file);
  if (error == 0) error = file->SetOwner(owner);
  if (error == 0) error = file->Sync();
  return error == 0 ? "" : ErrnoText(error);
}

// What is wrong with the new file after Quarlen ended with `builder_code`,
// "" when nothing: what the INI text cannot carry is copied into it, it is
// committed and it passes the check.
std::string CompleteNewFile(const ConversionRun& run, const IniEmitter& emitter,
                            const BesideIni& beside, int32_t builder_code) {
  if (builder_code != 0) {
    return "the builder Quarlen ended with code " + std::to_string(builder_code);
  }
  std::string problem = CopyBesideIni(run.config_path, beside);
  // The check reads the new file as it is on disk.
  HRESULT hr = platform::ReleaseStorageFile(run.config_path);
  if (problem.empty() && FAILED(hr)) {
    problem = "cannot write into " + run.config_path + " what the INI text cannot carry: " +
              platform::DescribeHResult(hr);
  }
  if (problem.empty()) problem = CheckConvertedFile(run, emitter, beside);
  platform::ReleaseStorageFile(run.config_path);
  return problem;
}

bool HoldsAnything(const BesideIni& beside) {
  return !beside.second_password.empty() || !beside.domains.empty();
}

}  // namespace

std::string CopyBesideIni(const std::string& path, const BesideIni& beside) {
  if (!HoldsAnything(beside)) return "";
  if (platform::FileSystem::Default()->Exists(path) == ENOENT && !builder::CreateSkeleton(path)) {
    return "cannot create " + path + " to hold what the INI text cannot carry";
  }
  std::unique_ptr<platform::Storage> root;
  HRESULT hr = platform::OpenStorageFile(path, kStorageMode, &root);
  if (FAILED(hr)) return "cannot open " + path + ": " + platform::DescribeHResult(hr);
  if (!beside.second_password.empty()) {
    builder::PasswordStream password;
    hr = builder::OpenPasswordStream(root.get(), builder::kSecondPasswordStreamName, &password);
    if (hr == STG_E_FILENOTFOUND && password.passwords) {
      hr = password.passwords->CreateStream(
          platform::AnsiToWide(builder::kSecondPasswordStreamName), kStorageMode,
          &password.stream);
    }
    const std::string& bytes = beside.second_password;
    uint32_t written = 0;
    if (SUCCEEDED(hr)) {
      hr = password.stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
    }
    if (FAILED(hr)) {
      return "cannot copy the second password " + builder::SecondPasswordPlace() + ": " +
             platform::DescribeHResult(hr);
    }
  }
  // The builder makes the storages of the users that have tasks; the
  // others are made here.
  for (const DomainStorage& domain : beside.domains) {
    std::unique_ptr<platform::Storage> domain_storage, user_storage;
    hr = builder::OpenOrCreateAreaStep(root.get(), domain.name, true, &domain_storage);
    if (FAILED(hr)) {
      return "cannot create the domain storage " + domain.name + ": " + platform::DescribeHResult(hr);
    }
    for (const std::string& user : domain.users) {
      hr = builder::OpenOrCreateAreaStep(domain_storage.get(), user, true, &user_storage);
      if (FAILED(hr)) {
        return "cannot create the user storage " + builder::AreaPlace(0, domain.name, user) +
               ": " + platform::DescribeHResult(hr);
      }
      user_storage.reset();
    }
  }
  return "";
}

namespace {

// Whether each area of the new file holds as many task streams as
// `tasks_per_area` says the INI text gave it: "" or what is wrong.
std::string CheckTaskCounts(platform::Storage* root,
                            const std::map<IniEmitter::AreaKey, uint32_t>& tasks_per_area) {
  for (const auto& [key, expected] : tasks_per_area) {
    const uint32_t area_bits = static_cast<uint32_t>(std::get<0>(key));
    const std::string& domain = std::get<1>(key);
    const std::string& user = std::get<2>(key);
    std::unique_ptr<platform::Storage> outer, inner;
    const std::string place = builder::AreaPlace(area_bits, domain, user);
    HRESULT hr = builder::OpenAreaStorages(root, area_bits, domain, user, builder::OpenAreaStep,
                                           &outer, &inner);
    uint32_t found = 0;
    if (SUCCEEDED(hr)) hr = CountStreams(inner.get(), &found);
    if (FAILED(hr)) return "cannot list " + place + " in the new file: " + platform::DescribeHResult(hr);
    if (found != expected) {
      return place + " holds " + std::to_string(found) + " task streams instead of " +
             std::to_string(expected);
    }
  }
  return "";
}

// Whether the new file's main password stream holds the stored password
// `password` (not empty) with its count: "" or what is wrong.
std::string CheckMainPassword(platform::Storage* root, const std::string& password) {
  builder::PasswordStream main;
  HRESULT hr = builder::OpenPasswordStream(root, builder::kMainPasswordStreamName, &main);
  std::vector<uint8_t> stored(4 + password.size(), 0);
  uint32_t read = 0;
  if (SUCCEEDED(hr)) {
    hr = main.stream->Read(stored.data(), static_cast<uint32_t>(stored.size()), &read);
  }
  if (FAILED(hr) || read != stored.size() || platform::Get32(stored.data()) != password.size() ||
      std::memcmp(stored.data() + 4, password.data(), password.size()) != 0) {
    return "the new file does not hold the stored password";
  }
  return "";
}

// Whether the new file's second password stream is `second_password` (not
// empty) byte for byte: "" or what is wrong.
std::string CheckSecondPassword(platform::Storage* root, const std::string& second_password) {
  builder::PasswordStream second;
  HRESULT hr = builder::OpenPasswordStream(root, builder::kSecondPasswordStreamName, &second);
  uint64_t size = 0;
  if (SUCCEEDED(hr)) hr = platform::MeasureStream(second.stream.get(), &size);
  std::string stored(second_password.size(), '\0');
  uint32_t read = 0;
  if (SUCCEEDED(hr) && size == second_password.size()) {
    hr = second.stream->Read(&stored[0], static_cast<uint32_t>(stored.size()), &read);
  }
  if (FAILED(hr) || size != second_password.size() || stored != second_password) {
    return "the new file does not hold the second password " + builder::SecondPasswordPlace();
  }
  return "";
}

// Whether the new file holds every domain storage of `domains` and every
// user storage in each: "" or the first that is missing.
std::string CheckDomainStorages(platform::Storage* root,
                                const std::vector<DomainStorage>& domains) {
  for (const DomainStorage& domain : domains) {
    std::unique_ptr<platform::Storage> domain_storage, user_storage;
    if (FAILED(builder::OpenAreaStep(root, domain.name, true, &domain_storage))) {
      return "the new file does not hold the domain storage " + domain.name;
    }
    for (const std::string& user : domain.users) {
      if (FAILED(builder::OpenAreaStep(domain_storage.get(), user, true, &user_storage))) {
        return "the new file does not hold the user storage " +
               builder::AreaPlace(0, domain.name, user);
      }
      user_storage.reset();
    }
  }
  return "";
}

}  // namespace

std::string CheckConvertedFile(const ConversionRun& run, const IniEmitter& emitter,
                               const BesideIni& beside) {
  const bool must_exist = !emitter.tasks_per_area().empty() ||
                          !emitter.stored_password().empty() || HoldsAnything(beside);
  std::unique_ptr<platform::Storage> root;
  HRESULT hr = platform::OpenStorageFile(run.config_path, kStorageMode, &root);
  if (hr == STG_E_FILENOTFOUND && !must_exist) return "";
  if (FAILED(hr)) return "cannot open " + run.config_path + ": " + platform::DescribeHResult(hr);

  uint32_t version = 0;
  if (builder::ReadVersionNumber(root.get(), &version) != S_OK ||
      version != builder::kFormatVersion) {
    return "the new file does not hold version " + std::to_string(builder::kFormatVersion);
  }
  std::string problem = CheckTaskCounts(root.get(), emitter.tasks_per_area());
  if (problem.empty() && !emitter.stored_password().empty()) {
    problem = CheckMainPassword(root.get(), emitter.stored_password());
  }
  if (problem.empty() && !beside.second_password.empty()) {
    problem = CheckSecondPassword(root.get(), beside.second_password);
  }
  if (problem.empty()) problem = CheckDomainStorages(root.get(), beside.domains);
  return problem;
}

HandOffResult HandOff(const ConversionRun& run, const IniEmitter& emitter,
                      const BesideIni& beside) {
  const std::string& path = run.config_path;
  platform::FileSystem* fs = platform::FileSystem::Default();
  // The old file's identity and owner, from the file itself (never a link).
  platform::ConversionRecord record;
  platform::FileOwner owner;
  {
    std::unique_ptr<platform::File> old_file;
    int error = fs->Open(path, platform::OpenMode::kReadWrite, &old_file);
    if (error == 0) error = old_file->Identify(&record.old_identity);
    if (error == 0) error = old_file->GetOwner(&owner);
    if (error != 0) {
      const std::string kept = platform::KeepTempFile(run.ini_path);
      platform::Report("cannot examine " + path + " (" + ErrnoText(error) +
                       "); nothing was changed; the INI text is at " + kept);
      return {kExitCannotMoveOld, kept};
    }
  }
  record.token = platform::NewConversionToken();
  record.configuration = path;
  record.old_path = FreeAsideName(path);
  record.ini_path = run.ini_path;
  platform::ClaimConversion(record.token);
  int error = platform::WriteConversionRecord(record);
  UndoOnUnwind undo_on_unwind{record, error == 0};
  if (error == 0) {
    // The scope keeps the old file locked under its new name.
    error = platform::MoveStorageFile(path, record.old_path);
    if (error != 0) platform::DeleteConversionRecord(path);
  }
  if (error != 0) {
    platform::ClaimConversion("");
    const std::string kept = platform::KeepTempFile(run.ini_path);
    platform::Report("cannot move " + path + " aside (" + ErrnoText(error) +
                     "); nothing was changed; the INI text is at " + kept);
    return {kExitCannotMoveOld, kept};
  }
  if (int signal = platform::StopSignalCaught()) EndInterrupted(record, signal);

  int32_t builder_code = 0;
  const bool started = platform::RunProgramAndWait(
      "Quarlen", {run.ini_path, "/L" + run.language}, &builder_code);
  if (int signal = platform::StopSignalCaught()) EndInterrupted(record, signal);
  std::string problem;
  if (!started) {
    platform::Report("the builder Quarlen could not be started");
  } else {
    problem = CompleteNewFile(run, emitter, beside, builder_code);
    if (!problem.empty()) platform::Report("the new configuration failed its check: " + problem);
  }
  if (int signal = platform::StopSignalCaught()) EndInterrupted(record, signal);
  if (!started || !problem.empty()) {
    Undo(record);
    platform::ClaimConversion("");
    const std::string kept = platform::KeepTempFile(run.ini_path);
    platform::Report("the INI text is kept at " + kept);
    return {started ? kExitCheckFailed : kExitBuilderNotStarted, kept};
  }

  // The new file is made readable by its owner only; whoever could read the
  // old one (a service running under another user) must read the new one.
  const bool made = fs->Exists(path) == 0;
  const std::string owner_problem = made ? GiveOwner(path, owner) : "";
  if (!owner_problem.empty()) {
    platform::Report("converted, but " + path +
                     " could not be given the owner and permissions of the old configuration (" +
                     owner_problem + "); only its owner can read it");
  }
  if (!made) {
    platform::Report("the old configuration held no task and no password: no new file was made");
  }
  // From here on the conversion is finished, never undone.
  error = platform::MarkConversionFinishing(path);
  undo_on_unwind.armed = error != 0;
  if (error != 0) {
    platform::Report("cannot mark the conversion record of " + path + " as finishing (" +
                     ErrnoText(error) + "); the conversion is undone");
    Undo(record);
    platform::ClaimConversion("");
    const std::string kept = platform::KeepTempFile(run.ini_path);
    platform::Report("the INI text is kept at " + kept);
    return {kExitCheckFailed, kept};
  }
  Finish(record);
  platform::ClaimConversion("");
  if (int signal = platform::StopSignalCaught()) {
    // Too late to undo: the conversion is whole and kept.
    platform::Report("interrupted by signal " + std::to_string(signal) +
                     " after the conversion was complete; it is kept");
    platform::EndAsStopped(signal);
  }
  return {};
}

Recovery RecoverConversion(const std::string& config_path) {
  platform::ConversionRecord record;
  const std::string record_path = platform::ConversionRecordPath(config_path);
  int error = platform::ReadConversionRecord(config_path, &record);
  Recovery found;
  if (error == ENOENT) return found;
  found.exit_code = kExitUnfinishedConversion;
  found.outcome = Recovery::Outcome::kLeft;
  if (error != 0) {
    platform::Report(record_path + " is not a conversion record that can be read (" +
                     ErrnoText(error) + "); it is left as it is: look at it and at " +
                     config_path + ", then remove it by hand");
    return found;
  }
  platform::Report("found an unfinished conversion of " + config_path + " (" + record_path +
                   ")");
  platform::ClaimConversion(record.token);
  int32_t result = 0;
  found.acted = true;
  if (record.finishing) {
    // The new file was checked and made durable: the conversion is finished.
    if (platform::FileSystem::Default()->Exists(record.old_path) == 0 &&
        !IsFile(record.old_path, record.old_identity)) {
      record.old_path.clear();  // another file took that name: left alone
    }
    if (!record.old_path.empty()) {
      error = platform::DeleteStorageFile(record.old_path);
      if (error != 0 && error != ENOENT) {
        platform::Report("cannot delete the old configuration " + record.old_path + ": " +
                         ErrnoText(error));
      }
    }
    platform::RemoveTempFile(record.ini_path);
    platform::DeleteConversionRecord(config_path);
    platform::Report("it was finished: " + config_path +
                     " holds the converted configuration, and the old one is deleted");
  } else if (IsFile(config_path, record.old_identity) ||
             IsFile(record.old_path, record.old_identity)) {
    if (Undo(record)) {
      platform::RemoveTempFile(record.ini_path);
      platform::Report("it was undone: the old configuration is as it was before that run");
    } else {
      result = kExitUnfinishedConversion;
    }
  } else {
    platform::Report("the old configuration is neither at " + config_path + " nor at " +
                     record.old_path + "; the record " + record_path +
                     " is kept: look for the old file, then remove the record by hand");
    result = kExitUnfinishedConversion;
  }
  platform::ClaimConversion("");
  found.exit_code = result;
  found.acted = result == 0;
  found.outcome = result != 0 ? Recovery::Outcome::kLeft
                  : record.finishing ? Recovery::Outcome::kFinished
                                     : Recovery::Outcome::kUndone;
  return found;
}

}  // namespace converter
