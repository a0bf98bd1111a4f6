// Task records in the configuration file at ConfigPath: opening a task
// area, writing, finding, reading and deleting task streams.
//
// Every operation opens the file itself and releases everything before it
// returns. A task stream is the record's stream form followed by 22 zero
// bytes; streams are overwritten from position 0 and never shortened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "builder/task_record.h"
#include "platform/hresult.h"
#include "platform/storage.h"

namespace builder {

// The storages down to one task area. Members are destroyed target first,
// then outer, then root, as children must go before their parents.
struct TaskArea {
  std::unique_ptr<platform::Storage> root;
  std::unique_ptr<platform::Storage> outer;   // "_Common_", the domain, or none
  std::unique_ptr<platform::Storage> target;  // holds the task streams
};

// OpenTaskArea's refusal of the user area while DomainName or UserName is
// empty (no private task has named a domain and user yet): the builder's
// own code, never a storage result, so that callers need not guess why.
constexpr HRESULT kUserAreaUnnamed = static_cast<HRESULT>(0x80040200);

// Opens the configuration file and the area that `area_bits` names: 0x20
// "_ReadOnly_" in "_Common_", else 0x10 "_Common_", else the storage
// UserName in the storage DomainName. A missing file gets its skeleton;
// missing common storages are created after any failed open, domain and
// user storages after STG_E_FILENOTFOUND. Returns S_OK, the failure of an
// open or create, STG_E_OLDFORMAT when "_Version_" does not hold 616 (a
// missing one is created empty first), or kUserAreaUnnamed for the user
// area while DomainName or UserName is empty (refused before the file is
// touched). On failure *area may hold part of the chain.
HRESULT OpenTaskArea(uint32_t area_bits, TaskArea* area);

// Stores `record` in the area of its TaskFlags: in the stream StreamName
// when set (created when missing), else in a new stream named by the fixed
// name ('*' + name) or by the name generator. On return StreamName holds
// the stream used. Returns false (and *error, when given, the HRESULT) when
// nothing could be written, also when a text or item exceeds 259 bytes or
// a fixed-name stream exists already.
bool WriteTask(TaskRecord* record, HRESULT* error = nullptr);

// Looks `name` up in the area of `area_bits`: a fixed name ('*' + stream
// name) directly by its stream in the user area, any other name by the
// first stream, in the storage's order, whose task Name equals it without
// regard to case. Unreadable streams are passed over. Returns true with
// the task in *record and StreamName set; after false the record's
// contents are undefined.
bool FindTaskInArea(TaskRecord* record, const std::string& name, uint32_t area_bits,
                    HRESULT* error = nullptr);

// ReadTask's result for a stream that cannot be read whole or parsed.
constexpr int32_t kReadTaskFailed = 30;

// Reads the whole stream into `record` (passed cleared). Returns 0, the
// HRESULT of a failed seek, 8 when no buffer could be had, or 30 when the
// read fails or is short, or the bytes are not a readable task stream.
int32_t ReadTask(TaskRecord* record, platform::Stream* stream);

// What a ReadTask result other than 0 means, for messages: "damaged or cut
// short", "out of memory", or the HRESULT described.
std::string ReadTaskFailure(int32_t rc);

enum class DeleteOutcome { kDeleted, kNotFound, kFailed };

// Removes the task `name` (looked up in the common area, then in the
// read-only area) by destroying its stream in the area where it was found.
// `record` is working storage; after kDeleted its StreamName is the stream
// destroyed. *error (when given) gets the HRESULT of a failed destroy;
// *area (when given) the area of the task found: IsShared, IsReadOnly, or 0
// for the user area of a fixed name.
DeleteOutcome DeleteTask(TaskRecord* record, const std::string& name, HRESULT* error = nullptr,
                         uint32_t* area = nullptr);

// Windows' MulDiv: number * numerator / denominator with a 64-bit
// intermediate, rounded half away from zero; -1 for a zero denominator or
// a result outside 32 bits.
int32_t MulDiv(int32_t number, int32_t numerator, int32_t denominator);

// The next candidate for a generated stream name, from the process-wide
// generator (state 1 at start, state * 214013 + 2531011, (state >> 16) &
// 0x7FFF): MulDiv(r3, r2, r1) of three draws, redrawn while it is 0.
uint32_t NextStreamNameCandidate();

// Puts the generator back to its start state, as in a fresh process. For
// tests.
void ResetStreamNameGenerator();

}  // namespace builder
