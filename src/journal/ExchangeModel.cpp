#include "journal/ExchangeModel.h"

#include <QColor>
#include <QFont>

namespace journal {
namespace {
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

QString Target(const TEntry& entry) {
    const QString target = QString::fromLatin1(entry.Target());
    return entry.IsProbe() ? target + QStringLiteral("  (") + OwnerName(entry.Owner) + QLatin1Char(')') : target;
}

QString Method(const TEntry& entry) {
    const QByteArray method = entry.Method();
    return method.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(method);
}

QString Ms(int64_t microseconds) { return QStringLiteral("%1 ms").arg(static_cast<double>(microseconds) / 1000.0, 0, 'f', 1); }

QVariant SortKey(const TEntry& entry, int column) {
    switch (column) {
    case TExchangeModel::ColTime:
    case TExchangeModel::ColPhases: return QVariant::fromValue<qlonglong>(EntrySpan(entry).First);
    case TExchangeModel::ColMethod: return Method(entry);
    case TExchangeModel::ColTarget: return Target(entry);
    case TExchangeModel::ColStatus: return entry.Status();
    case TExchangeModel::ColSize: return QVariant::fromValue<qlonglong>(entry.AnswerSize);
    case TExchangeModel::ColDuration: return QVariant::fromValue<qlonglong>(entry.Phases().Total());
    case TExchangeModel::ColOutcome: return OutcomeName(entry);
    default: return {};
    }
}
} // namespace

TSpan EntrySpan(const TEntry& entry) {
    TSpan span{entry.Connected != Never ? entry.Connected : entry.TakenUp, Never};
    for (const TMoment m : {entry.Connected, entry.HeadRead, entry.TakenUp, entry.Written, entry.FirstByte, entry.Ended, entry.LeftUs})
        span.Last = std::max(span.Last, m);
    return span;
}

QString SizeText(qint64 bytes) {
    if (bytes < 10000)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 10000 * 1024)
        return QStringLiteral("%1 KiB").arg(static_cast<double>(bytes) / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QString DurationText(int64_t us) { return us == 0 ? QStringLiteral("0 ms") : TWaterfall::Duration(us); }

QString ShortOutcome(const TEntry& entry) {
    switch (entry.Outcome) {
    case TOutcome::FixedAnswer:
        switch (entry.Fixed) {
        case TFixed::NotResponding: return QStringLiteral("503: not responding");
        case TFixed::NotAvailable: return QStringLiteral("503: %1 not available").arg(entry.Port);
        case TFixed::RequestTimeout: return QStringLiteral("408: request not whole");
        case TFixed::BadLength: return QStringLiteral("400: bad length");
        case TFixed::None: break;
        }
        break;
    case TOutcome::Refused: return QStringLiteral("403: refused");
    case TOutcome::ClientLeft: return QStringLiteral("client left");
    case TOutcome::Cut: return QStringLiteral("request cut");
    case TOutcome::DroppedUnfinished: return QStringLiteral("dropped unfinished");
    default: break;
    }
    return OutcomeName(entry);
}

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

void TExchangeModel::Reset() {
    beginResetModel();
    Rows = Journal->Count();
    First = Rows > 0 ? Journal->At(0).Serial : 0;
    endResetModel();
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
}

// An entry's time never changes once it is added: leaving its column out spares the table a new
// sort in time order.
void TExchangeModel::Changed(int row) {
    if (row >= 0 && row < Rows)
        emit dataChanged(index(row, ColTime + 1), index(row, ColumnCount - 1));
}

void TExchangeModel::Dropped(int count) {
    count = std::min(count, Rows);
    if (count <= 0)
        return;
    beginRemoveRows({}, 0, count - 1);
    First += static_cast<uint64_t>(count);
    Rows -= count;
    endRemoveRows();
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
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::ToolTipRole && section == ColPhases)
        return QStringLiteral("Waiting room, sending, waiting and receiving, on a scale over the rows in sight; idle "
                              "stretches long beside them are cut out, each to a break");
    if (role == Qt::TextAlignmentRole && section == ColPhases)
        return int(Qt::AlignHCenter | Qt::AlignTop);
    if (role == Qt::ToolTipRole && section == ColDuration)
        return QStringLiteral("The four phases added: from the connection to the end of the answer");
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColTime: return QStringLiteral("Time");
    case ColMethod: return QStringLiteral("Method");
    case ColTarget: return QStringLiteral("Target");
    case ColStatus: return QStringLiteral("Status");
    case ColSize: return QStringLiteral("Size");
    case ColDuration: return QStringLiteral("Duration");
    case ColOutcome: return QStringLiteral("Outcome");
    case ColPhases: return QStringLiteral("Phases");
    default: return {};
    }
}

