#pragma once

// Large buffers (a request body held in the waiting room, an answer on its way) are mapped on
// their own and go back to the system when freed. The allocator's own choice would raise its
// threshold after the first such buffer is freed, and keep tens of MiB of a wave of large
// requests in its heap long after their clients have gone.
void ReturnLargeBuffersOnFree();
// Gives the system the free pages of the heap, once a burst of clients has gone; false when a
// hold kept it from doing so.
bool ReleaseFreeHeap();

// Held by a worker thread while it builds something large. A trim walks the heaps of every
// thread, and walking the worker's while it allocates held the GUI thread for up to a tenth of a
// second at a time and slowed the worker; so no trim runs while a hold lives, and the last hold to
// go trims once, on its own thread.
class THeapTrimHold {
public:
    THeapTrimHold();
    ~THeapTrimHold();
    THeapTrimHold(const THeapTrimHold&) = delete;
    THeapTrimHold& operator=(const THeapTrimHold&) = delete;
};

// Buffers at least this large are mapped on their own.
constexpr int LargeBufferBytes = 128 * 1024;
