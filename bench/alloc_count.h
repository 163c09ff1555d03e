// Heap allocations counted per thread: the benchmark and test binaries that
// link alloc_count.cpp route malloc and its relatives (and so operator new)
// through a counter of the calling thread. Read inside a result callback it
// is the worker's count.
#pragma once

namespace tarn_bench {

// False when the binary cannot count (built with a sanitizer, which owns
// the allocator); threadAllocations() is then always 0.
bool allocationsCounted();

// Allocations the calling thread has made so far.
long threadAllocations();

}  // namespace tarn_bench
