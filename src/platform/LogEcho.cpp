#include "platform/LogEcho.h"

#include <chrono>
#include <utility>

TLogEcho::TLogEcho(FILE* stream, std::function<qint64()> clock) : Stream(stream), Clock(std::move(clock)) {
    if (!Clock)
        Clock = [] {
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            return static_cast<qint64>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
        };
}

void TLogEcho::Echo(const QString& stamp, const QString& text) {
    if (!Group.isEmpty() && text != Group[Held.size()]) {
        const bool broken = Confirmed;
        EndGroup();
        if (broken) {
            Write({stamp, text});
            return;
        }
    }
    if (Group.isEmpty() && !StartGroup(text)) {
        Write({stamp, text});
        return;
    }
    Held << TLine{stamp, text};
    if (Held.size() < Group.size())
        return;
    Held.clear();
    ++Repeats;
    const qint64 now = Clock();
    if (!std::exchange(Confirmed, true))
        CountedAt = now;
    else if (now - CountedAt >= CountEveryMs) {
        WriteCount();
        CountedAt = now;
    }
}

void TLogEcho::Flush() { EndGroup(); }

// The shortest group of the last lines written that this line would begin again.
bool TLogEcho::StartGroup(const QString& text) {
    for (qsizetype size = 1; size <= History.size(); ++size) {
        if (History[History.size() - size] == text) {
            Group = History.mid(History.size() - size);
            return true;
        }
    }
    return false;
}

void TLogEcho::EndGroup() {
    WriteCount();
    const QList<TLine> held = std::exchange(Held, {});
    Group.clear();
    Confirmed = false;
    for (const TLine& line : held)
        Write(line);
}

void TLogEcho::Write(const TLine& line) {
    std::fprintf(Stream, "%s%s\n", qPrintable(line.Stamp), qPrintable(line.Text));
    std::fflush(Stream);
    History << line.Text;
    if (History.size() > MaxGroup)
        History.removeFirst();
}

void TLogEcho::WriteCount() {
    if (Repeats == 0)
        return;
    const QString lines = Group.size() == 1 ? QStringLiteral("line") : QStringLiteral("%1 lines").arg(Group.size());
    std::fprintf(Stream, "  (the last %s repeated %d time%s)\n", qPrintable(lines), Repeats, Repeats == 1 ? "" : "s");
    std::fflush(Stream);
    Repeats = 0;
}
