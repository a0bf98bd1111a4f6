// INI-to-configuration conversion.

#include "builder/ini_conversion.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "builder/config_layout.h"
#include "builder/ini_review.h"
#include "builder/password_store.h"
#include "builder/task_storage.h"
#include "platform/conversion_record.h"
#include "platform/file.h"
#include "platform/hresult_names.h"
#include "platform/storage.h"
#include "platform/system.h"
#include "platform/text.h"

namespace builder {

namespace {

// The bit of the choice `word` names; the last row's for any other word.
template <size_t N>
uint32_t ChoiceBit(const FlagKeyword (&choices)[N], const std::string& word) {
  for (size_t i = 0; i + 1 < N; ++i) {
    if (platform::EqualNoCaseAnsi(word, choices[i].word)) return choices[i].bit;
  }
  return choices[N - 1].bit;
}

// The bit of the keyword equal to `item` without regard to case, or 0.
template <size_t N>
uint32_t KeywordBit(const FlagKeyword (&keywords)[N], const std::string& item) {
  for (const FlagKeyword& k : keywords) {
    if (platform::EqualNoCaseAnsi(item, k.word)) return k.bit;
  }
  return 0;
}

bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads one task section, in the order of the schema; no key depends on a
// later one.
class TaskSectionReader {
 public:
  TaskSectionReader(const platform::ProfileFile& ini, const std::string& section,
                    const std::string& language)
      : ini_(ini), section_(section), language_(language) {}

  std::string Text(const std::string& key, const std::string& default_value,
                   bool keep_quotes = false) const {
    return ini_.GetString(section_, key, default_value, kValueBufferSize, keep_quotes);
  }
  std::string LanguageText(const std::string& key, const std::string& default_value) const {
    return Text(key + language_, default_value);
  }
  // A switch is on exactly when its value is "1".
  bool Switch(const std::string& key, const char* default_value) const {
    return Text(key, default_value) == "1";
  }
  void Flag(const std::string& key, const char* default_value, uint32_t bit,
            uint32_t* flags) const {
    if (Switch(key, default_value)) *flags |= bit;
  }
  std::vector<std::string> List(const std::string& key, const char* default_value) const {
    return SplitListValue(Text(key, default_value, /*keep_quotes=*/true));
  }
  int32_t Int(const std::string& key, int32_t default_value) const {
    return static_cast<int32_t>(ini_.GetInt(section_, key, default_value));
  }

