#include "platform/LogEcho.h"

#include <chrono>
#include <utility>

TRepeatTracker::TStep TRepeatTracker::Add(const TLine& line) {
    TStep step;
    if (!Group.isEmpty() && line.Text != Group[Held.size()]) {
        const bool broken = Rounds > 0;
        step = EndGroup();
        if (broken) {
            Stood(line.Text);
            return step;
        }
    }
    if (Group.isEmpty() && !StartGroup(line.Text)) {
        Stood(line.Text);
        return step;
    }
    Held << line;
    if (Held.size() < Group.size()) {
        step.Verdict = TVerdict::Held;
        return step;
    }
    Held.clear();
    ++Rounds;
    step.Verdict = TVerdict::Round;
    return step;
}

TRepeatTracker::TStep TRepeatTracker::Break() {
    TStep step = EndGroup();
    History.clear();
    return step;
}

QString TRepeatTracker::CountText(int groupSize, int repeats) {
    const QString lines = groupSize == 1 ? QStringLiteral("line") : QStringLiteral("%1 lines").arg(groupSize);
    return QStringLiteral("  (the last %1 repeated %2 time%3)")
        .arg(lines)
        .arg(repeats)
        .arg(repeats == 1 ? QString() : QStringLiteral("s"));
}

// The shortest group of the last lines that stood that this line would begin again.
bool TRepeatTracker::StartGroup(const QString& text) {
    for (qsizetype size = 1; size <= History.size(); ++size) {
        if (History[History.size() - size] == text) {
            Group = History.mid(History.size() - size);
            return true;
        }
    }
    return false;
}

TRepeatTracker::TStep TRepeatTracker::EndGroup() {
    TStep step;
    if (Rounds > 0) {
        step.EndedGroup = GroupSize();
        step.EndedRepeats = Rounds;
    }
    step.Released = std::exchange(Held, {});
    Group.clear();
    Rounds = 0;
    for (const TLine& line : step.Released)
        Stood(line.Text);
    return step;
}

void TRepeatTracker::Stood(const QString& text) {
    History << text;
    if (History.size() > MaxGroup)
        History.removeFirst();
}

TLogEcho::TLogEcho(FILE* stream, std::function<qint64()> clock) : Stream(stream), Clock(std::move(clock)) {
    if (!Clock)
        Clock = [] {
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            return static_cast<qint64>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
        };
}

void TLogEcho::Echo(const QString& stamp, const QString& text) {
    const TRepeatTracker::TStep step = Tracker.Add({stamp, text});
    Ended(step);
    switch (step.Verdict) {
    case TRepeatTracker::TVerdict::Stands: Write(stamp, text); break;
    case TRepeatTracker::TVerdict::Held: break;
    case TRepeatTracker::TVerdict::Round: {
        const qint64 now = Clock();
        if (Tracker.Repeats() == 1)
            CountedAt = now;
        else if (now - CountedAt >= CountEveryMs) {
            WriteCount(Tracker.GroupSize(), Tracker.Repeats() - Counted);
            Counted = Tracker.Repeats();
            CountedAt = now;
        }
        break;
    }
    }
}

void TLogEcho::EchoApart(const QString& stamp, const QString& text) {
    Ended(Tracker.Break());
    Write(stamp, text);
}

void TLogEcho::Flush() { Ended(Tracker.Break()); }

// The count of what was not counted yet, then the lines held of a round that did not come whole.
void TLogEcho::Ended(const TRepeatTracker::TStep& step) {
    if (step.EndedGroup > 0) {
        if (step.EndedRepeats > Counted)
            WriteCount(step.EndedGroup, step.EndedRepeats - Counted);
        Counted = 0;
    }
    for (const TRepeatTracker::TLine& line : step.Released)
        Write(line.Stamp, line.Text);
}

void TLogEcho::Write(const QString& stamp, const QString& text) {
    std::fprintf(Stream, "%s%s\n", qPrintable(stamp), qPrintable(text));
    std::fflush(Stream);
}

void TLogEcho::WriteCount(int groupSize, int repeats) {
    std::fprintf(Stream, "%s\n", qPrintable(TRepeatTracker::CountText(groupSize, repeats)));
    std::fflush(Stream);
}
