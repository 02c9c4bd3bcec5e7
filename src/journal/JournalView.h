#pragma once
// The journal in the Information window, as a browser's network panel shows a page's requests: a
// table of exchanges that grows while it is watched, sorts on its headers and filters on a text,
// each row's phases drawn as a waterfall over the rows in sight with a ruler above, a menu per row,
// and the selected exchange's heads and kept bodies below.
#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QWidget>
#include <functional>
#include <optional>

#include "journal/ExchangeModel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTableView;

namespace journal {

class TExchangesView;

// Draws an entry's four phases (waiting room, sending, waiting, receiving) as one bar on the
// view's waterfall, with the ruler's marks and the breaks behind it.
class TPhaseDelegate : public QStyledItemDelegate {
public:
    TPhaseDelegate(const TExchangesView* view, QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The phases' colours: blocked, send, wait, receive.
    static QColor PhaseColour(int phase);
    // The bars' inset in their cell.
    static constexpr int Inset = 3;

private:
    const TExchangesView* View;
};

// The table's header, whose Phases section carries the ruler of the waterfall under its title.
class TRulerHeader : public QHeaderView {
public:
    TRulerHeader(const TExchangesView* view, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    const TExchangesView* View;
};

// The exchanges pane of the Information window.
class TExchangesView : public QWidget {
public:
    explicit TExchangesView(TJournal* journal, QWidget* parent = nullptr);

    QSize sizeHint() const override;

    // Writes the entries the table shows as HAR to path, on a worker thread; done gets the problem,
    // empty when it went well.
    void SaveHar(const QString& path, bool sensitive, std::function<void(QString problem)> done = {});
    // "Save as HAR...": the save dialog with its "keep sensitive values" check box, then the file.
    void BtSaveHarClick();
    // "Clear": empties the journal and the table.
    void BtClearJournalClick();

    // The waterfall of the rows in sight, laid anew when they or the column's width change.
    const TWaterfall& Scale() const { return Waterfall; }
    void Rescale();

    // The row menu of an entry, and what its items do.
    QMenu* RowMenu(const TEntry& entry, QWidget* parent);
    void CopyUrl(const TEntry& entry);
    void CopyCurl(const TEntry& entry);
    void CopyResponseBody(const TEntry& entry);
    void SaveResponseBody(const TEntry& entry);
    // Ctrl+C: the selected rows as "METHOD URL STATUS SIZE DURATION" lines.
    void CopyRows();

    // Asks where to save and whether to keep sensitive values; none when cancelled. Tests answer it.
    std::function<std::optional<std::pair<QString, bool>>()> AskSavePath;
    // Asks where to save a body, offering a name; empty when cancelled.
    std::function<QString(const QString& suggested)> AskBodyPath;

    TExchangeModel* Model;
    TExchangeFilter* Filter;
    QLineEdit* EditFilter;
    QCheckBox* CheckProbes;
    QLabel* StaticTextSaved;
    QPushButton* BtClearJournal;
    QPushButton* BtSaveHar;
    QSplitter* SplitDetails;
    QTableView* Table;
    QPlainTextEdit* MemoDetails;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateBar();
    void CreateTable();
    void ConnectTable();
    void ShowSelected();
    void EntryChanged(int row);
    void ShowRowMenu(const QPoint& at);
    const TEntry* EntryOfRow(int viewRow) const;

    TJournal* Journal;
    TWaterfall Waterfall;
    uint64_t Selected = 0;
    // What the details pane holds, and of which entry.
    uint64_t ShownSerial = 0;
    QString Shown;
};

// The save dialog with its check box.
std::optional<std::pair<QString, bool>> AskHarFile(QWidget* parent);

} // namespace journal
