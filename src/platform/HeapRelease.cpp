#include "platform/HeapRelease.h"

#include <atomic>
#include <malloc.h>

namespace {
std::atomic<int> TrimHolds{0};

// The top of the heap keeps as much as the allocator itself would before trimming: memory that
// stays in use between exchanges (the journal's entries) would otherwise make every exchange grow
// the heap again with brk and fault its pages in afresh.
void Trim() { malloc_trim(2 * LargeBufferBytes); }
} // namespace

void ReturnLargeBuffersOnFree() {
    mallopt(M_MMAP_THRESHOLD, LargeBufferBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * LargeBufferBytes);
}

bool ReleaseFreeHeap() {
    if (TrimHolds.load() > 0)
        return false;
    Trim();
    return true;
}

THeapTrimHold::THeapTrimHold() { ++TrimHolds; }

THeapTrimHold::~THeapTrimHold() {
    if (--TrimHolds == 0)
        Trim();
}
