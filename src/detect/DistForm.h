#pragma once
#include <QStringList>
#include <QWidget>
#include <memory>

#include "bridge/LogSink.h"
#include "platform/LogEcho.h"

class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTimer;
namespace journal {
class TJournal;
class TExchangesView;
}
struct TEnumSources;

// The Information window: the log and the list of the ports present, and beside the log the
// exchanges of the journal.
class TDistForm : public QWidget, public TLogSink {
public:
    explicit TDistForm(QWidget* parent = nullptr);
    ~TDistForm() override;

    void AddLogLine(const QByteArray& text, bool withTimeStamp) override;
    // Lines apart from the log's runs (the ports present): they end the run under way.
    void AppendMemoLines(const QStringList& lines);
    void BtEnumRSClick();
    void BtClearClick();
    void FormCanResize();
    // The journal whose exchanges the window shows beside the log.
    void SetJournal(journal::TJournal* journal);
    // Sizes the window for a screen of that much room: the exchanges with every column, the log
    // beside them, and a least size at which nothing overlaps.
    void PlaceDefault(const QSize& available);
    // Stores where the splitter stands, when that changed.
    void StoreSplit();

    QPlainTextEdit* Memo1;
    // The log and, once the journal is set, the exchanges beside it.
    QSplitter* SplitLog;
    journal::TExchangesView* Exchanges = nullptr;
    QPushButton* BtEnumRS;
    QPushButton* BtClear;
    // Stores the splitter once it has rested after a move.
    QTimer* TimerSplit;

    bool LogBusy = false;
    // Where the port enumeration looks; tests point it at trees of their own.
    std::unique_ptr<TEnumSources> EnumSources;
    // The copy of the log on standard error in a headless run; none otherwise.
    std::unique_ptr<TLogEcho> Echo;

    journal::TJournal* Journal = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // The reader's place before an append, kept or moved on by EndAppend.
    struct TPlace {
        bool Following;
        int Top;
        int Left;
    };
    void FollowReader();
    TPlace BeginAppend();
    void EndAppend(const TPlace& place);
    void AppendLine(const QString& line);
    void ShowStep(const TRepeatTracker::TStep& step, const QString& line);
    void EndRun();
    void RestoreSplit();

    // Runs of the memo: the lines held of a round are shown until the round is whole, when the
    // count line takes their place.
    TRepeatTracker Repeats;
    int HeldBlocks = 0;
    bool CountShown = false;
    int Trimmed = 0;
    // The reader is at the log's end, and an append under way moves the view itself.
    bool Following = true;
    bool Appending = false;
    int StoredSplit = 0;
};
