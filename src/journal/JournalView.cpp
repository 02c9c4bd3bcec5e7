// The journal in the Information window.
#include "journal/JournalView.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>

#include "journal/Curl.h"
#include "journal/EntryDetails.h"
#include "journal/Har.h"
#include "journal/HarExport.h"
#include "platform/Dialogs.h"

namespace journal {
namespace {
// Why the answer's body cannot be copied or saved as it is; empty when it can.
QString BodyProblem(const TEntry& entry) {
    if (entry.AnswerBody.Size == 0)
        return QStringLiteral("no body");
    if (entry.AnswerBody.How != TKept::Whole)
        return QStringLiteral("not kept whole");
    return {};
}

// The answer's media type, without its parameters.
QString ContentType(const TEntry& entry) {
    for (const QByteArray& line : entry.AnswerHead.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).trimmed().compare("content-type", Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(line.sliced(colon + 1).split(';').first().trimmed()).toLower();
    }
    return {};
}

// A media type the clipboard may carry under its own name: type/subtype and nothing else.
bool PlainMediaType(const QString& type) {
    static const QRegularExpression plain(QStringLiteral("^[a-z0-9][a-z0-9.+-]*/[a-z0-9][a-z0-9.+-]*$"));
    return plain.match(type).hasMatch();
}

// The last part of the target's path, for the name a saved body is offered under.
QString BodyName(const TEntry& entry) {
    const QByteArray path = entry.Target().split('?').first();
    const QString name = QString::fromLatin1(path.mid(path.lastIndexOf('/') + 1)).remove(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")));
    return name.isEmpty() || name.startsWith(QLatin1Char('.')) ? QStringLiteral("body") : name;
}

void AddButton(QHBoxLayout* bar, QPushButton* button, const char* name, const QString& tip) {
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    bar->addWidget(button);
}
} // namespace

TPhaseDelegate::TPhaseDelegate(const TExchangesView* view, QObject* parent) : QStyledItemDelegate(parent), View(view) {}

QColor TPhaseDelegate::PhaseColour(int phase) {
    switch (phase) {
    case 0: return QColor(176, 176, 176);  // the waiting room
    case 1: return QColor(245, 166, 35);   // sending the request
    case 2: return QColor(76, 175, 80);    // waiting for the first byte
    default: return QColor(33, 118, 210);  // receiving
    }
}

QSize TPhaseDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(std::max(size.width(), 200));
    return size;
}

void TPhaseDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    const TWaterfall& scale = View->Scale();
    const TEntry* entry = View->Filter->EntryAt(index.row());
    if (!entry || scale.Empty())
        return;
    const QRectF area = QRectF(option.rect).adjusted(Inset, 4, -Inset, -4);
    auto x = [&](int64_t moment) { return area.left() + scale.X(moment); };
    painter->save();
    // On the selection's colour the bars stand on a strip of the base colour, so that they stay seen.
    if (option.state & QStyle::State_Selected)
        painter->fillRect(area.adjusted(-2, -2, 2, 2), option.palette.base());
    painter->setPen(QColor(0, 0, 0, 30));
    for (const TWaterfall::TTick& tick : scale.Ticks())
        painter->drawLine(QPointF(area.left() + tick.X, option.rect.top()), QPointF(area.left() + tick.X, option.rect.bottom()));
    for (const TWaterfall::TBreak& cut : scale.Breaks())
        painter->fillRect(QRectF(area.left() + cut.X, option.rect.top(), scale.BreakWidth(), option.rect.height()), QColor(0, 0, 0, 20));
    painter->setPen(Qt::NoPen);
    const TEntry::TPhases phases = entry->Phases();
    const int64_t lengths[4] = {phases.Blocked, phases.Send, phases.Wait, phases.Receive};
    const TMoment first = EntrySpan(*entry).First;
    int64_t at = first;
    for (int phase = 0; phase < 4; ++phase) {
        QRectF piece(x(at), area.top(), x(at + lengths[phase]) - x(at), area.height());
        if (lengths[phase] > 0) {
            piece.setWidth(std::max(1.0, piece.width()));
            painter->setBrush(PhaseColour(phase));
            painter->drawRect(piece);
        }
        at += lengths[phase];
    }
    // A bar too short to see still marks where it is.
    if (x(at) - x(first) < 2) {
        painter->setBrush(PhaseColour(3));
        painter->drawRect(QRectF(x(first), area.top(), 2, area.height()));
    }
    painter->restore();
}

