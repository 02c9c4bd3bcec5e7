// The details pane of the exchanges view.
#include "journal/EntryDetails.h"

namespace journal {
namespace {
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

QString Time(const QDateTime& time) { return time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")); }

QString FixedExplanation(const TEntry& entry) {
    const bool reached = ReachedLine(entry);
    switch (entry.Fixed) {
    case TFixed::NotResponding:
        return reached ? QStringLiteral("The device did not answer in time (3 s, or 60 s after a request of 5000 bytes or "
                                        "more), so the program answered with 503 itself.")
                       : QStringLiteral("The device stopped answering while the request waited for the line, so the "
                                        "program answered with 503 itself; nothing of the request reached the device.");
    case TFixed::NotAvailable:
        return QStringLiteral("The port %1 could not be written: it is missing, unplugged or could not be opened. %2 The "
                              "program answered with 503 itself.")
            .arg(entry.Port, reached ? QStringLiteral("Only part of the request reached the device.")
                                     : QStringLiteral("Nothing of the request reached the device."));
    case TFixed::RequestTimeout:
        return QStringLiteral("The request did not arrive whole in time, so the program answered with 408. %1")
            .arg(reached ? QStringLiteral("The device got part of it.") : QStringLiteral("The device got none of it."));
    case TFixed::BadLength:
        return QStringLiteral("The request's length could not be read, so the program answered with 400; the device "
                              "got none of it.");
    case TFixed::None: break;
    }
    return QStringLiteral("The program answered itself.");
}

QString RefusalExplanation(const TEntry& entry) {
    const QString name = QString::fromLatin1(entry.RefusedName);
    const QString rest = QStringLiteral(" The program refused it with 403; the device got none of it.");
    switch (entry.Refusal) {
    case TRefusal::Host:
        return QStringLiteral("The request names the host %1, which is neither this machine nor one of the allowed hosts "
                              "(Settings, Network, Allowed Hosts).").arg(name) + rest;
    case TRefusal::Origin:
        return QStringLiteral("A page of %1 sent the request, and pages of other sites may not reach the device "
                              "(Settings, Network, Allowed Hosts).").arg(name) + rest;
    case TRefusal::Head: return QStringLiteral("The request's head could not be checked.") + rest;
    case TRefusal::None: break;
    }
    return QStringLiteral("The request was refused.") + rest;
}

QString CutExplanation(const TEntry& entry) {
    switch (entry.Cut) {
    case TCut::Deadline:
        return QStringLiteral("The request did not arrive whole in time while it went out, so it was cut short and the "
                              "client got 408.");
    case TCut::AnsweredEarly:
        return QStringLiteral("The device answered before the whole request had gone out; the client got that answer and "
                              "the rest of the request was not relayed.");
    case TCut::LineReset:
        return QStringLiteral("The port was reopened or the server restarted (the settings were saved) while the exchange "
                              "was under way.");
    case TCut::None: break;
    }
    return QStringLiteral("The request was cut short.");
}

QString Heading(const TEntry& entry) {
    QString text = entry.IsProbe() ? QStringLiteral("Probe of the %1, taken up %2").arg(OwnerName(entry.Owner), Time(entry.Started))
                                   : QStringLiteral("Client %1 from %2, connected %3").arg(entry.Client).arg(entry.Address, Time(entry.Started));
    if (!entry.Port.isEmpty())
        text += (ReachedLine(entry) ? QStringLiteral("; sent to %1") : QStringLiteral("; meant for %1")).arg(entry.Port) +
                (entry.Node.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(entry.Node));
    text += QLatin1Char('\n');
    // The stored identity is the device's only once the request went to it.
    if (ReachedLine(entry) && !entry.Identity.isEmpty())
        text += QStringLiteral("Device, as last identified: %1\n").arg(entry.Identity.simplified());
    return text;
}

QString PhasesLine(const TEntry& entry) {
    const TEntry::TPhases p = entry.Phases();
    if (!ReachedLine(entry))
        return QStringLiteral("Phases: waiting room %1; nothing went out on the line\n").arg(Ms(p.Blocked));
    return QStringLiteral("Phases: waiting room %1, sending %2, waiting %3, receiving %4\n")
        .arg(Ms(p.Blocked), Ms(p.Send), Ms(p.Wait), Ms(p.Receive));
}
} // namespace

QString Explanation(const TEntry& entry) {
    const bool reached = ReachedLine(entry);
    switch (entry.Outcome) {
    case TOutcome::UnderWay:
        return reached ? QStringLiteral("The request is on the line; its answer has not ended yet.")
                       : QStringLiteral("The request waits for its turn on the line.");
    case TOutcome::DeviceAnswer:
        return entry.IsProbe() ? QStringLiteral("The device answered the probe.")
                               : QStringLiteral("The device answered, and its answer went to the client.");
    case TOutcome::FixedAnswer: return FixedExplanation(entry);
    case TOutcome::Refused: return RefusalExplanation(entry);
    case TOutcome::ClientLeft:
        return QStringLiteral("The client closed its connection after taking %1 of the %2 bytes of its answer; the rest "
                              "of the answer was read from the line and dropped.")
            .arg(entry.LeftHadBytes)
            .arg(entry.AnswerSize);
    case TOutcome::Cut: return CutExplanation(entry);
    case TOutcome::DroppedUnfinished:
        return QStringLiteral("The client left before its request was whole; nothing of it reached the device.");
    case TOutcome::Silent: return QStringLiteral("The device did not answer the probe in time.");
    case TOutcome::PortError:
        return QStringLiteral("The port %1 could not be written: it is missing, unplugged or could not be opened.").arg(entry.Port);
    case TOutcome::Cancelled:
        return QStringLiteral("The probe was cancelled by its owner, or its port was reopened under it.");
    }
    return {};
}

QString Details(const TEntry& entry) {
    QString text = Heading(entry);
    text += QStringLiteral("Outcome: %1\n%2\n").arg(OutcomeName(entry), Explanation(entry));
    text += PhasesLine(entry) + QLatin1Char('\n');
    text += ReachedLine(entry) ? QStringLiteral("== Request as the device got it, %1 bytes ==\n").arg(entry.RequestSize)
                               : QStringLiteral("== Request (the device got none of it), %1 bytes ==\n").arg(entry.RequestSize);
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

} // namespace journal
