// The builder's command line and run.

#include "builder/startup.h"

#include <memory>
#include <new>

#include "builder/config_layout.h"
#include "builder/dry_run_listing.h"
#include "builder/task_storage.h"
#include "platform/file.h"
#include "platform/hresult_names.h"
#include "platform/storage.h"
#include "platform/system.h"

namespace builder {

namespace {

struct Token {
  size_t start;
  size_t length;
};

// The runs of non-blank characters; only the blank (32) separates them.
std::vector<Token> SplitTokens(const std::string& tail) {
  std::vector<Token> tokens;
  size_t pos = 0;
  while (pos < tail.size()) {
    if (tail[pos] == ' ') {
      ++pos;
      continue;
    }
    size_t end = tail.find(' ', pos);
    if (end == std::string::npos) end = tail.size();
    tokens.push_back({pos, end - pos});
    pos = end;
  }
  return tokens;
}

int32_t Refuse(const std::string& why, bool with_help_hint = false) {
  platform::Report(why + "; nothing was done" +
                   (with_help_hint ? " (" + platform::HelpHint() + ")" : std::string()));
  return kExitRefused;
}

int32_t CollectSwitches(const std::string& tail, const std::vector<Token>& tokens,
                        CommandLine* command_line) {
  LanguageList* languages = &command_line->languages;
  for (const Token& t : tokens) {
    if (!platform::IsSwitchToken(tail.c_str() + t.start)) continue;
    std::string token = tail.substr(t.start, t.length);
    if (t.length >= 2 && token[1] == kDryRunSwitch) {
      if (t.length > 2) {
        return Refuse("the switch " + token.substr(0, 2) + " takes no value: " + token,
                      /*with_help_hint=*/true);
      }
      command_line->dry_run = true;
      continue;
    }
    if (t.length < 2 || token[1] != kLanguageSwitch) {
      return Refuse("unknown switch " + token, /*with_help_hint=*/true);
    }
    std::string code = token.substr(2);
    if (code.size() > kMaxLanguageLength) {
      return Refuse("the language code " + code + " is longer than " +
                    std::to_string(kMaxLanguageLength) + " characters");
    }
    languages->push_front(std::move(code));
  }
  if (languages->empty()) languages->push_front(kDefaultLanguage);
  return 0;
}

int32_t CollectIniPaths(const std::string& tail, const std::vector<Token>& tokens,
                        std::vector<std::string>* paths) {
  for (const Token& t : tokens) {
    if (platform::IsSwitchToken(tail.c_str() + t.start)) continue;
    std::string token = tail.substr(t.start, t.length);
    // "/L/x/a" is a path on POSIX, whatever it looks like: say so.
    std::string note = platform::SwitchLookingPathNote(
        token, std::string{kLanguageSwitch, kDryRunSwitch}, /*any_case=*/false);
    if (!note.empty()) platform::Report(note);
    if (token.size() > kMaxPathLength) {
      return Refuse("the INI file name " + token.substr(0, 40) + "... is longer than " +
                    std::to_string(kMaxPathLength) + " characters");
    }
    std::string path = token;
    if (!platform::HasFolderPart(token)) {
      std::string folder = platform::CurrentDirectory();
      if (folder.empty()) return Refuse("the current folder is not known");
      path = platform::JoinPath(folder, token);
    }
    if (path.size() > kMaxPathLength) {
      return Refuse("the full path " + path + " is longer than " +
                    std::to_string(kMaxPathLength) + " characters");
    }
    paths->push_back(std::move(path));
  }
  return 0;
}

}  // namespace

int32_t ParseCommandLine(const std::string& command_tail, CommandLine* command_line) {
  std::string tail = command_tail.substr(0, command_tail.find('\0'));
  try {
    std::vector<Token> tokens = SplitTokens(tail);
    int32_t rc = CollectSwitches(tail, tokens, command_line);
    if (rc == 0) rc = CollectIniPaths(tail, tokens, &command_line->ini_paths);
    return rc;
  } catch (const std::bad_alloc&) {
    command_line->languages.clear();
    command_line->ini_paths.clear();
    platform::ReportOutOfMemory(platform::kOutOfMemoryStopped);
    return kExitOutOfMemory;
  }
}

int32_t RunBuilder(const std::string& command_tail) {
  ConfigPath.clear();
  DomainName.clear();
  UserName.clear();
  ResetStreamNameGenerator();
  CommandLine command_line;
  int32_t rc = ParseCommandLine(command_tail, &command_line);
  if (rc != 0) return rc;
  // A dry run's files: begun before the scope, so that everything the run
  // opens is read from disk and changed only in memory; ended after it.
  std::unique_ptr<platform::DryRunFiles> dry_run_files;
  if (command_line.dry_run) {
    dry_run_files = platform::BeginDryRunFiles();
    if (dry_run_files == nullptr) {
      platform::Report(NoDryRunMessage());
      return kExitRefused;
    }
  }
  std::vector<IniDone> done;
  {
    // The whole run is one transaction per configuration file: a run that
    // ends early, or is killed, leaves each file as it was before the run.
    platform::StorageScope scope;
    std::vector<std::string> paths = command_line.ini_paths;
    if (paths.empty()) paths.push_back(kDefaultIniName);
    for (const std::string& path : paths) {
      IniDone ini = ApplyIniFile(path, command_line.languages, command_line.dry_run);
      rc = ini.result;
      if (command_line.dry_run) done.push_back(std::move(ini));
      if (rc != 0) break;
    }
    for (const platform::StorageScope::Failure& failure : scope.Commit()) {
      platform::Report("the changes of this run could not be written to " + failure.path + ": " +
                       platform::DescribeHResult(failure.result) +
                       "; the file is as it was before the run");
      if (rc == 0) rc = static_cast<int32_t>(failure.result);
    }
  }
  if (!command_line.dry_run) return rc;
  for (IniDone& ini : done) {
    for (PassDone& pass : ini.passes) {
      pass.exists_after = platform::FileSystem::Default()->Exists(pass.plan.config_path) == 0;
    }
  }
  if (!platform::WriteStandardOutput(DryRunListing(done, rc))) {
    platform::Report(ListingNotWrittenMessage());
    return kExitListingNotWritten;
  }
  return rc;
}

}  // namespace builder
