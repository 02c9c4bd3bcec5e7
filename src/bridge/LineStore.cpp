#include "bridge/LineStore.h"

#include "settings/SettingsTable.h"

namespace {
// The words of RS\Parity and RS\StopBits, in the order of the component's values.
const QStringList ParityWords{QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("even"),
                              QStringLiteral("mark"), QStringLiteral("space")};
const QStringList StopBitsWords{QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
const QString RtsCts = QStringLiteral("rtscts");
} // namespace

TLineSettings ReadLineSettings() {
    TLineSettings line;
    line.Baud = static_cast<uint32_t>(ReadNumber(key::RsBaud));
    line.DataBits = static_cast<uint8_t>(ReadChoice(key::RsDataBits).toInt());
    line.Parity = static_cast<TParity>(ParityWords.indexOf(ReadChoice(key::RsParity)));
    line.StopBits = static_cast<TStopbits>(StopBitsWords.indexOf(ReadChoice(key::RsStopBits)));
    line.RtsCts = ReadChoice(key::RsFlow) == RtsCts;
    line.RaiseDtr = ReadFlag(key::RsDtr);
    line.BaudSearch = ReadFlag(key::RsBaudSearch);
    return line;
}

QMap<QString, QString> StoredLine(const TLineSettings& line) {
    const auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
    return {{key::RsBaud, QString::number(line.Baud)},
            {key::RsDataBits, QString::number(line.DataBits)},
            {key::RsParity, ParityWords.value(line.Parity)},
            {key::RsStopBits, StopBitsWords.value(line.StopBits)},
            {key::RsFlow, line.RtsCts ? RtsCts : QStringLiteral("none")},
            {key::RsDtr, flag(line.RaiseDtr)},
            {key::RsBaudSearch, flag(line.BaudSearch)}};
}
