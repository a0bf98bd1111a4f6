// The record of a conversion in progress: a small text file beside the
// configuration ("<configuration>-conversion") that says what is being
// converted, where the old file went and which INI file the new one is
// built from, so that a run that was killed can be finished or undone by
// the next one.
//
// Lifetime: written whole (under "-conversion-new", synced, then renamed
// into place, folder synced) before the old file is moved; marked
// "finishing" once the new file is checked and durable; deleted when the
// old file and the INI file are gone. While a record exists, the storage
// functions refuse its configuration to every process but the conversion's
// own (see CheckNotInConversion).
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/hresult.h"

namespace platform {

struct ConversionRecord {
  std::string token;           // names the run that owns the record
  std::string configuration;   // the configuration's path
  std::string old_path;        // where the old file was moved
  std::string ini_path;        // the INI text the new file is built from
  FileIdentity old_identity;   // the old file, which a rename keeps
  bool finishing = false;      // the new file was checked: finish, never undo
};

// Where the record of a conversion of `configuration` lies.
std::string ConversionRecordPath(const std::string& configuration);

// A new token for a run: 16 hexadecimal digits from the system's random
// source.
std::string NewConversionToken();

// Writes `record` beside its configuration, durable. EEXIST when a record
// is there already, EINVAL for a path holding a line end; else 0 or the
// errno of the failing call (nothing is left then).
int WriteConversionRecord(const ConversionRecord& record);

// Adds the "finishing" mark to the record of `configuration`, synced.
int MarkConversionFinishing(const std::string& configuration);

// Reads the record of `configuration`: 0, ENOENT when there is none, EINVAL
// when the file there is no record of this kind (damaged or foreign). A
// half-written record (a "-conversion-new" file alone, left by a run killed
// before the old file was touched) is deleted and reads as none.
int ReadConversionRecord(const std::string& configuration, ConversionRecord* record);

// Deletes the record of `configuration`, durable. 0 or an errno value.
int DeleteConversionRecord(const std::string& configuration);

// Makes this process, and the programs it starts, the owner of the records
// carrying `token` (it is passed on in the environment as
// TORVI32_CONVERSION); an empty token ends that.
void ClaimConversion(const std::string& token);

// S_OK when this process may open, create or delete the compound file at
// `path`: no record lies beside it, or the record is this run's own.
// Otherwise STG_E_SHAREVIOLATION, after a message that names the record and
// says to run Rebolan, which finishes or undoes the conversion.
HRESULT CheckNotInConversion(const std::string& path);

}  // namespace platform