 private:
  const platform::ProfileFile& ini_;
  const std::string& section_;
  const std::string& language_;
};

// "SendTo" and "ResidentExcludeFiles": a quoted item loses its first and
// last characters.
void AddPlainItems(const std::vector<std::string>& items, TaskList* list) {
  for (std::string item : items) {
    if (!item.empty() && item[0] == '"') {
      item.erase(0, 1);
      if (!item.empty()) item.pop_back();
    }
    list->push_front(std::move(item));
  }
}

void ReadIntegrityKeys(const TaskSectionReader& in, TaskRecord* r) {
  in.Flag("IgnoreArchive", "1", IgnoreArchive, &r->TaskFlags);
  in.Flag("NoContents", "0", NoContents, &r->TaskFlags);
  in.Flag("ContentsOnChange", "0", ContentsOnChange, &r->TaskFlags);
}

void ReadAreas(const TaskSectionReader& in, TaskRecord* r) {
  for (const std::string& item : in.List(kAreasKey, "local")) {
    if (uint32_t bit = KeywordBit(kAreaKeywords, item)) {
      r->TaskFlags |= bit;
      continue;
    }
    // An item left out is among the findings of the INI text.
    std::string entry;
    if (AreaEntryFromItem(item, &entry)) r->Areas.push_front(std::move(entry));
  }
}

void ReadTypes(const TaskSectionReader& in, TaskRecord* r) {
  for (const std::string& item : in.List(kTypesKey, "programs,documents")) {
    if (uint32_t bit = KeywordBit(kTypeKeywords, item)) {
      r->TaskFlags |= bit;
    } else {
      r->Types.push_front(item);
    }
  }
}

// The path of the INI file as it is read: a bare name lies in the Windows
// folder.
std::string IniPathForMessages(const std::string& ini_path) {
  return platform::HasFolderPart(ini_path)
             ? ini_path
             : platform::JoinPath(platform::WindowsDirectory(), ini_path);
}

std::vector<PasswordDone> StorePasswords(const std::vector<PasswordPlan>& passwords,
                                         const std::string& where) {
  std::vector<PasswordDone> done;
  for (const PasswordPlan& p : passwords) {
    bool stored = StorePassword(p.stream, p.value, p.hex);
    if (!stored) {
      platform::Report(where + ": the password \"" + p.stream + "\" was not stored in " +
                       ConfigPath);
    }
    done.push_back({p.stream, p.hex, stored});
  }
  return done;
}

DeletionDone DeleteListedTask(const std::string& where, const std::string& name,
                              TaskRecord* record) {
  DeletionDone done;
  done.name = name;
  HRESULT hr = S_OK;
  done.outcome = DeleteTask(record, name, &hr, &done.area);
  switch (done.outcome) {
    case DeleteOutcome::kDeleted:
      done.place = AreaPlace(done.area, DomainName, UserName);
      done.stream = record->StreamName;
      break;
    case DeleteOutcome::kNotFound:
      platform::Report(where + ": nothing deleted for \"" + name + "\": no such task in " +
                       ConfigPath);
      break;
    case DeleteOutcome::kFailed:
      if (hr == kUserAreaUnnamed) {
        done.why = "no private task has named a domain and user yet";
        platform::Report(where + ": nothing deleted for \"" + name + "\": " + done.why);
        break;
      }
      done.why = platform::DescribeHResult(hr);
      platform::Report(platform::FailureText(
          where + ": the task \"" + name + "\" could not be deleted from " + ConfigPath, hr));
      break;
  }
  return done;
}

TaskDone WriteListedTask(const std::string& where, const std::string& section,
                         TaskRecord* record) {
  TaskDone done;
  done.section = section;
  done.name = record->Name;
  done.place = AreaPlace(record->TaskFlags, DomainName, UserName);
  HRESULT hr = S_OK;
  done.written = WriteTask(record, &hr);
  if (done.written) {
    done.stream = record->StreamName;
    return done;
  }
  const std::string what = where + ": the task \"" + record->Name + "\" of [" + section +
                           "] was not written to " + ConfigPath;
  if (hr == kUserAreaUnnamed) {
    done.why = "no private task has named a domain and user yet";
    platform::Report(what + ": " + done.why);
  } else {
    done.why = platform::DescribeHResult(hr);
    platform::Report(platform::FailureText(what, hr));
  }
  return done;
}

// One language pass: its plan, then the plan carried out, item by item.
// Sets ConfigPath. *done gets the items (and whether the file was there)
// when `keep_items`, so that a real run makes no call it did not make before. Returns S_OK,
// or the refusal of a configuration in the middle of a conversion, which
// is left to Rebolan untouched.
HRESULT RunLanguagePass(const platform::ProfileFile& ini, const std::string& where,
                        const IniReview& review, const std::string& language, bool keep_items,
                        PassDone* done) {
  done->plan = PlanLanguagePass(ini, language);
  const PassPlan& plan = done->plan;
  ConfigPath = plan.config_path;
  HRESULT refused = platform::CheckNotInConversion(ConfigPath);
  if (FAILED(refused)) {
    done->refused = true;
    return refused;
  }
  if (keep_items) done->existed = platform::FileSystem::Default()->Exists(ConfigPath) == 0;
  if (plan.delete_old) {
    int err = platform::DeleteStorageFile(ConfigPath);
    if (err != 0 && err != ENOENT) {
      platform::Report("the old configuration file " + ConfigPath + " could not be deleted (" +
                       std::strerror(err) + ")");
    }
  }
  done->passwords = StorePasswords(plan.passwords, where);
  TaskRecord record;
  for (int64_t i = 0; i < review.delete_count; ++i) {
    record.Clear();
    std::string name = PlanDeletion(ini, i);
    if (name.empty()) continue;
    DeletionDone deletion = DeleteListedTask(where, name, &record);
    if (keep_items) done->deletions.push_back(std::move(deletion));
  }
  for (int64_t i = 0; i < review.task_count; ++i) {
    TaskPlan task = PlanTask(ini, i, language);  // a fresh record: every task gets a fresh stream
    TaskDone written = WriteListedTask(where, task.section, &task.record);
    if (keep_items) done->tasks.push_back(std::move(written));
  }
  record.Clear();
  return S_OK;
}

}  // namespace

std::vector<std::string> SplitListValue(const std::string& value) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos < value.size() && IsWhiteSpace(value[pos])) ++pos;
  bool quoted = false;
  if (pos < value.size() && value[pos] == '"') {
    quoted = true;
    ++pos;
  }
  size_t piece_start = 0;
  for (; pos <= value.size(); ++pos) {
    bool at_end = pos == value.size();
    if (!at_end && value[pos] == '"') {
      quoted = !quoted;
      continue;
    }
    if (at_end || (value[pos] == ',' && !quoted)) {
      if (pos == piece_start) break;  // the first empty piece ends the items
      items.push_back(value.substr(piece_start, pos - piece_start));
      piece_start = pos + 1;
    }
  }
  return items;
}

