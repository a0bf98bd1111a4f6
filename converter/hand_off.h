// The hand-off of a conversion run, and the recovery of one that was
// interrupted.
//
// A conversion is one unit for the user: the folder of the configuration
// holds, at every instant, the old file whole (at its path or moved aside)
// or the whole checked new file, and a conversion record (see
// platform/conversion_record.h) that tells the next run which of the two to
// keep. HandOff writes the record before the old file is moved and deletes
// it last; RecoverConversion, the first step of every run, finishes (the new
// file was checked) or undoes (it was not) what a killed run left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "converter/ini_emission.h"
#include "converter/old_config_reader.h"

namespace converter {

// What a conversion run hands to the builder.
struct ConversionRun {
  std::string config_path;  // the configuration that is replaced
  std::string ini_path;     // its INI text, the builder's input
  std::string language;     // given to the builder as /L
};

// Exit codes of the hand-off and the recovery.
constexpr int32_t kExitCannotMoveOld = 4;
constexpr int32_t kExitBuilderNotStarted = 7;
constexpr int32_t kExitCheckFailed = 9;
constexpr int32_t kExitUnfinishedConversion = 10;

// What the INI schema has no key for, carried by the hand-off straight from
// the old file into the new one.
struct BesideIni {
  std::string second_password;         // the whole "ro012" stream; "" for none
  std::vector<DomainStorage> domains;  // every domain and user storage, empty ones too
};

// The check of a conversion: does the file at run.config_path hold
// version 616, as many task streams in each area as `emitter` wrote there,
// the stored password, and what `beside` holds (the second password byte
// for byte, every domain and user storage)? Returns "" when it does, else
// what is wrong. A configuration with nothing to carry may leave no file.
std::string CheckConvertedFile(const ConversionRun& run, const IniEmitter& emitter,
                               const BesideIni& beside = {});

// Writes what `beside` holds into the new file at `path`: the "ro012"
// stream into "_Zarin_", and each domain and user storage that is not
// there yet. When the builder made no file (it makes none for a text with
// no task and no password) and `beside` holds anything, the file is
// created first. Returns "" or what failed.
std::string CopyBesideIni(const std::string& path, const BesideIni& beside);

// Replaces the configuration at run.config_path, whose INI text is at
// run.ini_path, by the file Quarlen builds from it. The old file is
// held (locked) from the run's reading to the end. exit_code is 0 when the
// new file is in place, checked, with the old one's owner and mode, and the
// old file and the INI file are gone; else an exit code, with the old file
// back at its path and the INI text kept. A stop signal caught meanwhile
// undoes the hand-off and ends the program (EndAsStopped).
struct HandOffResult {
  int32_t exit_code = 0;
  std::string kept_ini;  // where the INI text is kept for the user; "" when it is gone
};
HandOffResult HandOff(const ConversionRun& run, const IniEmitter& emitter,
                      const BesideIni& beside);

// What RecoverConversion found and did.
struct Recovery {
  enum class Outcome {
    kNone,      // no record: nothing was interrupted
    kFinished,  // the interrupted conversion was finished
    kUndone,    // it was undone: the old configuration is back
    kLeft,      // it could not be dealt with; the record is kept
  };
  int32_t exit_code = 0;  // 0, or kExitUnfinishedConversion
  bool acted = false;     // an interrupted conversion was finished or undone
  Outcome outcome = Outcome::kNone;
};

// Looks for the record of an interrupted conversion of `config_path` and
// finishes or undoes that conversion, saying on stderr what it found, what
// it did and where everything it kept is. exit_code is 0 when there was
// none or it is dealt with; kExitUnfinishedConversion when it could not be
// (the record is then kept and the message says why).
Recovery RecoverConversion(const std::string& config_path);

}  // namespace converter
