// The journal in the Information window.
#include "journal/JournalView.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTextCursor>
#include <QVBoxLayout>

#include "journal/Har.h"
#include "platform/Dialogs.h"

namespace journal {
namespace {
// The latest moment an entry has, for the end of the scale and of its bar.
TMoment LastMoment(const TEntry& entry) {
    TMoment last = Never;
    for (const TMoment m : {entry.Connected, entry.HeadRead, entry.TakenUp, entry.Written, entry.FirstByte, entry.Ended, entry.LeftUs})
        last = std::max(last, m);
    return last;
}

TMoment FirstMoment(const TEntry& entry) { return entry.Connected != Never ? entry.Connected : entry.TakenUp; }

QString Size(qint64 bytes) {
    if (bytes < 10000)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 10000 * 1024)
        return QStringLiteral("%1 KiB").arg(static_cast<double>(bytes) / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QString Ms(int64_t microseconds) { return QStringLiteral("%1 ms").arg(static_cast<double>(microseconds) / 1000.0, 0, 'f', 1); }

// Wire bytes as text: control bytes but line ends shown as dots.
QString Printable(const QByteArray& bytes) {
    QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes)
        text = QString::fromLatin1(bytes);
    for (QChar& c : text)
        if ((c.unicode() < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\r') && c != QLatin1Char('\t')) || c.unicode() == 0x7f)
            c = QLatin1Char('.');
    text.remove(QLatin1Char('\r'));
    return text;
}

bool LooksLikeText(const QByteArray& bytes) {
    return !bytes.contains('\0') && QString::fromUtf8(bytes).toUtf8() == bytes;
}

// The first bytes of a body that is not text, sixteen to a line.
QString HexDump(const QByteArray& bytes, qsizetype limit) {
    QString dump;
    const qsizetype shown = std::min(bytes.size(), limit);
    for (qsizetype at = 0; at < shown; at += 16) {
        const QByteArray line = bytes.mid(at, 16);
        dump += QStringLiteral("%1  ").arg(at, 6, 16, QLatin1Char('0'));
        for (qsizetype i = 0; i < 16; ++i)
            dump += i < line.size() ? QStringLiteral("%1 ").arg(static_cast<uint8_t>(line[i]), 2, 16, QLatin1Char('0'))
                                    : QStringLiteral("   ");
        dump += QLatin1Char(' ');
        for (const char c : line)
            dump += (c >= 0x20 && c < 0x7f) ? QLatin1Char(c) : QLatin1Char('.');
        dump += QLatin1Char('\n');
    }
    if (shown < bytes.size())
        dump += QStringLiteral("... %1 more bytes kept\n").arg(bytes.size() - shown);
    return dump;
}

QString Body(const TBody& body) {
    if (body.Size == 0)
        return QStringLiteral("(no body)\n");
    QString text = QStringLiteral("-- body, %1 bytes").arg(body.Size);
    if (const QString why = KeptComment(body, DefaultBodyBytes); !why.isEmpty())
        text += QStringLiteral("; ") + (body.How == TKept::First ? QStringLiteral("the first %1 kept").arg(body.Kept.size()) : why);
    text += QStringLiteral(" --\n");
    if (body.Kept.isEmpty())
        return text;
    return text + (LooksLikeText(body.Kept) ? Printable(body.Kept) + QLatin1Char('\n') : HexDump(body.Kept, 4096));
}

// Rows that need a second look: the program answered, the client went, the request was cut or refused.
QColor RowTint(const TEntry& entry) {
    switch (entry.Outcome) {
    case TOutcome::FixedAnswer:
    case TOutcome::Silent:
    case TOutcome::PortError: return QColor(255, 224, 178);
    case TOutcome::ClientLeft: return QColor(224, 224, 224);
    case TOutcome::Refused: return QColor(255, 205, 210);
    case TOutcome::Cut:
    case TOutcome::DroppedUnfinished: return QColor(225, 210, 240);
    default: return {};
    }
}
} // namespace

TExchangeModel::TExchangeModel(TJournal* journal, QObject* parent) : QAbstractTableModel(parent), Journal(journal) {}

void TExchangeModel::SetLive(bool live) {
    if (live == IsLive)
        return;
    IsLive = live;
    if (!live) {
        disconnect(Journal, nullptr, this, nullptr);
        return;
    }
    connect(Journal, &TJournal::EntryAdded, this, &TExchangeModel::Added);
    connect(Journal, &TJournal::EntryChanged, this, &TExchangeModel::Changed);
    connect(Journal, &TJournal::EntriesDropped, this, &TExchangeModel::Dropped);
    Reset();
}

void TExchangeModel::SetProbesShown(bool shown) {
    WithProbes = shown;
    Rescale();
    emit ScaleChanged();
}

void TExchangeModel::Reset() {
    beginResetModel();
    Rows = Journal->Count();
    First = Rows > 0 ? Journal->At(0).Serial : 0;
    Rescale();
    endResetModel();
}

// A row newly counted: it may hold the start, and the end.
void TExchangeModel::Widen(const TEntry& entry) {
    if (!Counts(entry))
        return;
    if (const TMoment first = FirstMoment(entry); first != Never) {
        while (!Starts.empty() && Starts.back().second >= first)
            Starts.pop_back();
        Starts.emplace_back(entry.Serial, first);
        Start = Starts.front().second;
    }
    WidenEnd(entry);
}

void TExchangeModel::WidenEnd(const TEntry& entry) {
    const TMoment last = LastMoment(entry);
    if (!Counts(entry) || last == Never || last < End)
        return;
    EndSerial = last > End ? entry.Serial : std::max(EndSerial, entry.Serial);
    End = last;
}

void TExchangeModel::Rescale() {
    Start = End = Never;
    Starts.clear();
    EndSerial = 0;
    for (int row = 0; row < Rows; ++row)
        if (const TEntry* entry = EntryAt(row))
            Widen(*entry);
}

// The journal adds its rows at the end, one at a time.
void TExchangeModel::Added(int row) {
    if (row != Rows || row >= Journal->Count()) {
        Reset();
        return;
    }
    beginInsertRows({}, Rows, Rows);
    if (Rows == 0)
        First = Journal->At(row).Serial;
    ++Rows;
    endInsertRows();
    const TMoment start = Start, end = End;
    Widen(Journal->At(row));
    if (Start != start || End != end)
        emit ScaleChanged();
}

// A changed entry only gains moments after its first: the end may move, the start not.
void TExchangeModel::Changed(int row) {
    if (row < 0 || row >= Rows)
        return;
    const TMoment end = End;
    if (const TEntry* entry = EntryAt(row))
        WidenEnd(*entry);
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
    if (End != end)
        emit ScaleChanged();
}

void TExchangeModel::Dropped(int count) {
    count = std::min(count, Rows);
    if (count <= 0)
        return;
    beginRemoveRows({}, 0, count - 1);
    First += static_cast<uint64_t>(count);
    Rows -= count;
    endRemoveRows();
    const TMoment start = Start, end = End;
    while (!Starts.empty() && Starts.front().first < First)
        Starts.pop_front();
    Start = Starts.empty() ? Never : Starts.front().second;
    if (End != Never && EndSerial < First) {
        End = Never;
        EndSerial = 0;
        for (int row = 0; row < Rows; ++row)
            if (const TEntry* entry = EntryAt(row))
                WidenEnd(*entry);
    }
    if (Start != start || End != end)
        emit ScaleChanged();
}

const TEntry* TExchangeModel::EntryAt(int row) const {
    if (row < 0 || row >= Rows)
        return nullptr;
    const int at = Journal->RowOf(First + static_cast<uint64_t>(row));
    return at < 0 ? nullptr : &Journal->At(at);
}

int TExchangeModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Rows; }

int TExchangeModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TExchangeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColTime: return QStringLiteral("Time");
    case ColMethod: return QStringLiteral("Method");
    case ColTarget: return QStringLiteral("Target");
    case ColStatus: return QStringLiteral("Status");
    case ColSize: return QStringLiteral("Size");
    case ColOutcome: return QStringLiteral("Outcome");
    case ColPhases: return QStringLiteral("Phases");
    default: return {};
    }
}

