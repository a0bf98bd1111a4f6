// Helpers of the engine's tests: trees of compound files as text, as the
// engine, olefile and libgsf read them, and small file edits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hresult.h"

namespace cfb_test {

// UTF-16 to UTF-8 (names in dumps).
std::string Utf8(const std::u16string& s);

// The tree of a compound file as the engine reads it, in the form of
// testing_support::OlefileDump: sorted lines "S path" and "F path size hex".
// "ERROR: <hresult>" when the engine refuses the file.
std::string EngineDump(const std::string& path);

// The same as `gsf list` and `gsf dump` (libgsf) read it; "ERROR: ..." when
// gsf fails.
std::string GsfDump(const std::string& path);

// A dump as `gsf list` shows it: gsf lists a storage without children as an
// empty stream.
std::string AsGsfLists(const std::string& dump);

// The engine's consistency check of the file; "" when consistent.
std::string CheckFile(const std::string& path);

// Reads or replaces little-endian values inside a file.
uint32_t FileGet32(const std::string& path, uint64_t offset);
void FilePut32(const std::string& path, uint64_t offset, uint32_t value);

// The file offset of every directory entry, by entry number (the directory
// chain followed through the FAT of the header's 109 DIFAT entries), so that
// tests can relink trees as other writers leave them.
std::vector<uint64_t> EntryOffsets(const std::string& path);

// Leaves beside the file at `path` the journal of a transaction that did
// not end, as a run killed in its commit would: valid, the file's own, with
// its header saved (the file itself is left as it is).
void LeaveUnfinishedJournal(const std::string& path);

}  // namespace cfb_test
