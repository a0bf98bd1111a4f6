// Arrays of FAT and mini FAT entries, recycled between opens of a file: the
// programs open and release the file once per operation, and giving such
// arrays back to the system each time (and faulting them in again) costs
// more than the work on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cfb {

// An array of `size` entries. Its memory may come from an array given back
// earlier; the entries' values are unspecified until the caller sets them.
std::vector<uint32_t> TakeEntryBuffer(size_t size);
// Keeps the array's memory for a later TakeEntryBuffer (a few arrays of
// bounded size at most; larger ones are freed).
void GiveEntryBuffer(std::vector<uint32_t>&& buffer);

}  // namespace cfb
