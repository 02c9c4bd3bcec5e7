#pragma once
// The journal in the Information window: a table of exchanges that grows while it is watched,
// each row with its phases drawn to a common time scale, and the selected exchange's heads and
// kept bodies below it.
#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QWidget>
#include <deque>
#include <functional>
#include <optional>

#include "journal/Journal.h"

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace journal {

// The ring's rows as a table. It follows the journal only while it is live (its window shown), so
// that a hidden window costs the bridge nothing; going live it reads the ring afresh.
class TExchangeModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum TColumn { ColTime, ColMethod, ColTarget, ColStatus, ColSize, ColOutcome, ColPhases, ColumnCount };
    // The entry's serial, for the selection to follow its row.
    static constexpr int SerialRole = Qt::UserRole + 1;

    explicit TExchangeModel(TJournal* journal, QObject* parent = nullptr);

    void SetLive(bool live);
    bool Live() const { return IsLive; }
    // Probe entries count for the time scale only while they are shown.
    void SetProbesShown(bool shown);
    bool ProbesShown() const { return WithProbes; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The row's entry; none once the ring dropped it.
    const TEntry* EntryAt(int row) const;
    // The common time scale of the rows' phase bars.
    TMoment ScaleStart() const { return Start; }
    TMoment ScaleEnd() const { return End; }

signals:
    // The scale moved: every bar is drawn anew, though no row's data changed.
    void ScaleChanged();

private:
    void Reset();
    void Added(int row);
    void Changed(int row);
    void Dropped(int count);
    bool Counts(const TEntry& entry) const { return WithProbes || !entry.IsProbe(); }
    void Widen(const TEntry& entry);
    void WidenEnd(const TEntry& entry);
    void Rescale();

    TJournal* Journal;
    // Row r shows the entry with serial First + r.
    uint64_t First = 0;
    int Rows = 0;
    bool IsLive = false;
    bool WithProbes = false;
    TMoment Start = Never;
    TMoment End = Never;
    // An entry's first moment is fixed once it is added, and rows go oldest first: the rows that
    // may yet hold the start, their first moments rising, give it anew as rows go without a pass
    // over the rest.
    std::deque<std::pair<uint64_t, TMoment>> Starts;
    // The newest row whose last moment is the end; the end needs a pass only once that row went.
    uint64_t EndSerial = 0;
};

// Hides probe entries unless they are asked for.
class TExchangeFilter : public QSortFilterProxyModel {
public:
    explicit TExchangeFilter(TExchangeModel* model, QObject* parent = nullptr);
    void SetProbesShown(bool shown);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    TExchangeModel* Model;
};

// Draws an entry's four phases (waiting room, sending, waiting, receiving) as one bar on the
// model's common time scale, as a browser's network panel does.
class TPhaseDelegate : public QStyledItemDelegate {
public:
    TPhaseDelegate(TExchangeModel* model, QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The phases' colours: blocked, send, wait, receive.
    static QColor PhaseColour(int phase);

private:
    TExchangeModel* Model;
};

// The exchanges pane of the Information window.
class TExchangesView : public QWidget {
public:
    explicit TExchangesView(TJournal* journal, QWidget* parent = nullptr);

    // What the details pane shows of an entry.
    static QString Details(const TEntry& entry);
    // Writes the journal as HAR to path; empty when it went well, otherwise why not.
    QString SaveHar(const QString& path, bool sensitive);
    // "Save as HAR...": the save dialog with its "keep sensitive values" check box, then the file.
    void BtSaveHarClick();

    // Asks where to save and whether to keep sensitive values; none when cancelled. Tests answer it.
    std::function<std::optional<std::pair<QString, bool>>()> AskSavePath;

    TExchangeModel* Model;
    TExchangeFilter* Filter;
    QCheckBox* CheckProbes;
    QPushButton* BtSaveHar;
    QTableView* Table;
    QPlainTextEdit* MemoDetails;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowSelected();
    void EntryChanged(int row);

    TJournal* Journal;
    uint64_t Selected = 0;
    // What the details pane holds, and of which entry.
    uint64_t ShownSerial = 0;
    QString Shown;
};

// The save dialog with its check box.
std::optional<std::pair<QString, bool>> AskHarFile(QWidget* parent);

} // namespace journal
