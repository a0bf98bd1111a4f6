// The conversion record: written, marked, read and checked. See
// conversion_record.h.

#include "platform/conversion_record.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <random>

#include "platform/system.h"

namespace platform {

namespace {

constexpr char kFirstLine[] = "Torvi32 configuration conversion 1";
constexpr char kFinishingLine[] = "finishing";
constexpr char kTokenVariable[] = "TORVI32_CONVERSION";
// A record is a few lines; anything larger is no record of ours.
constexpr size_t kMaxRecordBytes = 64 * 1024;

std::string PendingPath(const std::string& configuration) {
  return ConversionRecordPath(configuration) + "-new";
}

bool HasLineEnd(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos || text.find('\0') != std::string::npos;
}

int WriteAll(File* file, uint64_t offset, const std::string& text) {
  int error = file->WriteAt(offset, text.data(), text.size());
  return error != 0 ? error : file->Sync();
}

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

}  // namespace

std::string ConversionRecordPath(const std::string& configuration) {
  return configuration + "-conversion";
}

std::string NewConversionToken() {
  std::random_device source;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 16; ++i) token += kHex[source() & 15];
  return token;
}

int WriteConversionRecord(const ConversionRecord& record) {
  if (HasLineEnd(record.token) || HasLineEnd(record.configuration) ||
      HasLineEnd(record.old_path) || HasLineEnd(record.ini_path)) {
    return EINVAL;
  }
  std::string text = std::string(kFirstLine) + "\n" + "token=" + record.token + "\n" +
                     "configuration=" + record.configuration + "\n" + "old=" + record.old_path +
                     "\n" + "ini=" + record.ini_path + "\n" + "old-file=" +
                     std::to_string(record.old_identity.device) + ":" +
                     std::to_string(record.old_identity.inode) + "\n";
  if (record.finishing) text += std::string(kFinishingLine) + "\n";
  FileSystem* fs = FileSystem::Default();
  const std::string path = ConversionRecordPath(record.configuration);
  const std::string pending = PendingPath(record.configuration);
  if (fs->Exists(path) == 0) return EEXIST;
  std::unique_ptr<File> file;
  int error = fs->Open(pending, OpenMode::kCreateOrTruncate, &file);
  if (error == 0) error = WriteAll(file.get(), 0, text);
  file.reset();
  // The record appears whole at its name or not at all.
  if (error == 0) error = fs->Rename(pending, path);
  if (error == 0) error = fs->SyncFolderOf(path);
  if (error != 0) {
    fs->Delete(pending);
    if (error != EEXIST) fs->Delete(path);
  }
  return error;
}

int MarkConversionFinishing(const std::string& configuration) {
  std::unique_ptr<File> file;
  int error = FileSystem::Default()->Open(ConversionRecordPath(configuration),
                                          OpenMode::kReadWrite, &file);
  uint64_t size = 0;
  if (error == 0) error = file->Size(&size);
  if (error == 0) error = WriteAll(file.get(), size, std::string(kFinishingLine) + "\n");
  return error;
}

int ReadConversionRecord(const std::string& configuration, ConversionRecord* record) {
  *record = ConversionRecord();
  FileSystem* fs = FileSystem::Default();
  const std::string path = ConversionRecordPath(configuration);
  if (fs->Exists(path) != 0) {
    // Killed before the record was in place: the old file was not touched.
    if (fs->Exists(PendingPath(configuration)) == 0) fs->Delete(PendingPath(configuration));
    return ENOENT;
  }
  std::string text;
  if (!ReadWholeFile(path, kMaxRecordBytes, &text)) return EINVAL;
  size_t start = 0;
  bool first = true, have_identity = false;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a mark torn by a kill: not there
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      if (line != kFirstLine) return EINVAL;
      first = false;
      continue;
    }
    if (line == kFinishingLine) {
      record->finishing = true;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return EINVAL;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "token") {
      record->token = value;
    } else if (key == "configuration") {
      record->configuration = value;
    } else if (key == "old") {
      record->old_path = value;
    } else if (key == "ini") {
      record->ini_path = value;
    } else if (key == "old-file") {
      const size_t colon = value.find(':');
      have_identity = colon != std::string::npos &&
                      ParseUnsigned(value.substr(0, colon), &record->old_identity.device) &&
                      ParseUnsigned(value.substr(colon + 1), &record->old_identity.inode);
      if (!have_identity) return EINVAL;
    } else {
      return EINVAL;
    }
  }
  if (first || record->token.empty() || record->old_path.empty() || !have_identity ||
      record->configuration != configuration) {
    return EINVAL;
  }
  return 0;
}

int DeleteConversionRecord(const std::string& configuration) {
  FileSystem* fs = FileSystem::Default();
  const std::string path = ConversionRecordPath(configuration);
  int error = fs->Delete(path);
  if (error == 0) error = fs->SyncFolderOf(path);
  return error;
}

void ClaimConversion(const std::string& token) { SetEnvironmentValue(kTokenVariable, token); }

HRESULT CheckNotInConversion(const std::string& path) {
  const std::string record_path = ConversionRecordPath(path);
  if (FileSystem::Default()->Exists(record_path) != 0) return S_OK;
  ConversionRecord record;
  const int error = ReadConversionRecord(path, &record);
  if (error == ENOENT) return S_OK;
  if (error == 0 && record.token == EnvironmentValue(kTokenVariable)) return S_OK;
  Report(path + " is in the middle of a conversion (" + record_path +
         "); run Rebolan on it, which finishes or undoes the conversion, before anything else");
  return STG_E_SHAREVIOLATION;
}

}  // namespace platform
