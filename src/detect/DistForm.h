#pragma once
#include <QStringList>
#include <QWidget>
#include <memory>

#include "bridge/LogSink.h"

class QPlainTextEdit;
class QPushButton;
class QSplitter;
class TLogEcho;
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
    void AppendMemoLines(const QStringList& lines);
    void BtEnumRSClick();
    void BtClearClick();
    void FormCanResize();
    // The journal whose exchanges the window shows beside the log.
    void SetJournal(journal::TJournal* journal);

    QPlainTextEdit* Memo1;
    // The log and, once the journal is set, the exchanges beside it.
    QSplitter* SplitLog;
    journal::TExchangesView* Exchanges = nullptr;
    QPushButton* BtEnumRS;
    QPushButton* BtClear;

    bool LogBusy = false;
    // Where the port enumeration looks; tests point it at trees of their own.
    std::unique_ptr<TEnumSources> EnumSources;
    // The copy of the log on standard error in a headless run; none otherwise.
    std::unique_ptr<TLogEcho> Echo;

    journal::TJournal* Journal = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
};
