// Random sequences of structured-storage operations, run through
// platform/storage.h, with a trace of every result. The same sequence runs on
// the Windows build (ole32, under Wine) and on the POSIX build (this
// project's compound-file engine); the two traces must be equal.
#pragma once

#include <cstdint>
#include <string>

namespace storage_trace {

// Creates a compound file at `path` (it must not exist) and runs `steps`
// operations chosen by `seed`: creating, writing (below, across and above
// the 4096-byte cutoff, at offsets inside and past the end), reading,
// destroying and enumerating streams and storages up to two levels deep,
// with names that differ in letter case, long and forbidden names, and
// reopening the file. Returns one line per operation with its HRESULTs and
// what it read, and the whole tree after every reopen and at the end.
std::string Run(const std::string& path, uint32_t seed, int steps);

// The whole tree of the compound file at `path` in enumeration order, every
// stream with its size and a hash of its bytes; the open's HRESULT first.
std::string Dump(const std::string& path);

}  // namespace storage_trace