TRulerHeader::TRulerHeader(const TExchangesView* view, QWidget* parent) : QHeaderView(Qt::Horizontal, parent), View(view) {
    setObjectName(QStringLiteral("HeaderExchanges"));
}

// Room for the titles and, under the Phases title, the ruler.
QSize TRulerHeader::sizeHint() const {
    QSize size = QHeaderView::sizeHint();
    size.setHeight(std::max(size.height(), fontMetrics().height() * 2 + 8));
    return size;
}

void TRulerHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    const TWaterfall& scale = View->Scale();
    if (logicalIndex != TExchangeModel::ColPhases || scale.Empty())
        return;
    painter->save();
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    painter->setFont(small);
    painter->setPen(palette().color(QPalette::WindowText));
    const int left = rect.left() + TPhaseDelegate::Inset;
    const int bottom = rect.bottom() - 1;
    const int textTop = rect.top() + rect.height() / 2;
    for (const TWaterfall::TTick& tick : scale.Ticks()) {
        const int x = left + static_cast<int>(tick.X);
        painter->drawLine(x, bottom - 4, x, bottom);
        if (x + painter->fontMetrics().horizontalAdvance(tick.Label) + 2 < rect.right())
            painter->drawText(QRect(x + 2, textTop, rect.right() - x, bottom - textTop), Qt::AlignLeft | Qt::AlignVCenter, tick.Label);
    }
    for (const TWaterfall::TBreak& cut : scale.Breaks()) {
        const double x = left + cut.X;
        painter->drawLine(QPointF(x + 2, bottom), QPointF(x + scale.BreakWidth() / 2, textTop));
        painter->drawLine(QPointF(x + scale.BreakWidth() / 2, bottom), QPointF(x + scale.BreakWidth() - 2, textTop));
    }
    painter->restore();
}

TExchangesView::TExchangesView(TJournal* journal, QWidget* parent)
    : QWidget(parent), Model(new TExchangeModel(journal, this)), Filter(new TExchangeFilter(Model, this)),
      EditFilter(new QLineEdit(this)), CheckProbes(new QCheckBox(QStringLiteral("Show &probes"), this)),
      StaticTextSaved(new QLabel(this)), BtClearJournal(new QPushButton(QStringLiteral("C&lear"), this)),
      BtSaveHar(new QPushButton(QStringLiteral("Save as &HAR..."), this)), SplitDetails(new QSplitter(Qt::Vertical, this)),
      Table(new QTableView(this)), MemoDetails(new QPlainTextEdit(this)), Journal(journal) {
    setObjectName(QStringLiteral("ExchangesView"));
    CreateBar();
    CreateTable();
    MemoDetails->setObjectName(QStringLiteral("MemoDetails"));
    MemoDetails->setAccessibleName(QStringLiteral("Details of the selected exchange"));
    MemoDetails->setReadOnly(true);
    // Its text is replaced piece by piece while an entry is under way; nothing is to be undone.
    MemoDetails->setUndoRedoEnabled(false);
    MemoDetails->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoDetails->setFont(QFont(QStringLiteral("monospace")));
    MemoDetails->setPlaceholderText(QStringLiteral("Select an exchange to see what happened, its heads and its bodies."));
    SplitDetails->setObjectName(QStringLiteral("SplitDetails"));
    SplitDetails->setChildrenCollapsible(false);
    SplitDetails->addWidget(Table);
    SplitDetails->addWidget(MemoDetails);
    SplitDetails->setStretchFactor(0, 3);
    SplitDetails->setStretchFactor(1, 2);
    static_cast<QVBoxLayout*>(layout())->addWidget(SplitDetails, 1);
    setTabOrder(EditFilter, CheckProbes);
    setTabOrder(CheckProbes, BtClearJournal);
    setTabOrder(BtClearJournal, BtSaveHar);
    setTabOrder(BtSaveHar, Table);
    setTabOrder(Table, MemoDetails);
    ConnectTable();
    AskSavePath = [this] { return AskHarFile(this); };
    AskBodyPath = [this](const QString& suggested) {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Save the response body"), QDir::home().filePath(suggested));
    };
}