std::string AreaItemProblem(const std::string& item) {
  std::string entry;
  if (KeywordBit(kAreaKeywords, item) != 0 || AreaEntryFromItem(item, &entry)) return "";
  bool quoted = item.find('"', item.empty() || item[0] != '"' ? 0 : 1) != std::string::npos;
  return quoted ? "too long" : "not a keyword and no quoted path";
}

bool AreaEntryFromItem(const std::string& item, std::string* entry) {
  std::string rest = (!item.empty() && item[0] == '"') ? item.substr(1) : item;
  size_t quote = rest.rfind('"');
  if (quote == std::string::npos) return false;
  char first = '+';
  char second = '+';
  char c1 = quote + 1 < rest.size() ? rest[quote + 1] : '\0';
  char c2 = quote + 2 < rest.size() ? rest[quote + 2] : '\0';
  if (c1 == 'S' || c1 == 's') {
    if (c2 == '-') first = '-';
  } else if (c1 == '-') {
    first = second = '-';
  } else if (c1 == '+') {
    second = '-';
  }
  // "_": the path is not a folder (it does not end with a backslash).
  if (quote == 0 || rest[quote - 1] != '\\') second = '_';
  if (quote + 2 > kMaxTextLength) return false;
  *entry = rest.substr(0, quote);
  entry->push_back(first);
  entry->push_back(second);
  return true;
}

std::string UnescapeMessage(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      out.push_back(value[i]);
      continue;
    }
    if (i + 1 == value.size()) break;  // a trailing backslash is dropped
    char next = value[++i];
    if (next == 'n') {
      out += "\r\n";
    } else if (next == '\\') {
      out.push_back('\\');
    }
  }
  return out;
}

void ReadTaskSection(const platform::ProfileFile& ini, const std::string& section,
                     const std::string& language, TaskRecord* r) {
  TaskSectionReader in(ini, section, language);
  r->Name = in.LanguageText(kTaskLanguageKeys[0], kDefaultTaskName);
  if (in.Switch("IsPrivate", "0")) {
    DomainName = in.Text(kDomainKey, kDefaultDomainName);
    UserName = in.Text(kUserKey, "TORVI");
  } else {
    in.Flag("IsShared", "1", IsShared, &r->TaskFlags);
    if (in.Switch("IsReadOnly", "0")) r->TaskFlags = (r->TaskFlags & ~IsShared) | IsReadOnly;
  }
  r->VirusFoundMsg = UnescapeMessage(in.LanguageText(kTaskLanguageKeys[1], "Virus was found !!!"));
  r->ChainedTask = in.LanguageText(kTaskLanguageKeys[2], "");
  r->Priority = in.Int(kPriorityKey, 0);
  in.Flag("StartWithOS", "0", StartWithOS, &r->TaskFlags);
  in.Flag("StartWithTorvi", "0", StartWithTorvi, &r->TaskFlags);
  in.Flag("ExitWithLast", "0", ExitWithLast, &r->TaskFlags);
  in.Flag("NotifyExternal", "0", NotifyExternal, &r->TaskFlags);

  if (in.Switch("UseVirusScanner", "1")) {
    r->ComponentFlags |= UseVirusScanner;
    in.Flag("ScanMemory", "1", ScanMemory, &r->TaskFlags);
    in.Flag("IgnoreVirusType", "1", IgnoreVirusType, &r->TaskFlags);
    in.Flag("TestFileFull", "0", TestFileFull, &r->TaskFlags);
    in.Flag("TestFileCompressed", "1", TestFileCompressed, &r->TaskFlags);
    in.Flag("NoVirusFoundMsg", "0", NoVirusFoundMsg, &r->TaskFlags);
    r->TaskFlags |= ChoiceBit(kVirusNotificationKeywords, in.Text(kVirusNotificationKey, "all"));
  }
  if (in.Switch("UseIntegrityChecker", "0")) {
    r->ComponentFlags |= UseIntegrityChecker;
    ReadIntegrityKeys(in, r);
  }
  if (in.Switch("UseSimpleIntegrityChecker", "0")) {
    r->ComponentFlags |= UseSimpleIntegrityChecker;
    ReadIntegrityKeys(in, r);
  }
  if (in.Switch("UseBehaviourBlocker", "0")) {
    r->ComponentFlags |= UseBehaviourBlocker;
    in.Flag("BlockDOSOperations", "1", BlockDOSOperations, &r->ResidentFlags);
    in.Flag("BlockWinOperations", "1", BlockWinOperations, &r->ResidentFlags);
    in.Flag("BlockFormat", "0", BlockFormat, &r->ResidentFlags);
  }
  in.Flag("UseResidentBoot", "0", UseResidentBoot, &r->ComponentFlags);
  if (in.Switch("UseResidentProg", "0")) {
    r->ComponentFlags |= UseResidentProg;
    in.Flag("CheckDocs", "1", CheckDocs, &r->ResidentFlags);
    in.Flag("CheckWin16Progs", "1", CheckWin16Progs, &r->ResidentFlags);
    in.Flag("CheckDOSProgs", "1", CheckDOSProgs, &r->ResidentFlags);
    r->ResidentFlags |= ChoiceBit(kResidentScanKeywords, in.Text(kResidentScanKey, "all"));
  }
  in.Flag("CreateReport", "1", CreateReport, &r->TaskFlags);
  in.Flag("CreateNewReportFile", "0", CreateNewReportFile, &r->TaskFlags);
  r->ReportFileName = in.LanguageText(kTaskLanguageKeys[3], "*");
  if (in.Switch("NetAlert", "0")) {
    r->TaskFlags |= NetAlert;
    AddPlainItems(in.List(kSendToKey, ""), &r->SendTo);
  }
  AddPlainItems(in.List(kResidentExcludeFilesKey, ""), &r->ResidentExcludeFiles);
  const uint32_t c = r->ComponentFlags;
  if (c & (UseVirusScanner | UseIntegrityChecker | UseSimpleIntegrityChecker)) ReadAreas(in, r);
  if (c & (UseVirusScanner | UseIntegrityChecker | UseBehaviourBlocker)) ReadTypes(in, r);
}