QVariant TExchangeModel::data(const QModelIndex& index, int role) const {
    const TEntry* entry = EntryAt(index.row());
    if (!entry)
        return {};
    if (role == SerialRole)
        return QVariant::fromValue<qulonglong>(entry->Serial);
    if (role == Qt::BackgroundRole) {
        const QColor tint = RowTint(*entry);
        return tint.isValid() ? QVariant(tint) : QVariant();
    }
    if (role == Qt::FontRole && entry->Outcome == TOutcome::ClientLeft) {
        QFont font;
        font.setItalic(true);
        return font;
    }
    if (role == Qt::ForegroundRole && entry->IsProbe())
        return QColor(90, 90, 90);
    if (role == Qt::TextAlignmentRole && (index.column() == ColStatus || index.column() == ColSize))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole) {
        const TEntry::TPhases p = entry->Phases();
        return QStringLiteral("%1\nwaiting room %2, sending %3, waiting %4, receiving %5")
            .arg(OutcomeName(*entry), Ms(p.Blocked), Ms(p.Send), Ms(p.Wait), Ms(p.Receive));
    }
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case ColTime: return entry->Started.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    case ColMethod: {
        const QByteArray method = entry->Method();
        return method.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(method);
    }
    case ColTarget: {
        const QString target = QString::fromLatin1(entry->Target());
        return entry->IsProbe() ? target + QStringLiteral("  (") + OwnerName(entry->Owner) + QLatin1Char(')') : target;
    }
    case ColStatus: return entry->Status() ? QVariant(entry->Status()) : QVariant(QStringLiteral("-"));
    case ColSize: return Size(entry->AnswerSize);
    case ColOutcome: return OutcomeName(*entry);
    default: return {};
    }
}

