#pragma once
#include <cstdint>
#include <functional>

// Milliseconds from a monotonic clock, wrapping at 32 bits like the system tick count.
uint32_t GetTickCount();
// Tests replace the clock; an empty function restores it.
void SetTickSource(std::function<uint32_t()> source);
