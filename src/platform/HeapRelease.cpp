#include "platform/HeapRelease.h"

#include <malloc.h>

void ReturnLargeBuffersOnFree() {
    mallopt(M_MMAP_THRESHOLD, LargeBufferBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * LargeBufferBytes);
}

// The top of the heap keeps as much as the allocator itself would before trimming: memory that
// stays in use between exchanges (the journal's entries) would otherwise make every exchange grow
// the heap again with brk and fault its pages in afresh.
void ReleaseFreeHeap() { malloc_trim(2 * LargeBufferBytes); }
