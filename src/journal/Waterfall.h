#pragma once
// The time scale of the exchanges' phase bars, laid over the rows in sight only: a page load reads
// as a waterfall whatever came before it. Idle stretches between the rows' spans are cut out of
// the scale when they are long beside the time the rows take, each to a narrow break; what stands
// between breaks gets an equal share of the width on a scale of its own, its ruler from 0, so that
// two page loads a minute apart both stay readable side by side.
#include <QString>
#include <vector>

#include "journal/Journal.h"

namespace journal {

// The moments an exchange spans, first to last.
struct TSpan {
    TMoment First = Never;
    TMoment Last = Never;
};

class TWaterfall {
public:
    // A stretch without any span longer than this is never cut.
    static constexpr int64_t MinCutUs = 1000000;
    // Each break's width in pixels, and at most this share of the width goes to breaks.
    static constexpr double BreakPx = 14;
    static constexpr double MinBreakPx = 6;
    static constexpr double BreaksShare = 0.4;
    // Ruler labels stand at least this far apart.
    static constexpr double LabelPx = 70;

    // Lays the spans (those with a first moment) over width pixels.
    static TWaterfall Lay(std::vector<TSpan> spans, double width);

    bool Empty() const { return Segments.empty(); }
    // Where a moment stands, 0 to the width.
    double X(TMoment moment) const;
    TMoment Start() const { return Empty() ? Never : Segments.front().First; }
    TMoment End() const { return Empty() ? Never : Segments.back().Last; }
    // The ruler's marks: the time since the start of the stretch the mark is in.
    struct TTick {
        double X;
        QString Label;
    };
    std::vector<TTick> Ticks() const;
    // Where each cut stands (its left edge) and how long the cut-out stretch was.
    struct TBreak {
        double X;
        int64_t Us;
    };
    std::vector<TBreak> Breaks() const;
    // The ruler's step in the first stretch.
    int64_t StepUs() const { return Empty() ? 0 : Segments.front().Step; }
    double BreakWidth() const { return Break; }
    bool operator==(const TWaterfall& other) const;

    static QString Duration(int64_t us);

private:
    struct TSegment {
        TMoment First;
        TMoment Last;
        double X0;
        double PxPerUs;
        int64_t Step;
    };
    std::vector<TSegment> Segments;
    double Width = 0;
    double Break = 0;
};

} // namespace journal
