// This test program's operator new (every form: plain, array, nothrow,
// aligned) counts the allocations made since the switch below was set and
// fails one of them: the k-th throws std::bad_alloc, or returns null for a
// nothrow form. Allocations before the switch (GoogleTest's own, the
// fixtures') are not counted.
#pragma once

#include <cstdint>

namespace testing_support {

// From now on, count allocations and fail the k-th (k >= 1).
void FailAllocationAt(uint64_t k);

// Stops counting; returns the number of allocations counted since
// FailAllocationAt, the failed one included.
uint64_t StopFailingAllocations();

}  // namespace testing_support
