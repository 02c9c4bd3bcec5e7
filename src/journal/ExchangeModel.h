#pragma once
// The journal's ring as the exchanges table sees it: a model that follows the ring while it is
// watched, and the filter and sort in front of it.
#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QStringList>

#include "journal/Journal.h"
#include "journal/Waterfall.h"

namespace journal {

// The ring's rows as a table. It follows the journal only while it is live (its window shown), so
// that a hidden window costs the bridge nothing; going live it reads the ring afresh.
class TExchangeModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum TColumn { ColTime, ColMethod, ColTarget, ColStatus, ColSize, ColDuration, ColOutcome, ColPhases, ColumnCount };
    // The entry's serial, for the selection to follow its row.
    static constexpr int SerialRole = Qt::UserRole + 1;
    // What a column sorts by.
    static constexpr int SortRole = Qt::UserRole + 2;

    explicit TExchangeModel(TJournal* journal, QObject* parent = nullptr);

    void SetLive(bool live);
    bool Live() const { return IsLive; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The row's entry; none once the ring dropped it.
    const TEntry* EntryAt(int row) const;

private:
    void Reset();
    void Added(int row);
    void Changed(int row);
    void Dropped(int count);

    TJournal* Journal;
    // Row r shows the entry with serial First + r.
    uint64_t First = 0;
    int Rows = 0;
    bool IsLive = false;
};

// Hides probe entries unless they are asked for, and rows that do not hold every word of the
// filter text in their method, target, status or outcome.
class TExchangeFilter : public QSortFilterProxyModel {
public:
    explicit TExchangeFilter(TExchangeModel* model, QObject* parent = nullptr);
    void SetProbesShown(bool shown);
    bool ProbesShown() const { return WithProbes; }
    void SetText(const QString& text);
    // Whether the table shows the entry.
    bool Accepts(const TEntry& entry) const;
    // The entry of a row of this model.
    const TEntry* EntryAt(int row) const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    TExchangeModel* Model;
    bool WithProbes = false;
    QStringList Words;
};

// The first and the last moment an entry has, for its bar and the scale.
TSpan EntrySpan(const TEntry& entry);
// The table's short word for an outcome; the tooltip and the details say it whole.
QString ShortOutcome(const TEntry& entry);
QString SizeText(qint64 bytes);
QString DurationText(int64_t us);

} // namespace journal
