// The Information window and its log.
#include <QDateTime>
#include <QGuiApplication>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include "detect/DistForm.h"
#include "detect/EnumDevices.h"
#include "journal/JournalView.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Headless.h"
#include "platform/WinMessage.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"

namespace {
constexpr int MaxLogLines = 200;
const QSize DefaultSize(1280, 640);
// The log's share of the splitter at the default size, in per cent.
constexpr int LogShare = 30;

QString TimeStamp() {
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(now.time(), QLocale::LongFormat);
}

QString ShownText(QByteArray text) {
    text.replace('\0', "#0");
    QString shown = QString::fromUtf8(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

int Blocks(const QString& line) { return static_cast<int>(line.count(QLatin1Char('\n'))) + 1; }

int LineCount(const QPlainTextEdit* memo) {
    const QTextDocument* document = memo->document();
    return document->isEmpty() ? 0 : document->blockCount();
}

void DeleteFirstLine(QPlainTextEdit* memo) {
    QTextCursor cursor(memo->document()->firstBlock());
    cursor.select(QTextCursor::BlockUnderCursor);
    cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void DeleteLastLines(QPlainTextEdit* memo, int count) {
    QTextBlock first = memo->document()->lastBlock();
    for (int i = 1; i < count && first.previous().isValid(); ++i)
        first = first.previous();
    QTextCursor cursor(memo->document());
    cursor.setPosition(first.previous().isValid() ? first.position() - 1 : 0);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void ReplaceLastLine(QPlainTextEdit* memo, const QString& text) {
    QTextCursor cursor(memo->document()->lastBlock());
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(text);
}

QSize AvailableSize(const QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry().size() : DefaultSize;
}
} // namespace

TDistForm::TDistForm(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("DistForm"));
    setWindowTitle(QStringLiteral("Information"));
    setGeometry(296, 233, 660, 410);
    SplitLog = new QSplitter(Qt::Horizontal, this);
    SplitLog->setObjectName(QStringLiteral("SplitLog"));
    SplitLog->setChildrenCollapsible(false);
    SplitLog->setGeometry(8, 64, 644, 338);
    Memo1 = new QPlainTextEdit(SplitLog);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setAccessibleName(QStringLiteral("Log"));
    SplitLog->addWidget(Memo1);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(QFont(QStringLiteral("monospace")));
    BtEnumRS = new QPushButton(QStringLiteral("Available COM ports"), this);
    BtEnumRS->setObjectName(QStringLiteral("BtEnumRS"));
    BtEnumRS->setGeometry(8, 16, 137, 25);
    BtClear = new QPushButton(QStringLiteral("Clear Log"), this);
    BtClear->setObjectName(QStringLiteral("BtClear"));
    BtClear->setGeometry(216, 16, 113, 25);
    setTabOrder(Memo1, BtEnumRS);
    setTabOrder(BtEnumRS, BtClear);
    connect(BtEnumRS, &QPushButton::clicked, this, &TDistForm::BtEnumRSClick);
    connect(BtClear, &QPushButton::clicked, this, &TDistForm::BtClearClick);
    FollowReader();
    TimerSplit = new QTimer(this);
    TimerSplit->setObjectName(QStringLiteral("TimerSplit"));
    TimerSplit->setSingleShot(true);
    TimerSplit->setInterval(1000);
    connect(TimerSplit, &QTimer::timeout, this, &TDistForm::StoreSplit);
    connect(SplitLog, &QSplitter::splitterMoved, TimerSplit, qOverload<>(&QTimer::start));
    LogBusy = false;
    EnumSources = std::make_unique<TEnumSources>();
    if (IsHeadless())
        Echo = std::make_unique<TLogEcho>();
    PlaceDefault(AvailableSize(this));
}

TDistForm::~TDistForm() = default;

void TDistForm::AddLogLine(const QByteArray& text, bool withTimeStamp) {
    if (ProgramClosing || ApplicationTerminating())
        return;
    if (LogBusy) {
        ShowErrorBox(QStringLiteral("Error (1)"));
        return;
    }
    LogBusy = true;
    const auto clear = qScopeGuard([this] { LogBusy = false; });
    const QString stamp = withTimeStamp ? TimeStamp() : QString();
    const QString shown = QLatin1Char(' ') + ShownText(text);
    const TPlace place = BeginAppend();
    ShowStep(Repeats.Add({stamp, shown}), stamp + shown);
    EndAppend(place);
    if (Echo)
        Echo->Echo(stamp, shown);
}

void TDistForm::AppendMemoLines(const QStringList& lines) {
    const TPlace place = BeginAppend();
    EndRun();
    for (const QString& line : lines) {
        Memo1->appendPlainText(line);
        if (Echo)
            Echo->EchoApart(QString(), line);
    }
    EndAppend(place);
}

// Lines of a round are shown while it comes; the round made whole takes them back, and the count
// line after the group says how often it came round.
void TDistForm::ShowStep(const TRepeatTracker::TStep& step, const QString& line) {
    if (step.EndedGroup > 0)
        CountShown = false;
    if (step.EndedGroup > 0 || !step.Released.isEmpty())
        HeldBlocks = 0;
    switch (step.Verdict) {
    case TRepeatTracker::TVerdict::Stands: AppendLine(line); break;
    case TRepeatTracker::TVerdict::Held:
        AppendLine(line);
        HeldBlocks += Blocks(line);
        break;
    case TRepeatTracker::TVerdict::Round: {
        if (HeldBlocks > 0)
            DeleteLastLines(Memo1, std::exchange(HeldBlocks, 0));
        const QString count = TRepeatTracker::CountText(Repeats.GroupSize(), Repeats.Repeats());
        if (CountShown)
            ReplaceLastLine(Memo1, count);
        else
            AppendLine(count);
        CountShown = true;
        break;
    }
    }
}

void TDistForm::AppendLine(const QString& line) {
    while (LineCount(Memo1) > MaxLogLines) {
        DeleteFirstLine(Memo1);
        ++Trimmed;
    }
    Memo1->appendPlainText(line);
}

void TDistForm::EndRun() {
    Repeats.Break();
    HeldBlocks = 0;
    CountShown = false;
}

// A reader at the bottom follows the log; one who scrolled up keeps the place.
// Whether the log follows its end is the reader's choice alone: a relayout that only moves the
// end (a scroll bar coming or going) keeps following it, and scrolling back to the end follows again.
void TDistForm::FollowReader() {
    QScrollBar* vertical = Memo1->verticalScrollBar();
    connect(vertical, &QScrollBar::valueChanged, this, [this, vertical](int value) {
        if (!Appending)
            Following = value >= vertical->maximum();
    });
    connect(vertical, &QScrollBar::rangeChanged, this, [this, vertical](int, int maximum) {
        if (Following && !Appending)
            vertical->setValue(maximum);
    });
}

TDistForm::TPlace TDistForm::BeginAppend() {
    Trimmed = 0;
    Appending = true;
    return {Following, Memo1->verticalScrollBar()->value(), Memo1->horizontalScrollBar()->value()};
}

// The caret goes to the start of the last line, so that following never scrolls sideways to the
// end of a long line, and the view keeps the reader's sideways place.
void TDistForm::EndAppend(const TPlace& place) {
    QScrollBar* vertical = Memo1->verticalScrollBar();
    if (place.Following) {
        Memo1->setTextCursor(QTextCursor(Memo1->document()->lastBlock()));
        vertical->setValue(vertical->maximum());
    } else
        vertical->setValue(std::max(0, place.Top - Trimmed));
    Memo1->horizontalScrollBar()->setValue(place.Left);
    Appending = false;
}

void TDistForm::BtEnumRSClick() {
    EndRun();
    const std::unique_ptr<QStringList> ports = GetComPortList(*EnumSources);
    AddLogLine(QByteArray(), false);
    if (!ports)
        return;
    AppendMemoLines(*ports);
    AddLogLine(QByteArray(), false);
}

// The window grows to hold the exchanges beside the log.
void TDistForm::SetJournal(journal::TJournal* journal) {
    Journal = journal;
    if (!journal || Exchanges)
        return;
    Exchanges = new journal::TExchangesView(journal, SplitLog);
    SplitLog->addWidget(Exchanges);
    SplitLog->setStretchFactor(0, LogShare);
    SplitLog->setStretchFactor(1, 100 - LogShare);
    setTabOrder(BtClear, Exchanges);
    PlaceDefault(AvailableSize(this));
    RestoreSplit();
}

// The exchanges get the width their columns ask for, or more, the log about 30 % of the width.
void TDistForm::PlaceDefault(const QSize& available) {
    const QSize least = SplitLog->minimumSizeHint();
    setMinimumSize(QSize(std::max(BtClear->geometry().right() + 9, least.width() + 16), 64 + least.height() + 8)
                       .boundedTo(available));
    if (!Exchanges)
        return;
    const QSize view = Exchanges->sizeHint();
    const int handle = SplitLog->handleWidth();
    const int needed = view.width() * 100 / (100 - LogShare) + handle + 16;
    resize(DefaultSize.expandedTo(QSize(needed, view.height() + 72)).boundedTo(available).expandedTo(minimumSize()));
    FormCanResize();
    const int inside = SplitLog->width() - handle;
    const int exchanges =
        std::max(inside * (100 - LogShare) / 100, std::min(view.width(), inside - Memo1->minimumSizeHint().width()));
    SplitLog->setSizes({inside - exchanges, exchanges});
}

// A stored width the window cannot give both panes is ignored, as is anything that is no number.
void TDistForm::RestoreSplit() {
    int stored = 0;
    try {
        stored = SettingsReadInteger(key::InformationSplit, 0);
    } catch (const ESettingsError&) {
        return;
    }
    const int inside = SplitLog->width() - SplitLog->handleWidth();
    if (stored < Memo1->minimumSizeHint().width() || stored > inside - Exchanges->minimumSizeHint().width())
        return;
    SplitLog->setSizes({stored, inside - stored});
    StoredSplit = stored;
}

// Window state is worth no error box: a file that cannot be written keeps the place it had.
void TDistForm::StoreSplit() {
    TimerSplit->stop();
    if (!Exchanges)
        return;
    const int log = SplitLog->sizes().value(0);
    if (log <= 0 || log == StoredSplit)
        return;
    try {
        SettingsWriteInteger(key::InformationSplit, log);
        StoredSplit = log;
    } catch (const ESettingsError&) {
    }
}

void TDistForm::BtClearClick() {
    Memo1->clear();
    EndRun();
}

void TDistForm::FormCanResize() { SplitLog->setGeometry(8, 64, width() - 16, height() - 72); }

void TDistForm::resizeEvent(QResizeEvent* event) {
    FormCanResize();
    QWidget::resizeEvent(event);
}

void TDistForm::hideEvent(QHideEvent* event) {
    StoreSplit();
    QWidget::hideEvent(event);
}
