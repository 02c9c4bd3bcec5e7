// The Information window and its log.
#include <QDateTime>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSplitter>
#include <QTextBlock>
#include <QTextCursor>

#include "detect/DistForm.h"
#include "detect/EnumDevices.h"
#include "journal/JournalView.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Headless.h"
#include "platform/LogEcho.h"
#include "platform/WinMessage.h"

namespace {
constexpr int MaxLogLines = 200;

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
    LogBusy = false;
    EnumSources = std::make_unique<TEnumSources>();
    if (IsHeadless())
        Echo = std::make_unique<TLogEcho>();
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
    const QString shown = ShownText(text);
    while (LineCount(Memo1) > MaxLogLines)
        DeleteFirstLine(Memo1);
    Memo1->appendPlainText(stamp + QLatin1Char(' ') + shown);
    Memo1->moveCursor(QTextCursor::End);
    if (Echo)
        Echo->Echo(stamp, QLatin1Char(' ') + shown);
}

void TDistForm::AppendMemoLines(const QStringList& lines) {
    for (const QString& line : lines) {
        Memo1->appendPlainText(line);
        if (Echo)
            Echo->Echo(QString(), line);
    }
}

void TDistForm::BtEnumRSClick() {
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
    SplitLog->setStretchFactor(0, 2);
    SplitLog->setStretchFactor(1, 3);
    resize(1100, 520);
    SplitLog->setSizes({420, 664});
    setTabOrder(BtClear, Exchanges);
}

void TDistForm::BtClearClick() { Memo1->clear(); }

void TDistForm::FormCanResize() { SplitLog->setGeometry(8, 64, width() - 16, height() - 72); }

void TDistForm::resizeEvent(QResizeEvent* event) {
    FormCanResize();
    QWidget::resizeEvent(event);
}
