#include "platform/TickCount.h"

#include <chrono>

namespace {
std::function<uint32_t()>& Source() {
    static std::function<uint32_t()> source;
    return source;
}
} // namespace

uint32_t GetTickCount() {
    if (Source())
        return Source()();
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SetTickSource(std::function<uint32_t()> source) { Source() = std::move(source); }
