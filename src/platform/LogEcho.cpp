#include "platform/LogEcho.h"

void TLogEcho::Echo(const QString& stamp, const QString& text) {
    if (HasLast && text == Last) {
        ++Repeats;
        return;
    }
    Flush();
    std::fprintf(Stream, "%s%s\n", qPrintable(stamp), qPrintable(text));
    std::fflush(Stream);
    Last = text;
    HasLast = true;
}

void TLogEcho::Flush() {
    if (Repeats > 0) {
        std::fprintf(Stream, "  (repeated %d times)\n", Repeats);
        std::fflush(Stream);
    }
    Repeats = 0;
}