QVariant TExchangeModel::data(const QModelIndex& index, int role) const {
    const TEntry* entry = EntryAt(index.row());
    if (!entry)
        return {};
    switch (role) {
    case SerialRole: return QVariant::fromValue<qulonglong>(entry->Serial);
    case SortRole: return SortKey(*entry, index.column());
    case Qt::BackgroundRole: {
        const QColor tint = RowTint(*entry);
        return tint.isValid() ? QVariant(tint) : QVariant();
    }
    case Qt::FontRole: {
        if (entry->Outcome != TOutcome::ClientLeft)
            return {};
        QFont font;
        font.setItalic(true);
        return font;
    }
    case Qt::ForegroundRole: return entry->IsProbe() ? QVariant(QColor(90, 90, 90)) : QVariant();
    case Qt::TextAlignmentRole:
        if (index.column() == ColStatus || index.column() == ColSize || index.column() == ColDuration)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case Qt::ToolTipRole: {
        const TEntry::TPhases p = entry->Phases();
        return QStringLiteral("%1\n%2\nwaiting room %3, sending %4, waiting %5, receiving %6")
            .arg(Target(*entry), OutcomeName(*entry), Ms(p.Blocked), Ms(p.Send), Ms(p.Wait), Ms(p.Receive));
    }
    case Qt::DisplayRole: break;
    default: return {};
    }
    switch (index.column()) {
    case ColTime: return entry->Started.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    case ColMethod: return Method(*entry);
    case ColTarget: return Target(*entry);
    case ColStatus: return entry->Status() ? QVariant(entry->Status()) : QVariant(QStringLiteral("-"));
    case ColSize: return SizeText(entry->AnswerSize);
    case ColDuration: return DurationText(entry->Phases().Total());
    case ColOutcome: return ShortOutcome(*entry);
    default: return {};
    }
}

TExchangeFilter::TExchangeFilter(TExchangeModel* model, QObject* parent) : QSortFilterProxyModel(parent), Model(model) {
    // A changed row is filtered and placed again alone: its status and outcome come late.
    setDynamicSortFilter(true);
    setSortRole(TExchangeModel::SortRole);
    setSourceModel(model);
}

void TExchangeFilter::SetProbesShown(bool shown) {
    WithProbes = shown;
    invalidateRowsFilter();
}

void TExchangeFilter::SetText(const QString& text) {
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words == Words)
        return;
    Words = words;
    invalidateRowsFilter();
}

const TEntry* TExchangeFilter::EntryAt(int row) const { return Model->EntryAt(mapToSource(index(row, 0)).row()); }

bool TExchangeFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    const TEntry* entry = Model->EntryAt(sourceRow);
    return entry && Accepts(*entry);
}

bool TExchangeFilter::Accepts(const TEntry& entry) const {
    if (!WithProbes && entry.IsProbe())
        return false;
    if (Words.isEmpty())
        return true;
    const QString text = Method(entry) + QLatin1Char(' ') + Target(entry) + QLatin1Char(' ') +
                         QString::number(entry.Status()) + QLatin1Char(' ') + OutcomeName(entry) + QLatin1Char(' ') +
                         ShortOutcome(entry);
    return std::all_of(Words.begin(), Words.end(), [&](const QString& word) { return text.contains(word, Qt::CaseInsensitive); });
}

} // namespace journal