// The filter, the probes, then what is done with the journal.
void TExchangesView::CreateBar() {
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    EditFilter->setObjectName(QStringLiteral("EditFilter"));
    EditFilter->setPlaceholderText(QStringLiteral("Filter"));
    EditFilter->setAccessibleName(QStringLiteral("Filter exchanges"));
    EditFilter->setToolTip(QStringLiteral("Shows only the exchanges whose method, target, status or outcome hold every "
                                          "word typed here, such as \"503\" or \"POST upload\"."));
    EditFilter->setClearButtonEnabled(true);
    EditFilter->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('0')) * 16);
    bar->addWidget(EditFilter, 1);
    CheckProbes->setObjectName(QStringLiteral("CheckProbes"));
    CheckProbes->setToolTip(QStringLiteral("Also list the device probes: the idle probe, Check Device, the detection pass and the follower"));
    bar->addWidget(CheckProbes);
    StaticTextSaved->setObjectName(QStringLiteral("StaticTextSaved"));
    StaticTextSaved->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    bar->addWidget(StaticTextSaved, 2);
    AddButton(bar, BtClearJournal, "BtClearJournal", QStringLiteral("Empty the journal and this table (the log keeps its lines)"));
    AddButton(bar, BtSaveHar, "BtSaveHar",
              QStringLiteral("Write the exchanges the table shows as a HAR file, which browsers' network panels open"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
}

void TExchangesView::CreateTable() {
    Table->setObjectName(QStringLiteral("TableExchanges"));
    Table->setAccessibleName(QStringLiteral("Exchanges"));
    Table->setHorizontalHeader(new TRulerHeader(this, Table));
    Table->setModel(Filter);
    Table->setItemDelegateForColumn(TExchangeModel::ColPhases, new TPhaseDelegate(this, Table));
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setWordWrap(false);
    Table->setTextElideMode(Qt::ElideMiddle);
    Table->setContextMenuPolicy(Qt::CustomContextMenu);
    Table->verticalHeader()->hide();
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 6);
    QHeaderView* header = Table->horizontalHeader();
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    Table->setSortingEnabled(true);
    Table->sortByColumn(TExchangeModel::ColTime, Qt::AscendingOrder);
    const int digit = Table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    const int widths[TExchangeModel::ColPhases] = {12, 6, 18, 6, 8, 8, 18};
    for (int column = 0; column < TExchangeModel::ColPhases; ++column)
        Table->setColumnWidth(column, digit * widths[column]);
    Table->viewport()->installEventFilter(this);
    Table->installEventFilter(this);
}

