// Whole-stream reads and whole listings over platform/storage.h, shared by
// the builder and the converter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/storage.h"

namespace platform {

// The size of `stream` (a seek to its end), with the position put back to
// 0. Returns S_OK or the failed seek's HRESULT.
HRESULT MeasureStream(Stream* stream, uint64_t* size);

// The whole of `stream` from position 0 into *bytes. Returns S_OK; a failed
// seek's or read's HRESULT; STG_E_DOCFILECORRUPT for a stream of 4 GiB or
// more; STG_E_READFAULT for a short read. *bytes may hold part of the
// stream after a failure.
HRESULT ReadWholeStream(Stream* stream, std::string* bytes);

// Every element of `storage`, in enumeration order, into *elements.
// Returns S_OK, or the failed enumeration's HRESULT, with *elements holding
// what was listed before the failure.
HRESULT ListElements(Storage* storage, std::vector<ElementStat>* elements);

}  // namespace platform