PassPlan PlanLanguagePass(const platform::ProfileFile& ini, const std::string& language) {
  PassPlan plan;
  plan.language = language;
  plan.config_path = ini.GetString(kMainSection, kOutputKey + language, kDefaultOutput,
                                   kValueBufferSize);
  plan.delete_old =
      ini.GetString(kMainSection, kMainSwitchKeys[0], "0", kValueBufferSize) == "1";
  std::string hex = ini.GetString(kMainSection, kHexPasswordKey, "", kValueBufferSize);
  if (!hex.empty()) {
    plan.passwords.push_back({kMainPasswordStreamName, hex, true});
  } else {
    std::string plain = ini.GetString(kMainSection, kPasswordKey, "", kValueBufferSize);
    if (!plain.empty()) plan.passwords.push_back({kMainPasswordStreamName, plain, false});
  }
  std::string second = ini.GetString(kMainSection, kSecondPasswordKey, "", kValueBufferSize);
  if (!second.empty()) plan.passwords.push_back({kSecondPasswordStreamName, second, false});
  return plan;
}

TaskPlan PlanTask(const platform::ProfileFile& ini, int64_t index, const std::string& language) {
  TaskPlan plan;
  plan.section = "Task" + std::to_string(index);
  ReadTaskSection(ini, plan.section, language, &plan.record);
  return plan;
}

std::string PlanDeletion(const platform::ProfileFile& ini, int64_t index) {
  return ini.GetString(kDeleteSection, "Task" + std::to_string(index), "", kValueBufferSize);
}

int32_t ConvertIniFile(const std::string& ini_path, const LanguageList& languages) {
  return ApplyIniFile(ini_path, languages, /*keep_items=*/false).result;
}

IniDone ApplyIniFile(const std::string& ini_path, const LanguageList& languages,
                     bool keep_items) {
  IniDone done;
  done.ini_path = IniPathForMessages(ini_path);
  bool found = false;
  std::unique_ptr<platform::ProfileFile> ini = platform::ProfileFile::Load(ini_path, &found);
  if (ini == nullptr) found = false;
  if (!found) {
    platform::Report("the INI file " + IniPathForMessages(ini_path) +
                     " was not found or could not be read; nothing was done for it");
  }
  done.found = found;
  if (ini == nullptr) return done;
  // The size of the file bounds the counts it may give.
  const IniReview review = ReviewIniFile(*ini, ini->SourceSize(), languages);
  const std::string& where = done.ini_path;
  for (const IniFinding& finding : review.findings) platform::Report(FindingLine(where, finding));
  for (const std::string& language : languages) {
    PassDone pass;
    HRESULT hr = RunLanguagePass(*ini, where, review, language, keep_items, &pass);
    if (FAILED(hr)) done.result = hr;
    if (keep_items) done.passes.push_back(std::move(pass));
  }
  return done;
}

}  // namespace builder
