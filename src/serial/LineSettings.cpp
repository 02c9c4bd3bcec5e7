#include "serial/LineSettings.h"

namespace {
QChar ParityLetter(TParity parity) {
    switch (parity) {
    case paOdd: return QLatin1Char('O');
    case paEven: return QLatin1Char('E');
    case paMark: return QLatin1Char('M');
    case paSpace: return QLatin1Char('S');
    default: return QLatin1Char('N');
    }
}

QString StopBitsText(TStopbits stopBits) {
    switch (stopBits) {
    case sb15: return QStringLiteral("1.5");
    case sb20: return QStringLiteral("2");
    default: return QStringLiteral("1");
    }
}
} // namespace

QString LineText(const TLineSettings& line) {
    QString text = QString::number(line.Baud) + QLatin1Char(' ') + QString::number(line.DataBits) +
                   ParityLetter(line.Parity) + StopBitsText(line.StopBits);
    if (line.RtsCts)
        text += QStringLiteral(" RTS/CTS");
    return text;
}