void TExchangesView::ConnectTable() {
    connect(EditFilter, &QLineEdit::textChanged, Filter, &TExchangeFilter::SetText);
    connect(CheckProbes, &QCheckBox::toggled, Filter, &TExchangeFilter::SetProbesShown);
    connect(BtClearJournal, &QPushButton::clicked, this, &TExchangesView::BtClearJournalClick);
    connect(BtSaveHar, &QPushButton::clicked, this, &TExchangesView::BtSaveHarClick);
    connect(Table, &QWidget::customContextMenuRequested, this, &TExchangesView::ShowRowMenu);
    connect(Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
        Selected = current.isValid() ? current.data(TExchangeModel::SerialRole).toULongLong() : 0;
        ShowSelected();
    });
    // A table scrolled to its end stays there while rows come.
    connect(Filter, &QAbstractItemModel::rowsInserted, this, [this] {
        if (Table->verticalScrollBar()->value() >= Table->verticalScrollBar()->maximum() - 1 || !Table->currentIndex().isValid())
            Table->scrollToBottom();
    });
    // The scale is laid over the rows in sight, at a cost of those rows alone.
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(Filter, signal, this, &TExchangesView::Rescale);
    connect(Filter, &QAbstractItemModel::dataChanged, this, &TExchangesView::Rescale);
    connect(Filter, &QAbstractItemModel::layoutChanged, this, &TExchangesView::Rescale);
    connect(Filter, &QAbstractItemModel::modelReset, this, &TExchangesView::Rescale);
    connect(Table->verticalScrollBar(), &QScrollBar::valueChanged, this, &TExchangesView::Rescale);
    connect(Table->horizontalHeader(), &QHeaderView::sectionResized, this, &TExchangesView::Rescale);
}

QSize TExchangesView::sizeHint() const {
    int width = 0;
    for (int column = 0; column < TExchangeModel::ColPhases; ++column)
        width += Table->columnWidth(column);
    return {width + 260 + Table->verticalScrollBar()->sizeHint().width() + 2 * Table->frameWidth(), 460};
}

void TExchangesView::Rescale() {
    std::vector<TSpan> spans;
    if (const int rows = Filter->rowCount(); rows > 0) {
        const int top = std::max(0, Table->rowAt(0));
        const int bottom = Table->rowAt(Table->viewport()->height() - 1);
        for (int row = top; row <= (bottom < 0 ? rows - 1 : bottom); ++row)
            if (const TEntry* entry = Filter->EntryAt(row))
                spans.push_back(EntrySpan(*entry));
    }
    TWaterfall scale = TWaterfall::Lay(std::move(spans), Table->columnWidth(TExchangeModel::ColPhases) - 2 * TPhaseDelegate::Inset);
    if (scale == Waterfall)
        return;
    Waterfall = std::move(scale);
    Table->viewport()->update();
    Table->horizontalHeader()->viewport()->update();
}