TExchangeFilter::TExchangeFilter(TExchangeModel* model, QObject* parent) : QSortFilterProxyModel(parent), Model(model) {
    // Whether a row passes never changes with its entry's data, only with the check box, which
    // refilters itself: a changed row must not cost a pass over every row.
    setDynamicSortFilter(false);
    setSourceModel(model);
}

void TExchangeFilter::SetProbesShown(bool shown) {
    Model->SetProbesShown(shown);
    invalidateFilter();
}

bool TExchangeFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    const TEntry* entry = Model->EntryAt(sourceRow);
    return entry && (Model->ProbesShown() || !entry->IsProbe());
}

TPhaseDelegate::TPhaseDelegate(TExchangeModel* model, QObject* parent) : QStyledItemDelegate(parent), Model(model) {}

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
    const auto* proxy = qobject_cast<const QSortFilterProxyModel*>(index.model());
    const QModelIndex source = proxy ? proxy->mapToSource(index) : index;
    const TEntry* entry = Model->EntryAt(source.row());
    const TMoment start = Model->ScaleStart(), end = Model->ScaleEnd();
    if (!entry || start == Never || end <= start)
        return;
    const QRectF area = QRectF(option.rect).adjusted(3, 4, -3, -4);
    const double span = static_cast<double>(end - start);
    auto x = [&](int64_t moment) { return area.left() + area.width() * static_cast<double>(moment - start) / span; };
    const TEntry::TPhases phases = entry->Phases();
    const int64_t lengths[4] = {phases.Blocked, phases.Send, phases.Wait, phases.Receive};
    int64_t at = FirstMoment(*entry);
    painter->save();
    painter->setPen(Qt::NoPen);
    for (int phase = 0; phase < 4; ++phase) {
        QRectF piece(x(at), area.top(), x(at + lengths[phase]) - x(at), area.height());
        if (piece.width() > 0) {
            if (piece.width() < 1)
                piece.setWidth(1);
            painter->setBrush(PhaseColour(phase));
            painter->drawRect(piece);
        }
        at += lengths[phase];
    }
    // A bar too short to see still marks where it is.
    if (x(at) - x(FirstMoment(*entry)) < 2) {
        painter->setBrush(PhaseColour(3));
        painter->drawRect(QRectF(x(FirstMoment(*entry)), area.top(), 2, area.height()));
    }
    painter->restore();
}

