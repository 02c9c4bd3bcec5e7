#pragma once
#include <QList>
#include <QString>
#include <cstdio>
#include <functional>

// Tells the log lines that repeat from those that do not. A group of up to MaxGroup lines that
// comes round again (identical but for the time stamps) is a run: each line of a round is held
// until the round is whole, which counts one repeat. The first line that breaks a run stands as it
// is, and the lines held of a round that did not come whole are let go before it, so no line is
// lost. The log's window and its copy on standard error both collapse runs through it.
class TRepeatTracker {
public:
    static constexpr int MaxGroup = 4;

    struct TLine {
        QString Stamp;
        QString Text;  // what is compared
    };
    enum class TVerdict {
        Stands,  // the line stands as it is
        Held,    // the line may belong to a round of a group that repeats
        Round,   // the line made a round whole: the lines held and it are one more repeat
    };
    struct TStep {
        TVerdict Verdict = TVerdict::Stands;
        // A run this line ended: its group's size and its repeats; 0 when none ended.
        int EndedGroup = 0;
        int EndedRepeats = 0;
        // The lines held that stand after all, before this line.
        QList<TLine> Released;
    };

    TStep Add(const TLine& line);
    // Ends the run under way; what follows repeats none of the lines before.
    TStep Break();

    int GroupSize() const { return static_cast<int>(Group.size()); }
    // Rounds of the run under way; 0 while none came whole.
    int Repeats() const { return Rounds; }

    // "  (the last 3 lines repeated 40 times)"
    static QString CountText(int groupSize, int repeats);

private:
    bool StartGroup(const QString& text);
    TStep EndGroup();
    void Stood(const QString& text);

    QList<QString> History;  // the texts of the last lines that stood, at most MaxGroup
    QList<QString> Group;    // the lines that repeat, or may be starting to
    QList<TLine> Held;       // this round of the group so far
    int Rounds = 0;
};

// Copies log lines to a stream (standard error in a headless run). A run is written once, then a
// count when something else is logged, and at most once an hour while it goes on, so that a
// missing device cannot flood a journal. The first line that breaks the run is written at once.
class TLogEcho {
public:
    static constexpr qint64 CountEveryMs = 3600 * 1000;

    // clock: milliseconds on any steady scale; the system's when none is given.
    explicit TLogEcho(FILE* stream = stderr, std::function<qint64()> clock = {});
    ~TLogEcho() { Flush(); }

    // stamp: the time stamp, written before the text; text: what is compared.
    void Echo(const QString& stamp, const QString& text);
    // A line that is no part of any run (a list of ports): it ends the run under way.
    void EchoApart(const QString& stamp, const QString& text);
    // Writes the count and the lines held back of a run under way.
    void Flush();

private:
    void Ended(const TRepeatTracker::TStep& step);
    void Write(const QString& stamp, const QString& text);
    void WriteCount(int groupSize, int repeats);

    FILE* Stream;
    std::function<qint64()> Clock;
    TRepeatTracker Tracker;
    int Counted = 0;  // repeats of the run under way already written in a count line
    qint64 CountedAt = 0;
};
