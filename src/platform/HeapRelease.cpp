#include "platform/HeapRelease.h"

#include <malloc.h>

void ReturnLargeBuffersOnFree() {
    mallopt(M_MMAP_THRESHOLD, LargeBufferBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * LargeBufferBytes);
}

void ReleaseFreeHeap() { malloc_trim(0); }