bool TExchangesView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Table->viewport() && event->type() == QEvent::Resize)
        Rescale();
    if (watched == Table && event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        CopyRows();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TExchangesView::showEvent(QShowEvent* event) {
    Model->SetLive(true);
    connect(Journal, &TJournal::EntryChanged, this, &TExchangesView::EntryChanged, Qt::UniqueConnection);
    // The table was read afresh, which lost its selection: the entry still in the details is
    // selected again, or the details go with it when the ring dropped it meanwhile.
    if (const int row = Journal->RowOf(Selected); row >= 0 && row < Model->rowCount())
        Table->setCurrentIndex(Filter->mapFromSource(Model->index(row, 0)));
    ShowSelected();
    Table->scrollToBottom();
    QWidget::showEvent(event);
    Rescale();
}

void TExchangesView::hideEvent(QHideEvent* event) {
    Model->SetLive(false);
    disconnect(Journal, &TJournal::EntryChanged, this, &TExchangesView::EntryChanged);
    QWidget::hideEvent(event);
}

void TExchangesView::EntryChanged(int row) {
    if (Selected != 0 && row == Journal->RowOf(Selected))
        ShowSelected();
}

void TExchangesView::ShowSelected() {
    const int row = Journal->RowOf(Selected);
    const QString text = row < 0 ? QString() : Details(Journal->At(row));
    if (Selected != ShownSerial) {
        ShownSerial = Selected;
        Shown = text;
        MemoDetails->setPlainText(text);
        return;
    }
    if (text == Shown)
        return;
    // An entry under way changes a few lines with each piece of its answer: only those are
    // replaced, so that the rest is not laid out again and the reader keeps the place.
    const qsizetype most = std::min(text.size(), Shown.size());
    qsizetype head = 0;
    while (head < most && text[head] == Shown[head])
        ++head;
    qsizetype tail = 0;
    while (tail < most - head && text[text.size() - 1 - tail] == Shown[Shown.size() - 1 - tail])
        ++tail;
    // Neither end may fall inside a character outside the basic plane.
    if (head > 0 && text[head - 1].isHighSurrogate())
        --head;
    if (tail > 0 && text[text.size() - tail].isLowSurrogate())
        --tail;
    QTextCursor cursor(MemoDetails->document());
    cursor.setPosition(static_cast<int>(head));
    cursor.setPosition(static_cast<int>(Shown.size() - tail), QTextCursor::KeepAnchor);
    cursor.insertText(text.sliced(head, text.size() - head - tail));
    Shown = text;
}

const TEntry* TExchangesView::EntryOfRow(int viewRow) const { return Filter->EntryAt(viewRow); }

void TExchangesView::SaveHar(const QString& path, bool sensitive, std::function<void(QString problem)> done) {
    THarOptions options;
    options.Sensitive = sensitive;
    options.BodyBytes = Journal->BodyBytesBound();
    options.Version = QCoreApplication::applicationVersion();
    BtSaveHar->setEnabled(false);
    StaticTextSaved->setText(QStringLiteral("Saving..."));
    const auto saved = [this, path, done](qsizetype count, const QString& problem) {
        BtSaveHar->setEnabled(true);
        const QString said = problem.isEmpty()
                                 ? QStringLiteral("Saved %1 %2 to %3").arg(count).arg(count == 1 ? QStringLiteral("entry") : QStringLiteral("entries"), path)
                                 : QStringLiteral("Not saved: %1").arg(problem);
        StaticTextSaved->setText(said);
        StaticTextSaved->setToolTip(said);
        if (!problem.isEmpty())
            ShowErrorBox(QStringLiteral("The journal was not saved: %1").arg(problem));
        if (done)
            done(problem);
    };
    // What the table shows, copied into room made on a worker, then built and written there.
    CopyEntriesForExport(
        *Journal, this,
        [this, path, options, saved](QList<TEntry> entries) {
            const qsizetype count = entries.size();
            SaveHarInBackground(std::move(entries), options, path, this,
                                [saved, count](const QString& problem) { saved(count, problem); });
        },
        [this](const TEntry& entry) { return Filter->Accepts(entry); });
}

void TExchangesView::BtSaveHarClick() {
    if (const std::optional<std::pair<QString, bool>> choice = AskSavePath())
        SaveHar(choice->first, choice->second);
}

void TExchangesView::BtClearJournalClick() {
    Journal->Clear();
    Selected = 0;
    ShowSelected();
    StaticTextSaved->clear();
    StaticTextSaved->setToolTip({});
}

void TExchangesView::ShowRowMenu(const QPoint& at) {
    const TEntry* entry = EntryOfRow(Table->indexAt(at).row());
    if (!entry)
        return;
    QMenu* menu = RowMenu(*entry, this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(Table->viewport()->mapToGlobal(at));
}

QMenu* TExchangesView::RowMenu(const TEntry& entry, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("MenuRow"));
    const uint64_t serial = entry.Serial;
    // Each item finds its entry again when chosen: the ring may have moved on meanwhile.
    auto item = [&](const char* name, const QString& text, void (TExchangesView::*what)(const TEntry&), const QString& problem) {
        QAction* action = menu->addAction(problem.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, problem), this, [this, serial, what] {
            if (const int row = Journal->RowOf(serial); row >= 0)
                (this->*what)(Journal->At(row));
        });
        action->setObjectName(QLatin1String(name));
        action->setEnabled(problem.isEmpty());
    };
    item("ActCopyUrl", QStringLiteral("Copy &URL"), &TExchangesView::CopyUrl, {});
    item("ActCopyCurl", QStringLiteral("Copy as &curl"), &TExchangesView::CopyCurl, CurlCommand(entry).Problem);
    item("ActCopyBody", QStringLiteral("Copy response &body"), &TExchangesView::CopyResponseBody, BodyProblem(entry));
    item("ActSaveBody", QStringLiteral("&Save response body as..."), &TExchangesView::SaveResponseBody, BodyProblem(entry));
    menu->addSeparator();
    QAction* rows = menu->addAction(QStringLiteral("Copy selected &rows"), this, &TExchangesView::CopyRows);
    rows->setObjectName(QStringLiteral("ActCopyRows"));
    rows->setShortcut(QKeySequence::Copy);
    return menu;
}