TExchangesView::TExchangesView(TJournal* journal, QWidget* parent)
    : QWidget(parent), Model(new TExchangeModel(journal, this)), Filter(new TExchangeFilter(Model, this)),
      CheckProbes(new QCheckBox(QStringLiteral("Show probes"), this)),
      BtSaveHar(new QPushButton(QStringLiteral("Save as HAR..."), this)), Table(new QTableView(this)),
      MemoDetails(new QPlainTextEdit(this)), Journal(journal) {
    setObjectName(QStringLiteral("ExchangesView"));
    CheckProbes->setObjectName(QStringLiteral("CheckProbes"));
    CheckProbes->setToolTip(QStringLiteral("Also list the device probes: the idle probe, Check Device, the detection pass and the follower"));
    BtSaveHar->setObjectName(QStringLiteral("BtSaveHar"));
    BtSaveHar->setToolTip(QStringLiteral("Write the exchanges as a HAR file, which browsers' network panels open"));
    Table->setObjectName(QStringLiteral("TableExchanges"));
    Table->setModel(Filter);
    Table->setItemDelegateForColumn(TExchangeModel::ColPhases, new TPhaseDelegate(Model, Table));
    // Only the bars in sight need drawing again; a change over every row would cost a pass over them all.
    connect(Model, &TExchangeModel::ScaleChanged, Table->viewport(), qOverload<>(&QWidget::update));
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setWordWrap(false);
    Table->verticalHeader()->hide();
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 6);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->horizontalHeader()->setHighlightSections(false);
    const int digit = Table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    Table->setColumnWidth(TExchangeModel::ColTime, digit * 13);
    Table->setColumnWidth(TExchangeModel::ColMethod, digit * 7);
    Table->setColumnWidth(TExchangeModel::ColTarget, digit * 18);
    Table->setColumnWidth(TExchangeModel::ColStatus, digit * 6);
    Table->setColumnWidth(TExchangeModel::ColSize, digit * 9);
    Table->setColumnWidth(TExchangeModel::ColOutcome, digit * 22);
    MemoDetails->setObjectName(QStringLiteral("MemoDetails"));
    MemoDetails->setReadOnly(true);
    // Its text is replaced piece by piece while an entry is under way; nothing is to be undone.
    MemoDetails->setUndoRedoEnabled(false);
    MemoDetails->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoDetails->setFont(QFont(QStringLiteral("monospace")));
    MemoDetails->setPlaceholderText(QStringLiteral("Select an exchange to see its heads and bodies."));

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    bar->addWidget(CheckProbes);
    bar->addStretch();
    bar->addWidget(BtSaveHar);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setObjectName(QStringLiteral("SplitDetails"));
    split->addWidget(Table);
    split->addWidget(MemoDetails);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(split);
    setTabOrder(Table, MemoDetails);
    setTabOrder(MemoDetails, CheckProbes);
    setTabOrder(CheckProbes, BtSaveHar);

    connect(CheckProbes, &QCheckBox::toggled, this, [this](bool shown) { Filter->SetProbesShown(shown); });
    connect(BtSaveHar, &QPushButton::clicked, this, &TExchangesView::BtSaveHarClick);
    connect(Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
        Selected = current.isValid() ? current.data(TExchangeModel::SerialRole).toULongLong() : 0;
        ShowSelected();
    });
    // A table scrolled to its end stays there while rows come.
    connect(Filter, &QAbstractItemModel::rowsInserted, this, [this] {
        if (Table->verticalScrollBar()->value() >= Table->verticalScrollBar()->maximum() - 1 || !Table->currentIndex().isValid())
            Table->scrollToBottom();
    });
    AskSavePath = [this] { return AskHarFile(this); };
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

QString TExchangesView::Details(const TEntry& entry) {
    QString text;
    if (entry.IsProbe())
        text += QStringLiteral("Probe of the %1, taken up %2").arg(OwnerName(entry.Owner), entry.Started.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")));
    else
        text += QStringLiteral("Client %1 from %2, connected %3")
                    .arg(entry.Client)
                    .arg(entry.Address, entry.Started.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")));
    if (!entry.Port.isEmpty())
        text += QStringLiteral("; %1").arg(entry.Port) + (entry.Node.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(entry.Node));
    text += QLatin1Char('\n');
    if (!entry.Identity.isEmpty())
        text += QStringLiteral("Device: %1\n").arg(entry.Identity.simplified());
    text += QStringLiteral("Outcome: %1\n").arg(OutcomeName(entry));
    const TEntry::TPhases p = entry.Phases();
    text += QStringLiteral("Phases: waiting room %1, sending %2, waiting %3, receiving %4\n\n")
                .arg(Ms(p.Blocked), Ms(p.Send), Ms(p.Wait), Ms(p.Receive));
    text += entry.TakenUp == Never ? QStringLiteral("== Request (the device got none of it), %1 bytes ==\n").arg(entry.RequestSize)
                                   : QStringLiteral("== Request as the device got it, %1 bytes ==\n").arg(entry.RequestSize);
    text += Printable(entry.RequestHead);
    if (!entry.RequestHead.endsWith("\r\n\r\n"))
        text += QLatin1Char('\n');
    text += Body(entry.RequestBody);
    text += entry.Fixed != TFixed::None || entry.Outcome == TOutcome::Refused
                ? QStringLiteral("\n== Answer of the program, %1 bytes ==\n").arg(entry.AnswerSize)
                : QStringLiteral("\n== Answer, %1 bytes ==\n").arg(entry.AnswerSize);
    if (entry.AnswerSize == 0)
        return text + QStringLiteral("(none)\n");
    text += Printable(entry.AnswerHead);
    if (!entry.AnswerHead.endsWith("\r\n\r\n"))
        text += QLatin1Char('\n');
    return text + Body(entry.AnswerBody);
}

QString TExchangesView::SaveHar(const QString& path, bool sensitive) {
    THarOptions options;
    options.Sensitive = sensitive;
    options.BodyBytes = Journal->BodyBytesBound();
    options.Version = QCoreApplication::applicationVersion();
    return WriteHarFile(path, HarDocument(Journal->Entries(), options));
}

void TExchangesView::BtSaveHarClick() {
    const std::optional<std::pair<QString, bool>> choice = AskSavePath();
    if (!choice)
        return;
    if (const QString problem = SaveHar(choice->first, choice->second); !problem.isEmpty())
        ShowErrorBox(QStringLiteral("The journal was not saved: %1").arg(problem));
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
