#pragma once

// Large buffers (a request body held in the waiting room, an answer on its way) are mapped on
// their own and go back to the system when freed. The allocator's own choice would raise its
// threshold after the first such buffer is freed, and keep tens of MiB of a wave of large
// requests in its heap long after their clients have gone.
void ReturnLargeBuffersOnFree();
// Gives the system the free pages of the heap, once a burst of clients has gone.
void ReleaseFreeHeap();

// Buffers at least this large are mapped on their own.
constexpr int LargeBufferBytes = 128 * 1024;