void TExchangesView::CopyUrl(const TEntry& entry) { QGuiApplication::clipboard()->setText(EntryUrl(entry)); }

void TExchangesView::CopyCurl(const TEntry& entry) {
    if (const TCurl curl = CurlCommand(entry); curl.Problem.isEmpty())
        QGuiApplication::clipboard()->setText(curl.Command);
}

void TExchangesView::CopyResponseBody(const TEntry& entry) {
    if (!BodyProblem(entry).isEmpty())
        return;
    const QByteArray& body = entry.AnswerBody.Kept;
    auto* data = new QMimeData;
    data->setData(QStringLiteral("application/octet-stream"), body);
    if (const QString type = ContentType(entry); PlainMediaType(type) && !type.startsWith(QStringLiteral("text/")))
        data->setData(type, body);
    if (QString::fromUtf8(body).toUtf8() == body && !body.contains('\0'))
        data->setText(QString::fromUtf8(body));
    QGuiApplication::clipboard()->setMimeData(data);
}

void TExchangesView::SaveResponseBody(const TEntry& entry) {
    if (!BodyProblem(entry).isEmpty())
        return;
    const QByteArray body = entry.AnswerBody.Kept;
    const QString path = AskBodyPath(BodyName(entry));
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
        ShowErrorBox(QStringLiteral("The body was not saved: %1").arg(file.errorString()));
        return;
    }
    StaticTextSaved->setText(QStringLiteral("Saved %1 bytes to %2").arg(body.size()).arg(path));
    StaticTextSaved->setToolTip(StaticTextSaved->text());
}

void TExchangesView::CopyRows() {
    QModelIndexList rows = Table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& index : rows)
        if (const TEntry* entry = EntryOfRow(index.row())) {
            const QByteArray method = entry->Method();
            lines << QStringLiteral("%1 %2 %3 %4 %5")
                         .arg(method.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(method), EntryUrl(*entry),
                              entry->Status() ? QString::number(entry->Status()) : QStringLiteral("-"),
                              SizeText(entry->AnswerSize), DurationText(entry->Phases().Total()));
        }
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

std::optional<std::pair<QString, bool>> AskHarFile(QWidget* parent) {
    QFileDialog dialog(parent, QStringLiteral("Save the exchanges as HAR"));
    // The system's own dialog cannot take the check box.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QStringLiteral("HAR files (*.har)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("har"));
    dialog.setDirectory(QDir::homePath());
    dialog.selectFile(QStringLiteral("quellor-%1.har").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    auto* sensitive = new QCheckBox(QStringLiteral("&Keep sensitive values (cookies, passwords, authorization)"), &dialog);
    sensitive->setObjectName(QStringLiteral("CheckSensitive"));
    sensitive->setToolTip(QStringLiteral("Without it the values of Cookie, Set-Cookie, Authorization and Proxy-Authorization are "
                                         "replaced. The file is readable by you alone either way."));
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
        grid->addWidget(sensitive, grid->rowCount(), 0, 1, grid->columnCount());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return std::make_pair(dialog.selectedFiles().first(), sensitive->isChecked());
}

} // namespace journal
