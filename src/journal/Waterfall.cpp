#include "journal/Waterfall.h"

#include <algorithm>
#include <cmath>

namespace journal {
namespace {
// Runs of spans that overlap, in time order.
std::vector<TSpan> Runs(std::vector<TSpan> spans) {
    std::erase_if(spans, [](const TSpan& span) { return span.First == Never; });
    std::sort(spans.begin(), spans.end(), [](const TSpan& a, const TSpan& b) { return a.First < b.First; });
    std::vector<TSpan> runs;
    for (TSpan span : spans) {
        span.Last = std::max(span.First, span.Last);
        if (!runs.empty() && span.First <= runs.back().Last)
            runs.back().Last = std::max(runs.back().Last, span.Last);
        else
            runs.push_back(span);
    }
    return runs;
}

// The smallest of 1, 2 and 5 times a power of ten, from 100 us on, that is at least us.
int64_t NiceStep(double us) {
    for (int64_t power = 100;; power *= 10)
        for (const int64_t factor : {1, 2, 5})
            if (static_cast<double>(power * factor) >= us)
                return power * factor;
}
} // namespace

TWaterfall TWaterfall::Lay(std::vector<TSpan> spans, double width) {
    TWaterfall scale;
    const std::vector<TSpan> runs = Runs(std::move(spans));
    if (runs.empty() || width < 1)
        return scale;
    int64_t busy = 0;
    for (const TSpan& run : runs)
        busy += run.Last - run.First;
    // The gaps long beside the busy time, the longest first, as many as the breaks' share allows.
    const int64_t cutAfter = std::max<int64_t>(MinCutUs, busy / 2);
    std::vector<size_t> cuts;
    for (size_t i = 1; i < runs.size(); ++i)
        if (runs[i].First - runs[i - 1].Last > cutAfter)
            cuts.push_back(i);
    std::sort(cuts.begin(), cuts.end(), [&](size_t a, size_t b) {
        return runs[a].First - runs[a - 1].Last > runs[b].First - runs[b - 1].Last;
    });
    cuts.resize(std::min(cuts.size(), static_cast<size_t>(width * BreaksShare / MinBreakPx)));
    std::sort(cuts.begin(), cuts.end());
    scale.Width = width;
    scale.Break = cuts.empty() ? 0 : std::clamp(width * BreaksShare / static_cast<double>(cuts.size()), MinBreakPx, BreakPx);

    size_t next = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        if (i == 0 || (next < cuts.size() && cuts[next] == i)) {
            next += i == 0 ? 0 : 1;
            scale.Segments.push_back({runs[i].First, runs[i].Last, 0, 0, 0});
        } else
            scale.Segments.back().Last = runs[i].Last;
    }
    // Each stretch is a waterfall of its own: an equal share of the width and its own scale, so
    // that a page load reads the same whatever stretch came before it.
    const double share = (width - scale.Break * static_cast<double>(scale.Segments.size() - 1)) /
                         static_cast<double>(scale.Segments.size());
    double x = 0;
    for (TSegment& segment : scale.Segments) {
        const auto length = static_cast<double>(std::max<int64_t>(segment.Last - segment.First, 1000));
        segment.X0 = x;
        segment.PxPerUs = std::max(share, 1.0) / length;
        segment.Step = NiceStep(length / std::max(1.0, std::floor(share / LabelPx)));
        x += share + scale.Break;
    }
    return scale;
}

double TWaterfall::X(TMoment moment) const {
    if (Empty() || moment <= Segments.front().First)
        return 0;
    auto after = std::upper_bound(Segments.begin(), Segments.end(), moment,
                                  [](TMoment m, const TSegment& segment) { return m < segment.First; });
    const TSegment& segment = *std::prev(after);
    const double end = segment.X0 + static_cast<double>(segment.Last - segment.First) * segment.PxPerUs;
    if (moment > segment.Last)
        return std::min(Width, end + (after == Segments.end() ? 0 : Break / 2));
    return segment.X0 + static_cast<double>(moment - segment.First) * segment.PxPerUs;
}

std::vector<TWaterfall::TTick> TWaterfall::Ticks() const {
    std::vector<TTick> ticks;
    for (const TSegment& segment : Segments)
        for (int64_t at = 0; at <= segment.Last - segment.First || at == 0; at += segment.Step) {
            const double x = segment.X0 + static_cast<double>(at) * segment.PxPerUs;
            // A stretch's beginning matters more than the last mark of the stretch before it.
            while (at == 0 && !ticks.empty() && x - ticks.back().X < LabelPx * 0.75)
                ticks.pop_back();
            if (!ticks.empty() && x - ticks.back().X < LabelPx * 0.75)
                continue;
            ticks.push_back({x, Duration(at)});
        }
    return ticks;
}

std::vector<TWaterfall::TBreak> TWaterfall::Breaks() const {
    std::vector<TBreak> breaks;
    for (size_t i = 1; i < Segments.size(); ++i)
        breaks.push_back({Segments[i].X0 - Break, Segments[i].First - Segments[i - 1].Last});
    return breaks;
}

bool TWaterfall::operator==(const TWaterfall& other) const {
    if (Width != other.Width || Segments.size() != other.Segments.size())
        return false;
    for (size_t i = 0; i < Segments.size(); ++i)
        if (Segments[i].First != other.Segments[i].First || Segments[i].Last != other.Segments[i].Last)
            return false;
    return true;
}

QString TWaterfall::Duration(int64_t us) {
    if (us == 0)
        return QStringLiteral("0");
    if (us < 1000000)
        return QStringLiteral("%1 ms").arg(QString::number(static_cast<double>(us) / 1000.0, 'g', 4));
    if (us < 120000000)
        return QStringLiteral("%1 s").arg(QString::number(static_cast<double>(us) / 1e6, 'g', 4));
    return QStringLiteral("%1 min").arg(QString::number(static_cast<double>(us) / 6e7, 'g', 3));
}

} // namespace journal
