#pragma once
#include <QList>
#include <QString>
#include <cstdio>
#include <functional>

// Copies log lines to a stream (standard error in a headless run). A group of up to MaxGroup
// lines that repeats (identical but for the time stamps) is written once, then a count such as
// "the last 2 lines repeated 40 times" when something else is logged, and at most once an hour
// while it goes on, so that a missing device cannot flood a journal. The first line that breaks
// the repetition is written at once; no line is lost.
class TLogEcho {
public:
    static constexpr int MaxGroup = 4;
    static constexpr qint64 CountEveryMs = 3600 * 1000;

    // clock: milliseconds on any steady scale; the system's when none is given.
    explicit TLogEcho(FILE* stream = stderr, std::function<qint64()> clock = {});
    ~TLogEcho() { Flush(); }

    // stamp: the time stamp, written before the text; text: what is compared.
    void Echo(const QString& stamp, const QString& text);
    // Writes the count and the lines held back of a repetition under way.
    void Flush();

private:
    struct TLine {
        QString Stamp;
        QString Text;
    };
    bool StartGroup(const QString& text);
    void EndGroup();
    void Write(const TLine& line);
    void WriteCount();

    FILE* Stream;
    std::function<qint64()> Clock;
    QList<QString> History;  // the texts last written, at most MaxGroup
    QList<QString> Group;    // the lines that repeat, or may be starting to
    QList<TLine> Held;       // this round of the group so far, not written
    bool Confirmed = false;  // the group came round whole at least once
    int Repeats = 0;         // rounds since the group or the last count line was written
    qint64 CountedAt = 0;
};
